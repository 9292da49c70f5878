#include "host/serve_desk.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "host/cli_text.h"
#include "host/export.h"
#include "host/serve_files.h"
#include "host/table_files.h"
#include "host/table_survey.h"
#include "kestdll/include/kestdll.h"
#include "platform/console.h"
#include "platform/path.h"
#include "reader/field_value.h"
#include "reader/memo_file.h"
#include "reader/table.h"
#include "reader/text_decoder.h"

namespace kest::host {

using nlohmann::ordered_json;

struct ServeDesk::Table {
  int id = 0;
  std::string label;
  std::string memoLabel;
  std::string memoExtension;  // "fpt" or "dbt" once a memo file came
  uint64_t size = 0;
  DeskState state = DeskState::kReceiving;
  int percent = 0;
  std::string stage;
  std::string message;  // why a run failed or stopped
  std::string outcome;  // the failed run's outcome name ("nothing-to-recover", ...)
  bool cancelAsked = false;
  int runs = 0;  // each run gets a folder of its own (see runOne)
  std::optional<RunReport> report;
  std::optional<ResultLocation> result;
  ordered_json inspection;
  std::string inspectionText;
  bool inspectionHealthy = false;
  // The first records as the table holds them, and as the result holds them.
  ordered_json preview = ordered_json::array();
  std::string previewNote;
  ordered_json resultPreview = ordered_json::array();
};

// What the engine's callbacks are handed.
struct ServeDesk::Run {
  ServeDesk* desk;
  Table* table;
};

namespace {

using platform::Status;

const char kSourceName[] = "table.dbf";

// The engine calls these on the worker; nothing may be thrown back across
// the C interface.
int32_t KEST_CALL onStatus(const char* text, void* userData);
int32_t KEST_CALL onProgress(const char* text, int32_t percent, void* userData);

ordered_json reportJson(const RunReport& r) {
  ordered_json j;
  j["method"] = r.method;
  j["records"] = r.records;
  j["deleted"] = r.deleted;
  j["jammed"] = r.jammed;
  j["invalid"] = r.invalid;
  j["cutOff"] = r.cutOff;
  j["repairCount"] = r.repairCount;
  j["repairs"] = r.repairs;
  return j;
}

std::string stemOf(const std::string& label) {
  size_t dot = label.rfind('.');
  return dot == std::string::npos || dot == 0 ? label : label.substr(0, dot);
}

bool upperCaseExtension(const std::string& label) {
  size_t dot = label.rfind('.');
  if (dot == std::string::npos) return false;
  for (char c : label.substr(dot + 1)) {
    if (c >= 'a' && c <= 'z') return false;
  }
  return dot + 1 < label.size();
}

std::string withCase(std::string text, bool upper) {
  for (char& c : text) {
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Records shown before and after a recovery; records looked at for them
// before the table is given up as holding no live one near its start.
constexpr size_t kPreviewRecords = 10;
constexpr uint64_t kPreviewScan = 1000;
constexpr uint64_t kResultPreviewLimit = 256ull << 20;

ordered_json valueJson(const reader::Value& v) {
  switch (v.kind) {
    case reader::Value::Kind::kNull: return nullptr;
    case reader::Value::Kind::kBool: return v.boolean;
    case reader::Value::Kind::kInteger: return v.integer;
    case reader::Value::Kind::kReal: return v.real;
    default: return v.text;
  }
}

// The first live records of a table as its header describes them, read
// directly: the export of a damaged table would run the engine, which
// belongs to the queue.
ordered_json sourcePreview(const std::string& path, std::string* note) {
  ordered_json records = ordered_json::array();
  std::string error;
  std::unique_ptr<reader::Table> table = reader::Table::Open(path, &error);
  if (!table) {
    *note = "No preview: " + plainText(error);
    return records;
  }
  std::unique_ptr<reader::MemoFile> memo = reader::MemoFile::Open(path, table->header());
  reader::TextDecoder text(reader::defaultEncoding(table->header()));
  reader::FieldDecoder decoder(table->header(), memo.get(), &text);
  uint64_t scan = std::min<uint64_t>(table->readableRecords(), kPreviewScan);
  for (uint64_t i = 0; i < scan && records.size() < kPreviewRecords; ++i) {
    std::string_view bytes;
    if (!table->record(i, &bytes)) break;
    // Deleted and jammed records stay out of the result, and so out of here.
    if (bytes.empty() || static_cast<uint8_t>(bytes[0]) != reader::kLiveFlag) continue;
    ordered_json record;
    for (const reader::Field& field : table->fields()) {
      if (reader::isSystemField(field)) continue;
      reader::Value value;
      std::string reason;
      decoder.decode(field, bytes, &value, &reason);
      record[plainText(field.name)] = valueJson(value);
    }
    records.push_back(std::move(record));
  }
  if (records.empty()) *note = "No preview: no live record near the start of the table.";
  return records;
}

// The first records of a JSON Lines file, as JSON.
ordered_json firstRecords(const std::string& path) {
  ordered_json records = ordered_json::array();
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (records.size() < kPreviewRecords && std::getline(in, line)) {
    ordered_json record = ordered_json::parse(line, nullptr, false);
    if (!record.is_discarded()) records.push_back(record);
  }
  return records;
}

}  // namespace

const char* deskStateName(DeskState state) {
  switch (state) {
    case DeskState::kReceiving: return "receiving";
    case DeskState::kReady: return "ready";
    case DeskState::kQueued: return "queued";
    case DeskState::kRunning: return "running";
    case DeskState::kDone: return "done";
    case DeskState::kFailed: return "failed";
    case DeskState::kCancelled: return "cancelled";
  }
  return "unknown";
}

DeskAnswer DeskAnswer::error(int status, const std::string& message) {
  DeskAnswer answer;
  answer.status = status;
  answer.body["error"] = message;
  return answer;
}

ServeDesk::ServeDesk(platform::Env* env, std::string folder, std::optional<Engine> engine,
                     std::string engineProblem, uint64_t uploadLimit)
    : env_(env),
      folder_(std::move(folder)),
      engine_(std::move(engine)),
      engineProblem_(std::move(engineProblem)),
      uploadLimit_(uploadLimit) {
  if (engine_) engine_->setBreakFlag(const_cast<char*>(&breakByte_));
  worker_ = std::thread([this] { work(); });
}

ServeDesk::~ServeDesk() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    if (running_ != 0) breakByte_ = 1;
  }
  wake_.notify_all();
  worker_.join();
}

std::string ServeDesk::tableFolder(int id) const {
  return platform::InFolder(folder_, std::to_string(id));
}

std::optional<std::pair<int, std::string>> ServeDesk::beginTable(const std::string& label,
                                                                 DeskAnswer* answer) {
  std::optional<std::string> plain = uploadLabel(label);
  if (!plain) {
    *answer = DeskAnswer::error(400, "A file name, not a path, please: names are only labels.");
    return std::nullopt;
  }
  int id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = nextId_++;
    auto table = std::make_unique<Table>();
    table->id = id;
    table->label = *plain;
    tables_[id] = std::move(table);
  }
  std::string folder = tableFolder(id);
  std::string in = platform::InFolder(folder, "in");
  for (const std::string& made : {folder, in}) {
    if (Status s = env_->CreateFolder(made); !s) {
      endUpload(id, false, 500, s.text());
      *answer = DeskAnswer::error(500, "The server cannot make a folder for the table: " +
                                           s.text());
      return std::nullopt;
    }
  }
  return std::make_pair(id, platform::InFolder(in, kSourceName));
}

std::optional<std::string> ServeDesk::beginMemo(int id, const std::string& label,
                                                DeskAnswer* answer) {
  std::optional<std::string> plain = uploadLabel(label);
  if (!plain) {
    *answer = DeskAnswer::error(400, "A file name, not a path, please: names are only labels.");
    return std::nullopt;
  }
  std::string extension = labelExtension(*plain);
  if (extension != "fpt" && extension != "dbt") {
    *answer = DeskAnswer::error(400, "A memo file ends in .fpt or .dbt.");
    return std::nullopt;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = tables_.find(id);
  if (it == tables_.end()) {
    *answer = DeskAnswer::error(404, "No such table.");
    return std::nullopt;
  }
  Table& table = *it->second;
  if (table.state != DeskState::kReady || !table.memoExtension.empty()) {
    *answer = DeskAnswer::error(409, "This table has its memo file already, or is in use.");
    return std::nullopt;
  }
  table.state = DeskState::kReceiving;
  table.memoExtension = extension;
  table.memoLabel = *plain;
  return platform::InFolder(platform::InFolder(tableFolder(id), "in"),
                            std::string("table.") + extension);
}

DeskAnswer ServeDesk::endUpload(int id, bool memo, int failedStatus,
                                const std::string& problem) {
  Table* table;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = tables_.find(id);
    if (it == tables_.end()) return DeskAnswer::error(404, "No such table.");
    table = it->second.get();
    if (failedStatus != 0) {
      if (memo) {
        table->memoExtension.clear();
        table->memoLabel.clear();
        table->state = DeskState::kReady;
      } else {
        tables_.erase(it);
      }
      return DeskAnswer::error(failedStatus, problem);
    }
  }
  // The table is read by inspect alone while it is receiving: nothing
  // else touches it until it is ready.
  std::string source = platform::InFolder(platform::InFolder(tableFolder(id), "in"), kSourceName);
  std::unique_ptr<platform::ReadableFile> file;
  uint64_t size = env_->OpenReadOnly(source, &file) ? file->Size() : 0;
  file.reset();
  InspectOptions options;
  options.tables = {source};
  options.sampleRecords = 100000;
  std::ostringstream text, json;
  int status = kInspectUnreadable;
  // A table inspect cannot take apart is still a table to recover: the
  // page then says it could not be read.
  try {
    status = RunInspect(options, text);
    options.json = true;
    RunInspect(options, json);
  } catch (const std::exception& failure) {
    text << "The table could not be looked at: " << failure.what() << "\n";
  }
  ordered_json inspection = ordered_json::parse(json.str(), nullptr, false);
  std::string previewNote;
  ordered_json preview = ordered_json::array();
  if (inspection.value("verdict", "").rfind("header destroyed", 0) == 0) {
    previewNote = "No preview: the header is destroyed, and only the recovery can work out "
                  "where the fields lie.";
  } else {
    try {
      preview = sourcePreview(source, &previewNote);
    } catch (const std::exception&) {
      previewNote = "No preview: the records cannot be read as the header describes them.";
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  table->preview = preview;
  table->previewNote = previewNote;
  table->size = size;
  table->inspection = inspection.is_discarded() ? ordered_json() : inspection;
  // The user knows the files by their labels, not by their places in the
  // private folder.
  if (table->inspection.is_object()) {
    table->inspection["table"] = table->label;
    ordered_json& plausible = table->inspection["plausibility"];
    if (plausible.is_object() && plausible["memoFiles"].is_array()) {
      for (ordered_json& memoFile : plausible["memoFiles"]) {
        std::string file = memoFile.value("file", "");
        bool ours = !table->memoExtension.empty() &&
                    labelExtension(file) == table->memoExtension;
        memoFile["file"] = ours ? table->memoLabel : std::string(platform::FileNameOf(file));
      }
    }
  }
  // The report names the file by its path in the private folder; the user
  // knows it by its label.
  std::string shown = text.str();
  std::string memoPath = platform::InFolder(platform::FolderOf(source),
                                            "table." + table->memoExtension);
  for (auto [path, label] : {std::pair(memoPath, table->memoLabel),
                             std::pair(source, table->label)}) {
    for (size_t at; !label.empty() && (at = shown.find(path)) != std::string::npos;) {
      shown.replace(at, path.size(), label);
    }
  }
  table->inspectionText = shown;
  table->inspectionHealthy = status == kInspectHealthy;
  table->state = DeskState::kReady;
  DeskAnswer answer;
  answer.body = describe(*table, 0);
  return answer;
}

ordered_json ServeDesk::describe(const Table& t, size_t queuePlace) const {
  ordered_json j;
  j["id"] = t.id;
  j["name"] = t.label;
  j["memo"] = t.memoLabel.empty() ? ordered_json(nullptr) : ordered_json(t.memoLabel);
  j["size"] = t.size;
  j["state"] = deskStateName(t.state);
  j["healthy"] = t.inspectionHealthy;
  if (queuePlace != 0) j["queuePlace"] = queuePlace;
  if (t.state == DeskState::kRunning || t.state == DeskState::kDone) {
    j["percent"] = t.percent;
    j["stage"] = t.stage;
  }
  if (!t.message.empty()) j["message"] = t.message;
  if (!t.outcome.empty()) j["outcome"] = t.outcome;
  if (t.report) j["report"] = reportJson(*t.report);
  if (t.result) {
    ordered_json r;
    r["method"] = t.result->method;
    if (t.result->records) r["records"] = *t.result->records;
    r["downloads"] = {"zip", "csv", "jsonl"};
    for (const std::string& format : ExportFormats()) {
      if (format == "sqlite") r["downloads"].push_back("sqlite");
    }
    j["result"] = r;
  }
  return j;
}

DeskAnswer ServeDesk::list() const {
  std::lock_guard<std::mutex> lock(mutex_);
  DeskAnswer answer;
  answer.body["tables"] = ordered_json::array();
  for (const auto& [id, table] : tables_) {
    if (table->state == DeskState::kReceiving) continue;
    size_t place = 0;
    for (size_t i = 0; i < queue_.size(); ++i) {
      if (queue_[i] == id) place = i + 1;
    }
    answer.body["tables"].push_back(describe(*table, place));
  }
  answer.body["running"] = running_ == 0 ? ordered_json(nullptr) : ordered_json(running_);
  answer.body["waiting"] = queue_.size();
  return answer;
}

DeskAnswer ServeDesk::inspect(int id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = tables_.find(id);
  if (it == tables_.end() || it->second->state == DeskState::kReceiving) {
    return DeskAnswer::error(404, "No such table.");
  }
  const Table& table = *it->second;
  DeskAnswer answer;
  answer.body["table"] = describe(table, 0);
  answer.body["text"] = table.inspectionText;
  answer.body["report"] = table.inspection;
  answer.body["preview"] = table.preview;
  if (!table.previewNote.empty()) answer.body["previewNote"] = table.previewNote;
  answer.body["resultPreview"] = table.resultPreview;
  return answer;
}

DeskAnswer ServeDesk::recover(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = tables_.find(id);
  if (it == tables_.end() || it->second->state == DeskState::kReceiving) {
    return DeskAnswer::error(404, "No such table.");
  }
  Table& table = *it->second;
  if (table.state == DeskState::kQueued || table.state == DeskState::kRunning ||
      table.state == DeskState::kDone) {
    return DeskAnswer::error(409, "This table is waiting, running or recovered already.");
  }
  table.state = DeskState::kQueued;
  table.message.clear();
  table.outcome.clear();
  table.report.reset();
  table.cancelAsked = false;
  queue_.push_back(id);
  wake_.notify_all();
  DeskAnswer answer;
  answer.status = 202;
  answer.body = describe(table, queue_.size());
  return answer;
}

DeskAnswer ServeDesk::cancel(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = tables_.find(id);
  if (it == tables_.end() || it->second->state == DeskState::kReceiving) {
    return DeskAnswer::error(404, "No such table.");
  }
  Table& table = *it->second;
  if (table.state == DeskState::kQueued) {
    for (auto q = queue_.begin(); q != queue_.end(); ++q) {
      if (*q == id) {
        queue_.erase(q);
        break;
      }
    }
    table.state = DeskState::kCancelled;
    table.message = "Taken out of the queue before it ran; nothing was written.";
  } else if (table.state == DeskState::kRunning) {
    table.cancelAsked = true;
    breakByte_ = 1;
  } else {
    return DeskAnswer::error(409, "This table is neither waiting nor running.");
  }
  DeskAnswer answer;
  answer.body = describe(table, 0);
  return answer;
}

void ServeDesk::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    int id = queue_.front();
    queue_.pop_front();
    Table* table = tables_[id].get();
    table->state = DeskState::kRunning;
    table->percent = 0;
    table->stage = "Starting";
    running_ = id;
    lock.unlock();
    runOne(table);
    lock.lock();
    running_ = 0;
  }
}

namespace {

int32_t KEST_CALL onStatus(const char* text, void* userData) {
  try {
    auto* run = static_cast<ServeDesk::Run*>(userData);
    run->desk->noteStatus(run->table, text, -1);
  } catch (...) {
  }
  return 0;
}

int32_t KEST_CALL onProgress(const char*, int32_t percent, void* userData) {
  try {
    auto* run = static_cast<ServeDesk::Run*>(userData);
    run->desk->noteStatus(run->table, nullptr, percent);
  } catch (...) {
  }
  return 0;
}

}  // namespace

void ServeDesk::noteStatus(Table* table, const char* text, int percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (text != nullptr) {
    // The engine names a pass ("Pass 2: trying ...") and reports its end
    // ("done") apart: both belong on one line.
    std::string said = plainText(platform::NarrowToUtf8(text));
    bool continues = table->stage.size() >= 3 &&
                     table->stage.compare(table->stage.size() - 3, 3, "...") == 0;
    table->stage = continues && said.rfind("Pass", 0) != 0 ? table->stage + " " + said : said;
  }
  if (percent >= 0 && percent <= 100) table->percent = percent;
  // The engine clears the byte as a run begins: a Cancel that came just
  // before is set again at its first report.
  if (table->cancelAsked || stopping_) breakByte_ = 1;
}

void ServeDesk::runOne(Table* table) {
  // A second run within the same minute would meet the first one's results
  // folder of the same name: every run gets a new output folder.
  std::string folder = tableFolder(table->id);
  std::string output = platform::InFolder(folder, "out" + std::to_string(++table->runs));
  std::string source = platform::InFolder(platform::InFolder(folder, "in"), kSourceName);
  KestRecoverReport raw{};
  raw.size = sizeof raw;
  int32_t code = KEST_INTERNAL;
  std::string problem;
  if (!engine_) {
    problem = "The recovery engine could not be loaded: " + engineProblem_;
  } else if (Status s = env_->CreateFolder(output); !s) {
    problem = "The server cannot make a folder for the result: " + s.text();
  } else {
    Run run{this, table};
    std::lock_guard<std::mutex> engineLock(engineMutex_);
    // An export that recovered a table first may have handed the engine a
    // break byte of its own.
    engine_->setBreakFlag(const_cast<char*>(&breakByte_));
    if (engine_->fileRecoverEx != nullptr) {
      KestRecoverOptions chosen{};
      chosen.size = sizeof chosen;
      chosen.flags = KEST_THOROUGH;
      code = engine_->fileRecoverEx(source.c_str(), output.c_str(), 0, onStatus, onProgress, &run,
                                    nullptr, &chosen, &raw);
    } else {
      code = engine_->fileRecover(source.c_str(), output.c_str(), 0, onStatus, onProgress, &run,
                                  nullptr);
    }
  }
  std::optional<ResultLocation> result;
  if (code == KEST_OK) result = findNewResult(output, source, {});
  ordered_json resultPreview = ordered_json::array();
  uint64_t resultSize = UINT64_MAX;
  if (std::unique_ptr<platform::ReadableFile> file;
      result && !result->table.empty() && env_->OpenReadOnly(result->table, &file)) {
    resultSize = file->Size();
  }
  if (resultSize <= kResultPreviewLimit) {
    // The JSON Lines download made now: its first lines are the preview.
    // A larger result would hold the queue up; its download is made when
    // asked for.
    DeskAnswer made = makeDownload(table->id, table->label, *result, "jsonl");
    if (!made.file.empty()) resultPreview = firstRecords(made.file);
  }
  std::string writeError(raw.writeError, strnlen(raw.writeError, sizeof raw.writeError));

  std::lock_guard<std::mutex> lock(mutex_);
  if (engine_ && engine_->fileRecoverEx != nullptr) table->report = reportFromEngine(raw);
  bool stopped = table->cancelAsked || stopping_;
  if (code == KEST_OK && result && !result->table.empty()) {
    table->state = DeskState::kDone;
    table->result = result;
    table->resultPreview = resultPreview;
    table->percent = 100;
  } else if (stopped && (code == KEST_USER_BREAK || code == KEST_INTERNAL || code == KEST_OK)) {
    table->state = DeskState::kCancelled;
    table->message = "Stopped at your request; no result was kept.";
  } else {
    table->state = DeskState::kFailed;
    table->outcome = outcomeName(code);
    if (!problem.empty()) {
      table->message = problem;
    } else if (code == KEST_OK) {
      table->message = "The engine reported a result, but none was found.";
    } else if (code == KEST_INTERNAL && !writeError.empty()) {
      table->message = "The result could not be written whole: " +
                       plainText(platform::NarrowToUtf8(writeError)) + ".";
    } else {
      table->message =
          failureSentence(code, table->report ? table->report->failure : std::string());
    }
  }
  table->cancelAsked = false;
}

DeskAnswer ServeDesk::download(int id, const std::string& format) {
  std::vector<std::string> formats = ExportFormats();
  bool exported = false;
  for (const std::string& f : formats) exported = exported || f == format;
  if (format != "zip" && !exported) return DeskAnswer::error(404, "No such download.");
  std::string label;
  ResultLocation result;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = tables_.find(id);
    if (it == tables_.end() || it->second->state != DeskState::kDone) {
      return DeskAnswer::error(404, "This table has no result to download.");
    }
    label = it->second->label;
    result = *it->second->result;
  }
  return makeDownload(id, label, result, format);
}

DeskAnswer ServeDesk::makeDownload(int id, const std::string& label, const ResultLocation& result,
                                   const std::string& format) {  std::string stem = downloadName(stemOf(label), "table");
  bool upper = upperCaseExtension(label);
  std::string get = platform::InFolder(tableFolder(id), "get");
  std::string target = platform::InFolder(get, format);

  std::lock_guard<std::mutex> making(downloadMutex_);
  DeskAnswer answer;
  answer.downloadName = stem + "." + format;
  answer.contentType = format == "zip"     ? "application/zip"
                       : format == "csv"   ? "text/csv; charset=utf-8"
                       : format == "jsonl" ? "application/x-ndjson; charset=utf-8"
                                           : "application/vnd.sqlite3";
  if (format == "sqlite") answer.downloadName = stem + ".sqlite";
  std::string made =
      format == "zip" ? platform::InFolder(target, "result.zip")
      : format == "sqlite"
          ? platform::InFolder(target, "result.sqlite")
          : platform::InFolder(target, platform::SplitPath(result.table).name + "." + format);
  if (env_->KindOf(made) == platform::EntryKind::kFile) {
    answer.file = made;
    return answer;
  }
  if (env_->KindOf(get) == platform::EntryKind::kMissing) env_->CreateFolder(get);
  if (env_->KindOf(target) == platform::EntryKind::kMissing) env_->CreateFolder(target);
  if (format == "zip") {
    std::string tableExtension = labelExtension(label).empty() ? "dbf" : labelExtension(label);
    std::vector<ZipEntry> entries = {{stem + "." + withCase(tableExtension, upper), result.table}};
    for (const std::string& memo : memoCompanions(result.table)) {
      if (env_->KindOf(memo) != platform::EntryKind::kFile) continue;
      entries.push_back({stem + "." + withCase(labelExtension(memo), upper), memo});
      break;
    }
    if (Status s = writeStoredZip(env_, made, entries); !s) {
      return DeskAnswer::error(500, "The zip archive could not be made: " + s.text());
    }
  } else {
    ExportOptions options;
    options.format = format;
    options.tables = {result.table};
    options.output = format == "sqlite" ? made : target;
    std::ostringstream out, err;
    // Export recovers a table it finds damaged before it exports it: that
    // waits for the engine like any run.
    std::lock_guard<std::mutex> engineLock(engineMutex_);
    if (RunExport(options, out, err) != 0) {
      return DeskAnswer::error(500, "The export could not be made: " + plainText(err.str()));
    }
  }
  answer.file = made;
  return answer;
}

}  // namespace kest::host
