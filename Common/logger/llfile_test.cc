#include "Common/logger/llfile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "Common/raised_code.h"
#include "platform/buffered_file.h"
#include "tests/fault_env.h"
#include "tests/test_support.h"

namespace kest {
namespace {

using testing::LogCapture;
using testing::TempDir;

// The code an operation raises, or 0 when it raises nothing.
template <typename Op>
int RaisedBy(Op op) {
  try {
    op();
  } catch (const RaisedCode& raised) {
    return raised.code;
  }
  return 0;
}

// A file of `size` bytes that takes no disk: a hole, with `tail` written
// at its very end.
std::string SparseFile(const TempDir& dir, const char* name, uint64_t size,
                       const std::string& tail = "") {
  std::string path = dir.file(name);
  { std::ofstream create(path, std::ios::binary); }
  std::filesystem::resize_file(path, size);
  if (!tail.empty()) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(size - tail.size()));
    file.write(tail.data(), static_cast<std::streamsize>(tail.size()));
    EXPECT_TRUE(file.good()) << path;
  }
  return path;
}

const char kTooBig[] = "LLFile: error: 32 bit function used to access >2GB file";

TEST(LLFileOpen, AnythingButAnExistingFileFailsWithCode2) {
  TempDir dir;
  struct Case {
    const char* what;
    std::string path;
  };
  std::vector<Case> cases = {{"missing file", dir.file("absent.dbf")}, {"folder", dir.path()}};
#ifndef _WIN32  // no FIFOs in the file system there
  ASSERT_EQ(::mkfifo(dir.file("fifo.dbf").c_str(), 0600), 0);
  cases.push_back({"FIFO, which must not block the open", dir.file("fifo.dbf")});
#endif
  for (const auto& c : cases) {
    LogCapture log;
    EXPECT_EQ(RaisedBy([&] { LLFile file(c.path.c_str()); }), kCannotOpen) << c.what;
    EXPECT_TRUE(log.contains("LLFile: File to open: [" + c.path + "]")) << c.what;
    EXPECT_FALSE(log.contains("File opened.")) << c.what;
  }
}

TEST(LLFileOpen, AnAbsentPathIsReportedAndOpensNothing) {
  LogCapture log;
  EXPECT_EQ(RaisedBy([] { LLFile file(nullptr); }), kCannotOpen);
  EXPECT_TRUE(log.contains(
      "A.F. String invalid [name] File [D:\\SVN_Source\\Common\\logger\\logger] Line  [1115]"));
  EXPECT_TRUE(log.contains("LLFile: File to open: [null]"));
}

TEST(LLFileOpen, AnOpenFileKeepsTheSizeItHadWhenOpened) {
  TempDir dir;
  testing::writeFile(dir.file("t.dbf"), "0123456789");
  LogCapture log;
  LLFile file(dir.file("t.dbf").c_str());
  EXPECT_TRUE(log.contains("File opened."));
  testing::writeFile(dir.file("t.dbf"), "0123456789abcdef");
  EXPECT_EQ(file.GetSize(), 10u);
  EXPECT_EQ(file.name(), dir.file("t.dbf"));
}

TEST(LLFileSize, FourGibibytesAreRefusedWithCode5) {
  TempDir dir;
  std::string path = SparseFile(dir, "big.dbf", 4ull << 30);
  LogCapture log;
  LLFile file(path.c_str());
  EXPECT_EQ(file.size64(), 4ull << 30);
  uint8_t buffer[4];
  EXPECT_EQ(RaisedBy([&] { file.GetSize(); }), kNeeds64Bits);
  EXPECT_EQ(RaisedBy([&] { file.Seek(0); }), kNeeds64Bits);
  EXPECT_EQ(log.count(kTooBig), 2u);
  EXPECT_EQ(RaisedBy([&] { file.ReadAt(0, 4, buffer); }), kNeeds64Bits);
  EXPECT_EQ(RaisedBy([&] { file.ReadAlloc(0, 4); }), kNeeds64Bits);
  EXPECT_EQ(log.count(kTooBig), 2u) << "ReadAt and ReadAlloc refuse without a line";
}

TEST(LLFileSize, ThreeGibibytesAreReadNormally) {
  TempDir dir;
  std::string path = SparseFile(dir, "large.dbf", 3ull << 30, "TAIL");
  LogCapture log;
  LLFile file(path.c_str());
  EXPECT_EQ(file.GetSize(), 3u << 30);
  char buffer[4] = {};
  EXPECT_EQ(file.ReadAt((3u << 30) - 4, 4, buffer), 4u);
  EXPECT_EQ(std::string(buffer, 4), "TAIL");
  EXPECT_EQ(log.count(kTooBig), 0u);
}

class LLFileRead : public ::testing::Test {
 protected:
  LLFileRead() {
    testing::writeFile(dir_.file("t.dbf"), "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    file_ = std::make_unique<LLFile>(dir_.file("t.dbf").c_str());
  }
  TempDir dir_;
  LogCapture log_;
  std::unique_ptr<LLFile> file_;
};

TEST_F(LLFileRead, ReadsGoOnFromWhereTheLastOneStopped) {
  char buffer[4];
  file_->Seek(2);
  EXPECT_EQ(file_->Read(4, buffer), 4u);
  EXPECT_EQ(std::string(buffer, 4), "CDEF");
  EXPECT_EQ(file_->Read(4, buffer), 4u);
  EXPECT_EQ(std::string(buffer, 4), "GHIJ");
  EXPECT_EQ(file_->ReadAt(24, 4, buffer), 2u);
  EXPECT_EQ(std::string(buffer, 4), "YZIJ") << "the unread part keeps its bytes";
}

TEST_F(LLFileRead, ASeekPastTheEndSucceedsAndTheReadLeavesTheBufferAlone) {
  char buffer[4] = {'k', 'e', 'e', 'p'};
  EXPECT_EQ(RaisedBy([&] { file_->Seek(1000); }), 0);
  EXPECT_EQ(file_->Read(4, buffer), 0u);
  EXPECT_EQ(std::string(buffer, 4), "keep");
  EXPECT_EQ(file_->ReadAt(0xFFFFFFFFu, 4, buffer), 0u);
  EXPECT_EQ(std::string(buffer, 4), "keep");
}

TEST_F(LLFileRead, ReadAllocFillsWhatLiesPastTheEndWithZeros) {
  std::unique_ptr<uint8_t[]> bytes = file_->ReadAlloc(16, 32);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes.get()), 10), "QRSTUVWXYZ");
  for (int i = 10; i < 32; ++i) EXPECT_EQ(bytes[i], 0) << i;

  std::unique_ptr<uint8_t[]> past = file_->ReadAlloc(100, 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(past[i], 0) << i;

  EXPECT_NE(file_->ReadAlloc(3, 0), nullptr) << "an empty request gets an empty buffer";
}

// A read the system refuses raises 4 with the system's text; the bytes
// before the failing ones still read as they are.
TEST(LLFileReadFailure, ARefusedReadIsNotTheEndOfTheFile) {
  TempDir dir;
  testing::writeFile(dir.file("t.dbf"), "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  testing::ReadFailingEnv failing(10);
  const std::string line =
      std::string("LLFile: read failed: [") + testing::ReadFailingEnv::kText + "]";
  struct {
    const char* what;
    std::function<void(LLFile&)> op;
  } cases[] = {
      {"Read across the failing byte", [](LLFile& f) { char b[8]; f.Seek(6); f.Read(8, b); }},
      {"ReadAt past it", [](LLFile& f) { char b[4]; f.ReadAt(20, 4, b); }},
      {"ReadAlloc", [](LLFile& f) { f.ReadAlloc(8, 4); }},
  };
  for (const auto& c : cases) {
    LogCapture log;
    LLFile file(dir.file("t.dbf").c_str(), &failing);
    char before[10];
    EXPECT_EQ(file.ReadAt(0, 10, before), 10u) << c.what;
    EXPECT_EQ(RaisedBy([&] { c.op(file); }), kReadFailed) << c.what;
    EXPECT_EQ(log.count(line), 1u) << c.what;
  }
}

// With the blocks read ahead beneath the file, a refused read is still
// a failure, whether it is the first read of a block or a later one.
TEST(LLFileReadFailure, ARefusedBlockReadRaises4) {
  TempDir dir;
  testing::writeFile(dir.file("t.dbf"), std::string(100, 'x'));
  struct SmallBlocks : platform::EnvWrapper {
    using EnvWrapper::EnvWrapper;
    platform::Status OpenReadOnly(const std::string& p,
                                  std::unique_ptr<platform::ReadableFile>* f) override {
      platform::Status status = target()->OpenReadOnly(p, f);
      if (status) *f = platform::NewReadAheadFile(std::move(*f), 16);
      return status;
    }
  };
  for (uint64_t nth : {1, 2}) {
    testing::FaultEnv faults;
    SmallBlocks env(&faults);
    faults.FailAt(testing::FaultKind::kRead, nth);
    LLFile file(dir.file("t.dbf").c_str(), &env);
    char b[4];
    EXPECT_EQ(RaisedBy([&] { for (uint32_t at = 0; at < 100; at += 4) file.ReadAt(at, 4, b); }),
              kReadFailed) << nth;
  }
}

// Codes 3 (a seek that misses its position), 6 (no open file) and 7 (no
// memory for a buffer) cannot be brought about here: positioned reads have
// no seek to miss, a file that did not open leaves no object behind, and a
// failed allocation would need the whole address space.

}  // namespace
}  // namespace kest
