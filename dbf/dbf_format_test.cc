#include "dbf/dbf_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "Common/logger/llfile.h"
#include "Common/raised_code.h"
#include "tests/table_builder.h"
#include "tests/test_support.h"

namespace kest {
namespace {

using testing::TableBuilder;
using testing::TempDir;

// A result file in memory that refuses every byte past `budget`.
class StringFile : public platform::WritableFile {
 public:
  explicit StringFile(size_t budget = SIZE_MAX) : budget_(budget) {}
  platform::Status Append(const void* data, size_t count) override {
    size_t room = budget_ > bytes.size() ? budget_ - bytes.size() : 0;
    bytes.append(static_cast<const char*>(data), std::min(count, room));
    return count <= room ? platform::Status() : platform::Status::Failure(28, "disk full");
  }
  platform::Status WriteAt(uint64_t, const void*, size_t) override {
    return platform::Status::Failure(22, "refused");
  }
  uint64_t Position() const override { return bytes.size(); }
  platform::Status Sync() override { return platform::Status(); }
  platform::Status Close() override { return platform::Status(); }
  std::string bytes;

 private:
  size_t budget_;
};

TEST(DbfHeader, NumbersAreLittleEndianWhateverTheHost) {
  DbfHeader header;
  header.setRecordCount(0x01020304);
  header.setHeaderLength(0x0506);
  header.setRecordLength(0x0708);
  EXPECT_EQ(header.bytes[4], 0x04);
  EXPECT_EQ(header.bytes[7], 0x01);
  EXPECT_EQ(header.bytes[8], 0x06);
  EXPECT_EQ(header.bytes[11], 0x07);
  EXPECT_EQ(header.recordCount(), 0x01020304u);
  header.bytes[10] = 0xFF;
  header.bytes[11] = 0xFF;
  EXPECT_EQ(header.recordLength(), 0xFFFF);

  DbfFieldDescriptor field;
  field.setDisplacement(0xA1B2C3D4);
  EXPECT_EQ(field.bytes[12], 0xD4);
  EXPECT_EQ(field.bytes[15], 0xA1);
  EXPECT_EQ(field.displacement(), 0xA1B2C3D4u);
}

TEST(DbfFieldDescriptor, NameIsElevenBytesNulPadded) {
  DbfFieldDescriptor field;
  field.setName("ABCDEFGHIJKLMN");
  EXPECT_EQ(field.name(), "ABCDEFGHIJK");
  EXPECT_EQ(field.type(), '\0');  // the name never spills into the type
  field.setName("AB");
  EXPECT_EQ(field.name(), "AB");
  EXPECT_EQ(field.bytes[2], 0);
}

TEST(FieldSlotCount, FollowsTheHeaderLengthUpToThirtyTwo) {
  struct Case {
    uint16_t headerLength;
    uint32_t slots;
  };
  const Case cases[] = {
      {33, 0},  {63, 0},   {64, 1},  {97, 2},  {360, 10}, {1057, 32}, {1088, 32},
      {0xFFFF, 32},
      // Below 32 the difference wraps around to a huge number.
      {31, 32}, {0, 32},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fieldSlotCount(c.headerLength), c.slots) << c.headerLength;
  }
}

std::vector<DbfFieldDescriptor> readFields(const std::string& bytes, uint32_t slots) {
  TempDir dir;
  std::string path = dir.file("t.dbf");
  testing::writeFile(path, bytes);
  std::vector<DbfFieldDescriptor> fields;
  {
    LLFile file(path.c_str());
    file.Seek(32);
    fields = readFieldList(file, slots);
  }
  EXPECT_EQ(testing::readFile(path), bytes);
  return fields;
}

TEST(ReadFieldList, StopsAtATerminatorThatStartsASlot) {
  TableBuilder b;
  b.field("A", 'C', 3).field("B", 'N', 4).padding(0xEE).headerLength(360);
  std::vector<DbfFieldDescriptor> fields = readFields(b.bytes(), fieldSlotCount(360));
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[1].name(), "B");
  EXPECT_EQ(fields[1].type(), 'N');
}

TEST(ReadFieldList, KeepsAtMostTheSlotsGiven) {
  TableBuilder b;
  for (int i = 0; i < 40; ++i) b.field("F" + std::to_string(i), 'C', 1);
  std::vector<DbfFieldDescriptor> fields = readFields(b.bytes(), fieldSlotCount(b.currentHeaderLength()));
  ASSERT_EQ(fields.size(), 32u);
  EXPECT_EQ(fields[31].name(), "F31");
}

TEST(ReadFieldList, TerminatorInsideASlotIsNotRecognised) {
  TableBuilder b;
  b.field("A", 'C', 3).beforeTerminator("\x01").headerLength(32 + 3 * 32);
  std::vector<DbfFieldDescriptor> fields = readFields(b.bytes(), 3);
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[1].bytes[0], 0x01);
  EXPECT_EQ(fields[1].bytes[1], kHeaderTerminator);
}

TEST(ReadFieldList, SlotsPastTheEndOfTheFileReadAsZeros) {
  // A header cut short: the second slot holds 10 bytes, the third none.
  TableBuilder b;
  b.field("A", 'C', 3).field("B", 'C', 3);
  std::string bytes = b.bytes().substr(0, 32 + 32 + 10);
  std::vector<DbfFieldDescriptor> fields = readFields(bytes, 3);
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[1].name(), "B");
  EXPECT_EQ(fields[1].type(), '\0');
  EXPECT_EQ(fields[2].name(), "");
}

DbfHeader headerOf(uint16_t headerLength) {
  DbfHeader header;
  header.setVersion(0x03);
  header.setHeaderLength(headerLength);
  header.setRecordLength(10);
  return header;
}

std::vector<DbfFieldDescriptor> someFields(size_t count) {
  std::vector<DbfFieldDescriptor> fields(count);
  for (size_t i = 0; i < count; ++i) fields[i].setName("F" + std::to_string(i));
  return fields;
}

TEST(WriteTableHeader, PadsWithZerosUpToTheHeaderLength) {
  StringFile out;
  ASSERT_TRUE(writeTableHeader(out, headerOf(360), someFields(2)));
  ASSERT_EQ(out.bytes.size(), 360u);
  EXPECT_EQ(static_cast<uint8_t>(out.bytes[96]), kHeaderTerminator);
  EXPECT_EQ(out.bytes.substr(97), std::string(263, '\0'));
  EXPECT_EQ(out.bytes.substr(32, 2), "F0");
  EXPECT_EQ(out.bytes.substr(64, 2), "F1");
}

TEST(WriteTableHeader, ExactFitNeedsNoPadding) {
  StringFile out;
  ASSERT_TRUE(writeTableHeader(out, headerOf(97), someFields(2)));
  EXPECT_EQ(out.bytes.size(), 97u);
}

TEST(WriteTableHeader, HeaderThatNeedsMoreRoomGetsItsRealLength) {
  struct Case {
    uint16_t headerLength;
    size_t fields;
    uint16_t written;
  };
  const Case cases[] = {
      {1056, 32, 1057},  // (1056 - 32) / 32 slots, all filled: no room for the terminator
      {64, 1, 65},
      {0, 32, 1057},  // below 32: thirty-two slots
      {20, 0, 33},
  };
  for (const Case& c : cases) {
    StringFile out;
    ASSERT_TRUE(writeTableHeader(out, headerOf(c.headerLength), someFields(c.fields)));
    EXPECT_EQ(out.bytes.size(), c.written) << c.headerLength;
    DbfHeader written;
    std::copy_n(out.bytes.begin(), 32, written.bytes);
    EXPECT_EQ(written.headerLength(), c.written) << c.headerLength;
    EXPECT_EQ(static_cast<uint8_t>(out.bytes.back()), kHeaderTerminator);
  }
}

TEST(WriteTableHeader, FailedOrShortWriteIsReported) {
  for (size_t budget : {0u, 31u, 32u, 40u, 96u, 97u, 200u}) {
    StringFile out(budget);
    EXPECT_FALSE(writeTableHeader(out, headerOf(360), someFields(2))) << budget;
  }
  StringFile roomy(360);
  EXPECT_TRUE(writeTableHeader(roomy, headerOf(360), someFields(2)));
}

TEST(WriteTableHeader, HookRunsBetweenHeaderAndDescriptors) {
  static StringFile* watched = nullptr;
  static size_t seen = 0;
  StringFile out;
  watched = &out;
  writeTableHeader(out, headerOf(97), someFields(2), [] { seen = watched->bytes.size(); });
  EXPECT_EQ(seen, 32u);
  // Whatever it raises stops the writing.
  StringFile stopped;
  EXPECT_THROW(writeTableHeader(stopped, headerOf(97), someFields(2), [] { Raise(kUserBreak); }),
               RaisedCode);
  EXPECT_EQ(stopped.bytes.size(), 32u);
}

TEST(WriteEndOfFile, WritesOneByte) {
  StringFile out;
  EXPECT_TRUE(writeEndOfFile(out));
  EXPECT_EQ(out.bytes, "\x1A");
  StringFile full(0);
  EXPECT_FALSE(writeEndOfFile(full));
}

}  // namespace
}  // namespace kest
