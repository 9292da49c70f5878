// A recovery killed (SIGKILL) at every write-side call of its writing
// stage, in a child process: after each kill, every file of the results
// folder that a reader would open is whole and holds the records of the
// uninterrupted run, and anything unfinished carries the temporary name.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <string>

#include "dbf/result_publishing.h"
#include "tests/child_process.h"
#include "tests/table_reader.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace kest::testing {
namespace {

// How kill_host's end reads to its parent: the signal's status on POSIX, the
// same number as an exit code on Windows, where it ends itself at once.
#ifdef _WIN32
constexpr int kKilledStatus = 137;
#else
constexpr int kKilledStatus = 128 + SIGKILL;
#endif

const std::string kHost = std::string(KEST_BIN_DIR) + "/kill_host";

struct Case {
  const char* name;
  const char* table;      // in testdata/, or the repository's samples
  const char* companion;  // copied beside it; may be null
};

const Case kCases[] = {
    {"best_case_with_memo", "foxprodb/calls.dbf", "foxprodb/calls.FPT"},
    {"worst_case", nullptr, nullptr},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// Every file under `output`, by name, with its bytes.
std::map<std::string, std::string> Contents(const std::string& output) {
  std::map<std::string, std::string> files;
  for (const auto& folder : fs::directory_iterator(output)) {
    for (const auto& file : fs::directory_iterator(folder.path())) {
      files[file.path().filename().string()] = readFile(file.path().string());
    }
  }
  return files;
}

bool IsPartial(const std::string& name) {
  return name.size() > std::string(kPartialSuffix).size() && name.ends_with(kPartialSuffix);
}

class InterruptedRun : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    const Case& c = GetParam();
    if (c.table == nullptr) {
      table_ = source_.file("calls.dbf");
      fs::copy_file(std::string(KEST_SOURCE_DIR) + "/samples/calls.dbf", table_);
    } else {
      table_ = copyTestData(c.table, source_);
      if (c.companion != nullptr) copyTestData(c.companion, source_);
    }
  }

  ChildOutcome Run(const TempDir& output, uint64_t killAt) {
    return runChild({kHost, table_, output.path(), std::to_string(killAt)});
  }

  TempDir source_;
  std::string table_;
};

TEST_P(InterruptedRun, EveryKillLeavesWholeFilesOrTemporaryNames) {
  TempDir whole;
  ChildOutcome full = Run(whole, 0);
  ASSERT_EQ(full.status, 0) << full.err;
  uint64_t calls = std::stoull(full.out);
  ASSERT_EQ(full.out.substr(full.out.find(' ') + 1), "0\n");
  const std::map<std::string, std::string> expected = Contents(whole.path());
  ASSERT_FALSE(expected.empty());
  ASSERT_GT(calls, 5u);

  // The kills must reach both sides of the publication to prove anything.
  int leftPartial = 0, leftTable = 0;
  for (uint64_t n = 1; n <= calls; ++n) {
    SCOPED_TRACE("killed before write-side call " + std::to_string(n) + " of " +
                 std::to_string(calls));
    TempDir output;
    ChildOutcome killed = Run(output, n);
    ASSERT_EQ(killed.status, kKilledStatus) << killed.out << killed.err;
    for (const auto& [name, bytes] : Contents(output.path())) {
      if (IsPartial(name)) {
        ++leftPartial;
        continue;
      }
      ASSERT_TRUE(expected.count(name)) << name << " is no result of the run";
      std::string why;
      if (name.ends_with(".dbf") || name.ends_with(".DBF")) {
        EXPECT_TRUE(TableImage::FromBytes(bytes).whole(&why)) << name << ": " << why;
        ++leftTable;
      }
      EXPECT_TRUE(bytes == expected.at(name)) << name << " differs from the whole run's";
    }
  }
  EXPECT_GT(leftPartial, 0);
  EXPECT_GT(leftTable, 0);
}

INSTANTIATE_TEST_SUITE_P(RecoverFile, InterruptedRun, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kest::testing
