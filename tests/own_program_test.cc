// Results the table's own program opens again, through the built engine:
// the table's kind kept, its index files named and never copied, and a
// table whose header area is gone read by the structure of a healthy copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "dbf/result_publishing.h"
#include "kestdll/recovery_run.h"
#include "tests/engine_loader.h"
#include "tests/fault_env.h"
#include "tests/index_builder.h"
#include "tests/independent_readers.h"
#include "tests/source_guard.h"
#include "tests/table_reader.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace kest::testing {
namespace {

struct Outcome {
  int32_t code = 0;
  KestRecoverReport report{};
  std::string folder;  // the results folder, empty when none was made
  std::string repairs;

  std::string file(const std::string& extension) const {
    if (folder.empty()) return "";
    for (const auto& entry : fs::directory_iterator(folder)) {
      std::string ext = entry.path().extension().string();
      for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (ext == extension) return entry.path().string();
    }
    return "";
  }
};

Outcome recover(const std::string& table, const std::string& out, const char* templatePath,
            uint32_t optionsSize = sizeof(KestRecoverOptions)) {
  const EngineExports& engine = EngineLibrary::Built().exports();
  EXPECT_EQ(engine.loadValcore(), 0);
  Outcome run;
  KestRecoverOptions options{optionsSize, KEST_THOROUGH, templatePath};
  run.report.size = sizeof run.report;
  SourceGuard guard(table);
  run.code = engine.fileRecoverEx(table.c_str(), out.c_str(), 0, nullptr, nullptr, nullptr,
                                  nullptr, &options, &run.report);
  EXPECT_TRUE(guard.unchanged());
  for (const auto& entry : fs::directory_iterator(out)) run.folder = entry.path().string();
  for (uint32_t i = 0; i < run.report.repairCount && i < KEST_REPORT_REPAIRS; ++i) {
    run.repairs += std::string(run.report.repairs[i]) + "\n";
  }
  return run;
}

// The strict reader is held to tables it opens before their damage.
void expectReadersOpen(const std::string& table, const std::string& original) {
  std::string strict = pythonDbfPython();
  if (!strict.empty() && opensInPythonDbf(strict, original)) {
    std::string why;
    EXPECT_TRUE(opensInPythonDbf(strict, table, &why)) << why;
  }
  std::string python = dbfreadPython();
  if (!python.empty()) {
    EXPECT_TRUE(opensInDbfread(python, table)) << "dbfread refuses it";
  }
  std::string output;
  if (ogrinfoAvailable()) {
    EXPECT_EQ(ogrinfo(table, &output), 0) << output;
  }
}

std::string headerArea(const TableImage& table) {
  return table.bytes.substr(0, table.header.headerLength()).substr(32);
}

TEST(OwnProgram, AVisualFoxProTableKeepsItsKindAndNamesItsIndex) {
  TempDir source, out;
  std::string table = copyTestData("dbase_31.dbf", source);
  writeFile(source.file("DBASE_31.CDX"),
            compoundIndex({{"PRODID", "PRODUCTID", "", true, false},
                           {"NAME", "UPPER(PRODUCTNAM)", "!DELETED()", false, true}}));
  Outcome run = recover(table, out.path(), nullptr);
  ASSERT_EQ(run.code, KEST_OK) << run.report.failure;

  TableImage before = TableImage::Read(table), after = TableImage::Read(run.file(".dbf"));
  EXPECT_EQ(after.header.version(), 0x31);
  EXPECT_EQ(after.header.bytes[29], before.header.bytes[29]) << "code page";
  EXPECT_EQ(after.header.tableFlags(), 0x00) << "the structural index flag goes, nothing else";
  EXPECT_EQ(headerArea(after), headerArea(before)) << "descriptors and back link";
  EXPECT_EQ(run.file(".cdx"), "") << "an index is never copied";
  std::string list = readFile(run.folder + "/INDEXES.TXT");
  EXPECT_NE(list.find("tag PRODID\tkey PRODUCTID\tunique"), std::string::npos) << list;
  EXPECT_NE(list.find("tag NAME\tkey UPPER(PRODUCTNAM)\tfor !DELETED()\tdescending"),
            std::string::npos)
      << list;
  for (const char* said : {"DBASE_31.CDX stood beside the table and was not copied: open the "
                           "table exclusively and re-create its tags",
                           "database northwind.dbc: its back link is kept"}) {
    EXPECT_NE(run.repairs.find(said), std::string::npos) << run.repairs;
  }
  expectReadersOpen(run.file(".dbf"), testData("dbase_31.dbf"));
}

// Without its memo file a memo table keeps its kind: the memo repair keeps
// the memo fields (emptied) and writes a memo file of their own.
TEST(OwnProgram, AMemoTableWithoutItsMemoFileKeepsItsVersion) {
  TempDir source, out;
  std::string table = copyTestData("dbase_83.dbf", source);
  Outcome run = recover(table, out.path(), nullptr);
  ASSERT_EQ(run.code, KEST_OK) << run.report.failure;
  EXPECT_EQ(TableImage::Read(run.file(".dbf")).header.version(), 0x83);
  EXPECT_TRUE(exists(run.file(".dbt"))) << run.repairs;
  EXPECT_FALSE(exists(run.folder + "/INDEXES.TXT")) << "no index, no list";
  expectReadersOpen(run.file(".dbf"), testData("dbase_83.dbf"));
}

// The table with its whole header area zeroed, and a template of its first
// five records.
struct Damaged {
  std::string table, templ;
  TableImage healthy;
};

Damaged zeroedWithTemplate(const char* name, const TempDir& dir) {
  Damaged d;
  d.healthy = TableImage::Read(testData(name));
  std::string bytes = d.healthy.bytes;
  const size_t headerLength = d.healthy.header.headerLength();
  std::fill_n(bytes.begin(), headerLength, '\0');
  d.table = dir.file("damaged.dbf");
  writeFile(d.table, bytes);
  std::string old = d.healthy.bytes.substr(0, headerLength);
  for (size_t i = 0; i < 5 && i < d.healthy.records.size(); ++i) old += d.healthy.records[i];
  le::Put32(reinterpret_cast<uint8_t*>(old.data()) + 4, 5);
  d.templ = dir.file("old.dbf");
  writeFile(d.templ, old + "\x1a");
  return d;
}

TEST(OwnProgram, AHeaderlessTableIsReadByTheTemplatesStructure) {
  for (const char* name : {"dbase_03.dbf", "dbase_31.dbf", "cp1251.dbf", "people.dbf"}) {
    SCOPED_TRACE(name);
    TempDir dir, out;
    Damaged d = zeroedWithTemplate(name, dir);
    Outcome run = recover(d.table, out.path(), d.templ.c_str());
    ASSERT_EQ(run.code, KEST_OK) << run.report.failure;
    TableImage result = TableImage::Read(run.file(".dbf"));
    EXPECT_EQ(headerArea(result), headerArea(d.healthy)) << "the original descriptors";
    std::set<std::string> live;
    for (const std::string& record : d.healthy.records) {
      if (record[0] != '*') live.insert(record);
    }
    std::set<std::string> back(result.records.begin(), result.records.end());
    EXPECT_EQ(back, live);
    EXPECT_NE(run.repairs.find("structure taken from the template"), std::string::npos);
    EXPECT_NE(run.repairs.find("header area held nothing"), std::string::npos) << run.repairs;
    EXPECT_NE(run.repairs.find(std::to_string(d.healthy.records.size()) + " of the"),
              std::string::npos)
        << run.repairs;
    expectReadersOpen(run.file(".dbf"), testData(name));
  }
}

TEST(OwnProgram, ATemplateTheRecordsDoNotFitIsRefusedAndNothingWritten) {
  TempDir dir;
  Damaged d = zeroedWithTemplate("dbase_03.dbf", dir);
  std::string other = dir.file("other.dbf");
  writeFile(other, readFile(testData("dbase_8b.dbf")));
  struct Case {
    std::string templ;
    int32_t code;
    const char* says;
  } cases[] = {
      {other, KEST_NOTHING, "do not fit that length"},
      {dir.file("missing.dbf"), KEST_SOURCE_UNREADABLE, "the template cannot be opened"},
      {d.table, KEST_SOURCE_UNREADABLE, "the template is no sound table"},
  };
  for (const Case& c : cases) {
    TempDir out;
    Outcome run = recover(d.table, out.path(), c.templ.c_str());
    EXPECT_EQ(run.code, c.code);
    EXPECT_NE(std::string(run.report.failure).find(c.says), std::string::npos)
        << run.report.failure;
    EXPECT_TRUE(fs::is_empty(out.path())) << c.says;
  }
  // A host of the first options knows no template: whatever lies past its
  // structure is not read.
  TempDir out;
  EXPECT_EQ(recover(d.table, out.path(), other.c_str(), offsetof(KestRecoverOptions, templatePath))
                .code,
            KEST_OK);
}

// Every I/O call of a run with a template and an index beside the table
// failing in turn: the run ends with a code of the header, and what stands
// under a final name is whole (the table, the index list) or not there.
TEST(OwnProgram, FailingCallsLeaveNoPartOfAResultOrItsIndexList) {
  TempDir dir;
  Damaged d = zeroedWithTemplate("dbase_31.dbf", dir);
  writeFile(dir.file("damaged.cdx"), compoundIndex({{"PRODID", "PRODUCTID", ""}}));
  SourceGuard guard(d.table);
  RecoveryOptions options(kAllRecoveryFlags);
  options.templatePath = d.templ;
  FaultEnv env;
  std::string wholeList;
  std::vector<std::string> broken;
  auto run = [&](const FaultPlan& plan) {
    TempDir out;
    env.Reset();
    env.Fail(plan);
    RecoveryReport report;
    int32_t code = recoverFile(d.table.c_str(), out.path().c_str(), nullptr, nullptr, nullptr,
                               nullptr, options, &report, &env);
    const std::string what = describe(plan) + ": code " + std::to_string(code) + ": ";
    for (const auto& folder : fs::directory_iterator(out.path())) {
      for (const auto& entry : fs::directory_iterator(folder.path())) {
        std::string name = entry.path().filename().string();
        std::string why;
        if (name.ends_with(kPartialSuffix)) continue;
        if (name == "INDEXES.TXT" && wholeList.empty()) wholeList = readFile(entry.path().string());
        // An index that could not be read is listed as such, whole.
        const std::string list = name == "INDEXES.TXT" ? readFile(entry.path().string()) : "";
        if (!list.empty() && list != wholeList &&
            !list.ends_with("\t(its tags could not be read)\r\n")) {
          broken.push_back(what + "a part of the index list");
        }
        if (name == "damaged.dbf" &&
            (code != KEST_OK || !TableImage::Read(entry.path().string()).whole(&why))) {
          broken.push_back(what + "a table that is not a whole result " + why);
        }
      }
    }
    return code;
  };
  ASSERT_EQ(run(FaultPlan{}), KEST_OK);
  ASSERT_NE(wholeList, "");
  std::vector<std::pair<FaultKind, uint64_t>> calls;
  for (FaultKind kind : allFaultKinds()) calls.emplace_back(kind, env.calls(kind));
  for (const auto& [kind, count] : calls) {
    for (uint64_t n = 1; n <= count; ++n) run(FaultPlan{kind, n});
  }
  EXPECT_TRUE(broken.empty()) << broken.front();
  EXPECT_TRUE(guard.unchanged());
}

}  // namespace
}  // namespace kest::testing
