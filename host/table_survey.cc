#include "host/table_survey.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "host/cli_text.h"
#include "host/subcommand_cli.h"
#include "reader/field_value.h"
#include "reader/memo_file.h"
#include "reader/table.h"
#include "reader/text_decoder.h"

namespace kest::host {
namespace {

using nlohmann::ordered_json;
using reader::Field;
using reader::Header;
using reader::Table;

const char kUsageLine[] = "Usage: dbfrecover inspect [options] TABLE.dbf...\n";
const char kHelp[] =
    "Usage: dbfrecover inspect [options] TABLE.dbf...\n"
    "Shows what is wrong with each table before anything is written: the header\n"
    "as read, the field list, the plausibility of sizes and memo companions, a\n"
    "sample of the records, and a closing verdict. Reads only.\n"
    "\n"
    "Options:\n"
    "      --json           one JSON object per table on stdout\n"
    "      --sample N       records to look at (default 100000; 0 for all)\n"
    "      --encoding NAME  character set of the text (default: the table's code page)\n"
    "  -h, --help           show this help and exit\n"
    "\n"
    "Examples:\n"
    "  dbfrecover inspect calls.dbf\n"
    "  dbfrecover inspect --json --sample 0 *.dbf > report.jsonl\n"
    "\n"
    "Exit status:\n"
    "  0  every table is healthy\n"
    "  1  a table is damaged\n"
    "  4  a table cannot be read (missing, not a file, unreadable)\n"
    "  Over several tables the worst counts: 4, then 1.\n"
    "  2  usage error\n";

// Record numbers listed per problem.
constexpr size_t kFirstBadShown = 5;
constexpr size_t kFieldsShownWhenDestroyed = 8;

std::string hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

std::string updateDate(const Header& h) {
  if (h.updateMonth == 0 && h.updateDay == 0 && h.updateYear == 0) return "";
  // Most writers count the year from 1900, some store two digits.
  int year = 1900 + h.updateYear;
  if (year < 1980) year += 100;
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, h.updateMonth, h.updateDay);
  return text;
}

std::string nameText(const std::string& raw) { return plainText(raw); }

std::string joinNumbers(const std::vector<uint64_t>& numbers) {
  std::string text;
  for (uint64_t n : numbers) text += (text.empty() ? "" : ", ") + std::to_string(n);
  return text;
}

std::string plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

struct Problem {
  std::string text;
};

class Inspection {
 public:
  Inspection(Table& table, const InspectOptions& options) : table_(table), options_(options) {}

  ordered_json run() {
    const Header& h = table_.header();
    ordered_json report;
    report["table"] = table_.path();
    report["header"] = headerReport(h);
    bool destroyed = headerDestroyed(h);
    report["fields"] = fieldReport(h);
    report["plausibility"] = plausibility(h, destroyed);
    report["records"] = destroyed ? ordered_json(nullptr) : sample(h);
    if (destroyed) {
      problems_.insert(problems_.begin(),
                       "header destroyed: the worst-case method will have to guess the layout");
    }
    report["problems"] = problems_;
    report["notes"] = notes_;
    std::string verdict = "healthy";
    if (!problems_.empty()) {
      verdict = problems_.front();
      if (problems_.size() > 1) {
        verdict += " (and " + plural(problems_.size() - 1, "more problem", "more problems") + ")";
      }
    }
    report["verdict"] = verdict;
    report["status"] = problems_.empty() ? "healthy" : "damaged";
    report["exit"] = problems_.empty() ? kInspectHealthy : kInspectDamaged;
    return report;
  }

 private:
  ordered_json headerReport(const Header& h) {
    ordered_json j;
    j["version"] = h.version;
    j["versionMeaning"] = reader::versionMeaning(h.version);
    std::string date = updateDate(h);
    j["lastUpdate"] = date.empty() ? ordered_json(nullptr) : ordered_json(date);
    j["recordCount"] = h.recordCount;
    j["headerLength"] = h.headerLength;
    j["recordLength"] = h.recordLength;
    j["tableFlags"] = h.tableFlags;
    j["codePage"] = h.codePage;
    std::string encoding =
        options_.encoding.empty() ? reader::defaultEncoding(h) : options_.encoding;
    j["encoding"] = encoding.empty() ? ordered_json(nullptr) : ordered_json(encoding);
    return j;
  }

  bool headerDestroyed(const Header& h) {
    // A table of no fields is possible (records of the deletion flag alone).
    bool layoutLost = h.recordLength == 0 || (table_.fields().empty() && h.recordLength != 1) ||
                      (h.layout != reader::Layout::kDbase2 &&
                       (h.headerLength < 33 || h.headerLength > table_.fileSize()));
    return layoutLost || (!reader::knownVersion(h.version) && !table_.terminatorOffset());
  }

  ordered_json fieldReport(const Header& h) {
    ordered_json list = ordered_json::array();
    size_t bad = 0;
    for (const Field& f : table_.fields()) {
      ordered_json j;
      j["name"] = nameText(f.name);
      j["type"] = std::string(1, reader::hasNonPrintingByte(std::string(1, f.type)) ? '?' : f.type);
      j["place"] = f.offset;
      j["length"] = f.length;
      j["decimals"] = f.decimals;
      std::vector<std::string> wrong;
      j["displacement"] = f.displacement;
      // A wrong place counts even when the reader could not use it, unless
      // it is one no record can have in a version whose writers may leave
      // stale memory addresses there.
      bool placeMeant = reader::recordsDisplacements(h.version) || f.displacement <= 0xFFFF;
      bool beyond = uint64_t{f.offset} + f.length > h.recordLength ||
                    (placeMeant && f.displacement != 0 &&
                     uint64_t{f.displacement} + f.length > h.recordLength);
      if (beyond) wrong.push_back("place or length beyond the record");
      if (f.length == 0) wrong.push_back("length 0");
      if (!reader::knownTypeLetter(f.type))
        wrong.push_back("type letter no dBASE/FoxPro version uses");
      if (f.name.empty() || reader::hasNonPrintingByte(f.name))
        wrong.push_back("name with non-printing bytes");
      j["problems"] = wrong;
      if (!wrong.empty()) ++bad;
      list.push_back(j);
    }
    if (bad > 0) {
      problems_.push_back(plural(bad, "field descriptor cannot", "field descriptors cannot") +
                          " be right: the layout the header gives is damaged");
    }
    return list;
  }

  ordered_json plausibility(const Header& h, bool destroyed) {
    ordered_json j;
    const uint64_t size = table_.fileSize();
    const uint64_t expected = uint64_t{h.headerLength} + uint64_t{h.recordCount} * h.recordLength;
    // Opened first: telling stray bytes from records reads memo fields too.
    memo_ = reader::MemoFile::Open(table_.path(), h);
    j["fileSize"] = size;
    j["expectedSize"] = expected;
    j["recordsInFile"] = table_.recordsInFile();
    auto terminator = table_.terminatorOffset();
    j["terminatorAt"] = terminator ? ordered_json(*terminator) : ordered_json(nullptr);
    uint64_t sum = 1;
    for (const Field& f : table_.fields()) sum += f.length;
    j["fieldLengthsPlusFlag"] = sum;

    if (!destroyed) {
      if (!terminator) {
        problems_.push_back(
            "no header terminator after the field descriptors: the header is damaged");
      } else if (*terminator >= h.headerLength) {
        problems_.push_back(
            "the field descriptors run past the header length: the header is damaged");
      }
      if (sum != h.recordLength) {
        problems_.push_back("the field lengths add up to " + std::to_string(sum) +
                            " bytes per record, the header says " + std::to_string(h.recordLength));
      }
      if (size < expected) {
        uint64_t whole = table_.recordsInFile();
        uint64_t missing = h.recordCount - whole;
        uint64_t rest = size > h.headerLength ? (size - h.headerLength) % h.recordLength : 0;
        bool cleanEnd = rest == 0 || (rest == 1 && endsWithEndOfFile());
        if (cleanEnd) {
          problems_.push_back("record count larger than the file: the last " +
                              std::to_string(missing) +
                              " records are missing or the count is wrong");
        } else {
          problems_.push_back("file cut short inside record " + std::to_string(whole + 1) +
                              ": the last " + std::to_string(missing) +
                              " records are missing or incomplete");
        }
      } else if (size > expected && findStrayBytes(h, size - expected)) {
        problems_.push_back(
            strayBefore_ == 0
                ? std::to_string(strayBytes_) +
                      " stray bytes between the header and the first record: every record is "
                      "out of step"
                : std::to_string(strayBytes_) + " stray bytes before record " +
                      std::to_string(strayBefore_ + 1) +
                      ": the records from there on are out of step");
      } else if (size > expected && byteAt(expected) == reader::kEndOfFile) {
        if (size > expected + 1) {
          notes_.push_back(std::to_string(size - expected - 1) +
                           " bytes after the end-of-file byte (left over, not read)");
        }
      } else if (table_.recordsInFile() > h.recordCount) {
        uint64_t extra = table_.recordsInFile() - h.recordCount;
        // The end-of-file byte of a count that is right is no record.
        problems_.push_back("record count smaller than the file: " +
                            plural(extra, "record stands", "records stand") +
                            " after the last one counted");
      } else if (size > expected + 1) {
        notes_.push_back(std::to_string(size - expected) + " bytes after the last record");
      } else if (size == expected) {
        notes_.push_back("no end-of-file byte after the last record");
      }
    }

    ordered_json memos = ordered_json::array();
    for (const std::string& path : reader::memoCompanions(table_.path())) {
      ordered_json m;
      m["file"] = path;
      std::error_code ec;
      m["size"] = std::filesystem::file_size(path, ec);
      memos.push_back(m);
    }
    if (memo_) {
      for (auto& m : memos) {
        if (m["file"] == memo_->path()) {
          m["used"] = true;
          m["layout"] = reader::memoKindName(memo_->kind());
          m["blockSize"] = memo_->blockSize();
        }
      }
    }
    j["memoFiles"] = memos;
    hasMemoFields_ = std::any_of(table_.fields().begin(), table_.fields().end(),
                                 [&](const Field& f) { return reader::isMemoType(f.type, h); });
    if (!destroyed && hasMemoFields_ && !memo_) {
      problems_.push_back("memo companion missing: the memo texts cannot be read");
    }
    if (!destroyed && hasMemoFields_ && memo_ && memo_->nextFreeBlock() > 1 &&
        memo_->size() <= uint64_t{memo_->nextFreeBlock() - 1} * memo_->blockSize()) {
      memoCut_ = true;
      problems_.push_back("memo file cut short: it holds " + std::to_string(memo_->size()) +
                          " bytes, its header counts " +
                          std::to_string(memo_->nextFreeBlock()) + " blocks of " +
                          std::to_string(memo_->blockSize()));
    }
    return j;
  }

  bool endsWithEndOfFile() { return byteAt(table_.fileSize() - 1) == reader::kEndOfFile; }

  // `count` bytes of the table file from `offset`; false when the file
  // holds fewer.
  bool bytesAt(uint64_t offset, size_t count, std::string* bytes) {
    if (!raw_.is_open()) raw_.open(table_.path(), std::ios::binary);
    raw_.clear();
    raw_.seekg(static_cast<std::streamoff>(offset));
    bytes->resize(count);
    return static_cast<bool>(raw_.read(bytes->data(), static_cast<std::streamsize>(count)));
  }
  // One byte of the table file; -1 when it cannot be read.
  int byteAt(uint64_t offset) {
    std::string byte;
    return bytesAt(offset, 1, &byte) ? static_cast<uint8_t>(byte[0]) : -1;
  }
  bool flagAt(uint64_t offset) {
    int flag = byteAt(offset);
    return flag == reader::kLiveFlag || flag == reader::kDeletedFlag;
  }

  // Bytes inserted among the records leave the file `excess` bytes longer
  // than the header says and push every record after them that far: the
  // records before record k stand where the header puts them, those from k
  // on `excess` bytes later. Found from the deletion flags; where they
  // leave a choice of k, the one under which most records hold values
  // that can be read.
  bool findStrayBytes(const Header& h, uint64_t excess) {
    // A lone end-of-file byte is no insertion.
    if (byteAt(table_.fileSize() - 1) == reader::kEndOfFile) --excess;
    if (excess == 0 || h.recordCount == 0) return false;
    uint64_t records = h.recordCount;
    if (options_.sampleRecords != 0) records = std::min<uint64_t>(records, options_.sampleRecords);
    auto at = [&](uint64_t index, bool shifted) {
      return uint64_t{h.headerLength} + index * h.recordLength + (shifted ? excess : 0);
    };
    uint64_t firstOutOfStep = records;
    for (uint64_t j = 0; j < records && firstOutOfStep == records; ++j) {
      if (!flagAt(at(j, false))) firstOutOfStep = j;
    }
    if (firstOutOfStep == records) return false;
    uint64_t firstInStepAfter = 0;  // past the last shifted record without a flag
    for (uint64_t j = records; j > 0; --j) {
      if (!flagAt(at(j - 1, true))) {
        firstInStepAfter = j;
        break;
      }
    }
    if (firstInStepAfter > firstOutOfStep) return false;

    std::string encoding =
        options_.encoding.empty() ? reader::defaultEncoding(h) : options_.encoding;
    reader::TextDecoder text(encoding);
    reader::FieldDecoder decoder(h, memo_.get(), &text);
    auto readable = [&](uint64_t offset) {
      std::string record;
      if (!bytesAt(offset, h.recordLength, &record)) return false;
      reader::Value value;
      std::string reason;
      for (const Field& f : table_.fields()) {
        if (!decoder.decode(f, record, &value, &reason)) return false;
      }
      return true;
    };
    // The records whose place is in doubt, each read both ways.
    const uint64_t lo = firstInStepAfter, hi = std::min(firstOutOfStep, lo + 64);
    std::vector<bool> asIs, shifted;
    for (uint64_t j = lo; j < hi; ++j) {
      asIs.push_back(readable(at(j, false)));
      shifted.push_back(readable(at(j, true)));
    }
    uint64_t best = hi, bestScore = 0;
    for (uint64_t k = lo; k <= hi; ++k) {
      uint64_t score = 0;
      for (uint64_t j = lo; j < hi; ++j) score += j < k ? asIs[j - lo] : shifted[j - lo];
      if (k == lo || score > bestScore) {
        best = k;
        bestScore = score;
      }
    }
    strayBytes_ = excess;
    strayBefore_ = best;
    return true;
  }

  // Record `index` as it stands in the file, past stray bytes when some
  // were found.
  bool recordAt(uint64_t index, std::string_view* bytes) {
    if (strayBytes_ == 0 || index < strayBefore_) return table_.record(index, bytes);
    uint64_t offset = uint64_t{table_.header().headerLength} +
                      index * table_.header().recordLength + strayBytes_;
    if (!bytesAt(offset, table_.header().recordLength, &shiftedRecord_)) return false;
    *bytes = shiftedRecord_;
    return true;
  }

  ordered_json sample(const Header& h) {
    std::string encoding =
        options_.encoding.empty() ? reader::defaultEncoding(h) : options_.encoding;
    reader::TextDecoder text(encoding);
    reader::FieldDecoder decoder(h, memo_.get(), &text);
    uint64_t limit = strayBytes_ != 0 ? h.recordCount : table_.readableRecords();
    if (options_.sampleRecords != 0) limit = std::min(limit, options_.sampleRecords);
    uint64_t live = 0, deleted = 0, jammed = 0, failing = 0, garbled = 0, memoOutside = 0;
    std::vector<uint64_t> firstJammed, firstFailing;
    // For the problems: records with only a jammed flag, only bad values,
    // or both (overwritten, most likely), and those pointing past the memo.
    std::vector<uint64_t> firstJammedOnly, firstFailingOnly, firstGarbled, firstMemoOutside;
    struct Failure {
      uint64_t records = 0;
      std::vector<uint64_t> first;
    };
    std::map<std::pair<std::string, std::string>, Failure> failures;
    std::vector<std::pair<std::string, std::string>> order;
    std::string_view record;
    reader::Value value;
    std::string reason;
    const bool noConversion = encoding.empty() || !text.usable();
    auto note = [](std::vector<uint64_t>& first, uint64_t number) {
      if (first.size() < kFirstBadShown) first.push_back(number);
    };
    for (uint64_t i = 0; i < limit && recordAt(i, &record); ++i) {
      uint64_t number = i + 1;
      uint8_t flag = static_cast<uint8_t>(record[0]);
      bool jammedFlag = false;
      if (flag == reader::kLiveFlag) {
        ++live;
      } else if (flag == reader::kDeletedFlag) {
        ++deleted;
      } else {
        ++jammed;
        jammedFlag = true;
        note(firstJammed, number);
      }
      // Text this build cannot convert says nothing about the bytes.
      bool bad = false, pastMemo = false, unreadable = false;
      for (const Field& f : table_.fields()) {
        // A field of an unknown type is a descriptor problem, named once.
        if (reader::isSystemField(f) || !reader::knownTypeLetter(f.type) ||
            decoder.decode(f, record, &value, &reason)) {
          continue;
        }
        // Reported once for the table, not once per record.
        if (reason == "memo companion missing") continue;
        auto key = std::make_pair(nameText(f.name), reason);
        Failure& failure = failures[key];
        if (failure.records == 0) order.push_back(key);
        ++failure.records;
        if (failure.first.size() < kFirstBadShown) failure.first.push_back(number);
        bad = true;
        pastMemo = pastMemo || reason.find("leads outside the memo file") != std::string::npos;
        unreadable = unreadable || !noConversion || reason.find("not text in") == std::string::npos;
      }
      if (bad) {
        ++failing;
        note(firstFailing, number);
      }
      if (unreadable && jammedFlag) {
        ++garbled;
        note(firstGarbled, number);
      } else if (jammedFlag) {
        note(firstJammedOnly, number);
        if (bad) note(firstFailingOnly, number);
      } else if (pastMemo) {
        ++memoOutside;
        note(firstMemoOutside, number);
      } else if (bad) {
        note(firstFailingOnly, number);
      }
    }
    uint64_t read = live + deleted + jammed;
    ordered_json j;
    j["read"] = read;
    j["of"] = table_.readableRecords();
    j["live"] = live;
    j["deleted"] = deleted;
    j["jammed"] = jammed;
    j["firstJammed"] = firstJammed;
    j["failing"] = failing;
    j["firstFailing"] = firstFailing;
    ordered_json byField = ordered_json::array();
    for (const auto& key : order) {
      byField.push_back({{"field", key.first},
                         {"reason", key.second},
                         {"records", failures[key].records},
                         {"first", failures[key].first}});
    }
    j["failures"] = byField;
    j["garbled"] = garbled;
    j["firstGarbled"] = firstGarbled;
    if (garbled > 0) {
      problems_.push_back(plural(garbled, "record is", "records are") +
                          " garbled (overwritten, most likely): neither the deletion flag nor "
                          "the values can be read, first " +
                          joinNumbers(firstGarbled));
    }
    if (jammed > garbled) {
      problems_.push_back(
          plural(jammed - garbled, "record has a deletion flag", "records have a deletion flag") +
          " that is neither live nor deleted (jammed), first " + joinNumbers(firstJammedOnly));
    }
    // A cut the memo's header shows is named already.
    if (memoOutside > 0 && !memoCut_) {
      problems_.push_back(plural(memoOutside, "record points", "records point") +
                          " past the end of the memo file: it is cut short or the pointers "
                          "are damaged, first " +
                          joinNumbers(firstMemoOutside));
    }
    const uint64_t failingOnly = failing - garbled - memoOutside;
    if (failingOnly > 0) {
      problems_.push_back(plural(failingOnly, "record holds", "records hold") +
                          " values that cannot be read, first " + joinNumbers(firstFailingOnly));
    }
    if (!text.usable()) {
      notes_.push_back("the character set " + encoding + " has no conversion here");
    } else if (encoding.empty()) {
      notes_.push_back("code page " + hex(h.codePage) +
                       " has no conversion here; text beyond ASCII needs --encoding");
    }
    return j;
  }

  Table& table_;
  const InspectOptions& options_;
  std::unique_ptr<reader::MemoFile> memo_;
  std::ifstream raw_;
  std::string shiftedRecord_;
  bool hasMemoFields_ = false;
  bool memoCut_ = false;
  // Stray bytes found among the records: how many, before which (from 0).
  uint64_t strayBytes_ = 0, strayBefore_ = 0;
  std::vector<std::string> problems_;
  std::vector<std::string> notes_;
};

void writeText(const ordered_json& r, std::ostream& out) {
  out << plainText(r["table"].get<std::string>()) << ":\n";
  if (r.contains("error")) {
    out << "  verdict: " << plainText(r["verdict"].get<std::string>()) << "\n";
    return;
  }
  const ordered_json& h = r["header"];
  out << "  header\n"
      << "    version        " << hex(h["version"]) << " ("
      << h["versionMeaning"].get<std::string>() << ")\n"
      << "    last update    "
      << (h["lastUpdate"].is_null() ? std::string("none") : h["lastUpdate"].get<std::string>())
      << "\n"
      << "    record count   " << h["recordCount"] << "\n"
      << "    header length  " << h["headerLength"] << "\n"
      << "    record length  " << h["recordLength"] << "\n"
      << "    table flags    " << hex(h["tableFlags"]) << "\n"
      << "    code page      " << hex(h["codePage"]) << " (read as "
      << (h["encoding"].is_null() ? std::string("ASCII only") : h["encoding"].get<std::string>())
      << ")\n";
  // Descriptors read from a destroyed header are noise; a few show that.
  const bool destroyed = r["records"].is_null();
  const size_t shown = destroyed ? std::min<size_t>(r["fields"].size(), kFieldsShownWhenDestroyed)
                                 : r["fields"].size();
  out << "  fields (" << r["fields"].size() << ")\n";
  char line[160];
  std::snprintf(line, sizeof line, "    %-11s %-4s %6s %6s %4s\n", "name", "type", "place",
                "length", "dec");
  out << line;
  for (size_t i = 0; i < shown; ++i) {
    const ordered_json& f = r["fields"][i];
    std::snprintf(line, sizeof line, "    %-11s %-4s %6u %6u %4u",
                  f["name"].get<std::string>().c_str(), f["type"].get<std::string>().c_str(),
                  f["place"].get<unsigned>(), f["length"].get<unsigned>(),
                  f["decimals"].get<unsigned>());
    out << line;
    for (const auto& p : f["problems"]) out << "  <- " << p.get<std::string>();
    out << "\n";
  }
  if (shown < r["fields"].size()) {
    out << "    ... " << r["fields"].size() - shown << " more, not shown (--json lists them)\n";
  }
  const ordered_json& p = r["plausibility"];
  out << "  plausibility\n"
      << "    file size      " << p["fileSize"] << " bytes; header and counted records take "
      << p["expectedSize"] << " (+1 end-of-file byte)\n"
      << "    whole records  " << p["recordsInFile"] << " in the file\n"
      << "    terminator     "
      << (p["terminatorAt"].is_null() ? std::string("not found")
                                      : "at byte " + p["terminatorAt"].dump())
      << "\n"
      << "    field lengths  " << p["fieldLengthsPlusFlag"] << " bytes with the deletion flag\n";
  if (p["memoFiles"].empty()) out << "    memo files     none\n";
  for (const ordered_json& m : p["memoFiles"]) {
    out << "    memo file      " << plainText(m["file"].get<std::string>()) << ", " << m["size"]
        << " bytes";
    if (m.contains("blockSize"))
      out << ", " << m["layout"].get<std::string>() << " of " << m["blockSize"] << " bytes";
    out << "\n";
  }
  if (!r["records"].is_null()) {
    const ordered_json& s = r["records"];
    out << "  records (" << s["read"] << " of " << s["of"] << " looked at)\n"
        << "    live " << s["live"] << ", deleted " << s["deleted"] << ", jammed " << s["jammed"]
        << ", failing a value check " << s["failing"] << "\n";
    for (const ordered_json& f : s["failures"]) {
      out << "    " << f["field"].get<std::string>() << ": " << f["reason"].get<std::string>()
          << " in " << f["records"] << " records, first "
          << joinNumbers(f["first"].get<std::vector<uint64_t>>()) << "\n";
    }
  }
  for (const auto& problem : r["problems"])
    out << "  problem: " << problem.get<std::string>() << "\n";
  for (const auto& note : r["notes"]) out << "  note: " << note.get<std::string>() << "\n";
  out << "  verdict: " << r["verdict"].get<std::string>() << "\n";
}

}  // namespace

int RunInspect(const InspectOptions& options, std::ostream& out) {
  int status = kInspectHealthy;
  for (const std::string& path : options.tables) {
    ordered_json report;
    std::string error;
    std::unique_ptr<Table> table = Table::Open(path, &error);
    if (!table) {
      report["table"] = path;
      report["error"] = error;
      report["verdict"] = "unreadable: " + error;
      report["status"] = "unreadable";
      report["exit"] = kInspectUnreadable;
    } else {
      report = Inspection(*table, options).run();
    }
    status = std::max(status, report["exit"].get<int>());
    if (options.json) {
      out << report.dump(-1, ' ', false, ordered_json::error_handler_t::replace) << "\n";
    } else {
      writeText(report, out);
    }
    out.flush();
  }
  return status;
}

int InspectMain(int argc, char** argv, std::ostream& out, std::ostream& err) {
  InspectOptions options;
  CLI::App app("inspect", "inspect");
  app.add_flag("--json", options.json);
  app.add_option("--sample", options.sampleRecords)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--encoding", options.encoding)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("tables", options.tables)->required();
  int parsed = parseSubcommand(app, argc, argv, kHelp, out, err);
  if (parsed >= 0) return parsed;
  if (!options.encoding.empty() && !reader::TextDecoder(options.encoding).usable()) {
    return subcommandUsageError("inspect", kUsageLine,
                                "unknown encoding '" + options.encoding + "'", err);
  }
  return RunInspect(options, out);
}

}  // namespace kest::host
