#include "best_case/method0.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Common/raised_code.h"
#include "Common/run_context.h"
#include "dbf/result_publishing.h"
#include "platform/buffered_file.h"
#include "platform/path.h"
#include "tests/fault_env.h"
#include "tests/independent_readers.h"
#include "tests/source_guard.h"
#include "tests/table_builder.h"
#include "tests/table_reader.h"
#include "tests/test_support.h"

namespace kest {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::TableBuilder;
using testing::TableImage;
using testing::TempDir;
using testing::readFile;
using testing::writeFile;

// --- helpers ------------------------------------------------------------------

size_t indexOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

// Reads through a real file and calls a hook before every read.
class HookedFile : public platform::ReadableFile {
 public:
  HookedFile(std::unique_ptr<platform::ReadableFile> file,
             std::function<void(uint64_t)>* hook)
      : file_(std::move(file)), hook_(hook) {}
  uint64_t Size() const override { return file_->Size(); }
  platform::Status ReadAt(uint64_t offset, void* buffer, size_t count, size_t* got) override {
    if (*hook_) (*hook_)(offset);
    return file_->ReadAt(offset, buffer, count, got);
  }

 private:
  std::unique_ptr<platform::ReadableFile> file_;
  std::function<void(uint64_t)>* hook_;
};

class ReadHookEnv : public platform::EnvWrapper {
 public:
  ReadHookEnv() : EnvWrapper(platform::Env::Default()) {}
  platform::Status OpenReadOnly(const std::string& path,
                                std::unique_ptr<platform::ReadableFile>* file) override {
    platform::Status status = target()->OpenReadOnly(path, file);
    if (status) *file = std::make_unique<HookedFile>(std::move(*file), &onRead);
    return status;
  }
  std::function<void(uint64_t)> onRead;
};

// A result file that takes `budget` bytes and then fails (the first write
// that would pass the budget writes what fits and reports failure, as a
// full disk does); optionally its Close fails too.
class FailingWriteEnv : public testing::FaultEnv {
 public:
  FailingWriteEnv(uint64_t budget, bool failClose) {
    LimitFileSize(budget);
    if (failClose) FailAt(testing::FaultKind::kClose, 1);
  }
};

// A run whose host sets `breakByte` to ask for a break.
struct BreakByteContext : RunContext {
  void reportProgress(int32_t) override {}
  bool breakRequested() const override { return breakByte != 0; }
  volatile char breakByte = 0;
};

// A run with every thorough step on.
struct ThoroughContext : BreakByteContext {
  RecoveryOptions all{kAllRecoveryFlags};
  const RecoveryOptions& options() const override { return all; }
};

// One writing of a result, by the writing pass or while counting.
struct WrittenRun {
  int32_t code = 0, count = 0;
  std::vector<std::string> files;  // the bytes written, each file's
  std::vector<std::string> findings;
};

// The result written while counting (runs[1]) is the writing pass's
// (runs[0]): code, count, bytes and, where the pass succeeded, findings (a
// failed writing pass had restarted them). Only a disk that fills fails.
void expectEarlyIsWritingPass(const WrittenRun (&runs)[2], const std::string& path,
                              uint64_t budget) {
  EXPECT_EQ(runs[1].code, runs[0].code) << path;
  EXPECT_EQ(runs[1].count, runs[0].count) << path;
  EXPECT_EQ(runs[1].files, runs[0].files) << path;
  if (runs[0].code == 0) {
    EXPECT_EQ(runs[1].findings, runs[0].findings) << path;
  }
  EXPECT_EQ(runs[0].code == 0, budget == UINT64_MAX) << path;
}

// An orders table with a numeric, a date and a logical field.
TableBuilder ordersTable() {
  TableBuilder b;
  b.field("AMOUNT", 'N', 5).field("DAY", 'D', 8).field("PAID", 'L', 1);
  return b;
}

class Method0Test : public ::testing::Test {
 protected:
  // Writes a source file and remembers its bytes: sources are never written.
  std::string source(const std::string& name, const std::string& bytes) {
    std::string path = dir_.file(name);
    writeFile(path, bytes);
    watched_.keep(path);
    return path;
  }
  std::string table(const TableBuilder& b, const std::string& name = "orders.dbf") {
    return source(name, b.bytes());
  }
  std::string outputFolder() {
    std::string folder = dir_.file("out" + std::to_string(outputs_++));
    fs::create_directory(folder);
    return folder;
  }

  TempDir dir_;
  // Folders of tables copied with their memo files.
  std::vector<std::unique_ptr<TempDir>> memoDirs_;
  LogCapture log_;
  // The results are written beside the sources: the sources alone are guarded.
  testing::SourceGuard watched_;
  int outputs_ = 0;
};

// --- construction and the memo companion ----------------------------------------

TEST_F(Method0Test, ConstructionAndDestructionLogTheirSteps) {
  std::string path = table(ordersTable().record("   1220200101T"));
  { Method0 method(path.c_str()); }
  std::vector<std::string> lines = log_.messages();
  size_t in = indexOf(lines, "In Method0::Method0()");
  size_t out = indexOf(lines, "Method0::Method0() exiting");
  size_t dtorIn = indexOf(lines, "In Method0::~Method0()");
  size_t dtorOut = indexOf(lines, "Method0::~Method0() exiting");
  ASSERT_LT(dtorOut, lines.size());
  EXPECT_LT(in, out);
  EXPECT_LT(out, dtorIn);
  EXPECT_LT(dtorIn, dtorOut);
}

TEST_F(Method0Test, MissingTableRaisesTheOpenCode) {
  try {
    Method0 method(dir_.file("absent.dbf").c_str());
    FAIL() << "constructed";
  } catch (const RaisedCode& raised) {
    EXPECT_EQ(raised.code, kCannotOpen);
  }
  EXPECT_FALSE(log_.contains("Method0::Method0() exiting"));
}

TEST_F(Method0Test, MemoCompanionIsFoundWhateverItsCase) {
  struct Case {
    const char* memoName;
    bool present;
  };
  const Case cases[] = {{"orders.fpt", true}, {"ORDERS.FPT", true}, {"Orders.Fpt", true},
                        {"orders.dbt", false}, {"orders2.fpt", false}};
  for (const Case& c : cases) {
    TempDir dir;
    std::string path = dir.file("orders.dbf");
    ordersTable().write(path);
    writeFile(dir.file(c.memoName), std::string(512, 'm'));
    Method0 method(path.c_str());
    EXPECT_EQ(method.memoPresent(), c.present) << c.memoName;
    EXPECT_EQ(method.memoSize(), c.present ? 512u : 0u) << c.memoName;
  }
}

TEST_F(Method0Test, MemoBlocksAreBoundedByTheFptFoundInUpperCase) {
  TableBuilder b;
  b.field("NOTE", 'M', 4).record(std::string("\x01\0\0\0", 4)).record("    ");
  std::string path = table(b);
  source("ORDERS.FPT", std::string(512, '\0'));
  Method0 method(path.c_str());
  method.Parse();
  EXPECT_EQ(method.validRecords(), 1);  // block 538,976,288 is past 4096 x 512
  EXPECT_TRUE(log_.contains("Memo page number is too big [538976288]"));
}

TEST_F(Method0Test, DbtOnlyTableLeavesMemoFieldsUnbounded) {
  TableBuilder b;
  b.field("NOTE", 'M', 10).record("         7").record("    ");
  std::string path = table(b);
  source("orders.dbt", std::string(512, '\0'));
  Method0 method(path.c_str());
  method.setNoMemoCompanion(false);  // the driver sees the .dbt
  method.Parse();
  EXPECT_FALSE(method.memoPresent());
  EXPECT_EQ(method.validRecords(), 2);
  EXPECT_TRUE(log_.contains("Memo field, value is [         7]"));
  EXPECT_EQ(method.fields()[0].type(), 'M');
}

// --- the counting scan ----------------------------------------------------------

TEST_F(Method0Test, ParseJudgesEveryRecordSlot) {
  TableBuilder b = ordersTable();
  b.record("   1220200101T")          // 0 valid
      .record("   1220200101T", '*')  // 1 deleted
      .record("   1220200101T", '\0')  // 2 jammed
      .record("   1220200101T", 'X')  // 3 jammed
      .record(" 1,2 20200101T")       // 4 bad number
      .record("  7.520201231 ");      // 5 valid
  std::string path = table(b);
  Method0 method(path.c_str());
  EXPECT_EQ(method.headerRecordLength(), 0);
  EXPECT_EQ(method.Parse(), 0);
  EXPECT_EQ(method.validRecords(), 2);
  EXPECT_EQ(method.headerRecordLength(), 15);

  std::vector<std::string> lines = log_.messages();
  const std::vector<std::string> expected = {
      "In Method0::Parse()",
      "Method0 record length (by header field value) is [15]",
      "This record is valid by its header byte: [0]",
      "The record at this position was deleted [1]",
      "The record at this position is invalid [2]",
      "Reason: header byte is jammed, value must be 0x20 or 0x2A, value is:  [0]",
      "The record at this position is invalid [3]",
      "Reason: header byte is jammed, value must be 0x20 or 0x2A, value is:  [88]",
      "This record is valid by its header byte: [4]",
      "This record is not valid by one of its field values",
      "This record is valid by its header byte: [5]",
      "Method0::Parse() exiting with code [0]",
  };
  size_t at = 0;
  for (const std::string& line : expected) {
    size_t found = std::find(lines.begin() + static_cast<std::ptrdiff_t>(at), lines.end(), line) -
                   lines.begin();
    ASSERT_LT(found, lines.size()) << "missing or out of order: " << line;
    at = found + 1;
  }
}

TEST_F(Method0Test, TwoParsesAgree) {
  std::string path = table(ordersTable()
                               .record("   1220200101T")
                               .record("   1220200101T", '*')
                               .record("   1220209901T"));
  Method0 method(path.c_str());
  method.Parse();
  int32_t first = method.validRecords();
  method.Parse();
  EXPECT_EQ(method.validRecords(), first);
  EXPECT_EQ(first, 1);
}

TEST_F(Method0Test, ImplausibleHeaderYieldsNothingSilently) {
  struct Case {
    uint32_t recordCount;
    uint16_t recordLength;
    size_t fileSize;
    bool scanned;
  };
  const Case cases[] = {
      {1000, 100, 99999, false},
      {1000, 100, 100000, true},  // the header's own length is not counted
      {1, 0, 1000, false},
      // 0x01000001 x 256 wraps to 256 in 32 bits.
      {0x01000001u, 256, 1000, false},
      {0, 10, 100, true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string bytes = TableBuilder().recordCount(c.recordCount).recordLength(c.recordLength).bytes();
    bytes.resize(c.fileSize, ' ');
    std::string path = dir.file("t.dbf");
    writeFile(path, bytes);
    LogCapture capture;
    Method0 method(path.c_str());
    EXPECT_EQ(method.Parse(), 0);
    EXPECT_EQ(capture.contains("Method0 record length (by header field value) is [" +
                               std::to_string(c.recordLength) + "]"),
              c.scanned)
        << c.recordCount << " x " << c.recordLength;
    EXPECT_EQ(capture.contains("Method0::Parse() exiting with code [0]"), c.scanned);
    EXPECT_EQ(method.headerRecordLength(), c.scanned ? c.recordLength : 0);
    if (!c.scanned) {
      EXPECT_EQ(method.validRecords(), 0);
    }
  }
}

TEST_F(Method0Test, RecordsPastTheEndReadAsZerosNotAsTheRecordBefore) {
  // Four records declared; the file ends two bytes into the third.
  TableBuilder b;
  b.field("N", 'N', 5).field("C", 'C', 4).recordCount(4);
  b.record("12345abcd").record("67890efgh");
  std::string bytes = b.bytes();
  bytes.pop_back();  // the end-of-file byte
  bytes += " 1";
  std::string path = source("orders.dbf", bytes);

  Method0 method(path.c_str());
  method.Parse();
  EXPECT_EQ(method.validRecords(), 3);
  EXPECT_TRUE(log_.contains("Numeric field, value is [1]"));
  EXPECT_TRUE(log_.contains("Character field, value is []"));
  // The fourth slot lies wholly past the end: its flag reads as 0.
  EXPECT_TRUE(log_.contains("The record at this position is invalid [3]"));
  EXPECT_TRUE(
      log_.contains("Reason: header byte is jammed, value must be 0x20 or 0x2A, value is:  [0]"));

  std::string out = outputFolder() + "/orders.dbf";
  ASSERT_EQ(method.Flush(out.c_str()), 0);
  TableImage result(out);
  ASSERT_EQ(result.records.size(), 3u);
  EXPECT_EQ(result.records[2], std::string(" 1") + std::string(8, '\0'));
}

TEST_F(Method0Test, NoDescriptorsCountsEveryLiveRecord) {
  TableBuilder b;
  b.recordLength(4).record("abc").record("def", '*').record("\x01\x02\x03").record("ghi", 'Q');
  std::string path = table(b);
  Method0 method(path.c_str());
  method.Parse();
  EXPECT_TRUE(method.fields().empty());
  EXPECT_EQ(method.validRecords(), 2);
  EXPECT_FALSE(log_.contains("This record is not valid by one of its field values"));
}

TEST_F(Method0Test, BreakBeforeTheScanStopsAtOnce) {
  std::string path = table(ordersTable().record("   1220200101T"));
  BreakByteContext context;
  context.breakByte = 1;
  Method0 method(path.c_str(), platform::Env::Default(), &context);
  try {
    method.Parse();
    FAIL() << "no break";
  } catch (const RaisedCode& raised) {
    EXPECT_EQ(raised.code, kUserBreak);
  }
  EXPECT_FALSE(log_.contains("Method0 record length (by header field value) is [15]"));
}

TEST_F(Method0Test, BreakDuringTheScanEndsItBeforeTheNextRecord) {
  TableBuilder b = ordersTable();
  for (int i = 0; i < 10; ++i) b.record("   1220200101T");
  std::string path = table(b);
  const uint64_t recordThree = b.currentHeaderLength() + 3u * b.currentRecordLength();

  BreakByteContext context;
  ReadHookEnv env;
  env.onRead = [&](uint64_t offset) {
    if (offset == recordThree) context.breakByte = 1;
  };
  Method0 method(path.c_str(), &env, &context);
  try {
    method.Parse();
    FAIL() << "no break";
  } catch (const RaisedCode& raised) {
    EXPECT_EQ(raised.code, kUserBreak);
  }
  EXPECT_EQ(method.validRecords(), 4);  // records 0 to 3; record 3 was being read
  EXPECT_FALSE(log_.contains("This record is valid by its header byte: [4]"));
  EXPECT_FALSE(log_.contains("Method0::Parse() exiting with code [0]"));
}

// A thorough scan looks at the records after each failed one and comes
// back: the table is still read about once, not a block per failure.
TEST_F(Method0Test, AThoroughScanReadsTheTableAboutOnceWhateverFails) {
  TableBuilder b = ordersTable();
  for (int i = 0; i < 2000; ++i) b.record(i % 10 == 3 ? "   1x20200101T" : "   1220200101T");
  std::string path = table(b);
  constexpr size_t kBlock = 4096;
  testing::FaultEnv faults;
  struct BlockEnv : platform::EnvWrapper {
    using EnvWrapper::EnvWrapper;
    platform::Status OpenReadOnly(const std::string& p,
                                  std::unique_ptr<platform::ReadableFile>* f) override {
      platform::Status status = target()->OpenReadOnly(p, f);
      if (status) *f = platform::NewReadAheadFile(std::move(*f), kBlock);
      return status;
    }
  } env(&faults);
  ThoroughContext context;
  Method0 method(path.c_str(), &env, &context);
  method.Parse();
  EXPECT_EQ(method.validRecords(), 1800);
  const uint64_t blocks = b.bytes().size() / kBlock + 1;
  EXPECT_LE(faults.calls(testing::FaultKind::kRead), 3 * blocks + 8);
}

TEST_F(Method0Test, AResultWrittenWhileCountingIsTheOneTheWritingPassWrites) {
  // Sound, damaged-header, realigned and jammed tables, and a disk that
  // fills: the early result is the writing pass's, byte for byte, with the
  // same count, findings and code, and nothing is left under a temporary
  // name.
  TableBuilder shifted = ordersTable();
  for (int i = 0; i < 300; ++i) shifted.record(i % 7 == 2 ? "*  1220200101T" : "   1220200101T");
  std::string bytes = shifted.bytes();
  bytes.insert(shifted.currentHeaderLength() + 15 * 120, "xyz");
  bytes[shifted.currentHeaderLength() + 15 * 40] = 'Q';
  // Records kept go to the early result in runs: a table of more than one
  // read block, runs broken by deleted records, bytes inserted and a flag
  // jammed far from the start.
  TableBuilder large = ordersTable();
  for (int i = 0; i < 150000; ++i) {
    const std::string amount = std::to_string(10000 + i % 90000);
    large.record((i % 11 == 3 ? "*" : " ") + amount + "20200101T");
  }
  std::string largeBytes = large.bytes();
  largeBytes.insert(large.currentHeaderLength() + 15 * 70001, "xy");
  largeBytes[large.currentHeaderLength() + 15 * 40000] = 'Q';
  struct Case {
    std::string path;
    uint64_t budget;  // bytes the disk takes
  };
  const Case cases[] = {
      {testing::copyTestData("dbase_31.dbf", dir_), UINT64_MAX},
      {testing::copyTestData("dbase_03.dbf", dir_), UINT64_MAX},
      {testing::copyTestData("dbase_8c.dbf", dir_), UINT64_MAX},
      {testing::copyTestData("foxprodb/setup.dbf", dir_), UINT64_MAX},
      {source("shifted.dbf", bytes), UINT64_MAX},
      {source("full.dbf", bytes), 2000},
      {source("large.dbf", largeBytes), UINT64_MAX},
  };
  ThoroughContext context;
  for (const Case& c : cases) {
    WrittenRun runs[2];
    for (bool early : {false, true}) {
      WrittenRun& run = runs[early];
      FailingWriteEnv env(c.budget, false);
      // The system's own files hand the scan the bytes of its read block.
      platform::Env* files = c.budget == UINT64_MAX ? platform::Env::Default() : &env;
      Method0 method(c.path.c_str(), files, &context);
      method.setNoMemoCompanion(true);
      std::string out = outputFolder() + "/result.dbf";
      if (early) method.writeWhileCounting(out);
      method.Parse();
      run.count = method.validRecords();
      run.code = method.Flush(out.c_str());
      if (run.code == 0) run.files.push_back(readFile(out));
      EXPECT_FALSE(fs::exists(partialName(out))) << c.path;
      for (const Finding& f : method.findings().entries()) run.findings.push_back(f.text);
    }
    expectEarlyIsWritingPass(runs, c.path, c.budget);
  }
}

TEST_F(Method0Test, AMemoTableWrittenWhileCountingIsTheOneTheWritingPassWrites) {
  // Memo tables of each kind, without their memo file, with a memo file
  // that lost its header and on a disk that fills: the early result
  // (table, memo file and side file) is the writing pass's, byte for byte,
  // with the same count, findings and code, and nothing is left under a
  // temporary name. The memo file is written while counting where its
  // block size is known before the references are.
  // A memo table copied with its memo file, that file's first bytes
  // zeroed when `zeroedHead` (the block size then comes of the references).
  auto memoTable = [&](const std::string& table, const std::string& memo, size_t zeroedHead) {
    TempDir& dir = *memoDirs_.emplace_back(std::make_unique<TempDir>());
    std::string memoBytes = readFile(testing::testData(memo));
    std::fill_n(memoBytes.begin(), std::min(zeroedHead, memoBytes.size()), '\0');
    writeFile(dir.file(fs::path(memo).filename().string()), memoBytes);
    return testing::copyTestData(table, dir);
  };
  struct Case {
    std::string path;
    uint64_t budget;  // bytes the disk takes
    bool memoWhileCounting;
  };
  const Case cases[] = {
      {memoTable("dbase_30.dbf", "dbase_30.fpt", 0), UINT64_MAX, true},
      {memoTable("dbase_f5.dbf", "dbase_f5.fpt", 0), UINT64_MAX, true},
      {memoTable("dbase_83.dbf", "dbase_83.dbt", 0), UINT64_MAX, true},
      {memoTable("foxprodb/calls.dbf", "foxprodb/calls.FPT", 0), UINT64_MAX, true},
      // Memo fields, no memo file: the fresh empty one needs no reference.
      {testing::copyTestData("dbase_8c.dbf", dir_), UINT64_MAX, true},
      {memoTable("dbase_30.dbf", "dbase_30.fpt", 8), UINT64_MAX, false},
      {memoTable("dbase_8b.dbf", "dbase_8b.dbt", 24), UINT64_MAX, false},
      // A dBase III memo file's blocks are of one size whatever its header.
      {memoTable("dbase_83.dbf", "dbase_83.dbt", 512), UINT64_MAX, true},
      {memoTable("dbase_30.dbf", "dbase_30.fpt", 0), 6000, true},
  };
  ThoroughContext context;
  for (const Case& c : cases) {
    WrittenRun runs[2];
    for (bool early : {false, true}) {
      WrittenRun& run = runs[early];
      FailingWriteEnv env(c.budget, false);
      Method0 method(c.path.c_str(), &env, &context);
      method.setNoMemoCompanion(!method.memoPresent());
      const std::string folder = outputFolder();
      std::string out = folder + "/result.dbf";
      if (early) method.writeWhileCounting(out);
      method.Parse();
      const std::vector<std::string> memoFiles = method.memoResultPaths(out);
      EXPECT_EQ(!memoFiles.empty() && fs::exists(partialName(memoFiles[0])),
                early && c.memoWhileCounting)
          << c.path;
      run.count = method.validRecords();
      run.code = method.Flush(out.c_str());
      for (const fs::directory_entry& file : fs::directory_iterator(folder)) {
        const std::string name = file.path().filename().string();
        EXPECT_FALSE(name.ends_with(kPartialSuffix)) << c.path << ": " << name;
        run.files.push_back(name + ":" + readFile(file.path().string()));
      }
      std::sort(run.files.begin(), run.files.end());
      for (const Finding& f : method.findings().entries()) run.findings.push_back(f.text);
    }
    expectEarlyIsWritingPass(runs, c.path, c.budget);
  }
}

// --- the field list -----------------------------------------------------------

TEST_F(Method0Test, FortyDescriptorsGiveThirtyTwoFieldsAndWholeRecords) {
  TableBuilder b;
  std::string body;
  for (int i = 0; i < 40; ++i) {
    b.field("F" + std::to_string(i), 'N', 2);
    body += i < 32 ? "12" : "xx";  // the unlisted fields would fail as numbers
  }
  b.record(body).record(body, '*');
  std::string path = table(b);
  Method0 method(path.c_str());
  method.Parse();
  EXPECT_EQ(method.fields().size(), 32u);
  EXPECT_EQ(method.validRecords(), 1);

  std::string out = outputFolder() + "/orders.dbf";
  ASSERT_EQ(method.Flush(out.c_str()), 0);
  TableImage source(path), result(out);
  EXPECT_EQ(result.header.headerLength(), source.header.headerLength());
  EXPECT_EQ(result.header.recordLength(), source.header.recordLength());
  ASSERT_EQ(result.fields.size(), 32u);
  EXPECT_EQ(result.fields[31].name(), "F31");
  ASSERT_EQ(result.records.size(), 1u);
  EXPECT_EQ(result.records[0], source.records[0]);
  EXPECT_EQ(result.bytes.size(), size_t{source.header.headerLength()} + 81 + 1);
}

TEST_F(Method0Test, TerminatorOffASlotStartIsNotRecognised) {
  // One descriptor, then a stray byte pushes the terminator off the slot
  // start; the header leaves room for three slots.
  TableBuilder b;
  b.field("A", 'C', 3).beforeTerminator("Z").headerLength(32 + 3 * 32 + 1).record("abc");
  std::string path = table(b);
  Method0 method(path.c_str());
  method.Parse();
  ASSERT_EQ(method.fields().size(), 3u);
  EXPECT_EQ(method.fields()[1].bytes[0], 'Z');
  EXPECT_EQ(method.fields()[1].bytes[1], kHeaderTerminator);
  EXPECT_EQ(method.validRecords(), 1);
}

TEST_F(Method0Test, SpaceAfterTheTerminatorIsPaddedWithZerosInTheResult) {
  TableBuilder b = ordersTable();
  b.headerLength(32 + 3 * 32 + 1 + 263).padding(0xEE).record("   1220200101T");
  std::string path = table(b);
  Method0 method(path.c_str());
  method.Parse();
  EXPECT_EQ(method.fields().size(), 3u);
  std::string out = outputFolder() + "/orders.dbf";
  ASSERT_EQ(method.Flush(out.c_str()), 0);
  TableImage result(out);
  EXPECT_EQ(result.header.headerLength(), 392);
  EXPECT_EQ(static_cast<uint8_t>(result.bytes[128]), kHeaderTerminator);
  EXPECT_EQ(result.bytes.substr(129, 263), std::string(263, '\0'));
  EXPECT_EQ(result.records, TableImage(path).records);
}

TEST_F(Method0Test, AllZeroDisplacementsPlaceFieldsOneAfterAnother) {
  // As dBase III and shapefiles write them: no displacement at all.
  TableBuilder b;
  b.field("NAME", 'C', 6, 0).field("BORN", 'D', 8, 0).field("SIZE", 'N', 3, 0);
  b.recordLength(1 + 6 + 8 + 3);
  b.record("Alice 19800412 12").record("Bob   20010229  7").record("Carol 19991231 9x");
  std::string path = table(b);
  Method0 method(path.c_str());
  method.Parse();
  EXPECT_EQ(method.validRecords(), 1);
  EXPECT_TRUE(log_.contains("Date field, value is [19800412]"));
  EXPECT_EQ(log_.count("Field displacements are all zero, fields are placed one after another"), 1u);

  std::string out = outputFolder() + "/orders.dbf";
  ASSERT_EQ(method.Flush(out.c_str()), 0);
  // Once per scan: the second scan wrote it again.
  EXPECT_EQ(log_.count("Field displacements are all zero, fields are placed one after another"), 2u);
  TableImage result(out);
  ASSERT_EQ(result.fields.size(), 3u);
  for (const DbfFieldDescriptor& d : result.fields) EXPECT_EQ(d.displacement(), 0u);
  ASSERT_EQ(result.records.size(), 1u);
  EXPECT_EQ(result.records[0], " Alice 19800412 12");
}

TEST_F(Method0Test, OneNonzeroDisplacementPlacesEveryFieldAsWritten) {
  // The date at displacement 0 starts at the deletion flag and so fails.
  TableBuilder b;
  b.field("BORN", 'D', 8, 0).field("NAME", 'C', 3, 9).recordLength(12);
  b.record("20200101abc");
  std::string path = table(b);
  Method0 method(path.c_str());
  method.Parse();
  EXPECT_EQ(method.validRecords(), 0);
  EXPECT_TRUE(log_.contains("Date field, value is [ 2020010]"));
  EXPECT_FALSE(log_.contains("Field displacements are all zero, fields are placed one after another"));
}

// --- writing the result --------------------------------------------------------

TEST_F(Method0Test, FlushWritesHeaderValidRecordsAndEndOfFile) {
  TableBuilder b = ordersTable();
  b.version(0x30).tableFlags(0x07);
  b.record("   1220200101T").record("   1320200101T", '*').record("   1420200101T");
  b.record("   1520200199T");
  std::string bytes = b.bytes();
  for (int i = 12; i < 28; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(i);
  bytes[29] = 'r';
  bytes[31] = 's';
  std::string path = source("orders.dbf", bytes);

  Method0 method(path.c_str());
  method.Parse();
  ASSERT_EQ(method.validRecords(), 2);
  std::string out = outputFolder() + "/orders.dbf";
  EXPECT_EQ(method.Flush(out.c_str()), 0);

  TableImage source(path), result(out);
  EXPECT_EQ(result.header.version(), 0x30);
  EXPECT_EQ(result.header.recordCount(), 2u);
  EXPECT_EQ(result.header.tableFlags(), 0x06);
  EXPECT_EQ(result.bytes.substr(1, 3), bytes.substr(1, 3));  // lastUpdate
  EXPECT_EQ(result.bytes.substr(8, 20), bytes.substr(8, 20));
  EXPECT_EQ(result.bytes.substr(29, 3), bytes.substr(29, 3));
  EXPECT_EQ(result.bytes.substr(32, source.header.headerLength() - 32),
            bytes.substr(32, source.header.headerLength() - 32));
  EXPECT_EQ(result.records, (std::vector<std::string>{source.records[0], source.records[2]}));
  EXPECT_EQ(result.bytes.size(), size_t{source.header.headerLength()} + 2u * 15u + 1u);
  EXPECT_EQ(static_cast<uint8_t>(result.bytes.back()), kEndOfFile);

  std::vector<std::string> lines = log_.messages();
  EXPECT_LT(indexOf(lines, "In Method0::Flush()"), indexOf(lines, "Exiting Method0::Flush(), rc =  [0]"));
  EXPECT_LT(indexOf(lines, "Exiting Method0::Flush(), rc =  [0]"), lines.size());
}

TEST_F(Method0Test, ZeroValidRecordsStillMakeAWholeTable) {
  std::string path = table(ordersTable().record("   1220200101T", '*'));
  Method0 method(path.c_str());
  method.Parse();
  std::string out = outputFolder() + "/orders.dbf";
  ASSERT_EQ(method.Flush(out.c_str()), 0);
  TableImage result(out);
  EXPECT_EQ(result.header.recordCount(), 0u);
  EXPECT_EQ(result.bytes.size(), size_t{result.header.headerLength()} + 1);
}

TEST_F(Method0Test, WithoutAnyCompanionMemoFieldsBecomeBlankCharacterFields) {
  TableBuilder b;
  b.version(0xF5).field("NAME", 'C', 4).field("NOTE", 'M', 10).field("N", 'N', 2);
  b.record("abcd0000000042 1").record("efgh        17 x");
  std::string path = table(b);
  Method0 method(path.c_str());
  method.setNoMemoCompanion(true);
  method.Parse();
  EXPECT_EQ(method.fields()[1].type(), 'C');
  EXPECT_EQ(method.validRecords(), 1);
  EXPECT_FALSE(log_.contains("Memo field, value is [0000000042]"));

  std::string out = outputFolder() + "/orders.dbf";
  ASSERT_EQ(method.Flush(out.c_str()), 0);
  TableImage result(out);
  EXPECT_EQ(result.header.version(), 0x03);
  EXPECT_EQ(result.fields[1].type(), 'C');
  EXPECT_EQ(result.fields[1].name(), "NOTE");
  ASSERT_EQ(result.records.size(), 1u);
  EXPECT_EQ(result.records[0], " abcd" + std::string(10, ' ') + " 1");
}

TEST_F(Method0Test, WithoutMemoFieldsVersionStillBecomesThree) {
  std::string path = table(ordersTable().version(0x83).record("   1220200101T"));
  Method0 method(path.c_str());
  method.setNoMemoCompanion(true);
  method.Parse();
  std::string out = outputFolder() + "/orders.dbf";
  ASSERT_EQ(method.Flush(out.c_str()), 0);
  EXPECT_EQ(TableImage(out).header.version(), 0x03);
}

TEST_F(Method0Test, OutputNameFollowsWhatThePathNames) {
  std::string path = table(ordersTable().record("   1220200101T"));
  struct Case {
    std::string given;
    std::string written;  // empty: nothing written, -5
  };
  std::string folderA = outputFolder(), folderB = outputFolder(), folderC = outputFolder();
  std::string existing = folderC + "/taken.dbf";
  writeFile(existing, "keep");
  const Case cases[] = {
      {folderA, folderA + "/RECOVERED.DBF"},
      {folderB + "/", folderB + "/RECOVERED.DBF"},
      {folderC + "/new.dbf", folderC + "/new.dbf"},
      {existing, ""},
      {folderC + "/new.dbf", ""},  // created by the case above
      {dir_.file("no/such/folder/x.dbf"), ""},
      {folderC + "/" + std::string(300, 'n') + ".dbf", ""},
  };
  for (const Case& c : cases) {
    Method0 method(path.c_str());
    method.Parse();
    LogCapture capture;
    int32_t rc = method.Flush(c.given.c_str());
    if (c.written.empty()) {
      EXPECT_EQ(rc, -5) << c.given;
      EXPECT_EQ(capture.messages(), std::vector<std::string>{"In Method0::Flush()"}) << c.given;
    } else {
      EXPECT_EQ(rc, 0) << c.given;
      EXPECT_EQ(TableImage(c.written).records.size(), 1u) << c.given;
    }
  }
  EXPECT_EQ(readFile(existing), "keep");
}

TEST_F(Method0Test, HeaderThatOutgrowsItsLengthIsWrittenWithItsRealSize) {
  // Two descriptors but room for one slot and no terminator: the result
  // needs 32 + 32 + 1 bytes of header, one more than the table's 64.
  TableBuilder b;
  b.field("A", 'C', 3).field("B", 'C', 3).headerLength(64).record("abcdef").record("ghijkl");
  std::string path = table(b);
  Method0 method(path.c_str());
  method.Parse();
  ASSERT_EQ(method.fields().size(), 1u);
  ASSERT_EQ(method.validRecords(), 2);
  std::string out = outputFolder() + "/orders.dbf";
  ASSERT_EQ(method.Flush(out.c_str()), 0);
  TableImage result(out);
  EXPECT_EQ(result.header.headerLength(), 65);
  EXPECT_EQ(result.records, TableImage(path).records);
  EXPECT_EQ(result.bytes.size(), 65u + 2u * 7u + 1u);
}

TEST_F(Method0Test, FailedOrShortWritesAreFailures) {
  TableBuilder b = ordersTable();
  for (int i = 0; i < 3; ++i) b.record("   1220200101T");
  std::string path = table(b);
  const uint64_t header = b.currentHeaderLength();
  const uint64_t whole = header + 3 * 15 + 1;
  struct Case {
    uint64_t budget;
    bool failClose;
    const char* what;
  };
  const Case cases[] = {
      {0, false, "header"},           {40, false, "descriptors"},
      {header - 1, false, "terminator"}, {header + 20, false, "second record"},
      {whole - 1, false, "end-of-file byte"}, {whole, true, "close"},
  };
  for (const Case& c : cases) {
    FailingWriteEnv env(c.budget, c.failClose);
    Method0 method(path.c_str(), &env);
    method.Parse();
    LogCapture capture;
    std::string out = outputFolder() + "/orders.dbf";
    EXPECT_EQ(method.Flush(out.c_str()), -2) << c.what;
    std::vector<std::string> lines = capture.messages();
    size_t failed = indexOf(lines, "Method0::Flush(): the result table could not be written whole");
    size_t unhandled = indexOf(lines, "Unhandled exception in Method0::Flush()");
    size_t internal = indexOf(lines, "Exiting with code or_internal");
    size_t exit = indexOf(lines, "Exiting Method0::Flush(), rc =  [-2]");
    EXPECT_LT(failed, unhandled) << c.what;
    EXPECT_LT(unhandled, internal) << c.what;
    EXPECT_LT(internal, exit) << c.what;
    EXPECT_LT(exit, lines.size()) << c.what;
  }
  // And with room enough the same table is written.
  FailingWriteEnv roomy(whole, false);
  Method0 method(path.c_str(), &roomy);
  method.Parse();
  EXPECT_EQ(method.Flush((outputFolder() + "/orders.dbf").c_str()), 0);
}

TEST_F(Method0Test, BreakDuringTheWritingPassEndsFlushWithMinusTwo) {
  TableBuilder b = ordersTable();
  for (int i = 0; i < 5; ++i) b.record("   1220200101T");
  std::string path = table(b);
  const uint64_t recordTwo = b.currentHeaderLength() + 2u * b.currentRecordLength();

  BreakByteContext context;
  ReadHookEnv env;
  int pass = 0;
  env.onRead = [&](uint64_t offset) {
    if (offset == 0) ++pass;
    if (pass == 2 && offset == recordTwo) context.breakByte = 1;
  };
  Method0 method(path.c_str(), &env, &context);
  method.Parse();
  EXPECT_EQ(method.validRecords(), 5);
  std::string out = outputFolder() + "/orders.dbf";
  EXPECT_EQ(method.Flush(out.c_str()), -2);
  std::vector<std::string> lines = log_.messages();
  size_t unhandled = indexOf(lines, "Unhandled exception in Method0::Flush()");
  EXPECT_LT(unhandled, lines.size());
  EXPECT_EQ(lines[unhandled + 1], "Exiting with code or_internal");
  EXPECT_EQ(lines[unhandled + 2], "Exiting Method0::Flush(), rc =  [-2]");
  // Nothing of the result stays, under either name.
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_FALSE(std::filesystem::exists(out + ".partial"));
  EXPECT_LT(indexOf(lines, "Result file removed: [" + out + ".partial]"), unhandled);
}

TEST_F(Method0Test, RecordCountFollowsTheWritingPassWhenTheTableChanged) {
#ifdef _WIN32
  GTEST_SKIP() << "the case rewrites the table while it is open, which Windows' file "
                  "sharing refuses";
#endif
  TableBuilder b = ordersTable();
  for (int i = 0; i < 4; ++i) b.record("   1220200101T");
  std::string path = table(b);
  Method0 method(path.c_str());
  method.Parse();
  ASSERT_EQ(method.validRecords(), 4);
  // Another program deletes a record between the passes.
  std::string changed = b.bytes();
  changed[b.currentHeaderLength() + 15] = '*';
  writeFile(path, changed);
  watched_.keep(path);

  std::string out = outputFolder() + "/orders.dbf";
  ASSERT_EQ(method.Flush(out.c_str()), 0);
  TableImage result(out);
  EXPECT_EQ(result.header.recordCount(), 3u);
  EXPECT_EQ(result.bytes.size(), size_t{b.currentHeaderLength()} + 3u * 15u + 1u);
}

TEST_F(Method0Test, ARecordLengthChangedBetweenThePassesIsNoResult) {
#ifdef _WIN32
  GTEST_SKIP() << "the case rewrites the table while it is open, which Windows' file "
                  "sharing refuses";
#endif
  TableBuilder b = ordersTable();
  for (int i = 0; i < 4; ++i) b.record("   1220200101T");
  std::string path = table(b);
  Method0 method(path.c_str());
  method.Parse();
  ASSERT_EQ(method.validRecords(), 4);
  // Another program rewrites the table with a field more: its records grow
  // from 15 to 20 bytes, which the header already written cannot describe.
  TableBuilder wider = ordersTable();
  wider.field("NOTE", 'C', 5);
  for (int i = 0; i < 3; ++i) wider.record("   1220200101Tnote");
  writeFile(path, wider.bytes());
  watched_.keep(path);

  std::string out = outputFolder() + "/orders.dbf";
  EXPECT_EQ(method.Flush(out.c_str()), -2);
  std::vector<std::string> lines = log_.messages();
  EXPECT_LT(indexOf(lines, "Unhandled exception in Method0::Flush()"), lines.size());
  EXPECT_LT(indexOf(lines, "Exiting Method0::Flush(), rc =  [-2]"), lines.size());

  // A change that leaves no record to write still gives a whole table.
  Method0 again(path.c_str());
  again.Parse();
  ASSERT_EQ(again.validRecords(), 3);
  TableBuilder gone = ordersTable();
  gone.field("NOTE", 'C', 5).record("   1220200101Tnote", '*');
  writeFile(path, gone.bytes());
  watched_.keep(path);
  std::string second = outputFolder() + "/orders.dbf";
  ASSERT_EQ(again.Flush(second.c_str()), 0);
  TableImage result(second);
  EXPECT_EQ(result.header.recordCount(), 0u);
  EXPECT_EQ(result.header.recordLength(), 20u);
  EXPECT_EQ(result.bytes.size(), size_t{result.header.headerLength()} + 1u);
}

// --- record positions beyond 4 GiB ------------------------------------------------

// A table of 4 GiB - 1 bytes that exists only in memory: the header, the
// terminator, and spaces everywhere else.
class HugeTableFile : public platform::ReadableFile {
 public:
  explicit HugeTableFile(const DbfHeader& header) : header_(header) {}
  uint64_t Size() const override { return 0xFFFFFFFFu; }
  platform::Status ReadAt(uint64_t offset, void* buffer, size_t count, size_t* got) override {
    *got = 0;
    if (offset >= Size()) return platform::Status();
    count = static_cast<size_t>(std::min<uint64_t>(count, Size() - offset));
    uint8_t* out = static_cast<uint8_t*>(buffer);
    std::memset(out, ' ', count);
    for (size_t i = 0; i < count; ++i) {
      uint64_t at = offset + i;
      if (at >= 33) break;
      out[i] = at < 32 ? header_.bytes[at] : kHeaderTerminator;
    }
    *got = count;
    return platform::Status();
  }

 private:
  DbfHeader header_;
};

class HugeTableEnv : public platform::EnvWrapper {
 public:
  explicit HugeTableEnv(const DbfHeader& header)
      : EnvWrapper(platform::Env::Default()), header_(header) {}
  platform::Status OpenReadOnly(const std::string& path,
                                std::unique_ptr<platform::ReadableFile>* file) override {
    file->reset();
    if (!path.ends_with(".dbf")) return platform::Status::Failure(2, "absent");
    *file = std::make_unique<HugeTableFile>(header_);
    return platform::Status();
  }

 private:
  DbfHeader header_;
};

TEST(Method0HugeTable, RecordPositionsAreNotCutTo32Bits) {
  // 143,165 records of 30,000 bytes after a 65,535-byte header fit the
  // file by the plausibility test, but the last one starts at 4,294,985,535:
  // past the end of the file, not (cut to 32 bits) at byte 18,239.
  DbfHeader header;
  header.setRecordCount(143165);
  header.setHeaderLength(65535);
  header.setRecordLength(30000);
  HugeTableEnv env(header);
  Method0 method("huge.dbf", &env);
  method.Parse();
  EXPECT_EQ(method.validRecords(), 143164);
}

// --- the sample tables -------------------------------------------------------------

using testing::dbfreadPython;
using testing::opensInDbfread;

struct SampleCase {
  const char* table;
  std::vector<const char*> companions;
  int32_t validRecords;  // pinned, as found by reading the table by hand
};

void PrintTo(const SampleCase& c, std::ostream* os) { *os << c.table; }

class Method0Samples : public ::testing::TestWithParam<SampleCase> {};

TEST_P(Method0Samples, ResultHoldsExactlyTheLiveRecordsThatPass) {
  const SampleCase& c = GetParam();
  TempDir dir;
  std::string path = testing::copyTestData(c.table, dir);
  std::string original = readFile(path);
  std::vector<std::string> companionBytes;
  for (const char* companion : c.companions) {
    companionBytes.push_back(readFile(testing::copyTestData(companion, dir)));
  }

  // The expected records, judged one by one with the table's own layout.
  TableImage source(path);
  std::vector<DbfFieldDescriptor> fields = source.fields;
  if (fields.size() > 32) fields.resize(32);
  std::vector<bool> memoAsCharacter(fields.size(), false);
  const bool noCompanion = c.companions.empty();
  for (size_t j = 0; j < fields.size(); ++j) {
    if (noCompanion && fields[j].type() == 'M') {
      memoAsCharacter[j] = true;
      fields[j].setType('C');
    }
  }
  std::vector<FieldPlace> places = placeFields(fields, &memoAsCharacter);
  bool hasFpt = false;
  uint32_t fptSize = 0;
  for (const char* companion : c.companions) {
    std::string name = fs::path(companion).filename().string();
    if (name.size() > 4 && platform::EqualsNoCase(name.substr(name.size() - 4), ".fpt")) {
      hasFpt = true;
      fptSize = static_cast<uint32_t>(fs::file_size(dir.file(name)));
    }
  }
  std::vector<std::string> expected;
  for (std::string record : source.records) {
    record.resize(source.header.recordLength(), '\0');
    if (record[0] != ' ') continue;
    if (!places.empty() && !checkRecord(reinterpret_cast<uint8_t*>(record.data()), record.size(),
                                        places, hasFpt, fptSize)) {
      continue;
    }
    expected.push_back(record);
  }

  Method0 method(path.c_str());
  method.setNoMemoCompanion(noCompanion);
  method.Parse();
  EXPECT_EQ(method.validRecords(), c.validRecords);
  EXPECT_EQ(method.validRecords(), static_cast<int32_t>(expected.size()));
  EXPECT_EQ(method.memoPresent(), hasFpt);

  std::string folder = dir.file("out");
  fs::create_directory(folder);
  std::string out = folder + "/" + fs::path(c.table).filename().string();
  ASSERT_EQ(method.Flush(out.c_str()), 0);
  TableImage result(out);
  EXPECT_EQ(result.records, expected);
  EXPECT_EQ(result.header.recordCount(), expected.size());
  EXPECT_EQ(result.bytes.size(),
            size_t{result.header.headerLength()} + expected.size() * result.header.recordLength() + 1);

  // The source and its companions are as they were.
  EXPECT_EQ(readFile(path), original);
  for (size_t i = 0; i < c.companions.size(); ++i) {
    EXPECT_EQ(readFile(dir.file(fs::path(c.companions[i]).filename().string())), companionBytes[i]);
  }

  std::string python = dbfreadPython();
  if (python.empty()) GTEST_SKIP() << "python3 with dbfread is not installed";
  for (const char* companion : c.companions) {
    std::string name = fs::path(companion).filename().string();
    fs::copy_file(dir.file(name), folder + "/" + name);
  }
  if (opensInDbfread(python, path)) {
    EXPECT_TRUE(opensInDbfread(python, out)) << "the original opens, the result does not";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shared, Method0Samples,
    ::testing::Values(SampleCase{"people.dbf", {}, 2},
                      // 145 descriptors, of which the first 32 are known.
                      SampleCase{"dbase_30.dbf", {"dbase_30.fpt"}, 32},
                      // Damaged headers.
                      SampleCase{"dbase_02.dbf", {}, 0},
                      SampleCase{"dbase_8c.dbf", {}, 10},
                      SampleCase{"memotest.dbf", {"memotest.FPT"}, 2},
                      SampleCase{"cp1251.dbf", {}, 4},
                      SampleCase{"dbase_03.dbf", {}, 14},
                      SampleCase{"dbase_31.dbf", {}, 77},
                      SampleCase{"dbase_32.dbf", {}, 1},
                      SampleCase{"dbase_83.dbf", {"dbase_83.dbt"}, 67},
                      SampleCase{"dbase_8b.dbf", {"dbase_8b.dbt"}, 0},
                      // Births before 1970 and blank dates fail the date rule.
                      SampleCase{"dbase_f5.dbf", {"dbase_f5.fpt"}, 0},
                      SampleCase{"mazovia.dbf", {}, 0},
                      SampleCase{"polygon.dbf", {}, 1},
                      SampleCase{"foxprodb/calls.dbf", {"foxprodb/calls.FPT"}, 16},
                      SampleCase{"foxprodb/contacts.dbf", {"foxprodb/contacts.FPT"}, 0},
                      SampleCase{"foxprodb/setup.dbf", {}, 3},
                      SampleCase{"foxprodb/types.dbf", {}, 2}));

}  // namespace
}  // namespace kest
