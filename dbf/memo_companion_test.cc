#include "dbf/memo_companion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace kest {
namespace {

using testing::TempDir;
using testing::writeFile;

TEST(ProbeMemoCompanion, MeasuresTheFptWhateverItsCase) {
  struct Case {
    const char* table;
    const char* memo;  // null: none
    bool present;
  };
  const Case cases[] = {
      {"orders.dbf", "orders.fpt", true},   {"orders.dbf", "ORDERS.FPT", true},
      {"ORDERS.DBF", "orders.fpt", true},   {"orders", "orders.fpt", true},
      {"orders.dbf", "orders.dbt", false},  {"orders.dbf", "orders.fpt.bak", false},
      {"orders.dbf", nullptr, false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    writeFile(dir.file(c.table), "table");
    if (c.memo != nullptr) writeFile(dir.file(c.memo), std::string(300, 'm'));
    MemoCompanion memo = probeMemoCompanion(dir.file(c.table), platform::Env::Default());
    EXPECT_EQ(memo.present, c.present) << c.table << " " << (c.memo ? c.memo : "-");
    EXPECT_EQ(memo.size, c.present ? 300u : 0u) << c.table;
    EXPECT_EQ(testing::readFile(dir.file(c.table)), "table");
    if (c.memo != nullptr) {
      EXPECT_EQ(testing::readFile(dir.file(c.memo)), std::string(300, 'm'));
    }
  }
}

TEST(ProbeMemoCompanion, EmptyCompanionIsPresentWithSizeZero) {
  TempDir dir;
  writeFile(dir.file("t.dbf"), "table");
  writeFile(dir.file("t.fpt"), "");
  MemoCompanion memo = probeMemoCompanion(dir.file("t.dbf"), platform::Env::Default());
  EXPECT_TRUE(memo.present);
  EXPECT_EQ(memo.size, 0u);
}

TEST(ProbeMemoCompanion, FolderOfThatNameIsNoCompanion) {
  TempDir dir;
  writeFile(dir.file("t.dbf"), "table");
  std::filesystem::create_directory(dir.file("T.FPT"));
  EXPECT_FALSE(probeMemoCompanion(dir.file("t.dbf"), platform::Env::Default()).present);
}

TEST(FindIgnoringCase, PrefersTheExactNameAndTakesWildcardsLiterally) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows names ignore case, so the asked name is found as given";
#endif
  TempDir dir;
  writeFile(dir.file("Data.FPT"), "x");
  writeFile(dir.file("dataxfpt"), "x");
  platform::Env* env = platform::Env::Default();
  EXPECT_EQ(findIgnoringCase(dir.file("Data.FPT"), env), dir.file("Data.FPT"));
  EXPECT_EQ(findIgnoringCase(dir.file("data.fpt"), env), dir.file("Data.FPT"));
  EXPECT_EQ(findIgnoringCase(dir.file("data?fpt"), env), dir.file("data?fpt"));
  EXPECT_EQ(findIgnoringCase(dir.file("none.fpt"), env), dir.file("none.fpt"));
}

TEST(MemoCompanions, OnlyTheTablesOwnStemWithAMemoExtension) {
  TempDir dir;
  for (const char* name : {"t.dbf", "t.fpt", "T.DBT", "t.x.fpt", "t.fpt.bak", "t2.fpt", "tx.dbt"}) {
    writeFile(dir.file(name), "x");
  }
  std::vector<std::string> found = listMemoCompanions(dir.file("t.dbf"), platform::Env::Default());
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"T.DBT", "t.fpt"}));
  EXPECT_EQ(memoCompanionMask(dir.file("t.dbf")), dir.file("t.*"));
  EXPECT_TRUE(listMemoCompanions(dir.file("none/t.dbf"), platform::Env::Default()).empty());
}

}  // namespace
}  // namespace kest
