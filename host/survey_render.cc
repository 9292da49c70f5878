#include "host/survey_render.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "host/cli_text.h"

namespace kest::host {
namespace {

using nlohmann::ordered_json;

// Descriptors read from a destroyed header are noise; a few show that.
constexpr size_t kFieldsShownWhenNoise = 8;

std::string hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

std::string joinNumbers(const std::vector<uint64_t>& numbers) {
  std::string text;
  for (uint64_t n : numbers) text += (text.empty() ? "" : ", ") + std::to_string(n);
  return text;
}

ordered_json orNull(const std::string& text) {
  return text.empty() ? ordered_json(nullptr) : ordered_json(text);
}

const char* statusName(InspectStatus status) {
  switch (status) {
    case kInspectHealthy:
      return "healthy";
    case kInspectDamaged:
      return "damaged";
    case kInspectUnreadable:
      return "unreadable";
  }
  return "damaged";
}

}  // namespace

const char* recoveryPathName(RecoveryPath path) {
  switch (path) {
    case RecoveryPath::kHeader:
      return "header";
    case RecoveryPath::kRebuiltHeader:
      return "rebuilt header";
    case RecoveryPath::kWorkedOut:
      return "worked-out layout";
  }
  return "header";
}

void writeSurveyJson(const TableSurvey& s, std::ostream& out) {
  ordered_json r;
  r["table"] = s.table;
  if (!s.error.empty()) {
    r["error"] = s.error;
  } else {
    const reader::Header& h = s.header;
    ordered_json& j = r["header"];
    j["version"] = h.version;
    j["versionMeaning"] = s.versionMeaning;
    j["lastUpdate"] = orNull(s.lastUpdate);
    j["recordCount"] = h.recordCount;
    j["headerLength"] = h.headerLength;
    j["recordLength"] = h.recordLength;
    j["tableFlags"] = h.tableFlags;
    j["codePage"] = h.codePage;
    j["encoding"] = orNull(s.encoding);
    j["fault"] = orNull(s.headerFault);
    ordered_json fields = ordered_json::array();
    for (const SurveyField& f : s.fields) {
      fields.push_back({{"name", f.name},
                        {"type", f.type},
                        {"place", f.place},
                        {"length", f.length},
                        {"decimals", f.decimals},
                        {"displacement", f.displacement},
                        {"problems", f.problems}});
    }
    r["fields"] = fields;
    ordered_json& p = r["plausibility"];
    p["fileSize"] = s.fileSize;
    p["expectedSize"] = s.expectedSize;
    p["recordsInFile"] = s.recordsInFile;
    p["terminatorAt"] = s.terminatorAt ? ordered_json(*s.terminatorAt) : ordered_json(nullptr);
    p["fieldLengthsPlusFlag"] = s.fieldLengthsPlusFlag;
    ordered_json memos = ordered_json::array();
    for (const SurveyMemoFile& m : s.memoFiles) {
      ordered_json memo = {{"file", m.file}, {"size", m.size}};
      if (m.used) {
        memo["used"] = true;
        memo["layout"] = m.layout;
        memo["blockSize"] = m.blockSize;
      }
      memos.push_back(memo);
    }
    p["memoFiles"] = memos;
    if (s.records) {
      const SurveyRecords& k = *s.records;
      ordered_json failures = ordered_json::array();
      for (const SurveyFieldFailure& f : k.failures) {
        failures.push_back(
            {{"field", f.field}, {"reason", f.reason}, {"records", f.records}, {"first", f.first}});
      }
      r["records"] = {{"read", k.read},         {"of", k.of},
                      {"live", k.live},         {"deleted", k.deleted},
                      {"jammed", k.jammed},     {"firstJammed", k.firstJammed},
                      {"failing", k.failing},   {"firstFailing", k.firstFailing},
                      {"failures", failures},   {"garbled", k.garbled},
                      {"firstGarbled", k.firstGarbled}};
    } else {
      r["records"] = nullptr;
    }
    r["recovery"] = {{"path", recoveryPathName(s.recovery.path)},
                     {"headerLength", s.recovery.headerLength},
                     {"recordLength", s.recovery.recordLength},
                     {"records", s.recovery.records},
                     {"text", s.recovery.text},
                     {"steps", s.recovery.steps}};
    r["variants"] = s.variants;
    r["problems"] = s.problems;
    r["notes"] = s.notes;
  }
  r["verdict"] = s.verdict;
  r["status"] = statusName(s.status);
  r["exit"] = static_cast<int>(s.status);
  out << r.dump(-1, ' ', false, ordered_json::error_handler_t::replace) << "\n";
}

void writeSurveyText(const TableSurvey& s, std::ostream& out) {
  out << plainText(s.table) << ":\n";
  if (!s.error.empty()) {
    out << "  verdict: " << plainText(s.verdict) << "\n";
    return;
  }
  const reader::Header& h = s.header;
  out << "  header\n"
      << "    version        " << hex(h.version) << " (" << s.versionMeaning << ")\n"
      << "    last update    " << (s.lastUpdate.empty() ? "none" : s.lastUpdate) << "\n"
      << "    record count   " << h.recordCount << "\n"
      << "    header length  " << h.headerLength << "\n"
      << "    record length  " << h.recordLength << "\n"
      << "    table flags    " << hex(h.tableFlags) << "\n"
      << "    code page      " << hex(h.codePage) << " (read as "
      << (s.encoding.empty() ? "ASCII only" : s.encoding) << ")\n";
  for (const std::string& variant : s.variants) out << "    sound variant  " << variant << "\n";
  const size_t shown =
      s.fieldsAreNoise ? std::min(s.fields.size(), kFieldsShownWhenNoise) : s.fields.size();
  out << "  fields (" << s.fields.size() << ")\n";
  char line[160];
  std::snprintf(line, sizeof line, "    %-11s %-4s %6s %6s %4s\n", "name", "type", "place",
                "length", "dec");
  out << line;
  for (size_t i = 0; i < shown; ++i) {
    const SurveyField& f = s.fields[i];
    std::snprintf(line, sizeof line, "    %-11s %-4s %6u %6u %4u", f.name.c_str(),
                  f.type.c_str(), f.place, f.length, f.decimals);
    out << line;
    for (const std::string& p : f.problems) out << "  <- " << p;
    out << "\n";
  }
  if (shown < s.fields.size()) {
    out << "    ... " << s.fields.size() - shown << " more, not shown (--json lists them)\n";
  }
  out << "  plausibility\n"
      << "    file size      " << s.fileSize << " bytes; header and counted records take "
      << s.expectedSize << " (+1 end-of-file byte)\n"
      << "    whole records  " << s.recordsInFile << " in the file\n"
      << "    terminator     "
      << (s.terminatorAt ? "at byte " + std::to_string(*s.terminatorAt) : "not found") << "\n"
      << "    field lengths  " << s.fieldLengthsPlusFlag << " bytes with the deletion flag\n";
  if (s.memoFiles.empty()) out << "    memo files     none\n";
  for (const SurveyMemoFile& m : s.memoFiles) {
    out << "    memo file      " << plainText(m.file) << ", " << m.size << " bytes";
    if (m.used) out << ", " << m.layout << " of " << m.blockSize << " bytes";
    out << "\n";
  }
  if (s.records) {
    const SurveyRecords& k = *s.records;
    out << "  records (" << k.read << " of " << k.of << " looked at)\n"
        << "    live " << k.live << ", deleted " << k.deleted << ", jammed " << k.jammed
        << ", failing a value check " << k.failing << "\n";
    for (const SurveyFieldFailure& f : k.failures) {
      out << "    " << f.field << ": " << f.reason << " in " << f.records << " records, first "
          << joinNumbers(f.first) << "\n";
    }
  }
  for (const std::string& problem : s.problems) out << "  problem: " << problem << "\n";
  for (const std::string& note : s.notes) out << "  note: " << note << "\n";
  out << "  recovery: " << s.recovery.text << "\n";
  for (const std::string& step : s.recovery.steps) out << "    " << step << "\n";
  out << "  verdict: " << s.verdict << "\n";
}

}  // namespace kest::host
