#include "dbf/result_publishing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/test_support.h"

namespace kest {
namespace {

using testing::TempDir;

TEST(ResultTableName, ExistingPathsAreFoldersNewPathsAreTheResult) {
#ifdef _WIN32
  GTEST_SKIP() << "the Windows name is joined with a backslash; the cases expect a slash";
#endif
  TempDir dir;
  std::string folder = dir.file("out");
  std::filesystem::create_directory(folder);
  std::string file = dir.file("taken.dbf");
  testing::writeFile(file, "x");
  struct Case {
    std::string path;
    std::string name;  // empty: refused
  };
  const Case cases[] = {
      {folder, folder + "/RECOVERED.DBF"},
      {folder + "/", folder + "/RECOVERED.DBF"},
      {dir.file("new.dbf"), dir.file("new.dbf")},
      // An existing file is taken as a folder too; creating in it fails later.
      {file, file + "/RECOVERED.DBF"},
      {std::string(259, 'a'), std::string(259, 'a')},
      {std::string(260, 'a'), ""},
  };
  for (const Case& c : cases) {
    std::string name = "stale";
    EXPECT_EQ(resultTableName(c.path, platform::Env::Default(), &name), !c.name.empty()) << c.path;
    EXPECT_EQ(name, c.name) << c.path;
  }
}

TEST(ResultTableName, FolderWhoseResultNameIsTooLongIsRefused) {
  TempDir dir;
  std::string folder = dir.path();
  folder += "/" + std::string(250 - std::min<size_t>(250, folder.size()), 'f');
  std::filesystem::create_directory(folder);
  ASSERT_LE(folder.size(), 259u);
  std::string name;
  EXPECT_FALSE(resultTableName(folder, platform::Env::Default(), &name));
  EXPECT_TRUE(name.empty());
}

}  // namespace
}  // namespace kest
