#include "platform/buffered_file.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/fault_env.h"
#include "tests/test_support.h"

namespace kest::platform {
namespace {

using kest::testing::FaultEnv;
using kest::testing::FaultKind;
using kest::testing::FaultPlan;
using kest::testing::readFile;
using kest::testing::TempDir;
using kest::testing::writeFile;

constexpr size_t kBlock = 8;

// Hands out the target's files through small blocks, so that a few bytes
// cross every edge the blocks have.
class SmallBlockEnv : public EnvWrapper {
 public:
  explicit SmallBlockEnv(Env* target) : EnvWrapper(target) {}
  Status OpenReadOnly(const std::string& p, std::unique_ptr<ReadableFile>* f) override {
    Status status = target()->OpenReadOnly(p, f);
    if (status) *f = NewReadAheadFile(std::move(*f), kBlock);
    return status;
  }
  Status CreateNew(const std::string& p, std::unique_ptr<WritableFile>* f) override {
    Status status = target()->CreateNew(p, f);
    if (status) *f = NewBufferedWritableFile(std::move(*f), kBlock);
    return status;
  }
};

std::string ReadThrough(ReadableFile& file, uint64_t offset, size_t count) {
  std::string bytes(count, '\0');
  size_t got = 0;
  EXPECT_TRUE(file.ReadAt(offset, bytes.data(), count, &got));
  bytes.resize(got);
  return bytes;
}

TEST(ReadAheadFile, ServesTheBytesTheFileHolds) {
  TempDir dir;
  const std::string content = "0123456789abcdefghijklmnopqrstuvwxyz";
  writeFile(dir.file("t.dbf"), content);
  SmallBlockEnv env(Env::Default());
  std::unique_ptr<ReadableFile> file;
  ASSERT_TRUE(env.OpenReadOnly(dir.file("t.dbf"), &file));
  // In order: inside a block, up to its last byte, nothing, across its
  // edge, a skip forward, a read of more than a block, back, and past the end.
  const struct { uint64_t offset; size_t count; } reads[] = {
      {0, 3}, {3, 4}, {3, 5}, {5, 0}, {7, 5}, {20, 2}, {22, 12}, {1, 2}, {30, 10}, {40, 4}};
  for (const auto& r : reads) {
    std::string expected = r.offset < content.size() ? content.substr(r.offset, r.count) : "";
    EXPECT_EQ(ReadThrough(*file, r.offset, r.count), expected) << r.offset << "+" << r.count;
  }
}

TEST(ReadAheadFile, AReadThatGoesBackSeesTheFileAsItIsNow) {
  TempDir dir;
  writeFile(dir.file("t.dbf"), "0123456789");
  std::unique_ptr<ReadableFile> file;
  ASSERT_TRUE(Env::Default()->OpenReadOnly(dir.file("t.dbf"), &file));
  EXPECT_EQ(ReadThrough(*file, 0, 4), "0123");
  writeFile(dir.file("t.dbf"), "abcdefghij");  // between two passes
#ifdef _WIN32
  // A table open for reading shares reading only: the rewrite is refused,
  // and the second pass reads the bytes that stayed.
  EXPECT_EQ(readFile(dir.file("t.dbf")), "0123456789");
  EXPECT_EQ(ReadThrough(*file, 0, 4), "0123");
#else
  EXPECT_EQ(ReadThrough(*file, 0, 4), "abcd");
#endif
}

// A scan that looks ahead and comes back is served from the block; a read
// at or before the block's first byte reads the file again. Peek hands out
// exactly the reads the block serves, and reads nothing itself.
TEST(ReadAheadFile, OnlyAReadThatStartsOverReadsTheFileAgain) {
  TempDir dir;
  const std::string content = "0123456789abcdefghijklmnopqrstuvwxyz";
  writeFile(dir.file("t.dbf"), content);
  FaultEnv faults;
  SmallBlockEnv env(&faults);
  std::unique_ptr<ReadableFile> file;
  ASSERT_TRUE(env.OpenReadOnly(dir.file("t.dbf"), &file));
  const struct { uint64_t offset; size_t count; uint64_t fileReads; } reads[] = {
      {10, 2, 1}, {14, 2, 1}, {12, 2, 1}, {11, 7, 1}, {10, 2, 2}, {9, 2, 3}, {15, 4, 4}};
  uint64_t fileReads = 0;
  for (const auto& r : reads) {
    SCOPED_TRACE(::testing::Message() << r.offset << "+" << r.count);
    const char* peeked = static_cast<const char*>(file->Peek(r.offset, r.count));
    EXPECT_EQ(faults.calls(FaultKind::kRead), fileReads);
    EXPECT_EQ(peeked != nullptr, r.fileReads == fileReads);
    if (peeked != nullptr) {
      EXPECT_EQ(std::string(peeked, r.count), content.substr(r.offset, r.count));
    }
    EXPECT_EQ(ReadThrough(*file, r.offset, r.count), content.substr(r.offset, r.count));
    EXPECT_EQ(faults.calls(FaultKind::kRead), r.fileReads);
    fileReads = r.fileReads;
  }
}

// Appends, a patch, a write longer than the block, the close.
bool WriteSteps(WritableFile& file, std::string* expected) {
  *expected = "Xbcdefghij0123456789k";
  bool failedBefore = false, laterSucceeded = false;
  auto step = [&](Status status) {
    if (failedBefore && status) laterSucceeded = true;
    if (!status) failedBefore = true;
  };
  step(file.Append("abc", 3));
  step(file.Append("defgh", 5));
  step(file.Append("ij", 2));
  step(file.WriteAt(0, "X", 1));
  step(file.Append("0123456789", 10));
  step(file.Append("k", 1));
  step(file.Close());
  EXPECT_FALSE(laterSucceeded) << "a call succeeded after one had failed";
  return !failedBefore;
}

TEST(BufferedWritableFile, EveryFailedOrShortWriteIsReportedToTheEnd) {
  TempDir dir;
  FaultEnv faults;
  SmallBlockEnv env(&faults);
  std::string expected;
  {
    std::unique_ptr<WritableFile> file;
    ASSERT_TRUE(env.CreateNew(dir.file("whole.dbf"), &file));
    ASSERT_TRUE(WriteSteps(*file, &expected));
    EXPECT_EQ(readFile(dir.file("whole.dbf")), expected);
  }
  int runs = 0;
  for (FaultKind kind : {FaultKind::kAppend, FaultKind::kWriteAt, FaultKind::kClose}) {
    const uint64_t calls = faults.calls(kind);
    for (uint64_t n = 1; n <= calls; ++n) {
      for (bool partial : {false, true}) {
        faults.Reset();
        faults.Fail(FaultPlan{kind, n, partial});
        std::string name = dir.file("r" + std::to_string(++runs) + ".dbf");
        std::unique_ptr<WritableFile> file;
        ASSERT_TRUE(env.CreateNew(name, &file));
        EXPECT_FALSE(WriteSteps(*file, &expected)) << describe(faults.plan());
        EXPECT_TRUE(faults.fired());
      }
    }
  }
  EXPECT_GE(runs, 8);
}

}  // namespace
}  // namespace kest::platform
