#include "host/reporter.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "dbf/result_table.h"
#include "host/cli_text.h"
#include "kestdll/include/kestdll.h"
#include "platform/console.h"

namespace kest::host {

namespace {

using platform::ConsoleStream;

// How an engine that could not be set up at load explains its refusal.
constexpr const char* kNotReadyPrefix = KEST_NOT_READY_STATUS;

bool endsWith(const std::string& text, const char* tail) {
  size_t length = std::strlen(tail);
  return text.size() >= length && text.compare(text.size() - length, length, tail) == 0;
}

void emit(ConsoleStream stream, const std::string& text) {
  std::fputs(platform::ForConsole(stream, text).c_str(),
             stream == ConsoleStream::kOutput ? stdout : stderr);
}

void emitError(const std::string& text) { emit(ConsoleStream::kError, text); }

void emitOutput(const std::string& text) { emit(ConsoleStream::kOutput, text); }

std::string plural(uint32_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The report of a thorough run in a few plain lines under the result.
void emitReportLines(const RunReport& report) {
  std::string passed;
  auto add = [&](uint32_t count, const std::string& words) {
    if (count == 0) return;
    passed += (passed.empty() ? "" : ", ") + words;
  };
  add(report.deleted, plural(report.deleted, "deleted record", "deleted records"));
  add(report.jammed, plural(report.jammed, "with a jammed deletion flag", "with a jammed deletion flag"));
  add(report.invalid, plural(report.invalid, "failed the value check", "failed the value check"));
  add(report.cutOff, plural(report.cutOff, "cut off by the end of the file",
                            "cut off by the end of the file"));
  emitOutput("  passed over:    " + (passed.empty() ? std::string("nothing") : passed) + "\n");
  for (size_t i = 0; i < report.repairs.size(); ++i) {
    emitOutput(std::string(i == 0 ? "  repaired:       " : "                  ") +
               plainText(report.repairs[i]) + "\n");
  }
  if (report.repairCount > report.repairs.size()) {
    emitOutput("                  and " +
               std::to_string(report.repairCount - report.repairs.size()) + " more\n");
  }
}

std::string jsonReport(const std::optional<RunReport>& report) {
  if (!report) return ",\"mode\":\"classic\",\"report\":null";
  std::string repairs;
  for (const std::string& repair : report->repairs) {
    repairs += (repairs.empty() ? "" : ",") + jsonString(repair);
  }
  return ",\"mode\":\"thorough\",\"report\":{\"method\":" + jsonString(report->method) +
         ",\"records\":" + std::to_string(report->records) +
         ",\"deleted\":" + std::to_string(report->deleted) +
         ",\"jammed\":" + std::to_string(report->jammed) +
         ",\"invalid\":" + std::to_string(report->invalid) +
         ",\"cutOff\":" + std::to_string(report->cutOff) +
         ",\"repairCount\":" + std::to_string(report->repairCount) + ",\"repairs\":[" +
         repairs + "]}";
}

// The sentences of the styles that write lines for people: a table's end
// as "<table>: <sentence>" on stderr, a written result on stdout.
class LineSink : public ReportSink {
 public:
  void notReadyStatus(const std::string&, const std::string&) override {}

  void written(const std::string& tableName, const std::optional<ResultLocation>& location,
               const std::string& outputFolder, const std::optional<RunReport>& report) override {
    std::string table = plainText(tableName);
    if (!location) {
      emitOutput(table + ": written, but no new results folder was found in " +
                 plainText(outputFolder) + "\n");
    } else {
      std::string how = location->method == "unknown"
                            ? std::string("recovered")
                            : "recovered by the " + location->method + " method";
      std::string count = location->records ? std::to_string(*location->records) + " records"
                                            : std::string("record count unreadable");
      emitOutput(table + ": " + how + ", " + count + "\n");
      emitOutput("  results folder: " + plainText(location->folder) + "\n");
      if (!location->table.empty()) {
        emitOutput("  result table:   " + plainText(location->table) + "\n");
      }
    }
    if (report) emitReportLines(*report);
    std::fflush(stdout);
  }

  void failed(const std::string& table, int32_t, const std::string& sentence,
              const std::optional<RunReport>&) override {
    emitError(plainText(table) + ": " + plainText(sentence) + "\n");
  }

  void stoppedWhileWriting(const std::string& table, const std::optional<ResultLocation>&,
                           const std::string& sentence) override {
    emitError(plainText(table) + ": " + plainText(sentence) + "\n");
  }

  void notRun(const std::string& table, const std::string& sentence) override {
    emitError(plainText(table) + ": " + sentence + "\n");
  }

  void notWritten(const std::string& table, const std::optional<ResultLocation>&,
                  const std::string& sentence) override {
    emitError(plainText(table) + ": " + plainText(sentence) + "\n");
  }
};

// Failures only.
class QuietSink : public LineSink {
 public:
  void beginTable(const std::string&) override {}
  void status(const std::string&, const std::string&) override {}
  void progress(const std::string&, int32_t) override {}
  void endRun() override {}
  void written(const std::string&, const std::optional<ResultLocation>&, const std::string&,
               const std::optional<RunReport>&) override {}
};

// Pass lines end in "..."; any other status text closes the open Pass line
// (the engine's "done", in whatever language the stage texts came in).
class PlainSink : public LineSink {
 public:
  void beginTable(const std::string& table) override {
    stageOpen_ = false;
    emitError("Recovering " + plainText(table) + "\n");
  }

  void status(const std::string&, const std::string& raw) override {
    std::string text = plainText(raw);
    if (endsWith(text, "...")) {
      if (stageOpen_) emitError("\n");
      emitError(text);
      stageOpen_ = true;
    } else if (stageOpen_) {
      emitError(" " + text + "\n");
      stageOpen_ = false;
    } else {
      emitError(text + "\n");
    }
  }

  void progress(const std::string&, int32_t) override {}

  void endRun() override {
    if (stageOpen_) emitError("\n");
    stageOpen_ = false;
  }

 private:
  bool stageOpen_ = false;
};

// The open Pass line carries a progress bar that each report redraws in
// place.
class TerminalSink : public LineSink {
 public:
  void beginTable(const std::string& table) override {
    stage_.clear();
    stageOpen_ = false;
    percent_ = -1;
    emitError("Recovering " + plainText(table) + "\n");
  }

  void status(const std::string&, const std::string& raw) override {
    std::string text = plainText(raw);
    if (endsWith(text, "...")) {
      if (stageOpen_) writeLine(stage_);
      stage_ = text;
      stageOpen_ = true;
      drawBar();
    } else if (stageOpen_) {
      writeLine(stage_ + " " + text);
      stageOpen_ = false;
      stage_.clear();
    } else {
      writeLine(text);
    }
  }

  void progress(const std::string&, int32_t percent) override {
    percent_ = percent < 0 ? 0 : percent > 100 ? 100 : percent;
    drawBar();
  }

  void endRun() override {
    if (stageOpen_) {
      writeLine(stage_);
    } else if (barShown_) {
      emitError("\r\033[K");
    }
    barShown_ = false;
    stageOpen_ = false;
  }

 private:
  static int columns() {
    int columns = platform::TerminalColumns(ConsoleStream::kError);
    return columns >= 20 ? columns : 80;
  }

  void writeLine(const std::string& line) {
    emitError("\r\033[K" + line + "\n");
    barShown_ = false;
  }

  void drawBar() {
    constexpr int kBarWidth = 20;
    int percent = percent_ < 0 ? 0 : percent_;
    int filled = percent * kBarWidth / 100;
    std::string bar = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') +
                      "] " + std::to_string(percent) + "%";
    // The line must not wrap, or the carriage return would redraw only its
    // last part.
    size_t room = static_cast<size_t>(columns() - 1);
    std::string line = bar;
    if (stageOpen_ && room > bar.size() + 1) {
      line = cutToFit(stage_, room - bar.size() - 1) + " " + bar;
    }
    line = cutToFit(line, room);
    emitError("\r\033[K" + line);
    barShown_ = true;
  }

  std::string stage_;
  bool stageOpen_ = false;
  bool barShown_ = false;
  int percent_ = -1;
};

// Every report is a line {"table":...,"type":...,...} on stdout, flushed at
// once for the reader at the other end of a pipe.
class JsonSink : public ReportSink {
 public:
  void beginTable(const std::string& table) override { emitJson(table, "\"type\":\"start\""); }

  void status(const std::string& table, const std::string& text) override {
    emitJson(table, "\"type\":\"status\",\"text\":" + jsonString(text));
  }

  void notReadyStatus(const std::string& table, const std::string& text) override {
    status(table, text);
  }

  void progress(const std::string& table, int32_t percent) override {
    emitJson(table, "\"type\":\"progress\",\"percent\":" + std::to_string(percent));
  }

  void endRun() override {}

  void written(const std::string& table, const std::optional<ResultLocation>& location,
               const std::string&, const std::optional<RunReport>& report) override {
    std::string fields = "\"type\":\"result\",\"code\":0,\"exit\":0,\"outcome\":\"written\"";
    if (location) {
      fields += ",\"method\":" + jsonString(location->method);
      fields += ",\"folder\":" + jsonString(location->folder);
      fields += ",\"file\":" + (location->table.empty() ? "null" : jsonString(location->table));
      fields += ",\"records\":" +
                (location->records ? std::to_string(*location->records) : std::string("null"));
    } else {
      fields += ",\"method\":null,\"folder\":null,\"file\":null,\"records\":null";
    }
    emitJson(table, fields + jsonReport(report));
  }

  void failed(const std::string& table, int32_t code, const std::string& sentence,
              const std::optional<RunReport>& report) override {
    emitJson(table, "\"type\":\"result\",\"code\":" + std::to_string(code) +
                        ",\"exit\":" + std::to_string(exitStatusForCode(code)) +
                        ",\"outcome\":\"" + outcomeName(code) +
                        "\",\"message\":" + jsonString(sentence) + jsonReport(report));
  }

  void stoppedWhileWriting(const std::string& table, const std::optional<ResultLocation>& location,
                           const std::string& sentence) override {
    emitJson(table, "\"type\":\"result\",\"code\":" + std::to_string(KEST_INTERNAL) +
                        ",\"exit\":" + std::to_string(kExitUserBreak) +
                        ",\"outcome\":\"user-break\",\"folder\":" +
                        (location ? jsonString(location->folder) : std::string("null")) +
                        ",\"message\":" + jsonString(sentence));
  }

  void notWritten(const std::string& table, const std::optional<ResultLocation>& location,
                  const std::string& sentence) override {
    emitJson(table, "\"type\":\"result\",\"code\":" + std::to_string(KEST_INTERNAL) +
                        ",\"exit\":" + std::to_string(kExitNotWritten) +
                        ",\"outcome\":\"not-written\",\"folder\":" +
                        (location ? jsonString(location->folder) : std::string("null")) +
                        ",\"message\":" + jsonString(sentence));
  }

  void notRun(const std::string& table, const std::string& sentence) override {
    emitJson(table, std::string("\"type\":\"result\",\"code\":null,\"exit\":") +
                        std::to_string(kExitUserBreak) +
                        ",\"outcome\":\"not-run\",\"message\":" + jsonString(sentence));
  }

 private:
  static void emitJson(const std::string& table, const std::string& fields) {
    emitOutput("{\"table\":" + jsonString(table) + "," + fields + "}\n");
    std::fflush(stdout);
  }
};

std::optional<ResultLocation> inUtf8(std::optional<ResultLocation> location) {
  if (location) {
    location->folder = platform::NarrowToUtf8(location->folder);
    location->table = platform::NarrowToUtf8(location->table);
  }
  return location;
}

// What a run that stopped while writing left in its results folder (the
// engine takes back what it did not finish; a file under its temporary
// name is one it could not remove).
std::string whatIsLeft(const std::optional<ResultLocation>& location) {
  if (!location) return "No results folder was left.";
  std::vector<std::string> names = folderContents(location->folder);
  std::string folder = "The results folder " + location->folder;
  if (names.empty()) return folder + " is left empty.";
  std::string list;
  bool partial = false;
  for (const std::string& name : names) {
    list += (list.empty() ? "" : ", ") + platform::NarrowToUtf8(name);
    partial = partial || name.ends_with(kPartialSuffix);
  }
  return folder + " holds " + list +
         (partial ? "; a name ending in " + std::string(kPartialSuffix) +
                        " is an unfinished file, not a table."
                  : ".");
}

}  // namespace

RunReport reportFromEngine(const KestRecoverReport& raw) {
  RunReport report;
  report.method = raw.method == 1 ? "best-case" : raw.method == 2 ? "worst-case" : "none";
  report.records = raw.recordsWritten;
  report.deleted = raw.deletedRecords;
  report.jammed = raw.jammedRecords;
  report.invalid = raw.invalidRecords;
  report.cutOff = raw.cutOffRecords;
  report.repairCount = raw.repairCount;
  for (uint32_t i = 0; i < raw.repairCount && i < KEST_REPORT_REPAIRS; ++i) {
    // An engine that fills a text to its last byte still ends it here.
    std::string text(raw.repairs[i], strnlen(raw.repairs[i], KEST_REPORT_TEXT));
    report.repairs.push_back(platform::NarrowToUtf8(text));
  }
  report.failure =
      platform::NarrowToUtf8(std::string(raw.failure, strnlen(raw.failure, sizeof raw.failure)));
  return report;
}

std::unique_ptr<ReportSink> makeSink(Style style) {
  switch (style) {
    case Style::kJson:
      return std::make_unique<JsonSink>();
    case Style::kTerminal:
      return std::make_unique<TerminalSink>();
    case Style::kPlain:
      return std::make_unique<PlainSink>();
    case Style::kQuiet:
      break;
  }
  return std::make_unique<QuietSink>();
}

Reporter::Reporter(Style style) : style_(style), sink_(makeSink(style)) {}

void Reporter::note(const std::string& text) {
  if (style_ == Style::kQuiet) return;
  emitError(plainText(text) + "\n");
}

void Reporter::beginTable(const std::string& table) {
  table_ = platform::NarrowToUtf8(table);
  notReady_.clear();
  sink_->beginTable(table_);
}

void Reporter::status(const char* raw) {
  std::string text = platform::NarrowToUtf8(raw != nullptr ? raw : "");
  if (text.rfind(kNotReadyPrefix, 0) == 0) {
    notReady_ = text;
    sink_->notReadyStatus(table_, text);
    return;
  }
  sink_->status(table_, text);
}

void Reporter::progress(int32_t percent) { sink_->progress(table_, percent); }

void Reporter::endRun() { sink_->endRun(); }

void Reporter::written(const std::optional<ResultLocation>& location,
                       const std::string& outputFolder, const std::optional<RunReport>& report) {
  sink_->written(table_, inUtf8(location), platform::NarrowToUtf8(outputFolder), report);
}

void Reporter::failed(int32_t code, const std::optional<RunReport>& report) {
  std::string sentence = failureSentence(code, report ? report->failure : std::string());
  if (code == KEST_INTERNAL && !notReady_.empty()) {
    sentence = notReady_;
    if (!endsWith(sentence, ".")) sentence += '.';
  }
  sink_->failed(table_, code, sentence, report);
}

void Reporter::stoppedWhileWriting(const std::optional<ResultLocation>& raw) {
  std::optional<ResultLocation> location = inUtf8(raw);
  std::string sentence = "Stopped by the user while the result was being written. " +
                         whatIsLeft(location);
  sink_->stoppedWhileWriting(table_, location, sentence);
}

void Reporter::notWritten(const std::optional<ResultLocation>& raw, const std::string& reason) {
  std::optional<ResultLocation> location = inUtf8(raw);
  std::string sentence = "The result could not be written whole: " +
                         platform::NarrowToUtf8(reason) + ". " + whatIsLeft(location);
  sink_->notWritten(table_, location, sentence);
}

void Reporter::notRun(const std::string& table) {
  table_ = platform::NarrowToUtf8(table);
  sink_->notRun(table_, "Not run: stopped by the user.");
}

}  // namespace kest::host
