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
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dbf/memo_companion.h"
#include "dbf/memo_layout.h"
#include "dbf/memo_repair.h"
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

// The memo fields of a table, and what its records say with their memo
// references left out: the memo repair renumbers them, nothing else.
struct MemoView {
  explicit MemoView(const TableImage& table) {
    version = table.header.version();
    for (const FieldPlace& place : placeFields(table.fields, nullptr)) {
      if (isMemoFieldType(place.type, version)) places.push_back(place);
    }
  }
  std::string body(std::string record) const {
    for (const FieldPlace& place : places) {
      if (place.displacement + place.length <= record.size()) {
        record.replace(place.displacement, place.length, place.length, ' ');
      }
    }
    return Body(record);
  }
  // The record's memos as the memo module reads them beside `tablePath`.
  std::vector<std::string> memos(const std::string& tablePath, const std::string& record) const {
    std::vector<std::string> texts;
    std::string path = findMemoFile(tablePath, version, platform::Env::Default());
    std::unique_ptr<platform::ReadableFile> file;
    if (path.empty() || !platform::Env::Default()->OpenReadOnly(path, &file)) return texts;
    MemoReader reader(file.get(), memoKindOfFile(path, version));
    for (const FieldPlace& place : places) {
      if (place.displacement + place.length > record.size()) continue;
      uint32_t block = memoBlockNumber(
          reinterpret_cast<const uint8_t*>(record.data()) + place.displacement, place.length);
      texts.push_back(reader.read(block, place.type == 'M').bytes);
    }
    return texts;
  }
  uint8_t version = 0;
  std::vector<FieldPlace> places;
};

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
  // At most this many intact records unlike every other of their table,
  // which fit the table's records too badly to be told from bytes a few
  // places off, may be left behind.
  uint32_t unlike = 0;
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
  SourceGuard guard(damaged);
  KestRecoverOptions options{sizeof options, KEST_THOROUGH};
  KestRecoverReport report{};
  report.size = sizeof report;
  int32_t code = Engine().fileRecoverEx(damaged.c_str(), out.path().c_str(), 0, nullptr, nullptr,
                                        nullptr, nullptr, &options, &report);
  ASSERT_EQ(code, KEST_OK);
  EXPECT_TRUE(guard.unchanged());

  TableImage result = TableImage::Read(ResultTable(out.path()));
  // The result's descriptors place the fields (a level-7 table's are
  // rewritten in the common layout).
  const MemoView view(result);
  std::set<std::string> ceiling;
  std::map<std::string, std::vector<std::string>> healthyMemos;
  for (const std::string& record : healthy.records) {
    if (record[0] != '*' && bytes.find(Body(record)) != std::string::npos) {
      ceiling.insert(view.body(record));
      healthyMemos[view.body(record)] = view.memos(testData(c.table), record);
    }
  }
  ASSERT_FALSE(ceiling.empty());
  std::string why;
  EXPECT_TRUE(result.whole(&why)) << why;
  std::set<std::string> seen;
  for (const std::string& record : result.records) {
    EXPECT_EQ(record[0], ' ');
    EXPECT_TRUE(ceiling.count(view.body(record))) << "a record that is not the table's";
    EXPECT_TRUE(seen.insert(view.body(record)).second) << "a record written twice";
    // Each memo is the record's own, or empty.
    std::vector<std::string> memos = view.memos(ResultTable(out.path()), record);
    const std::vector<std::string>& own = healthyMemos[view.body(record)];
    for (size_t j = 0; j < memos.size() && j < own.size(); ++j) {
      EXPECT_TRUE(memos[j].empty() || memos[j] == own[j]) << "a memo not its own";
    }
  }
  EXPECT_GE(seen.size() + c.unlike, ceiling.size());
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
     "records go on 9 bytes earlier, at byte 4,534"},
    {"dbase_83.dbf", DamageMode::kJamDeletionFlags,
     "20 records with a jammed deletion flag kept, the flag restored to ' '"},
    {"dbase_31.dbf", DamageMode::kNoiseRecords, ""},
    // Blank dates and dates long before 1970; memo numbers as text.
    {"dbase_f5.dbf", DamageMode::kCutMemo, "", 0, 3},
    // No memo file: the memo fields stay, emptied, beside an empty memo file.
    {"dbase_83.dbf", DamageMode::kDropMemo,
     "no memo file beside the table: the memo fields stay memo fields, 67 memo references "
     "emptied, and an empty .dbt memo file written"},
    {"foxprodb/calls.dbf", DamageMode::kDropMemo, "16 memo references emptied"},
    // Level 7: judged by its 48-byte descriptors, written in the common layout.
    {"dbase_8c.dbf", DamageMode::kJamDeletionFlags,
     "level-7 field descriptors (6 fields) written in the 32-byte layout"},
    // Memos past the cut: every record stays whole, its reference emptied,
    // and readers still open it.
    {"foxprodb/calls.dbf", DamageMode::kCutMemo,
     "record 1, NOTES: block 8 lies past the end of the memo file"},
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
    uint32_t flags;
    int32_t method;
    const char* finding;
  } cases[] = {
      {"dbase_31.dbf", DamageMode::kZeroHeaderArea, KEST_THOROUGH, 2,
       "found by searching the whole table"},
      // A bit that named one step in earlier versions chooses them all.
      {"dbase_31.dbf", DamageMode::kInflateCount, 0x0004, 1, "record count 87 corrected to 77"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(tools::damageModeName(c.mode));
    TempDir work, out;
    std::string damaged = work.file("damaged.dbf");
    std::string message;
    tools::DamageRequest request{testData(c.table), damaged, c.mode};
    ASSERT_EQ(tools::damageTable(request, &message), tools::kDamageDone) << message;
    KestRecoverOptions options{sizeof options, c.flags};
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

TEST(FileRecoverEx, WritesNothingFromAFileThatHoldsNoRecords) {
  // Some slots of any file pass the record check by chance; a picture, a
  // program or a text is still no table, and nothing is passed off as its
  // records.
  std::mt19937 rng(11);
  std::string noise(96 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  const std::string picture = std::string("\x89PNG\r\n\x1a\n", 8) + noise;
  std::string program = std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(57, '\0');
  for (size_t i = 0; program.size() < noise.size(); ++i) {
    program += (i % 3 == 0) ? std::string(12, '\0') : noise.substr(i * 16 % noise.size(), 16);
  }
  // Lines of text pass as text fields at some length and stride; a log's
  // first bytes even read as a header with a record count.
  std::string licence, log;
  const char* words[] = {"the", "program", "is", "free", "software;", "you", "can", "copy",
                         "it", "under", "terms", "of", "this", "licence,", "version", "3."};
  while (licence.size() < 32 * 1024) {
    licence += words[rng() % 16];
    licence += (rng() % 11 == 0) ? "\n" : " ";
  }
  for (int i = 0; log.size() < 32 * 1024; ++i) {
    log += "2026-12-" + std::to_string(10 + i % 9) + " 08:" + std::to_string(10 + i % 50) +
           ":01 status installed libpart" + std::to_string(i % 97) + ":amd64 1." +
           std::to_string(i % 13) + "-" + std::to_string(i % 5) + "\n";
  }
  for (const auto& [what, bytes] : {std::pair{"random bytes", noise}, {"a picture", picture},
                                    {"a program", program}, {"a licence", licence},
                                    {"a log", log}}) {
    SCOPED_TRACE(what);
    TempDir source, out;
    const std::string table = source.file("junk.dbf");
    writeFile(table, bytes);
    KestRecoverOptions options{sizeof(KestRecoverOptions), KEST_THOROUGH};
    KestRecoverReport report{};
    report.size = sizeof report;
    EXPECT_EQ(Engine().fileRecoverEx(table.c_str(), out.path().c_str(), 0, nullptr, nullptr,
                                     nullptr, nullptr, &options, &report),
              KEST_NOTHING);
    EXPECT_TRUE(fs::is_empty(out.path()));
  }
}

}  // namespace
}  // namespace kest::testing
