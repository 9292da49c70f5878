// The shared test pieces do what the tests built on them take for granted:
// a fault lands on the call it names, a torn table is never read as whole,
// a guard sees any change beside the table, a child's outcome is its own.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/child_process.h"
#include "tests/fault_env.h"
#include "tests/source_guard.h"
#include "tests/table_builder.h"
#include "tests/table_reader.h"
#include "tests/test_support.h"

namespace kest::testing {
namespace {

TEST(FaultEnv, FailsTheNamedCallAloneOrFromThereOn) {
  TempDir dir;
  FaultEnv env;
  struct Case {
    FaultPlan plan;
    std::string written;  // what reaches the file of four appends of "ab"
    int failed;           // appends that report failure
  };
  const Case cases[] = {
      {FaultPlan{}, "abababab", 0},
      {FaultPlan{FaultKind::kAppend, 2}, "ababab", 1},
      {FaultPlan{FaultKind::kAppend, 2, false, true}, "ab", 3},  // persisting
      {FaultPlan{FaultKind::kAppend, 3, true}, "ababaab", 1},  // half of the third (partial)
      {FaultPlan{FaultKind::kWriteAt, 1}, "abababab", 0},      // no write-at made
  };
  int n = 0;
  for (const Case& c : cases) {
    env.Reset();
    env.Fail(c.plan);
    std::string path = dir.file("f" + std::to_string(n++));
    std::unique_ptr<platform::WritableFile> file;
    ASSERT_TRUE(env.CreateNew(path, &file));
    int failed = 0;
    for (int i = 0; i < 4; ++i) failed += !file->Append("ab", 2);
    EXPECT_TRUE(file->Close());
    EXPECT_EQ(readFile(path), c.written) << describe(c.plan);
    EXPECT_EQ(failed, c.failed) << describe(c.plan);
    EXPECT_EQ(env.calls(FaultKind::kAppend), 4u);
    EXPECT_EQ(env.fired(), c.failed > 0) << describe(c.plan);
  }
}

TEST(FaultEnv, AFullDiskKeepsWhatFitsAndRefusesTheRest) {
  TempDir dir;
  FaultEnv env;
  env.LimitFileSize(5);
  std::unique_ptr<platform::WritableFile> file;
  ASSERT_TRUE(env.CreateNew(dir.file("f"), &file));
  int failed = 0;
  for (int i = 0; i < 4; ++i) failed += !file->Append("ab", 2);
  EXPECT_EQ(failed, 2);
  EXPECT_TRUE(file->WriteAt(3, "xy", 2));
  EXPECT_FALSE(file->WriteAt(4, "xy", 2));
  EXPECT_TRUE(file->Close());
  EXPECT_EQ(readFile(dir.file("f")), "abaxy");
}

TEST(FaultEnv, FailedOpenAndReadsAnswerAsTheInterfaceDoes) {
  TempDir dir;
  writeFile(dir.file("t"), "0123456789");
  FaultEnv env;
  env.FailAt(FaultKind::kOpen, 1);
  std::unique_ptr<platform::ReadableFile> file;
  platform::Status opened = env.OpenReadOnly(dir.file("t"), &file);
  EXPECT_FALSE(opened);
  EXPECT_EQ(opened.code(), 5u);
  EXPECT_FALSE(opened.text().empty());
  EXPECT_EQ(file, nullptr);
  ASSERT_TRUE(env.OpenReadOnly(dir.file("t"), &file));
  char buffer[10];
  size_t got = 99;
  env.Fail(FaultPlan{FaultKind::kRead, 1});
  EXPECT_FALSE(file->ReadAt(0, buffer, 10, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(file->ReadAt(0, buffer, 10, &got));
  EXPECT_EQ(got, 10u);
  env.Reset();
  env.Fail(FaultPlan{FaultKind::kRead, 1, true});
  EXPECT_TRUE(file->ReadAt(0, buffer, 10, &got));
  EXPECT_EQ(got, 5u);
}

TEST(TableImage, OnlyAWholeTableReadsAsWhole) {
  std::string table = TableBuilder().field("NAME", 'C', 4).record("abcd").record("efgh").bytes();
  struct Case {
    std::string bytes;
    bool whole;
  };
  const Case cases[] = {
      {table, true},
      {table.substr(0, table.size() - 1), false},     // no end mark
      {table.substr(0, table.size() - 3), false},     // torn record
      {table + "x", false},                           // more than declared
      {table.substr(0, 20), false},                   // torn header
      {TableBuilder().field("NAME", 'C', 4).headerLength(100).bytes(), true},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(TableImage::FromBytes(c.bytes).whole(&why), c.whole) << c.bytes.size() << why;
  }
  EXPECT_EQ(TableImage::FromBytes(table).records, (std::vector<std::string>{" abcd", " efgh"}));
}

TEST(SourceGuard, SeesEveryChangeBesideTheTable) {
  TempDir dir;
  writeFile(dir.file("orders.dbf"), "table");
  writeFile(dir.file("ORDERS.FPT"), "memo");
  const std::function<void()> changes[] = {
      [&] { writeFile(dir.file("ORDERS.FPT"), "memO"); },
      [&] { writeFile(dir.file("orders.dbf"), "tablE"); },
      [&] { writeFile(dir.file("new.txt"), ""); },
      [&] { std::remove(dir.file("ORDERS.FPT").c_str()); },
  };
  for (const auto& change : changes) {
    std::string table = readFile(dir.file("orders.dbf")), memo = readFile(dir.file("ORDERS.FPT"));
    EXPECT_NONFATAL_FAILURE(
        {
          SourceGuard guard(dir.file("orders.dbf"));
          EXPECT_TRUE(guard.unchanged());
          change();
          EXPECT_FALSE(guard.unchanged());
        },
        "the source changed");
    writeFile(dir.file("orders.dbf"), table);
    writeFile(dir.file("ORDERS.FPT"), memo);
    std::remove(dir.file("new.txt").c_str());
  }
}

TEST(SourceGuard, AFolderOrKeptFilesAreGuardedAsTheyAre) {
  TempDir dir;
  struct Case {
    bool wholeFolder;
    std::function<void()> change;
    bool seen;
  };
  const Case cases[] = {
      {true, [&] { writeFile(dir.file("notes.txt"), "other"); }, true},
      {true, [&] { writeFile(dir.file("new.txt"), ""); }, true},
      {true, [&] { std::filesystem::create_directory(dir.file("sub")); }, false},
      {false, [&] { writeFile(dir.file("orders.dbf"), "tablE"); }, true},
      {false, [&] { std::remove(dir.file("orders.dbf").c_str()); }, true},
      {false, [&] { writeFile(dir.file("RECOVERED.DBF"), "result"); }, false},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(dir.file("sub"));
    std::remove(dir.file("new.txt").c_str());
    std::remove(dir.file("RECOVERED.DBF").c_str());
    writeFile(dir.file("orders.dbf"), "table");
    writeFile(dir.file("notes.txt"), "notes");
    std::string why;
    if (c.wholeFolder) {
      SourceGuard guard(SourceGuard::WholeFolder{dir.path()});
      c.change();
      EXPECT_EQ(guard.unchanged(&why), !c.seen) << why;
      guard.rebase();
    } else {
      SourceGuard guard;
      guard.keep(dir.file("orders.dbf"));
      c.change();
      EXPECT_EQ(guard.unchanged(&why), !c.seen) << why;
      if (c.seen) {
        writeFile(dir.file("orders.dbf"), "rewritten on purpose");
        guard.keep(dir.file("orders.dbf"));
      }
    }
  }
}

TEST(ChildProcess, OutcomeIsTheChildsOwn) {
#ifdef _WIN32
  GTEST_SKIP() << "the cases run sh, sleep and true, which a Windows system does not have";
#endif
  ChildOptions options;
  options.set = {{"KEST_CHILD_PIECE", "set"}};
  options.unset = {"HOME"};
  ChildOutcome run = runChild(
      {"sh", "-c", "cat; echo \"$KEST_CHILD_PIECE ${HOME-none}\"; echo e >&2; exit 3"}, options);
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out, "set none\n");  // stdin ended at once: cat read nothing
  EXPECT_EQ(run.err, "e\n");
  EXPECT_EQ(runChild({"sh", "-c", "kill -9 $$"}).status, 128 + 9);
  EXPECT_EQ(runChild({"/no/such/program"}).status, 127);
  EXPECT_TRUE(runsCleanly({"true"}));
}

TEST(ChildProcess, AChildPastItsTimeIsKilledAndTheTestFails) {
#ifdef _WIN32
  GTEST_SKIP() << "the cases run sh, sleep and true, which a Windows system does not have";
#endif
  ChildOptions options;
  options.timeoutSeconds = 0.2;
  ChildOutcome run;
  EXPECT_NONFATAL_FAILURE(run = runChild({"sleep", "30"}, options), "did not end");
  EXPECT_TRUE(run.timedOut);
}

}  // namespace
}  // namespace kest::testing
