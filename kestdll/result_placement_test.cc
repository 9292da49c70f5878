#include "kestdll/result_placement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <string>
#include <vector>

#include "platform/path.h"
#include "tests/test_support.h"

namespace kest {
namespace {

using platform::CivilTime;
using testing::FixedClockEnv;
using testing::LogCapture;
using testing::TempDir;
using testing::readFile;
using testing::writeFile;

CivilTime At(int year, int month, int day, int hour, int minute) {
  CivilTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  return t;
}

std::string Sep() { return std::string(1, platform::kSeparator); }

TEST(ResultFolderName, ComposesTableNameAndLocalTime) {
  struct Case {
    const char* source;
    CivilTime time;
    const char* expected;
  };
  const Case cases[] = {
      {"D:\\data\\orders.dbf", At(2010, 10, 19, 9, 52), "Recovered orders.dbf 19-Oct-10 09.52"},
      {"D:/data/ORDERS.DBF", At(2009, 2, 3, 14, 5), "Recovered ORDERS.DBF 3-Feb-09 14.05"},
      {"orders.dbf", At(2000, 1, 1, 0, 0), "Recovered orders.dbf 1-Jan-00 00.00"},
      {"/a\\b/c\\t.dbf", At(2026, 12, 31, 23, 59), "Recovered t.dbf 31-Dec-26 23.59"},
      {"a\\b/c.dbf", At(2011, 7, 4, 12, 0), "Recovered c.dbf 4-Jul-11 12.00"},
  };
  for (const Case& c : cases) {
    FixedClockEnv env(c.time);
    EXPECT_EQ(makeResultFolderName(c.source, "out", &env), "out" + Sep() + c.expected)
        << c.source;
  }
}

TEST(ResultFolderName, IsCutTo259Characters) {
  FixedClockEnv env(At(2010, 10, 19, 9, 52));
  std::string output(250, 'o');
  std::string folder = makeResultFolderName("orders.dbf", output.c_str(), &env);
  EXPECT_EQ(folder.size(), 259u);
  EXPECT_EQ(folder, (output + Sep() + "Recovered orders.dbf 19-Oct-10 09.52").substr(0, 259));
}

// A table with companions in a scratch folder; every file keeps its bytes.
class MemoCompanionTest : public ::testing::Test {
 protected:
  std::string Make(const std::string& name, const std::string& bytes) {
    std::string path = source_.file(name);
    writeFile(path, bytes);
    return path;
  }
  std::vector<std::string> Names(const std::string& folder) {
    std::vector<platform::DirEntry> entries;
    platform::Env::Default()->ListFolder(folder, "*", &entries);
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir source_;
  TempDir target_;
  platform::Env* env_ = platform::Env::Default();
};

TEST_F(MemoCompanionTest, CountsBothKindsInAnyLetterCase) {
  struct Case {
    std::vector<std::string> files;
    int32_t count;
  };
  const Case cases[] = {
      {{"orders.dbf"}, 0},
      {{"orders.dbf", "orders.fpt"}, 1},
      {{"orders.dbf", "ORDERS.FPT"}, 1},
      {{"orders.dbf", "orders.fpt", "orders.DBT"}, 2},
      {{"orders.dbf", "orders.cdx", "orders.bak", "orders"}, 0},
      {{"orders.dbf", "orders2.fpt", "other.fpt"}, 0},
  };
  for (const Case& c : cases) {
    TempDir dir;
    for (const std::string& f : c.files) writeFile(dir.file(f), "x");
    LogCapture log;
    EXPECT_EQ(copyMemoCompanions(dir.file("orders.dbf").c_str(), nullptr, nullptr, env_),
              c.count)
        << c.files.size();
    EXPECT_TRUE(log.contains("File: [" + dir.file("orders.dbf") + "]"));
    EXPECT_TRUE(log.contains("Looking for mask:  [" + dir.file("orders.*") + "]"));
  }
}

TEST_F(MemoCompanionTest, MissingTableCountsNothing) {
  EXPECT_EQ(copyMemoCompanions(source_.file("absent.dbf").c_str(), nullptr, nullptr, env_), 0);
  EXPECT_EQ(copyMemoCompanions(nullptr, nullptr, nullptr, env_), 0);
}

TEST_F(MemoCompanionTest, CopiesUnderTheTargetNameWithTheCompanionsOwnExtension) {
  std::string table = Make("orders.dbf", "table");
  Make("ORDERS.FPT", "memo fpt");
  Make("orders.dbt", "memo dbt");
  std::string targetTable = target_.file("orders.dbf");

  EXPECT_EQ(copyMemoCompanions(table.c_str(), targetTable.c_str(), "orders", env_), 2);

  EXPECT_EQ(Names(target_.path()), (std::vector<std::string>{"orders.FPT", "orders.dbt"}));
  EXPECT_EQ(readFile(target_.file("orders.FPT")), "memo fpt");
  EXPECT_EQ(readFile(target_.file("orders.dbt")), "memo dbt");
  EXPECT_EQ(readFile(source_.file("ORDERS.FPT")), "memo fpt");
  EXPECT_EQ(readFile(table), "table");
}

TEST_F(MemoCompanionTest, NeverOverwritesAndStillCounts) {
  std::string table = Make("orders.dbf", "table");
  Make("orders.fpt", "memo");
  writeFile(target_.file("orders.fpt"), "already there");
  EXPECT_EQ(copyMemoCompanions(table.c_str(), target_.file("orders.dbf").c_str(), "orders",
                               env_),
            1);
  EXPECT_EQ(readFile(target_.file("orders.fpt")), "already there");
}

TEST_F(MemoCompanionTest, OnlyTheFolderOfTheTargetTableMatters) {
  std::string table = Make("orders.dbf", "table");
  Make("orders.fpt", "memo");
  EXPECT_EQ(copyMemoCompanions(table.c_str(), target_.file("whatever.xyz").c_str(), "renamed",
                               env_),
            1);
  EXPECT_EQ(Names(target_.path()), std::vector<std::string>{"renamed.fpt"});
}

TEST_F(MemoCompanionTest, SkipsACopyWhoseTargetDoesNotFit) {
  std::string table = Make("orders.dbf", "table");
  Make("orders.fpt", "memo");
  std::string longName(300, 'n');
  LogCapture log;
  EXPECT_EQ(copyMemoCompanions(table.c_str(), target_.file("orders.dbf").c_str(),
                               longName.c_str(), env_),
            1);
  EXPECT_TRUE(Names(target_.path()).empty());
  EXPECT_EQ(log.count("Memo companion path does not fit in 259 characters: [" +
                      target_.file(longName + ".fpt") + "]"),
            1u);
}

TEST_F(MemoCompanionTest, CopiesFromAFolderDeeperThan259Characters) {
  // Only written paths are bounded: the companion is read where it lies.
  std::string deep = source_.path();
  while (deep.size() <= 300) deep += "/" + std::string(60, 'd');
  ASSERT_TRUE(std::filesystem::create_directories(deep));
  std::string table = deep + "/orders.dbf";
  writeFile(table, "table");
  writeFile(deep + "/orders.fpt", "memo");
  LogCapture log;
  EXPECT_EQ(copyMemoCompanions(table.c_str(), target_.file("orders.dbf").c_str(), "orders",
                               env_),
            1);
  EXPECT_EQ(readFile(target_.file("orders.fpt")), "memo");
  EXPECT_EQ(log.count("Memo companion path does not fit in 259 characters: [" +
                      deep + "/orders.fpt]"),
            0u);
}

TEST_F(MemoCompanionTest, PlanNamesEveryCopy) {
  std::string table = Make("t.dbf", "table");
  Make("t.fpt", "memo");
  std::vector<CompanionCopy> plan =
      planMemoCompanionCopies(table.c_str(), target_.file("t.dbf").c_str(), "t", env_);
  ASSERT_EQ(plan.size(), 1u);
  EXPECT_EQ(plan[0].from, source_.file("t.fpt"));
  EXPECT_EQ(plan[0].to, target_.file("t.fpt"));
}

}  // namespace
}  // namespace kest
