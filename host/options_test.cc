#include "host/options.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace kest::host {
namespace {

using Action = CommandLine::Action;

TEST(CommandLineTest, WordsBecomeOptionsAndTables) {
  struct Case {
    std::vector<std::string> words;
    std::string output, log;
    bool quiet, json;
    std::vector<std::string> tables;
  } cases[] = {
      {{"a.dbf"}, ".", "", false, false, {"a.dbf"}},
      {{"-o", "out", "a.dbf", "-q", "b.dbf"}, "out", "", true, false, {"a.dbf", "b.dbf"}},
      {{"-oout", "-lrun.log", "a.dbf"}, "out", "run.log", false, false, {"a.dbf"}},
      {{"--output=out", "--log", "run.log", "--json", "a.dbf"}, "out", "run.log", false, true,
       {"a.dbf"}},
      // -q before an attached value; the value of -o may start with a dash.
      {{"-qo", "-x", "a.dbf"}, "-x", "", true, false, {"a.dbf"}},
      // "-" alone is a name; after "--" everything is.
      {{"-", "--", "-q", "--json"}, ".", "", false, false, {"-", "-q", "--json"}},
      {{"a.dbf", "-o", "x", "--output", "y"}, "y", "", false, false, {"a.dbf"}},
  };
  for (const Case& c : cases) {
    CommandLine parsed = parseCommandLine(c.words);
    ASSERT_EQ(parsed.action, Action::kRun) << parsed.problem;
    EXPECT_EQ(parsed.options.outputFolder, c.output);
    EXPECT_EQ(parsed.options.logFile, c.log);
    EXPECT_EQ(parsed.options.quiet, c.quiet);
    EXPECT_EQ(parsed.options.json, c.json);
    EXPECT_EQ(parsed.options.tables, c.tables);
    EXPECT_FALSE(parsed.options.classic);
  }
}

TEST(CommandLineTest, ClassicIsAskedForByName) {
  EXPECT_TRUE(parseCommandLine({"--classic", "a.dbf"}).options.classic);
  EXPECT_TRUE(parseCommandLine({"a.dbf", "--classic"}).options.classic);
  EXPECT_EQ(parseCommandLine({"--classic=yes", "a.dbf"}).action, Action::kUsageError);
  EXPECT_EQ(parseCommandLine({"--like=old.dbf", "a.dbf"}).options.templatePath, "old.dbf");
  EXPECT_EQ(parseCommandLine({"a.dbf", "--like", "old.dbf"}).options.templatePath, "old.dbf");
}

TEST(CommandLineTest, FirstWordThatEndsTheParseWins) {
  struct Case {
    std::vector<std::string> words;
    Action action;
    std::string problem;
  } cases[] = {
      {{"--help", "--bogus"}, Action::kHelp, ""},
      {{"-qh"}, Action::kHelp, ""},
      {{"--version", "-x"}, Action::kVersion, ""},
      {{"--bogus", "--help"}, Action::kUsageError, "unknown option '--bogus'"},
      {{"-o"}, Action::kUsageError, "option '-o' needs an argument"},
      {{"a.dbf", "--log"}, Action::kUsageError, "option '--log' needs an argument"},
      {{"--quiet=1", "a.dbf"}, Action::kUsageError, "unknown option '--quiet=1'"},
      {{"--out", "x", "a.dbf"}, Action::kUsageError, "unknown option '--out'"},
      {{"-o", "x"}, Action::kUsageError, "no table given"},
      {{"--output=", "a.dbf"}, Action::kUsageError, "the output folder name is empty"},
      {{"a.dbf", "--like"}, Action::kUsageError, "option '--like' needs an argument"},
      {{"--like", "o.dbf", "--classic", "a.dbf"}, Action::kUsageError,
       "--like needs the thorough recovery; it cannot go with --classic"},
  };
  for (const Case& c : cases) {
    CommandLine parsed = parseCommandLine(c.words);
    EXPECT_EQ(parsed.action, c.action) << c.words[0];
    EXPECT_EQ(parsed.problem, c.problem);
  }
}

TEST(CommandLineTest, OutputFolderMustExistBeforeAnyRun) {
  testing::TempDir dir;
  std::string file = dir.file("a.dbf");
  testing::writeFile(file, "table");
  Options options;
  options.tables = {file};

  options.outputFolder = dir.path();
  EXPECT_EQ(problemOnDisk(options), std::nullopt);
  for (const std::string& missing : {dir.file("missing"), file}) {
    options.outputFolder = missing;
    EXPECT_EQ(problemOnDisk(options), "output folder '" + missing + "' is not an existing folder");
  }
  options.outputFolder = dir.path();
  options.templatePath = dir.file("old.dbf");
  EXPECT_EQ(problemOnDisk(options), "template '" + options.templatePath + "' is not an existing file");
  options.templatePath = file;
  EXPECT_EQ(problemOnDisk(options), std::nullopt);
}

}  // namespace
}  // namespace kest::host
