#include "platform/path.h"

#include <gtest/gtest.h>

namespace kest::platform {
namespace {

TEST(SplitPath, AcceptsBothSeparatorsAndKeepsTheDotOfTheExtension) {
  PathParts p = SplitPath("data\\sub/orders.dbf");
  EXPECT_EQ(p.folder, "data\\sub/");
  EXPECT_EQ(p.name, "orders");
  EXPECT_EQ(p.extension, ".dbf");

  PathParts bare = SplitPath("orders");
  EXPECT_EQ(bare.folder, "");
  EXPECT_EQ(bare.name, "orders");
  EXPECT_EQ(bare.extension, "");

  PathParts dots = SplitPath("/a.b/c.tar.gz");
  EXPECT_EQ(dots.folder, "/a.b/");
  EXPECT_EQ(dots.name, "c.tar");
  EXPECT_EQ(dots.extension, ".gz");
  EXPECT_EQ(JoinPath(dots), "/a.b/c.tar.gz");
}

TEST(FileNameOf, TakesThePartAfterTheLaterSeparator) {
  EXPECT_EQ(FileNameOf("D:\\data\\orders.dbf"), "orders.dbf");
  EXPECT_EQ(FileNameOf("D:/data/ORDERS.DBF"), "ORDERS.DBF");
  EXPECT_EQ(FileNameOf("a/b\\c.dbf"), "c.dbf");
  EXPECT_EQ(FileNameOf("a\\b/c.dbf"), "c.dbf");
  EXPECT_EQ(FileNameOf("orders.dbf"), "orders.dbf");
}

TEST(InFolder, AddsOneSeparatorOnlyWhenNeeded) {
  EXPECT_EQ(InFolder("out", "x"), std::string("out") + kSeparator + "x");
  EXPECT_EQ(InFolder("out/", "x"), "out/x");
  EXPECT_EQ(InFolder("out\\", "x"), "out\\x");
}

TEST(FolderOf, KeepsTheSeparatorAndGivesTheCurrentFolderForABareName) {
  EXPECT_EQ(FolderOf("data/t.dbf"), "data/");
  EXPECT_EQ(FolderOf("a\\b\\t.dbf"), "a\\b\\");
  EXPECT_EQ(FolderOf("t.dbf"), "");
  EXPECT_EQ(FolderOrCurrent("t.dbf"), ".");
  EXPECT_EQ(FolderOrCurrent("/t.dbf"), "/");
}

TEST(WildcardMatch, IgnoresCaseAsTheTablesHomeSystemsDo) {
  EXPECT_TRUE(WildcardMatch("orders.*", "ORDERS.FPT"));
  EXPECT_TRUE(WildcardMatch("orders.*", "orders.dbf"));
  EXPECT_FALSE(WildcardMatch("orders.*", "orders2.fpt"));
  EXPECT_TRUE(WildcardMatch("tmp_*.dat", "tmp_12_a.dat"));
  EXPECT_TRUE(WildcardMatch("tmp_*.dat", "TMP_7.DAT"));
  EXPECT_FALSE(WildcardMatch("tmp_*.dat", "tmp_7.datx"));
  EXPECT_TRUE(WildcardMatch("*.*", "anything"));
  EXPECT_TRUE(WildcardMatch("*.*", "a.b"));
  EXPECT_TRUE(WildcardMatch("a?c", "abc"));
  EXPECT_FALSE(WildcardMatch("a?c", "ac"));
}

}  // namespace
}  // namespace kest::platform
