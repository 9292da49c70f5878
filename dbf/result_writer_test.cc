#include "dbf/result_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "tests/test_support.h"

namespace kest {
namespace {

// A result file in memory whose `failAt`-th write or close (counted from 1
// over Append, WriteAt and Close) fails.
struct MemoryResult {
  std::string bytes;
  int calls = 0;
  int failAt = 0;
  bool closed = false;
  std::string name;  // the final name it was given
  bool removed = false;
};

class MemoryFile : public platform::WritableFile {
 public:
  explicit MemoryFile(MemoryResult* result) : r_(result) {}
  platform::Status Append(const void* data, size_t count) override {
    if (Fails()) return Failure();
    r_->bytes.append(static_cast<const char*>(data), count);
    return {};
  }
  platform::Status WriteAt(uint64_t offset, const void* data, size_t count) override {
    if (Fails()) return Failure();
    r_->bytes.replace(offset, count, static_cast<const char*>(data), count);
    return {};
  }
  uint64_t Position() const override { return r_->bytes.size(); }
  platform::Status Sync() override { return {}; }
  platform::Status Close() override {
    r_->closed = true;
    if (Fails()) return Failure();
    return {};
  }

 private:
  bool Fails() { return ++r_->calls == r_->failAt; }
  static platform::Status Failure() { return platform::Status::Failure(5, "I/O error"); }
  MemoryResult* r_;
};

class MemoryEnv : public platform::EnvWrapper {
 public:
  MemoryEnv() : EnvWrapper(platform::Env::Default()) {}
  platform::Status CreateNew(const std::string&,
                             std::unique_ptr<platform::WritableFile>* file) override {
    *file = std::make_unique<MemoryFile>(&result);
    return {};
  }
  // The result lives in memory under every name.
  platform::EntryKind KindOf(const std::string&) override { return platform::EntryKind::kMissing; }
  platform::Status RenameNoReplace(const std::string&, const std::string& to) override {
    result.name = to;
    return {};
  }
  platform::Status SyncFolder(const std::string&) override { return {}; }
  platform::Status RemoveFile(const std::string&) override {
    result.removed = true;
    return {};
  }
  MemoryResult result;
};

// Header, two records of three bytes, the count made 2, the end mark.
int32_t WriteTwoRecords(ResultWriter& writer) {
  return writer.guard("Unhandled exception in the test writer", [&] {
    if (!writer.create("out.dbf")) return kCannotCreateResult;
    DbfHeader header;
    header.setRecordCount(9);
    header.setHeaderLength(33);
    header.setRecordLength(3);
    writer.writeHeader(header, {});
    const uint8_t record[3] = {' ', 'a', 'b'};
    writer.take(record, sizeof record);
    writer.take(record, sizeof record);
    writer.patchRecordCount(writer.recordsWritten());
    writer.writeEndMark();
    writer.close();
    return 0;
  });
}

TEST(ResultWriter, WritesTheStepsInOrder) {
  MemoryEnv env;
  ResultWriter writer(&env);
  ASSERT_EQ(WriteTwoRecords(writer), 0);
  const std::string& bytes = env.result.bytes;
  ASSERT_EQ(bytes.size(), 33u + 6 + 1);
  EXPECT_EQ(bytes[4], 2);  // the count patched in place
  EXPECT_EQ(bytes[32], '\x0d');
  EXPECT_EQ(bytes.substr(33, 6), " ab ab");
  EXPECT_EQ(bytes.back(), '\x1a');
  EXPECT_TRUE(env.result.closed);
  EXPECT_EQ(env.result.name, "out.dbf");
  EXPECT_FALSE(env.result.removed);
}

TEST(ResultWriter, EveryFailingWriteEndsTheResultIncompleteAndClosed) {
  // Calls: header, terminator, 2 records, count, end mark, close.
  for (int failAt = 1; failAt <= 7; ++failAt) {
    SCOPED_TRACE(failAt);
    testing::LogCapture log;
    MemoryEnv env;
    env.result.failAt = failAt;
    ResultWriter writer(&env, "the result could not be written whole");
    EXPECT_EQ(WriteTwoRecords(writer), kResultIncomplete);
    EXPECT_TRUE(env.result.closed);
    EXPECT_TRUE(env.result.removed);
    EXPECT_EQ(env.result.name, "");
    EXPECT_EQ(log.count("the result could not be written whole"), 1u);
    EXPECT_EQ(log.count("Writing out.dbf.partial failed: I/O error"), 1u);
    EXPECT_TRUE(log.contains("Unhandled exception in the test writer"));
    EXPECT_TRUE(log.contains("Exiting with code or_internal"));
  }
}

TEST(ResultWriter, AResultThatExistsIsNotCreated) {
  testing::TempDir dir;
  std::string path = dir.file("out.dbf");
  testing::writeFile(path, "keep");
  ResultWriter writer(platform::Env::Default());
  EXPECT_FALSE(writer.create(path.c_str()));
  EXPECT_FALSE(writer.create(nullptr));
  EXPECT_EQ(testing::readFile(path), "keep");
  EXPECT_FALSE(std::filesystem::exists(path + ".partial"));
}

TEST(ResultWriter, TheFinalNameAppearsOnlyWhenTheTableIsWhole) {
  testing::TempDir dir;
  std::string path = dir.file("out.dbf");
  ResultWriter writer(platform::Env::Default());
  ASSERT_EQ(writer.guard("unhandled", [&] {
    if (!writer.create(path.c_str())) return kCannotCreateResult;
    writer.writeHeader(DbfHeader{}, {});
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::exists(path + ".partial"));
    writer.writeEndMark();
    writer.close();
    return 0;
  }), 0);
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_FALSE(std::filesystem::exists(path + ".partial"));
}

}  // namespace
}  // namespace kest
