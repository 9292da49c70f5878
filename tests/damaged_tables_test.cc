// Every sample table, healthy and under every damage mode, recovered end to
// end by FileRecover of the built engine library, as a host does it.
//
// The code and the winning method are held against the choice rule and
// what it is made of (CheckChoice); a damaged header leaves the best-case
// method nothing. Everywhere:
//   - the damaged table and its companions are as they were;
//   - a written result is one whole table (size = header length + count x
//     record length + 1, the count being the records it holds), and it
//     opens in dbfread and in ogrinfo, or is refused for one of the known
//     causes below (kKnownRefusals), and only then;
//   - a best-case result holds exactly the source's valid records (live,
//     and passing the record check), byte for byte and in order.
//
// One test per table runs all its modes, so that each independent reader
// starts once per table rather than once per result.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Common/logger/llfile.h"
#include "dbf/memo_companion.h"
#include "dbf/record_check.h"
#include "tests/child_process.h"
#include "tests/engine_loader.h"
#include "tests/independent_readers.h"
#include "tests/source_guard.h"
#include "tests/table_reader.h"
#include "tests/test_support.h"
#include "tools/dbf_damage.h"

namespace fs = std::filesystem;

namespace kest::testing {
namespace {

using tools::DamageMode;

enum class Won { kNothing, kBestCase, kWorstCase };

const char* WonName(Won won) {
  switch (won) {
    case Won::kBestCase:
      return "best case";
    case Won::kWorstCase:
      return "worst case";
    default:
      return "nothing";
  }
}

// The worst-case search needs 2,048 bytes to look at and reads at most
// its first 131,072; its count is the record slots of that window.
constexpr uint64_t kSearchableSize = 2048;
constexpr uint64_t kSearchWindow = 131072;
constexpr uint16_t kLongestSearchedRecord = 511;

// The known refusals of the independent readers, each with its cause. Any
// other refusal, or one of these that no longer happens, fails the test.
//
// The worst-case method invents its field types from the bytes, and
// dbfread takes an 'I' field of other than 4 bytes (or a 'B' field of
// other than 8) for a malformed one: a worst-case result that holds one is
// refused by dbfread, for that cause and no other.
bool HoldsInventedFieldDbfreadRefuses(const TableImage& result) {
  for (const DbfFieldDescriptor& field : result.fields) {
    uint8_t length = field.bytes[16];
    if ((field.type() == 'B' && length != 8) || (field.type() == 'I' && length != 4)) {
      return true;
    }
  }
  return false;
}

struct KnownRefusal {
  const char* reader;  // "dbfread" or "ogrinfo"
  const char* table;
  const char* mode;  // nullptr: whatever the mode
  const char* cause;
};

const KnownRefusal kKnownRefusals[] = {
    {"dbfread", "dbase_8c.dbf", nullptr,
     "a level-7 table (version 0x8C) has 48-byte field descriptors; the best-case method "
     "reads them as 32-byte ones, so the result's field list is not the table's"},
    {"ogrinfo", "dbase_8c.dbf", nullptr, "the same: the result's field list is not the table's"},
    {"dbfread", "foxprodb/calls.dbf", "cut-memo",
     "the memo companion is cut and copied beside the result as it is: a record's memo "
     "block starts inside the file but ends past it"},
    {"dbfread", "foxprodb/calls.dbf", "cut-memo-60", "the same, cut at 60%"},
    {"dbfread", "foxprodb/calls.dbf", "overwrite-memo-blocks",
     "the memo companion is copied as it is: a block head overwritten with random bytes "
     "claims a memo longer than the rest of the file"},
    {"dbfread", "dbase_30.dbf", "foreign-page",
     "the classic record check lets letters into a numeric field, so a slot of log text "
     "(\"socket[4] in\" in a numeric field) is written as a record, which dbfread cannot "
     "convert"},
};

// The test tables, by their names below testdata/.
std::vector<std::string> SampleTables() {
  std::vector<std::string> tables;
  fs::path root(KEST_TEST_DATA_DIR);
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    // Registered as a table so that the missing folder fails a test by
    // name rather than listing no case at all.
    return {"(testdata/ is missing)"};
  }
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string ext = entry.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    if (entry.is_regular_file() && ext == ".dbf") {
      tables.push_back(fs::relative(entry.path(), root).generic_string());
    }
  }
  std::sort(tables.begin(), tables.end());
  return tables;
}

// The records of `table` the best-case method must keep: the live slots
// its header declares that pass the record check, memo fields blanked
// when the table has no memo companion.
std::vector<std::string> ValidRecords(const std::string& table) {
  TableImage source = TableImage::Read(table);
  uint32_t count = source.header.recordCount();
  uint32_t length = source.header.recordLength();
  if (length == 0 || uint64_t{count} * length > source.bytes.size()) return {};
  bool noCompanion = listMemoCompanions(table, platform::Env::Default()).empty();
  MemoCompanion memo = probeMemoCompanion(table, platform::Env::Default());
  LLFile file(table.c_str());
  file.Seek(32);
  std::vector<DbfFieldDescriptor> fields =
      readFieldList(file, fieldSlotCount(source.header.headerLength()));
  std::vector<bool> asCharacter(fields.size(), false);
  for (size_t j = 0; j < fields.size(); ++j) {
    if (noCompanion && fields[j].type() == 'M') {
      asCharacter[j] = true;
      fields[j].setType('C');
    }
  }
  std::vector<FieldPlace> places = placeFields(fields, &asCharacter);
  std::vector<std::string> valid;
  for (uint32_t m = 0; m < count; ++m) {
    std::string record(length, '\0');
    uint64_t at = uint64_t{source.header.headerLength()} + uint64_t{m} * length;
    if (at < source.bytes.size()) {
      record.replace(0, std::min<uint64_t>(length, source.bytes.size() - at),
                     source.bytes, at, length);
    }
    if (record[0] != ' ') continue;
    auto* bytes = reinterpret_cast<uint8_t*>(record.data());
    if (!places.empty() && !checkRecord(bytes, length, places, memo.present, memo.size)) continue;
    valid.push_back(record);
  }
  return valid;
}

struct Outcome {
  std::string label;  // the mode's name
  int32_t code = 0;
  Won won = Won::kNothing;
  std::string result;  // the result table, when one was written
  // What the choice between the methods is made from.
  uint64_t size = 0;
  uint32_t count0 = 0;  // the source's valid records
  uint16_t headerRecordLength = 0;  // 0 when the header fails the plausibility test
};

class DamagedTables : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() {
    static char breakByte = 0;
    EngineLibrary::Built().exports().setBreakFlag(&breakByte);
  }

  // Damages a copy of the sample by `mode` and recovers it; nullopt when
  // the mode does not apply to this table.
  std::optional<Outcome> Recover(DamageMode mode) {
    std::string name = tools::damageModeName(mode);
    fs::path dir = fs::path(work_.path()) / name;
    fs::create_directories(dir / "out");
    tools::DamageRequest request;
    request.source = testData(GetParam());
    request.output = (dir / fs::path(GetParam()).filename()).string();
    request.mode = mode;
    request.seed = 7;
    std::string message;
    tools::DamageStatus status = tools::damageTable(request, &message);
    if (status == tools::kDamageNotApplicable) return std::nullopt;
    EXPECT_EQ(status, tools::kDamageDone) << name << ": " << message;

    Outcome outcome;
    outcome.label = name;
    std::vector<std::string> expected = ValidRecords(request.output);
    TableImage source = TableImage::Read(request.output);
    outcome.size = source.bytes.size();
    outcome.count0 = static_cast<uint32_t>(expected.size());
    uint64_t declared = uint64_t{source.header.recordCount()} * source.header.recordLength();
    if (source.header.recordLength() != 0 && declared <= outcome.size) {
      outcome.headerRecordLength = source.header.recordLength();
    }
    {
      SourceGuard guard(request.output);
      outcome.code = EngineLibrary::Built().exports().fileRecover(
          request.output.c_str(), (dir / "out").string().c_str(), 0, nullptr, nullptr, nullptr, nullptr);
    }
    std::vector<fs::path> folders, files;
    for (const auto& entry : fs::directory_iterator(dir / "out")) folders.push_back(entry.path());
    if (outcome.code != 0) {
      EXPECT_TRUE(folders.empty()) << name << ": a failed run left a results folder";
      return outcome;
    }
    if (folders.size() != 1) {
      ADD_FAILURE() << name << ": " << folders.size() << " results folders";
      return outcome;
    }
    for (const auto& entry : fs::directory_iterator(folders[0])) {
      std::string ext = entry.path().extension().string();
      if (ext == ".dbf" || ext == ".DBF") files.push_back(entry.path());
    }
    if (files.size() != 1) {
      ADD_FAILURE() << name << ": " << files.size() << " result tables";
      return outcome;
    }
    outcome.result = files[0].string();
    outcome.won = files[0].filename() == "RECOVERED.DBF" ? Won::kWorstCase : Won::kBestCase;
    TableImage result = TableImage::Read(outcome.result);
    std::string why;
    EXPECT_TRUE(result.whole(&why)) << name << ": " << why;
    if (outcome.won == Won::kBestCase) {
      EXPECT_TRUE(result.records == expected)
          << name << ": " << result.records.size() << " records written, "
          << expected.size() << " valid in the source";
    }
    return outcome;
  }

  TempDir work_;
};

// The choice between the two methods, held against what it is made of:
// the source's valid records and, for a worst-case result, the record
// slots of the layout it found.
void CheckChoice(const Outcome& o) {
  EXPECT_TRUE(o.code == 0 || o.code == -3) << "code " << o.code;
  EXPECT_EQ(o.code == 0, o.won != Won::kNothing);
  switch (o.won) {
    case Won::kNothing:
      EXPECT_EQ(o.count0, 0u);
      break;
    case Won::kBestCase:
      EXPECT_GT(o.count0, 0u);
      break;
    case Won::kWorstCase: {
      ASSERT_GE(o.size, kSearchableSize) << "a table too short to search";
      EXPECT_FALSE(o.headerRecordLength > kLongestSearchedRecord && o.count0 != 0)
          << "records longer than the search tries belong to the best case";
      uint16_t length = TableImage::Read(o.result).header.recordLength();
      ASSERT_GT(length, 0u);
      uint64_t count1 = std::min(o.size, kSearchWindow) / length;
      uint64_t factor = o.headerRecordLength == length ? 3 : 4;
      EXPECT_GT(count1, (factor * o.count0) >> 1)
          << count1 << " worst-case slots against " << o.count0 << " valid records";
      break;
    }
  }
}

bool KnownRefusalOf(const char* reader, const std::string& table, const Outcome& o) {
  if (std::string(reader) == "dbfread" && o.won == Won::kWorstCase &&
      HoldsInventedFieldDbfreadRefuses(TableImage::Read(o.result))) {
    return true;
  }
  for (const KnownRefusal& k : kKnownRefusals) {
    if (reader == std::string(k.reader) && table == k.table &&
        (k.mode == nullptr || o.label == k.mode)) {
      return true;
    }
  }
  return false;
}

TEST_P(DamagedTables, EveryModeKeepsTheInvariants) {
  std::vector<Outcome> written;
  for (const tools::DamageModeInfo& mode : tools::damageModes()) {
    std::optional<Outcome> outcome = Recover(mode.mode);
    if (!outcome) continue;
    SCOPED_TRACE(outcome->label);
    CheckChoice(*outcome);
    if (mode.mode == DamageMode::kZeroHeader || mode.mode == DamageMode::kZeroHeaderArea) {
      EXPECT_EQ(outcome->count0, 0u);
    }
    if (!outcome->result.empty()) written.push_back(*outcome);
  }
  if (written.empty()) return;
  if (!kIndependentReadersReachable) GTEST_SKIP() << kNoIndependentReaders;

  // dbfread reads every result in one process, a line per table.
  std::string python = dbfreadPython();
  if (python.empty()) {
    ADD_FAILURE() << "python3-dbfread is not installed";
  } else {
    std::vector<std::string> argv = {
        python, "-c",
        "import sys, dbfread\n"
        "for p in sys.argv[1:]:\n"
        "    try:\n"
        "        list(dbfread.DBF(p, encoding='latin-1')); print('ok')\n"
        "    except Exception as e:\n"
        "        print('refused', type(e).__name__, str(e).replace('\\n', ' '))\n"};
    for (const Outcome& o : written) argv.push_back(o.result);
    ChildOutcome read = runChild(argv);
    std::istringstream lines(read.out);
    for (const Outcome& o : written) {
      std::string line;
      std::getline(lines, line);
      bool known = KnownRefusalOf("dbfread", GetParam(), o);
      EXPECT_EQ(line != "ok", known)
          << o.label << " (" << WonName(o.won) << "): dbfread: " << line << read.err;
    }
  }
  if (!ogrinfoAvailable()) {
    ADD_FAILURE() << "gdal-bin (ogrinfo) is not installed";
    return;
  }
  for (const Outcome& o : written) {
    std::string output;
    bool refused = ogrinfo(o.result, &output) != 0;
    EXPECT_EQ(refused, KnownRefusalOf("ogrinfo", GetParam(), o))
        << o.label << " (" << WonName(o.won) << "): ogrinfo: " << output;
  }
}

INSTANTIATE_TEST_SUITE_P(TestData, DamagedTables, ::testing::ValuesIn(SampleTables()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace kest::testing
