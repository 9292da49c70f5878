#include "host/table_survey.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "dbf/record_check.h"
#include "dbf/table_rules.h"
#include "host/cli_text.h"
#include "host/subcommand_cli.h"
#include "host/survey_render.h"
#include "reader/field_value.h"
#include "reader/memo_file.h"
#include "reader/text_decoder.h"

namespace kest::host {
namespace {

using reader::Field;
using reader::Header;
using reader::Table;

const char kUsageLine[] = "Usage: dbfrecover inspect [options] TABLE.dbf...\n";
const char kHelp[] =
    "Usage: dbfrecover inspect [options] TABLE.dbf...\n"
    "Shows what is wrong with each table before anything is written, and what\n"
    "the recovery will make of it: the header as read, the field list, the\n"
    "plausibility of sizes and memo companions, a sample of the records, how the\n"
    "recovery will read the records, and a closing verdict. Reads only.\n"
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
// Records whose deletion flags tell whether a rebuilt header carries the
// back link, as many as the recovery judges that choice by.
constexpr uint64_t kBackLinkProbe = 16;
// The descriptors of a standard header end within 64 KiB.
constexpr size_t kHeaderArea = 0xFFFF + 1;

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

bool hasNonPrintingByte(std::string_view name) {
  return std::any_of(name.begin(), name.end(), [](char c) {
    auto byte = static_cast<uint8_t>(c);
    return byte < 0x20 || byte >= 0x7F;
  });
}

class Survey {
 public:
  Survey(Table& table, const InspectOptions& options, TableSurvey& s)
      : table_(table), options_(options), s_(s) {}

  void run() {
    s_.header = table_.header();
    s_.versionMeaning = versionMeaning(s_.header.version);
    s_.lastUpdate = updateDate(s_.header);
    chooseLayout();
    const bool lost = s_.recovery.path == RecoveryPath::kWorkedOut;
    // From here on the header the recovery reads by: a rebuilt one, say.
    const Header& h = table_.header();
    s_.encoding = options_.encoding.empty() ? reader::defaultEncoding(h) : options_.encoding;
    s_.fieldsAreNoise = lost;
    surveyFields(h);
    plausibility(h, lost);
    if (!lost) s_.records = sample(h);
    noteVariants(s_.header);
    conclude();
  }

 private:
  // The layout the default recovery reads by. A header whose own fields
  // cannot be right is rebuilt from its descriptors where they stand, as
  // the recovery does; without them the layout is lost to the survey.
  void chooseLayout() {
    const Header& h = table_.header();
    HeaderFault fault = headerFault(table_.headerFacts());
    SurveyRecovery& r = s_.recovery;
    if (fault == HeaderFault::kNone) {
      r.path = RecoveryPath::kHeader;
      r.headerLength = h.headerLength;
      r.recordLength = h.recordLength;
      r.records = h.recordCount;
      return;
    }
    s_.headerFault = headerFaultText(fault);
    std::optional<StandingDescriptors> standing;
    // The recovery rebuilds only headers of 32-byte descriptors.
    if (h.layout == reader::Layout::kStandard) {
      std::string image;
      size_t area = static_cast<size_t>(std::min<uint64_t>(table_.fileSize(), kHeaderArea));
      if (bytesAt(0, area, &image)) {
        standing = standingDescriptors(reinterpret_cast<const uint8_t*>(image.data()),
                                       static_cast<uint32_t>(image.size()));
      }
    }
    if (!standing || table_.fileSize() <= standing->terminatorAt + 1u) {
      r.path = RecoveryPath::kWorkedOut;
      r.text =
          "the header is destroyed (" + s_.headerFault +
          ") and its field descriptors with it: the recovery will work the record layout out "
          "of the records themselves and name the fields it finds TMP_1, TMP_2, ...";
      s_.problems.push_back("header and field descriptors destroyed: the recovery will have "
                            "to work the record layout out of the records");
      return;
    }
    r.path = RecoveryPath::kRebuiltHeader;
    r.recordLength = standing->recordLength;
    r.headerLength = rebuiltHeaderLength(*standing);
    r.records = (table_.fileSize() - r.headerLength) / r.recordLength;
    const std::vector<std::string> companions = reader::memoCompanions(table_.path());
    const bool fpt = std::any_of(companions.begin(), companions.end(), [](const std::string& path) {
      std::string extension = std::filesystem::path(path).extension().string();
      for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return extension == ".fpt";
    });
    table_.assumeLayout(
        rebuiltVersion(standing->fields,
                       r.headerLength == standing->terminatorAt + 1 + kBackLinkLength, fpt),
        r.headerLength, r.recordLength, static_cast<uint32_t>(r.records));
    r.text = "the header is destroyed (" + s_.headerFault +
             "), but its " + plural(standing->fields.size(), "field descriptor", "field descriptors") +
             " stand: the recovery will rebuild the header from them (record length " +
             std::to_string(r.recordLength) + ", header length " +
             std::to_string(r.headerLength) + ", " + plural(r.records, "record", "records") +
             " by the file size)";
    s_.problems.push_back("header destroyed (" + s_.headerFault +
                          "): the recovery will rebuild it from the field descriptors");
  }

  // The terminator's end, or that and Visual FoxPro's back link, judged as
  // the recovery judges it: by the run of records that pass the record
  // check from each.
  uint32_t rebuiltHeaderLength(const StandingDescriptors& standing) {
    const uint32_t length = standing.recordLength;
    const uint32_t plain = standing.terminatorAt + 1;
    const uint32_t linked = plain + kBackLinkLength;
    if (linked > 0xFFFF || uint64_t{linked} + length > table_.fileSize()) return plain;
    std::vector<FieldPlace> places = placeFields(standing.fields, nullptr);
    const bool inside = std::all_of(places.begin(), places.end(), [&](const FieldPlace& p) {
      return uint64_t{p.displacement} + p.length <= length;
    });
    if (!inside) {
      // Displacements past the record's end are junk: one after another.
      std::vector<DbfFieldDescriptor> sequential = standing.fields;
      for (DbfFieldDescriptor& field : sequential) field.setDisplacement(0);
      places = placeFields(sequential, nullptr);
    }
    RecordCheckPlan plan(places, length);
    RecordCheckMode mode;
    mode.relaxedValues = true;
    mode.quiet = true;
    auto passing = [&](uint64_t from) {
      uint32_t count = 0;
      std::string record;
      for (uint64_t i = 0; i < kBackLinkProbe; ++i) {
        if (!bytesAt(from + i * length, length, &record)) break;
        auto* bytes = reinterpret_cast<const uint8_t*>(record.data());
        count += (bytes[0] == kLiveRecord || bytes[0] == kDeletedRecord) &&
                 checkRecordInPlace(bytes, plan, false, 0, mode);
      }
      return count;
    };
    return passing(linked) > passing(plain) ? linked : plain;
  }

  void surveyFields(const Header& h) {
    const bool rebuilt = s_.recovery.path == RecoveryPath::kRebuiltHeader;
    size_t bad = 0;
    for (const Field& f : table_.fields()) {
      SurveyField j;
      j.name = nameText(f.name);
      j.type = std::string(1, hasNonPrintingByte(std::string(1, f.type)) ? '?' : f.type);
      j.place = f.offset;
      j.length = f.length;
      j.decimals = f.decimals;
      j.displacement = f.displacement;
      // A wrong place counts even when the reader could not use it, unless
      // it is one no record can have in a version whose writers may leave
      // stale memory addresses there, or the header is rebuilt (which
      // takes such places as unset).
      bool placeMeant = !rebuilt && (recordsDisplacements(h.version) || f.displacement <= 0xFFFF);
      bool beyond = uint64_t{f.offset} + f.length > h.recordLength ||
                    (placeMeant && f.displacement != 0 &&
                     uint64_t{f.displacement} + f.length > h.recordLength);
      if (beyond) j.problems.push_back("place or length beyond the record");
      if (f.length == 0) j.problems.push_back("length 0");
      if (!knownFieldType(f.type)) j.problems.push_back("type letter no dBASE/FoxPro version uses");
      if (f.name.empty() || hasNonPrintingByte(f.name))
        j.problems.push_back("name with non-printing bytes");
      if (!j.problems.empty()) ++bad;
      s_.fields.push_back(std::move(j));
    }
    if (bad > 0 && !s_.fieldsAreNoise) {
      s_.problems.push_back(plural(bad, "field descriptor cannot", "field descriptors cannot") +
                            " be right: the layout the header gives is damaged");
    }
  }

  void plausibility(const Header& h, bool lost) {
    const uint64_t size = table_.fileSize();
    const uint64_t expected = uint64_t{h.headerLength} + uint64_t{h.recordCount} * h.recordLength;
    // Opened first: telling stray bytes from records reads memo fields too.
    memo_ = reader::MemoFile::Open(table_.path(), h);
    s_.fileSize = size;
    s_.expectedSize = expected;
    s_.recordsInFile = table_.recordsInFile();
    s_.terminatorAt = table_.terminatorOffset();
    uint64_t sum = 1;
    for (const Field& f : table_.fields()) sum += f.length;
    s_.fieldLengthsPlusFlag = sum;

    if (!lost) {
      if (!s_.terminatorAt) {
        s_.problems.push_back(
            "no header terminator after the field descriptors: the header is damaged");
      }
      if (sum != h.recordLength) {
        s_.problems.push_back("the field lengths add up to " + std::to_string(sum) +
                              " bytes per record, the header says " +
                              std::to_string(h.recordLength));
      }
      if (size < expected) {
        uint64_t whole = table_.recordsInFile();
        uint64_t missing = h.recordCount - whole;
        uint64_t rest = size > h.headerLength ? (size - h.headerLength) % h.recordLength : 0;
        bool cleanEnd = rest == 0 || (rest == 1 && endsWithEndOfFile());
        if (cleanEnd) {
          s_.problems.push_back("record count larger than the file: the last " +
                                std::to_string(missing) +
                                " records are missing or the count is wrong");
        } else {
          s_.problems.push_back("file cut short inside record " + std::to_string(whole + 1) +
                                ": the last " + std::to_string(missing) +
                                " records are missing or incomplete");
        }
        step("correct the record count to the " + plural(whole, "whole record", "whole records") +
             " the file holds" + (cleanEnd ? "" : ", leaving out the one the end cuts through"));
      } else if (size > expected && findStrayBytes(h, size - expected)) {
        s_.problems.push_back(
            strayBefore_ == 0
                ? std::to_string(strayBytes_) +
                      " stray bytes between the header and the first record: every record is "
                      "out of step"
                : std::to_string(strayBytes_) + " stray bytes before record " +
                      std::to_string(strayBefore_ + 1) +
                      ": the records from there on are out of step");
        step("find the records out of step where they really begin, past the stray bytes");
      } else if (size > expected && byteAt(expected) == reader::kEndOfFile) {
        if (size > expected + 1) {
          s_.notes.push_back(std::to_string(size - expected - 1) +
                             " bytes after the end-of-file byte (left over, not read)");
        }
      } else if (table_.recordsInFile() > h.recordCount) {
        uint64_t extra = table_.recordsInFile() - h.recordCount;
        // The end-of-file byte of a count that is right is no record.
        s_.problems.push_back("record count smaller than the file: " +
                              plural(extra, "record stands", "records stand") +
                              " after the last one counted");
        step("read only the records counted; those after them stay behind");
      } else if (size > expected + 1) {
        s_.notes.push_back(std::to_string(size - expected) + " bytes after the last record");
      } else if (size == expected) {
        s_.notes.push_back("no end-of-file byte after the last record");
      }
    }
    surveyMemo(h, lost);
  }

  // The memo side: which companions stand beside the table, and what the
  // records' memo fields show of them.
  void surveyMemo(const Header& h, bool lost) {
    for (const std::string& path : reader::memoCompanions(table_.path())) {
      SurveyMemoFile m;
      m.file = path;
      std::error_code ec;
      m.size = std::filesystem::file_size(path, ec);
      if (memo_ && path == memo_->path()) {
        m.used = true;
        m.layout = reader::memoKindName(memo_->kind());
        m.blockSize = memo_->blockSize();
      }
      s_.memoFiles.push_back(m);
    }
    hasMemoFields_ = std::any_of(table_.fields().begin(), table_.fields().end(),
                                 [&](const Field& f) { return reader::isMemoType(f.type, h); });
    if (lost || !hasMemoFields_) return;
    if (!memo_) {
      s_.problems.push_back("memo companion missing: the memo texts cannot be read");
      step("keep the memo fields' block numbers, so that the texts can be joined to them "
           "again should the companion turn up");
    } else if (memo_->nextFreeBlock() > 1 &&
               memo_->size() <= uint64_t{memo_->nextFreeBlock() - 1} * memo_->blockSize()) {
      memoCut_ = true;
      s_.problems.push_back("memo file cut short: it holds " + std::to_string(memo_->size()) +
                            " bytes, its header counts " +
                            std::to_string(memo_->nextFreeBlock()) + " blocks of " +
                            std::to_string(memo_->blockSize()));
      step("keep the records whose memos lie past the cut, their memo fields holding the "
           "block numbers, and copy the cut companion for the memos it holds");
    }
  }

  // What sets a sound table apart from a plain one, so that it is not
  // taken for damage.
  void noteVariants(const Header& stored) {
    if (isVisualFoxProVersion(stored.version)) {
      s_.variants.push_back("version " + hex(stored.version) + ": " +
                            versionMeaning(stored.version));
      auto terminator = table_.terminatorOffset();
      if (terminator && table_.header().headerLength == *terminator + 1 + kBackLinkLength) {
        s_.variants.push_back("a " + std::to_string(kBackLinkLength) +
                              "-byte database back link after the field descriptors");
      }
    }
    for (const Field& f : table_.fields()) {
      if (reader::isSystemField(f)) {
        s_.variants.push_back("field " + nameText(f.name) +
                              " records which values are null (system data, not exported)");
      }
    }
    if (stored.layout == reader::Layout::kDbase7) {
      s_.variants.push_back("48-byte field descriptors of dBase 7");
      step("write the result with 32-byte descriptors, which every common reader opens");
    } else if (stored.layout == reader::Layout::kDbase2) {
      s_.variants.push_back("the 8-byte header and 16-byte field descriptors of dBase II");
    }
  }

  void step(std::string text) {
    s_.recovery.steps.push_back("the recovery will " + std::move(text));
  }

  void conclude() {
    SurveyRecovery& r = s_.recovery;
    if (r.path == RecoveryPath::kHeader) {
      r.text = s_.problems.empty()
                   ? "the recovery will read the records by the header as it stands"
                   : "the recovery will read the records by the header and keep those that "
                     "pass the record check";
    }
    s_.verdict = "healthy";
    if (!s_.problems.empty()) {
      s_.verdict = s_.problems.front();
      if (s_.problems.size() > 1) {
        s_.verdict +=
            " (and " + plural(s_.problems.size() - 1, "more problem", "more problems") + ")";
      }
    }
    s_.status = s_.problems.empty() ? kInspectHealthy : kInspectDamaged;
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

  SurveyRecords sample(const Header& h) {
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
        if (reader::isSystemField(f) || !knownFieldType(f.type) ||
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
    SurveyRecords j;
    j.read = live + deleted + jammed;
    j.of = table_.readableRecords();
    j.live = live;
    j.deleted = deleted;
    j.jammed = jammed;
    j.firstJammed = firstJammed;
    j.failing = failing;
    j.firstFailing = firstFailing;
    for (const auto& key : order) {
      j.failures.push_back({key.first, key.second, failures[key].records, failures[key].first});
    }
    j.garbled = garbled;
    j.firstGarbled = firstGarbled;
    if (garbled > 0) {
      s_.problems.push_back(plural(garbled, "record is", "records are") +
                          " garbled (overwritten, most likely): neither the deletion flag nor "
                          "the values can be read, first " +
                          joinNumbers(firstGarbled));
      step("pass over the garbled records");
    }
    if (jammed > garbled) {
      s_.problems.push_back(
          plural(jammed - garbled, "record has a deletion flag", "records have a deletion flag") +
          " that is neither live nor deleted (jammed), first " + joinNumbers(firstJammedOnly));
      step("keep the records whose only fault is a jammed deletion flag, as live records");
    }
    // A cut the memo's header shows is named already.
    if (memoOutside > 0 && !memoCut_) {
      s_.problems.push_back(plural(memoOutside, "record points", "records point") +
                          " past the end of the memo file: it is cut short or the pointers "
                          "are damaged, first " +
                          joinNumbers(firstMemoOutside));
    }
    const uint64_t failingOnly = failing - garbled - memoOutside;
    if (failingOnly > 0) {
      s_.problems.push_back(plural(failingOnly, "record holds", "records hold") +
                          " values that cannot be read, first " + joinNumbers(firstFailingOnly));
    }
    if (!text.usable()) {
      s_.notes.push_back("the character set " + encoding + " has no conversion here");
    } else if (encoding.empty()) {
      s_.notes.push_back("code page " + hex(h.codePage) +
                       " has no conversion here; text beyond ASCII needs --encoding");
    }
    return j;
  }

  Table& table_;
  const InspectOptions& options_;
  TableSurvey& s_;
  std::unique_ptr<reader::MemoFile> memo_;
  std::ifstream raw_;
  std::string shiftedRecord_;
  bool hasMemoFields_ = false;
  bool memoCut_ = false;
  // Stray bytes found among the records: how many, before which (from 0).
  uint64_t strayBytes_ = 0, strayBefore_ = 0;
};

}  // namespace

TableSurvey surveyTable(const std::string& path, const InspectOptions& options) {
  TableSurvey survey;
  survey.table = path;
  std::unique_ptr<Table> table = Table::Open(path, &survey.error);
  if (!table) {
    survey.verdict = "unreadable: " + survey.error;
    survey.status = kInspectUnreadable;
    return survey;
  }
  Survey(*table, options, survey).run();
  return survey;
}

int RunInspect(const InspectOptions& options, std::ostream& out) {
  int status = kInspectHealthy;
  for (const std::string& path : options.tables) {
    TableSurvey survey = surveyTable(path, options);
    status = std::max<int>(status, survey.status);
    if (options.json) {
      writeSurveyJson(survey, out);
    } else {
      writeSurveyText(survey, out);
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
