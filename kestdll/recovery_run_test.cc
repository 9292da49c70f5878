#include "kestdll/recovery_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <new>
#include <stdexcept>
#include <memory>
#include <string>
#include <vector>

#include "Common/logger/llfile.h"
#include "Common/logger/logger.h"
#include "Common/raised_code.h"
#include "dbf/result_publishing.h"
#include "kestdll/result_placement.h"
#include "kestdll/run_failure.h"
#include "kestdll/run_state.h"
#include "kestdll/testing_host.h"
#include "tests/fault_env.h"
#include "tests/source_guard.h"
#include "tests/table_builder.h"
#include "tests/test_support.h"

namespace kest {
namespace {

using testing::TableBuilder;
using testing::TempDir;
using testing::TestHost;
using testing::progress;
using testing::status;

// --- the choice -----------------------------------------------------------------

TEST(ChooseResult, Examples) {
  struct Case {
    uint32_t count0, count1;
    uint16_t headerLength, searchLength;  // equal lengths weigh 3, else 4
    Winner winner;
  };
  const Case cases[] = {
      {10, 15, 100, 100, Winner::kBestCase},   // limit 15
      {10, 16, 100, 100, Winner::kWorstCase},
      {10, 20, 100, 99, Winner::kBestCase},    // limit 20
      {10, 21, 100, 99, Winner::kWorstCase},
      {1, 1, 100, 100, Winner::kBestCase},     // limit 1
      {1, 2, 100, 100, Winner::kWorstCase},
      {0, 5, 100, 100, Winner::kWorstCase},
      {0, 5, 100, 99, Winner::kWorstCase},
      {5, 0, 100, 100, Winner::kBestCase},
      {5, 0, 100, 99, Winner::kBestCase},
      {0, 0, 100, 100, Winner::kNone},
      {0, 0, 100, 99, Winner::kNone},
      {1, 2, 100, 99, Winner::kBestCase},      // limit 2
      {1, 3, 100, 99, Winner::kWorstCase},
  };
  for (const Case& c : cases) {
    Choice choice = chooseResult(c.count0, c.count1, c.headerLength, c.searchLength);
    EXPECT_EQ(choice.winner, c.winner) << c.count0 << " " << c.count1;
    EXPECT_EQ(choice.selectionFactor, c.headerLength == c.searchLength ? 3u : 4u);
    EXPECT_FALSE(choice.beyondWorstCaseRange);
  }
}

TEST(ChooseResult, RecordsLongerThanTheSearchRangeGoToTheBestCase) {
  struct Case {
    uint32_t count0, count1;
    uint16_t headerLength;
    Winner winner;
    bool beyond;
  };
  const Case cases[] = {
      {10, 1000, 512, Winner::kBestCase, true},
      {1, 65536, 4000, Winner::kBestCase, true},
      {0, 1000, 4000, Winner::kWorstCase, false},  // nothing sound to keep
      {10, 1000, 511, Winner::kWorstCase, false},  // within reach of the search
  };
  for (const Case& c : cases) {
    Choice choice = chooseResult(c.count0, c.count1, c.headerLength, 100);
    EXPECT_EQ(choice.winner, c.winner) << c.headerLength;
    EXPECT_EQ(choice.beyondWorstCaseRange, c.beyond) << c.headerLength;
  }
}

TEST(ChooseResult, HugeCountsDoNotWrapTheLimit) {
  // 3 * 0x80000000 wraps to 0x80000000 in 32 bits, a limit of 2^30.
  EXPECT_EQ(chooseResult(0x80000000u, 0x50000000u, 100, 100).winner, Winner::kBestCase);
  EXPECT_EQ(chooseResult(0xFFFFFFFFu, 0xFFFFFFFFu, 100, 99).winner, Winner::kBestCase);
}

// --- the log file must not be the table ---------------------------------------

TEST(LogFileHitsSource, TableOfNames) {
#ifdef _WIN32
  GTEST_SKIP() << "the cases reach the table through symbolic and hard links, which Wine "
                  "does not make";
#else
  TempDir dir;
  TempDir other;
  testing::writeFile(dir.file("orders.dbf"), "t");
  testing::writeFile(dir.file("orders.fpt"), "m");
  testing::writeFile(dir.file("run.log"), "");
  ASSERT_EQ(::symlink(dir.file("orders.fpt").c_str(), other.file("memo.log").c_str()), 0);
  ASSERT_EQ(::link(dir.file("orders.dbf").c_str(), other.file("hard.log").c_str()), 0);
  std::string source = dir.file("orders.dbf");
  struct Case {
    std::string log;
    bool hits;
  };
  const Case cases[] = {
      {source, true},
      {dir.path() + "/./orders.dbf", true},
      {dir.path() + "//ORDERS.DBF", true},       // does not exist, same name
      {dir.file("orders.fpt"), true},
      {dir.file("Orders.FPT"), true},
      {dir.file("orders.dbt"), true},            // would become a companion
      {other.file("memo.log"), true},            // a link to the companion
      {other.file("hard.log"), true},            // another name of the table
      {dir.file("run.log"), false},
      {dir.file("orders.log"), false},
      {dir.file("orders2.fpt"), false},
      {other.file("orders.fpt"), false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(logFileHitsSource(c.log.c_str(), source.c_str(), platform::Env::Default()),
              c.hits)
        << c.log;
  }
  EXPECT_FALSE(logFileHitsSource(nullptr, source.c_str(), platform::Env::Default()));
#endif
}

// --- runs in this process -------------------------------------------------------

// A fresh engine state and Logger, a source folder and an output folder.
class RecoveryRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRunState();
    logger_ = std::make_unique<Logger>(platform::Env::Default(), false);
    previous_ = InstallLogger(logger_.get());
    logFile_ = logs_.file("run.log");
  }
  void TearDown() override {
    InstallLogger(previous_);
    resetRunState();
  }

  // A sound table too small for the worst-case method; the best-case
  // method finds nothing in it.
  std::string EmptyTable(const std::string& name = "empty.dbf") {
    std::string path = source_.file(name);
    TableBuilder().field("NAME", 'C', 10).write(path);
    Freeze();
    return path;
  }
  // A sound table of 20 short records at `path`: the best-case method
  // keeps them all, the worst-case method has too few bytes to work on.
  void SoundTable(const std::string& path) {
    TableBuilder builder;
    builder.field("NAME", 'C', 12).field("QTY", 'N', 4);
    for (int i = 0; i < 20; ++i) {
      std::string name = "item " + std::to_string(i);
      builder.record(name + std::string(12 - name.size(), ' ') + "  " +
                     std::to_string(10 + i));
    }
    builder.write(path);
  }
  // Remembers the source folder's files, to be found unchanged at the end.
  void Freeze() { guard_.rebase(); }

  int32_t Run(const std::string& table, TestHost& host, const char* log) {
    host.breakByte = 0;
    return recoverFile(table.c_str(), output_.path().c_str(), &TestHost::Status,
                       &TestHost::Progress, &host, log);
  }

  std::vector<std::string> LogMessages() { return testing::logMessages(logFile_); }
  // The log from the last line `first` on.
  std::vector<std::string> LogTail(const std::string& first) {
    std::vector<std::string> log = LogMessages();
    auto at = std::find(log.rbegin(), log.rend(), first);
    if (at == log.rend()) return {};
    return std::vector<std::string>(std::prev(at.base()), log.end());
  }
  size_t Count(const std::string& message) {
    size_t n = 0;
    for (const std::string& m : LogMessages()) n += m == message;
    return n;
  }

  TempDir source_, output_, logs_;
  std::string logFile_;
  std::unique_ptr<Logger> logger_;
  Logger* previous_ = nullptr;
  testing::SourceGuard guard_{testing::SourceGuard::WholeFolder{source_.path()}};
};

TEST_F(RecoveryRunTest, MissingSourceStopsAfterTheBestCasePass) {
  TestHost host;
  runState().breakFlag = &host.breakByte;
  EXPECT_EQ(Run(source_.file("absent.dbf"), host, logFile_.c_str()), KEST_SOURCE_UNREADABLE);
  EXPECT_EQ(host.events,
            (std::vector<std::string>{progress(0), status("Pass 1: initializing..."),
                                      status("done"), progress(5),
                                      status("Pass 2: trying best-case recovery method...")}));
  EXPECT_TRUE(testing::entries(output_.path()).empty());
  EXPECT_EQ(Count("In FileRecover()"), 1u);
  EXPECT_EQ(Count("FileRecover() exiting"), 0u);
}

TEST_F(RecoveryRunTest, NothingToRecoverMakesNoFolder) {
  std::string table = EmptyTable();
  TestHost host;
  runState().breakFlag = &host.breakByte;
  EXPECT_EQ(Run(table, host, logFile_.c_str()), KEST_NOTHING);
  EXPECT_EQ(host.mainEvents(), testing::nothingFoundEvents());
  EXPECT_EQ(host.wrongCalls, 0);
  EXPECT_TRUE(testing::entries(output_.path()).empty());
  EXPECT_EQ(LogTail("Nothing to recover detected!"),
            (std::vector<std::string>{"Nothing to recover detected!", "In Method0::~Method0()",
                                      "Method0::~Method0() exiting", "In Method1::~Method1()",
                                      "Method1::~Method1() exiting", "FileRecover() exiting"}));
}

TEST_F(RecoveryRunTest, EarlyReturnReleasesBothMethodsBestCaseFirst) {
  std::string table = source_.file("big.dbf");
  TableBuilder builder;
  builder.field("NAME", 'C', 30);
  for (int i = 0; i < 200; ++i) builder.record("name " + std::to_string(i));
  builder.write(table);
  Freeze();
  TestHost host;
  runState().breakFlag = &host.breakByte;
  host.onEvent = [&](const std::string& event) {
    if (event == progress(25)) host.breakByte = 1;
  };
  EXPECT_EQ(recoverFile(table.c_str(), output_.path().c_str(), &TestHost::Status,
                        &TestHost::Progress, &host, logFile_.c_str()),
            KEST_USER_BREAK);
  EXPECT_EQ(host.events.back(), progress(25));
  EXPECT_EQ(LogTail("In Method0::~Method0()"),
            (std::vector<std::string>{"In Method0::~Method0()", "Method0::~Method0() exiting",
                                      "In Method1::~Method1()", "Method1::~Method1() exiting"}));
  EXPECT_TRUE(testing::entries(output_.path()).empty());
}

TEST_F(RecoveryRunTest, NullCallbacksGiveTheSameResult) {
  std::string table = EmptyTable();
  EXPECT_EQ(recoverFile(table.c_str(), output_.path().c_str(), nullptr, nullptr, nullptr,
                        nullptr),
            KEST_NOTHING);
  EXPECT_EQ(recoverFile(source_.file("absent.dbf").c_str(), output_.path().c_str(), nullptr,
                        nullptr, nullptr, nullptr),
            KEST_SOURCE_UNREADABLE);
}

TEST_F(RecoveryRunTest, EveryRunStartsAtPassOne) {
  std::string table = EmptyTable();
  TestHost first, second;
  runState().breakFlag = &first.breakByte;
  Run(table, first, nullptr);
  Run(table, second, nullptr);
  EXPECT_EQ(first.statuses().front(), "Pass 1: initializing...");
  EXPECT_EQ(second.statuses().front(), "Pass 1: initializing...");
  EXPECT_EQ(second.events, first.events);
}

TEST_F(RecoveryRunTest, BreakFlagNotHandedOverIsReplacedOnce) {
  std::string table = EmptyTable();
  TestHost host;
  EXPECT_EQ(Run(table, host, logFile_.c_str()), KEST_NOTHING);
  EXPECT_EQ(Run(table, host, logFile_.c_str()), KEST_NOTHING);
  EXPECT_EQ(Count("Breakflag was not initialized."), 1u);
  EXPECT_EQ(Count("Breakflag initialized manually. User Break will not be available."), 1u);
  EXPECT_EQ(Count("Starting recovery"), 2u);
}

TEST_F(RecoveryRunTest, BreakByteLeftSetIsClearedAtTheStart) {
  std::string table = EmptyTable();
  TestHost host;
  runState().breakFlag = &host.breakByte;
  host.onEvent = [&](const std::string& event) {
    if (event == progress(0)) host.breakByte = 1;  // left over from before
  };
  EXPECT_EQ(recoverFile(table.c_str(), output_.path().c_str(), &TestHost::Status,
                        &TestHost::Progress, &host, logFile_.c_str()),
            KEST_NOTHING);
  EXPECT_EQ(host.breakByte, 0);
  EXPECT_EQ(Count("Breakflag is already true!!! Resetting to false"), 1u);
}

TEST_F(RecoveryRunTest, WithoutLogFileNothingIsLoggedYetTheHostHearsTheSame) {
  std::string table = EmptyTable();
  TestHost withLog, withoutLog;
  runState().breakFlag = &withLog.breakByte;
  Run(table, withLog, logFile_.c_str());
  std::string logged = testing::readFile(logFile_);
  EXPECT_EQ(Count("Log file name: [" + logFile_ + "]"), 1u);
  Run(table, withoutLog, "");
  Run(table, withoutLog, nullptr);
  EXPECT_EQ(testing::readFile(logFile_), logged);
  EXPECT_EQ(testing::entries(logs_.path()), std::vector<std::string>{"run.log"});
  std::vector<std::string> twice = withLog.events;
  twice.insert(twice.end(), withLog.events.begin(), withLog.events.end());
  EXPECT_EQ(withoutLog.events, twice);
}

TEST_F(RecoveryRunTest, LogFileNamingTheTableIsRefused) {
  std::string table = EmptyTable("orders.dbf");
  testing::writeFile(source_.file("orders.fpt"), std::string(512, '\0'));
  Freeze();
  const std::string names[] = {table, source_.file("ORDERS.FPT"), source_.file("orders.dbt"),
                               source_.file("orders.fpt")};
  for (const std::string& log : names) {
    TestHost host;
    runState().breakFlag = &host.breakByte;
    EXPECT_EQ(Run(table, host, log.c_str()), KEST_NOTHING) << log;
    EXPECT_EQ(host.mainEvents(), testing::nothingFoundEvents());
    EXPECT_TRUE(guard_.unchanged()) << log;
  }
}

TEST_F(RecoveryRunTest, EngineNotReadyRefusesEveryRun) {
  std::string table = EmptyTable();
  testing::writeFile(source_.file("empty.fpt"), "memo");
  Freeze();
  runState().notReadyReason = "the host-services library could not be bound (test)";
  TestHost host;
  runState().breakFlag = &host.breakByte;
  for (int i = 0; i < 2; ++i) {
    host.events.clear();
    EXPECT_EQ(Run(table, host, logFile_.c_str()), KEST_INTERNAL);
    EXPECT_EQ(host.events,
              std::vector<std::string>{status(
                  "Recovery engine not ready: the host-services library could not be bound "
                  "(test)")});
  }
  EXPECT_TRUE(testing::entries(output_.path()).empty());
  EXPECT_EQ(Count("Recovery engine not ready: [the host-services library could not be bound "
                  "(test)]"),
            2u);
  EXPECT_EQ(Count("Exiting with or_internal"), 2u);
  EXPECT_EQ(Count("Starting recovery"), 0u);
}

TEST_F(RecoveryRunTest, NotReadyReasonIsCutToAStatusLine) {
  std::string table = EmptyTable();
  runState().notReadyReason = std::string(400, 'r');
  TestHost host;
  EXPECT_EQ(Run(table, host, nullptr), KEST_INTERNAL);
  ASSERT_EQ(host.statuses().size(), 1u);
  EXPECT_EQ(host.statuses()[0].size(), 255u);
}

TEST_F(RecoveryRunTest, TableDeeperThan259CharactersKeepsItsMemo) {
  // Only the paths written inside the results folder are bounded; the
  // table and its companion are read where they lie.
  std::string deep = source_.path();
  while (deep.size() <= 300) deep += "/" + std::string(60, 'd');
  ASSERT_TRUE(std::filesystem::create_directories(deep));
  std::string table = deep + "/orders.dbf";
  SoundTable(table);
  testing::writeFile(deep + "/orders.fpt", std::string(512, '\0'));
  std::string before = testing::readFile(table);
  TestHost host;
  runState().breakFlag = &host.breakByte;
  EXPECT_EQ(Run(table, host, logFile_.c_str()), KEST_OK);
  EXPECT_EQ(host.mainEvents(), testing::bestCaseWinEvents());
  std::vector<std::string> made = testing::entries(output_.path());
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(testing::entries(output_.file(made[0])),
            (std::vector<std::string>{"orders.dbf", "orders.fpt"}));
  EXPECT_EQ(testing::readFile(output_.file(made[0]) + "/orders.fpt"), std::string(512, '\0'));
  EXPECT_EQ(testing::readFile(table), before);
}

TEST_F(RecoveryRunTest, BestCaseTableIsNeverWrittenOutsideItsResultsFolder) {
#ifdef _WIN32
  GTEST_SKIP() << "the names of the cases are POSIX names (backslash as a name byte)";
#endif
  // File names that end in a backslash and dots are plain names here, but
  // split like Windows paths they leave no table name, or "." or "..". The
  // thorough run's early result asks the same without a word: each run
  // says it once.
  for (uint32_t flags : {0u, kAllRecoveryFlags})
  for (const char* name : {"a\\..", "a\\.", "a\\"}) {
    TempDir output;
    std::string table = source_.file(name);
    SoundTable(table);
    Freeze();
    TestHost host;
    runState().breakFlag = &host.breakByte;
    EXPECT_EQ(recoverFile(table.c_str(), output.path().c_str(), &TestHost::Status,
                          &TestHost::Progress, &host, logFile_.c_str(), RecoveryOptions{flags},
                          nullptr),
              KEST_CANNOT_CREATE)
        << name;
    EXPECT_EQ(host.events.back(), progress(70)) << name;
    EXPECT_TRUE(testing::entries(output.path()).empty()) << name;
    EXPECT_EQ(testing::entries(source_.path()).size(), 1u) << name;
    ::unlink(table.c_str());
    Freeze();
  }
  EXPECT_EQ(Count("Result table name is not a file name: [..]"), 2u);
  EXPECT_EQ(Count("Result table name is not a file name: [.]"), 2u);
  EXPECT_EQ(Count("Result table name is not a file name: []"), 2u);
}

TEST_F(RecoveryRunTest, AThoroughRunLeavesOnlyWhatItPublishes) {
  // The results folder is made before the best case counts, and the best
  // case writes while it counts (the memo file too): whoever wins, or when
  // nobody does, what was made early and not published is gone.
  std::string sound = source_.file("orders.dbf");
  SoundTable(sound);
  std::string headerless = testing::copyTestData("../samples/calls.dbf", source_);
  std::string empty = EmptyTable();
  testing::copyTestData("dbase_30.fpt", source_);
  std::string memo = testing::copyTestData("dbase_30.dbf", source_);
  Freeze();
  struct Case {
    const std::string& table;
    std::string breakOn;  // the report at which the host asks for a break
    int32_t code;
    std::vector<std::string> published;
  };
  const Case cases[] = {
      {sound, "", KEST_OK, {"orders.dbf"}},
      {headerless, "", KEST_OK, {"RECOVERED.DBF"}},
      {empty, "", KEST_NOTHING, {}},
      {sound, progress(25), KEST_USER_BREAK, {}},
      {memo, "", KEST_OK, {"dbase_30.dbf"}},
      {memo, progress(25), KEST_USER_BREAK, {}},
  };
  for (const Case& c : cases) {
    TempDir output;
    TestHost host;
    runState().breakFlag = &host.breakByte;
    host.onEvent = [&](const std::string& event) {
      if (event == c.breakOn) host.breakByte = 1;
    };
    RecoveryReport report;
    EXPECT_EQ(recoverFile(c.table.c_str(), output.path().c_str(), &TestHost::Status,
                          &TestHost::Progress, &host, nullptr,
                          RecoveryOptions{kAllRecoveryFlags}, &report, platform::Env::Default()),
              c.code)
        << c.table;
    std::vector<std::string> folders = testing::entries(output.path());
    ASSERT_EQ(folders.size(), c.published.empty() ? 0u : 1u) << c.table;
    if (c.published.empty()) continue;
    std::vector<std::string> tables;
    bool memoFile = false;
    for (const std::string& name : testing::entries(output.path() + "/" + folders[0])) {
      EXPECT_FALSE(name.ends_with(kPartialSuffix)) << c.table << ": " << name;
      if (name.ends_with(".dbf") || name.ends_with(".DBF")) tables.push_back(name);
      memoFile = memoFile || name.ends_with(".fpt");
    }
    EXPECT_EQ(tables, c.published) << c.table;
    EXPECT_EQ(memoFile, &c.table == &memo) << c.table;
  }
}

// Fails the first time it is asked whether two paths name the same file,
// as an allocation fails when memory runs out.
class FailingSameFile : public platform::EnvWrapper {
 public:
  FailingSameFile() : EnvWrapper(platform::Env::Default()) {}
  bool SameFile(const std::string& a, const std::string& b) override {
    if (!failed_) {
      failed_ = true;
      throw std::bad_alloc();
    }
    return EnvWrapper::SameFile(a, b);
  }

 private:
  bool failed_ = false;
};

TEST_F(RecoveryRunTest, FailureOutsideTheStagesIsNeverReportedAsSuccess) {
  // Between the stages nothing is guarded; what is raised there ends the
  // run at its exit, and the run has written nothing.
  std::string table = source_.file("orders.dbf");
  SoundTable(table);
  Freeze();
  struct Case {
    std::string throwAt;  // the report after which the host's callback throws
    std::vector<std::string> events;
  };
  const std::string pass1 = status("Pass 1: initializing...");
  const Case cases[] = {
      {progress(0), {progress(0), progress(100)}},
      {pass1, {progress(0), pass1, progress(100)}},
      {status("done"), {progress(0), pass1, status("done"), progress(100)}},
      {progress(5), {progress(0), pass1, status("done"), progress(5), progress(100)}},
  };
  for (const Case& c : cases) {
    TestHost host;
    runState().breakFlag = &host.breakByte;
    bool thrown = false;
    host.onEvent = [&](const std::string& event) {
      if (event == c.throwAt && !thrown) {
        thrown = true;
        throw std::runtime_error("host callback failed");
      }
    };
    EXPECT_EQ(Run(table, host, logFile_.c_str()), KEST_INTERNAL) << c.throwAt;
    EXPECT_EQ(host.events, c.events) << c.throwAt;
    EXPECT_EQ(LogTail("Exiting with or_internal"),
              (std::vector<std::string>{"Exiting with or_internal", "FileRecover() exiting"}))
        << c.throwAt;
  }

  // Raised while the log is set up, before this run has stored its
  // callbacks: those still stored are the previous run's, and its host
  // hears nothing more.
  TestHost earlier;
  runState().breakFlag = &earlier.breakByte;
  TempDir earlierOutput;
  EXPECT_EQ(recoverFile(table.c_str(), earlierOutput.path().c_str(), &TestHost::Status,
                        &TestHost::Progress, &earlier, nullptr),
            KEST_OK);
  std::vector<std::string> heard = earlier.events;
  FailingSameFile noMemory;
  TestHost host;
  EXPECT_EQ(recoverFile(table.c_str(), output_.path().c_str(), &TestHost::Status,
                        &TestHost::Progress, &host, logFile_.c_str(), &noMemory),
            KEST_INTERNAL);
  EXPECT_EQ(earlier.events, heard);
  EXPECT_TRUE(host.events.empty());
  EXPECT_TRUE(testing::entries(output_.path()).empty());
}

// A disk that fails from record 50 of 100 on: the run says the source
// cannot be read and writes nothing, where taking the failure for the end
// of the table would pass half of it off as the whole.
TEST_F(RecoveryRunTest, AFailingReadEndsTheRunAsUnreadable) {
  std::string table = source_.file("orders.dbf");
  TableBuilder builder;
  builder.field("NAME", 'C', 12).field("QTY", 'N', 4);
  for (int i = 0; i < 100; ++i) {
    std::string name = "item " + std::to_string(i);
    builder.record(name + std::string(12 - name.size(), ' ') + std::to_string(1000 + i));
  }
  builder.write(table);
  Freeze();
  testing::ReadFailingEnv failing(builder.currentHeaderLength() +
                                  50u * builder.currentRecordLength());
  TestHost host;
  runState().breakFlag = &host.breakByte;
  EXPECT_EQ(recoverFile(table.c_str(), output_.path().c_str(), &TestHost::Status,
                        &TestHost::Progress, &host, logFile_.c_str(), &failing),
            KEST_SOURCE_UNREADABLE);
  EXPECT_TRUE(testing::entries(output_.path()).empty());
  EXPECT_EQ(Count(std::string("LLFile: read failed: [") + testing::ReadFailingEnv::kText + "]"),
            1u);
}

// Raises `raised` when the results folder is to be made.
class FailingCreateFolder : public platform::EnvWrapper {
 public:
  explicit FailingCreateFolder(bool integer)
      : EnvWrapper(platform::Env::Default()), integer_(integer) {}
  platform::Status CreateFolder(const std::string&) override {
    if (integer_) throw RaisedCode{7};
    throw std::runtime_error("cannot make folders today");
  }

 private:
  bool integer_;
};

TEST_F(RecoveryRunTest, FailuresInsideEachStageEndTheRunAsTheirKindSays) {
  std::string table = source_.file("orders.dbf");
  SoundTable(table);
  Freeze();
  const std::string pass1 = status("Pass 1: initializing...");
  const std::string pass2 = status("Pass 2: trying best-case recovery method...");
  const std::string pass3 = status("Pass 3: trying worst-case recovery method...");
  const std::string pass4 = status("Pass 4: writing results...");
  const std::string done = status("done");
  const std::vector<std::string> start = {progress(0), pass1, done, progress(5), pass2};
  auto join = [&](std::vector<std::string> rest) {
    std::vector<std::string> all = start;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
  };
  struct Case {
    std::string name;
    std::string throwAt;  // the report after which the host's callback throws...
    int raised;           // ...this integer, or (0) something that is not one
    int folderFailure;    // or: making the results folder raises (1 integer, 2 not)
    int32_t code;
    std::vector<std::string> events;
    std::vector<std::string> logTail;  // the log's last lines
  };
  const Case cases[] = {
      {"not an integer in the best-case stage", progress(10), 0, 0, KEST_INTERNAL,
       join({progress(10), progress(100)}),
       {"Unknown exception in Method0", "Exiting with or_internal", "In Method0::~Method0()",
        "Method0::~Method0() exiting", "FileRecover() exiting"}},
      {"not an integer in the worst-case stage", progress(25), 0, 0, KEST_INTERNAL,
       join({progress(10), progress(20), done, pass3, progress(25), progress(100)}),
       {"Unknown exception in Method1", "Exiting with or_internal", "In Method0::~Method0()",
        "Method0::~Method0() exiting", "In Method1::~Method1()", "Method1::~Method1() exiting",
        "FileRecover() exiting"}},
      // Any other integer: the stage found nothing, the other method goes on.
      {"another integer in the best-case stage", progress(10), 42, 0, KEST_NOTHING,
       join({progress(10), pass3, progress(25), progress(65), done, progress(100)}),
       {"Nothing to recover detected!", "In Method0::~Method0()", "Method0::~Method0() exiting",
        "In Method1::~Method1()", "Method1::~Method1() exiting", "FileRecover() exiting"}},
      {"an integer while writing", "", 0, 1, KEST_USER_BREAK,
       join({progress(10), progress(20), done, pass3, progress(25), progress(65), done, pass4,
             progress(70)}),
       {"Writing data to disk (Method0)", "In Method0::~Method0()",
        "Method0::~Method0() exiting", "In Method1::~Method1()",
        "Method1::~Method1() exiting"}},
      {"not an integer while writing", "", 0, 2, KEST_INTERNAL,
       join({progress(10), progress(20), done, pass3, progress(25), progress(65), done, pass4,
             progress(70), progress(100)}),
       {"Unexpected error writing to disk with Method0", "Exiting with or_internal",
        "In Method0::~Method0()", "Method0::~Method0() exiting", "In Method1::~Method1()",
        "Method1::~Method1() exiting", "FileRecover() exiting"}},
  };
  for (const Case& c : cases) {
    TestHost host;
    runState().breakFlag = &host.breakByte;
    host.onEvent = [&](const std::string& event) {
      if (event != c.throwAt) return;
      if (c.raised != 0) Raise(c.raised);
      throw std::runtime_error("host callback failed");
    };
    FailingCreateFolder failing(c.folderFailure == 1);
    platform::Env* env = c.folderFailure != 0 ? static_cast<platform::Env*>(&failing)
                                              : platform::Env::Default();
    EXPECT_EQ(recoverFile(table.c_str(), output_.path().c_str(), &TestHost::Status,
                          &TestHost::Progress, &host, logFile_.c_str(), env),
              c.code)
        << c.name;
    EXPECT_EQ(host.mainEvents(), c.events) << c.name;
    EXPECT_EQ(LogTail(c.logTail.front()), c.logTail) << c.name;
    EXPECT_TRUE(testing::entries(output_.path()).empty()) << c.name;
  }
}

// --- why a run with extensions failed --------------------------------------------

TEST(RunFailure, WordsAndPath) {
  TempDir dir;
  std::string oneByte = dir.file("one.dbf");
  testing::writeFile(oneByte, "x");
  platform::Env* env = platform::Env::Default();
  struct Case {
    RunFailure failure;
    std::string line;
  };
  const Case cases[] = {
      {tableUnreadable("", kCannotOpen, "", env), "no table was named"},
      {tableUnreadable(dir.file("absent.dbf").c_str(), kCannotOpen, "No such file", env),
       "the table does not exist: " + dir.file("absent.dbf")},
      {tableUnreadable(dir.path().c_str(), kCannotOpen, "Is a directory", env),
       "the table is a folder, not a file: " + dir.path()},
      // A system text written as a sentence loses its full stop.
      {tableUnreadable("t.dbf", kReadFailed, "Access is denied. ", env),
       "the table cannot be read (Access is denied): t.dbf"},
      {tableUnreadable("t.dbf", kSeekFailed, "", env), "the table cannot be read: t.dbf"},
      {tableUnreadable("t.dbf", kNoMemory, "", env),
       "no memory was left to read the table: t.dbf"},
      {nothingFound(oneByte.c_str(), env),
       "the table holds only 1 byte, fewer than its 32-byte header: " + oneByte},
      {nothingFound(nullptr, env), "neither method found a record to recover in the table"},
      {resultFolderNotMade(nullptr, "", platform::Status(), env), "no output folder was given"},
      {resultFolderNotMade(oneByte.c_str(), oneByte + "/R", platform::Status(), env),
       "the output folder is not a folder: " + oneByte},
  };
  for (const Case& c : cases) EXPECT_EQ(c.failure.line(), c.line);
}

// Each fault once in a classic run and once with extensions: the second
// writes the first one's ERROR lines and, last, one more that names the
// cause and the path it concerns; its report carries the same words. A
// run that writes its result adds nothing.
TEST_F(RecoveryRunTest, ARunWithExtensionsNamesWhyItFailed) {
  std::string sound = source_.file("orders.dbf");
  SoundTable(sound);
  std::string empty = EmptyTable();
  testing::FixedClockEnv clock(testing::FakeEnv::At(9, 5, 3));
  // Inside the records of the sound table, past its header.
  testing::ReadFailingEnv failingRead(200);
  testing::FaultEnv fullDisk(&clock);
  fullDisk.LimitFileSize(100);
  enum class Names { kTable, kResultsFolder };
  struct Case {
    const char* name;
    const std::string& table;
    platform::Env* env;
    std::string onEvent;  // the report at which the host acts...
    bool breaks;          // ...setting its break byte, or throwing
    bool folderTaken;     // the results folder of this minute exists already
    int32_t code;
    const char* words;    // the start of the cause; "" when nothing failed
    Names names;
  };
  const Case cases[] = {
      {"a sound table", sound, &clock, "", false, false, KEST_OK, "", Names::kTable},
      {"a failing read", sound, &failingRead, "", false, false, KEST_SOURCE_UNREADABLE,
       "the table cannot be read (Input/output error)", Names::kTable},
      {"a full disk", sound, &fullDisk, "", false, false, KEST_INTERNAL,
       "the result could not be written whole (", Names::kResultsFolder},
      {"a break in the worst-case pass", sound, &clock, progress(25), true, false,
       KEST_USER_BREAK, "stopped by the user before anything was written", Names::kTable},
      {"a fault in the best-case pass", sound, &clock, progress(10), false, false,
       KEST_INTERNAL, "an unforeseen fault in the best-case method", Names::kTable},
      {"no record in a sound table", empty, &clock, "", false, false, KEST_NOTHING,
       "neither method found a record to recover in the table", Names::kTable},
      {"a run in the same minute", sound, &clock, "", false, true, KEST_CANNOT_CREATE,
       "a results folder of this name exists already", Names::kResultsFolder},
  };
  for (const Case& c : cases) {
    std::vector<std::string> errors[2];
    // One output folder for both runs, so that their lines compare.
    TempDir logs, output;
    std::string folder = makeResultFolderName(c.table.c_str(), output.path().c_str(), &clock);
    for (bool thorough : {false, true}) {
      std::filesystem::remove_all(folder);
      if (c.folderTaken) std::filesystem::create_directory(folder);
      std::string log = logs.file(thorough ? "thorough.log" : "classic.log");
      TestHost host;
      runState().breakFlag = &host.breakByte;
      host.onEvent = [&](const std::string& event) {
        if (event != c.onEvent) return;
        if (c.breaks) host.breakByte = 1;
        if (!c.breaks) throw std::runtime_error("host callback failed");
      };
      RecoveryOptions options{thorough ? kAllRecoveryFlags : 0};
      RecoveryReport report;
      EXPECT_EQ(recoverFile(c.table.c_str(), output.path().c_str(), &TestHost::Status,
                            &TestHost::Progress, &host, log.c_str(), options, &report, c.env),
                c.code)
          << c.name;
      errors[thorough] = testing::logErrors(log);
      if (!thorough) continue;
      EXPECT_EQ(report.failure.rfind(c.words, 0), 0u) << c.name << ": " << report.failure;
      if (*c.words == '\0') {
        EXPECT_EQ(report.failure, "") << c.name;
        continue;
      }
      ASSERT_FALSE(errors[1].empty()) << c.name;
      std::string path = c.names == Names::kTable ? c.table : folder;
      EXPECT_EQ(errors[1].back(), report.failure + ": " + path) << c.name;
      errors[1].pop_back();
    }
    EXPECT_EQ(errors[1], errors[0]) << c.name;
  }
}

}  // namespace
}  // namespace kest
