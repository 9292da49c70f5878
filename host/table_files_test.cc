#include "host/table_files.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace kest::host {
namespace {

// The host guards what the engine takes as companions, no more: t.x.fpt
// belongs to a table t.x, not to t.dbf.
TEST(TableFiles, CompanionsFollowTheEnginesRule) {
  testing::TempDir dir;
  for (const char* name : {"t.dbf", "T.FPT", "t.x.fpt"}) testing::writeFile(dir.file(name), "x");
  EXPECT_EQ(memoCompanions(dir.file("t.dbf")), std::vector<std::string>{dir.file("T.FPT")});
  EXPECT_EQ(logClash(dir.file("t.x.fpt"), {dir.file("t.dbf")}), std::nullopt);
  EXPECT_EQ(logClash(dir.file("t.dbt"), {dir.file("t.dbf")}), dir.file("t.dbt"));
  EXPECT_EQ(logClash(dir.file("T.FPT"), {dir.file("t.dbf")}), dir.file("T.FPT"));
}

}  // namespace
}  // namespace kest::host
