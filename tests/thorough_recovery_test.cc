// The thorough recovery through the built engine, as a host calls it: what
// it brings back of a table after each damage the damage tool makes, and
// what FileRecoverEx refuses before it touches anything.
//
// For a damaged table the measure is its ceiling: the live records of the
// healthy table that still stand whole in the damaged file. Every one of
// them must come back, and nothing else: each record of the result is one
// of them (its deletion flag aside), and none comes twice.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

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

struct Calls {
  int count = 0;
  static int32_t KEST_CALL Status(const char*, void* user) {
    ++static_cast<Calls*>(user)->count;
    return 0;
  }
  static int32_t KEST_CALL Progress(const char*, int32_t, void* user) {
    ++static_cast<Calls*>(user)->count;
    return 0;
  }
};

const EngineExports& Engine() {
  const EngineExports& engine = EngineLibrary::Built().exports();
  EXPECT_EQ(engine.loadValcore(), 0);
  return engine;
}

// The record without its deletion flag.
std::string Body(const std::string& record) { return record.substr(1); }

// The only table a run left in `folder`'s one results folder.
std::string ResultTable(const std::string& folder) {
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    std::string ext = entry.path().extension().string();
    if (entry.is_regular_file() && (ext == ".dbf" || ext == ".DBF")) return entry.path().string();
  }
  return "";
}

struct DamageCase {
  const char* table;
  DamageMode mode;
  // A repair the report must name; empty for none.
  const char* repair;
  uint32_t cutOff = 0;
};

void PrintTo(const DamageCase& c, std::ostream* os) {
  *os << c.table << " " << tools::damageModeName(c.mode);
}

class ThoroughRecovery : public ::testing::TestWithParam<DamageCase> {};

TEST_P(ThoroughRecovery, BringsBackEveryIntactRecordAndNothingElse) {
  const DamageCase& c = GetParam();
  TempDir work, out;
  std::string damaged = work.file("damaged.dbf");
  std::string message;
  tools::DamageRequest request{testData(c.table), damaged, c.mode};
  ASSERT_EQ(tools::damageTable(request, &message), tools::kDamageDone) << message;

  TableImage healthy = TableImage::Read(testData(c.table));
  std::string bytes = readFile(damaged);
  std::set<std::string> ceiling;
  for (const std::string& record : healthy.records) {
    if (record[0] != '*' && bytes.find(Body(record)) != std::string::npos) {
      ceiling.insert(Body(record));
    }
  }
  ASSERT_FALSE(ceiling.empty());

  SourceGuard guard(damaged);
  KestRecoverOptions options{sizeof options, KEST_THOROUGH};
  KestRecoverReport report{};
  report.size = sizeof report;
  int32_t code = Engine().fileRecoverEx(damaged.c_str(), out.path().c_str(), 0, nullptr, nullptr,
                                        nullptr, nullptr, &options, &report);
  ASSERT_EQ(code, KEST_OK);
  EXPECT_TRUE(guard.unchanged());

  TableImage result = TableImage::Read(ResultTable(out.path()));
  std::string why;
  EXPECT_TRUE(result.whole(&why)) << why;
  std::set<std::string> seen;
  for (const std::string& record : result.records) {
    EXPECT_EQ(record[0], ' ');
    EXPECT_TRUE(ceiling.count(Body(record))) << "a record that is not the table's";
    EXPECT_TRUE(seen.insert(Body(record)).second) << "a record written twice";
  }
  EXPECT_EQ(seen.size(), ceiling.size());
  EXPECT_EQ(report.method, 1);
  EXPECT_EQ(report.recordsWritten, result.records.size());
  EXPECT_EQ(report.cutOffRecords, c.cutOff);
  std::string repairs;
  for (uint32_t i = 0; i < report.repairCount && i < KEST_REPORT_REPAIRS; ++i) {
    repairs += std::string(report.repairs[i]) + "\n";
  }
  if (*c.repair != '\0') {
    EXPECT_NE(repairs.find(c.repair), std::string::npos) << repairs;
  }
  // A result is for the user's own programs: common readers open it.
  std::string python = dbfreadPython();
  if (!python.empty()) {
    EXPECT_TRUE(opensInDbfread(python, ResultTable(out.path()))) << "dbfread refuses it";
  }
  std::string output;
  if (ogrinfoAvailable()) {
    EXPECT_EQ(ogrinfo(ResultTable(out.path()), &output), 0) << output;
  }
}

const DamageCase kDamageCases[] = {
    // Junk where the displacements go: the classic check finds no record.
    {"dbase_8b.dbf", DamageMode::kCopy, ""},
    {"dbase_31.dbf", DamageMode::kInflateCount,
     "record count 87 corrected to 77 from the file size"},
    {"dbase_83.dbf", DamageMode::kTruncateRecord,
     "record count 67 corrected to 47 from the file size", 1},
    {"dbase_03.dbf", DamageMode::kZeroHeader,
     "header rebuilt from the field descriptors (31 fields, record length 590, header length 1025"},
    // Visual FoxPro: the header length takes the back link after the terminator.
    {"foxprodb/contacts.dbf", DamageMode::kZeroHeader, "header length 1224"},
    {"dbase_30.dbf", DamageMode::kGarbageAfterHeader,
     "records found 10674 bytes after the header length"},
    {"dbase_31.dbf", DamageMode::kGarbageMidRecords,
     "records found 276 bytes further on, after record 38"},
    {"dbase_83.dbf", DamageMode::kJamDeletionFlags,
     "20 records with a jammed deletion flag kept, the flag restored to ' '"},
    {"dbase_31.dbf", DamageMode::kNoiseRecords, ""},
    // Blank dates and dates long before 1970; memo numbers as text.
    {"dbase_f5.dbf", DamageMode::kCutMemo, ""},
    // No memo file: the block numbers stay, as text and as binary numbers.
    {"dbase_83.dbf", DamageMode::kDropMemo,
     "1 memo fields kept as character fields holding their block numbers"},
    {"foxprodb/calls.dbf", DamageMode::kDropMemo, "1 memo fields kept"},
    // Level 7: judged by its 48-byte descriptors, written in the common layout.
    {"dbase_8c.dbf", DamageMode::kJamDeletionFlags,
     "level-7 field descriptors (6 fields) written in the 32-byte layout"},
    // Memos past the cut: every record stays whole, and readers still open it.
    {"foxprodb/calls.dbf", DamageMode::kCutMemo,
     "16 records refer to memos past the end of the cut memo file"},
    // Text fields padded with spaces: a column of padding passes for flags.
    {"foxprodb/setup.dbf", DamageMode::kGarbageAfterHeader,
     "records found 21 bytes after the header length"},
    {"dbase_8b.dbf", DamageMode::kGarbageMidRecords,
     "records found 66 bytes further on, after record 5"},
};

INSTANTIATE_TEST_SUITE_P(Damage, ThoroughRecovery, ::testing::ValuesIn(kDamageCases),
                         [](const ::testing::TestParamInfo<DamageCase>& info) {
                           std::string name = fs::path(info.param.table).stem().string() + "_" +
                                              tools::damageModeName(info.param.mode);
                           for (char& ch : name) {
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

std::string ReportFile(const std::string& folder, const char* name) {
  return readFile((fs::path(ResultTable(folder)).parent_path() / name).string());
}

// Whichever method wins, what the run found reaches the host: in the C
// report's summary and whole in the report files beside the result.
TEST(ThoroughReport, KeepsTheFindingsOfTheMethodThatWon) {
  struct Case {
    const char* table;
    DamageMode mode;
    int32_t method;
    const char* finding;
  } cases[] = {
      {"dbase_31.dbf", DamageMode::kZeroHeaderArea, 2, "found by searching the whole table"},
      {"dbase_31.dbf", DamageMode::kInflateCount, 1, "record count 87 corrected to 77"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(tools::damageModeName(c.mode));
    TempDir work, out;
    std::string damaged = work.file("damaged.dbf");
    std::string message;
    tools::DamageRequest request{testData(c.table), damaged, c.mode};
    ASSERT_EQ(tools::damageTable(request, &message), tools::kDamageDone) << message;
    KestRecoverOptions options{sizeof options, KEST_THOROUGH};
    KestRecoverReport report{};
    report.size = sizeof report;
    ASSERT_EQ(Engine().fileRecoverEx(damaged.c_str(), out.path().c_str(), 0, nullptr, nullptr,
                                     nullptr, nullptr, &options, &report),
              KEST_OK);
    EXPECT_EQ(report.method, c.method);
    ASSERT_GT(report.repairCount, 0u);
    std::string text = ReportFile(out.path(), "REPORT.TXT");
    EXPECT_NE(text.find(c.finding), std::string::npos) << text;
    EXPECT_NE(text.find(report.repairs[0]), std::string::npos) << text;
    std::string json = ReportFile(out.path(), "REPORT.JSON");
    EXPECT_NE(json.find("\"method\":" + std::to_string(c.method)), std::string::npos) << json;
    EXPECT_NE(json.find(c.finding), std::string::npos) << json;
  }
}

TEST(FileRecoverEx, RefusesWhatItCannotReadBeforeTouchingAnything) {
  struct Case {
    const char* what;
    uint32_t optionsSize, flags, reportSize;
  } cases[] = {
      {"options too small", 4, KEST_THOROUGH, sizeof(KestRecoverReport)},
      {"options of size 0", 0, 0, sizeof(KestRecoverReport)},
      {"an unknown flag", sizeof(KestRecoverOptions), KEST_THOROUGH + 1, sizeof(KestRecoverReport)},
      {"every bit set", sizeof(KestRecoverOptions), 0xFFFFFFFFu, sizeof(KestRecoverReport)},
      {"report too small", sizeof(KestRecoverOptions), KEST_THOROUGH, 8},
  };
  TempDir source;
  std::string table = copyTestData("dbase_31.dbf", source);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir out, logs;
    std::string log = logs.file("run.log");
    SourceGuard guard(table);
    KestRecoverOptions options{c.optionsSize, c.flags};
    KestRecoverReport report{};
    report.size = c.reportSize;
    report.method = 77;
    Calls calls;
    int32_t code = Engine().fileRecoverEx(table.c_str(), out.path().c_str(), 0, &Calls::Status,
                                          &Calls::Progress, &calls, log.c_str(), &options,
                                          &report);
    EXPECT_EQ(code, KEST_INTERNAL);
    EXPECT_EQ(calls.count, 0);
    EXPECT_TRUE(fs::is_empty(out.path()));
    EXPECT_FALSE(exists(log));
    EXPECT_EQ(report.method, 77) << "the report was written";
    EXPECT_TRUE(guard.unchanged());
  }
}

}  // namespace
}  // namespace kest::testing
