// dbfrecover inspect and export, called in-process: the damage inspect
// names, what export writes and leaves out, and their command lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "host/export.h"
#include "host/inspect.h"
#include "tests/table_builder.h"
#include "tests/test_support.h"

namespace kest::host {
namespace {

using testing::TableBuilder;
using testing::TempDir;

uint32_t get32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
  return v;
}
void put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
uint32_t headerLength(const std::string& b) {
  return static_cast<uint8_t>(b[8]) | (static_cast<uint8_t>(b[9]) << 8);
}
uint32_t recordLength(const std::string& b) {
  return static_cast<uint8_t>(b[10]) | (static_cast<uint8_t>(b[11]) << 8);
}

// Damage done to a copy of a healthy table with a memo companion.
struct DamageCase {
  const char* name;
  std::function<void(std::string& table, const std::string& folder)> damage;
  const char* verdict;  // how the closing line begins
  int status;
};

nlohmann::json inspectJson(const std::string& path) {
  InspectOptions options;
  options.tables = {path};
  options.json = true;
  std::ostringstream out;
  int status = RunInspect(options, out);
  nlohmann::json report = nlohmann::json::parse(out.str());
  EXPECT_EQ(report["exit"], status);
  return report;
}

TEST(Inspect, NamesTheDamageDone) {
  const DamageCase cases[] = {
      {"untouched", [](std::string&, const std::string&) {}, "healthy", kInspectHealthy},
      {"zeroed header",
       [](std::string& t, const std::string&) { std::fill(t.begin(), t.begin() + 32, '\0'); },
       "header destroyed: the worst-case method will have to guess the layout", kInspectDamaged},
      {"inflated count", [](std::string& t, const std::string&) { put32(t, 4, get32(t, 4) + 5); },
       "record count larger than the file: the last 5 records are missing or the count is wrong",
       kInspectDamaged},
      {"truncated",
       [](std::string& t, const std::string&) {
         t.resize(headerLength(t) + 10 * recordLength(t) + recordLength(t) / 2);
       },
       "file cut short inside record 11: the last 6 records are missing or incomplete",
       kInspectDamaged},
      {"jammed deletion flags",
       [](std::string& t, const std::string&) {
         for (int record : {1, 4}) t[headerLength(t) + record * recordLength(t)] = '\0';
       },
       "2 records have a deletion flag that is neither live nor deleted (jammed), first 2, 5",
       kInspectDamaged},
      {"memo companion gone",
       [](std::string&, const std::string& folder) {
         std::filesystem::remove(folder + "/calls.FPT");
       },
       "memo companion missing: the memo texts cannot be read", kInspectDamaged},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string table = testing::copySharedData("foxprodb/calls.dbf", dir);
    testing::copySharedData("foxprodb/calls.FPT", dir);
    std::string bytes = testing::readFile(table);
    c.damage(bytes, dir.path());
    testing::writeFile(table, bytes);
    nlohmann::json report = inspectJson(table);
    EXPECT_EQ(report["verdict"].get<std::string>().rfind(c.verdict, 0), 0u) << report["verdict"];
    EXPECT_EQ(report["exit"], c.status);
  }
}

TEST(Inspect, NamesDescriptorsThatCannotBeRightAndValuesThatFail) {
  TempDir dir;
  TableBuilder builder;
  builder.field("OK", 'N', 3).field("BAD\x01", 'Z', 2).field("FAR", 'C', 4, 90);
  builder.recordLength(10).record("  1").record("x 2").record("  3");
  builder.write(dir.file("t.dbf"));
  nlohmann::json report = inspectJson(dir.file("t.dbf"));
  EXPECT_EQ(report["fields"][0]["problems"].size(), 0u);
  EXPECT_EQ(
      report["fields"][1]["problems"],
      nlohmann::json({"type letter no dBASE/FoxPro version uses", "name with non-printing bytes"}));
  EXPECT_EQ(report["fields"][2]["problems"], nlohmann::json({"place or length beyond the record"}));
  EXPECT_EQ(report["records"]["failures"][0]["field"], "OK");
  EXPECT_EQ(report["records"]["failures"][0]["reason"], "not a number");
  EXPECT_EQ(report["records"]["failures"][0]["first"], nlohmann::json({2}));
  EXPECT_EQ(report["exit"], kInspectDamaged);
}

TEST(Inspect, AMissingTableIsUnreadableAndTheWorstStatusWins) {
  TempDir dir;
  InspectOptions options;
  options.tables = {testing::sharedData("foxprodb/setup.dbf"), dir.file("none.dbf")};
  std::ostringstream out;
  EXPECT_EQ(RunInspect(options, out), kInspectUnreadable);
  EXPECT_NE(out.str().find("verdict: unreadable: no such file"), std::string::npos);
}

struct CommandRun {
  int status;
  std::string out, err;
};
CommandRun runMain(int (*main)(int, char**, std::ostream&, std::ostream&),
                   std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  std::ostringstream out, err;
  int status = main(static_cast<int>(argv.size()), argv.data(), out, err);
  return {status, out.str(), err.str()};
}

TEST(Export, LeavesOutDeletedRecordsAndNullsWhatCannotBeDecoded) {
  TempDir dir;
  TableBuilder builder;
  builder.field("NAME", 'C', 5).field("N", 'N', 3);
  builder.record("ann    1").record("bob    2", '*').record("cy   x 3");
  builder.write(dir.file("t.dbf"));
  std::filesystem::create_directory(dir.file("out"));

  CommandRun run =
      runMain(ExportMain, {"export", "-f", "jsonl", dir.file("t.dbf"), "-o", dir.file("out")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(testing::readFile(dir.file("out/t.jsonl")),
            "{\"NAME\":\"ann\",\"N\":1}\n{\"NAME\":\"cy\",\"N\":null}\n");
  EXPECT_NE(run.out.find("2 records to"), std::string::npos);
  EXPECT_NE(run.out.find(
                "1 deleted left out; 1 value could not be decoded, left null: N (not a number) 1"),
            std::string::npos)
      << run.out;

  // Nothing that exists is replaced.
  run = runMain(ExportMain,
                {"export", "--deleted", "-f", "jsonl", dir.file("t.dbf"), "-o", dir.file("out")});
  EXPECT_EQ(run.status, 5);
  EXPECT_NE(run.err.find("exists already"), std::string::npos);

  // The last -o counts and "--" ends the options, as with the recovering command.
  std::filesystem::remove(dir.file("out/t.jsonl"));
  run = runMain(ExportMain, {"export", "-o", dir.file("elsewhere"), "--deleted", "-o",
                             dir.file("out"), "--", dir.file("t.dbf")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(testing::readFile(dir.file("out/t.csv")),
            "_deleted,NAME,N\r\nfalse,ann,1\r\ntrue,bob,2\r\nfalse,cy,\r\n");
}

TEST(Export, CommandLinesThatCannotRunAreUsageErrors) {
  TempDir dir;
  std::string table = testing::sharedData("foxprodb/setup.dbf");
  const std::vector<std::vector<std::string>> wrong = {
      {"export", table},
      {"export", "-o", dir.path()},
      {"export", "--format", "xml", table, "-o", dir.path()},
      {"export", table, "-o", dir.file("no-such-folder")},
      {"export", "--encoding", "NO-SUCH-SET", table, "-o", dir.path()},
      {"export", "--bogus", table, "-o", dir.path()},
  };
  for (const auto& words : wrong) {
    CommandRun run = runMain(ExportMain, words);
    EXPECT_EQ(run.status, 2) << words.back() << run.err;
    EXPECT_NE(run.err.find("Try 'dbfrecover export --help'"), std::string::npos);
  }
  EXPECT_EQ(runMain(InspectMain, {"inspect"}).status, 2);
  CommandRun help = runMain(ExportMain, {"export", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: dbfrecover export", 0), 0u);
  EXPECT_EQ(runMain(InspectMain, {"inspect", "-h"}).out.rfind("Usage: dbfrecover inspect", 0), 0u);
}

}  // namespace
}  // namespace kest::host
