#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "reader/field_value.h"
#include "reader/memo_file.h"
#include "reader/table.h"
#include "reader/text_decoder.h"
#include "tests/table_builder.h"
#include "tests/test_support.h"

namespace kest::reader {
namespace {

using testing::TableBuilder;
using testing::TempDir;

std::string le32(uint32_t v) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(v >> (8 * i));
  return out;
}
std::string be32(uint32_t v) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(v >> (8 * (3 - i)));
  return out;
}

// One field, one record; the first field's value decoded (or the reason).
struct Decoded {
  bool ok;
  Value value;
  std::string reason;
};
Decoded decodeOne(TempDir& dir, const TableBuilder& builder, uint8_t codePage = 0) {
  std::string bytes = builder.bytes();
  bytes[29] = static_cast<char>(codePage);
  testing::writeFile(dir.file("t.dbf"), bytes);
  std::string error;
  std::unique_ptr<Table> table = Table::Open(dir.file("t.dbf"), &error);
  EXPECT_TRUE(table) << error;
  std::unique_ptr<MemoFile> memo = MemoFile::Open(table->path(), table->header());
  TextDecoder text(defaultEncoding(table->header()));
  FieldDecoder decoder(table->header(), memo.get(), &text);
  std::string_view record;
  EXPECT_TRUE(table->record(0, &record));
  Decoded out;
  out.ok = decoder.decode(table->fields()[0], record, &out.value, &out.reason);
  return out;
}

struct TypeCase {
  char type;
  uint8_t length;
  std::string bytes;
  uint8_t version;
  Value::Kind kind;    // kNull with `reason` empty: a blank field
  std::string text;    // the decoded text or number as written
  std::string reason;  // why it fails; empty when it decodes
};

TEST(FieldDecoder, DecodesEachTypeOrSaysWhyNot) {
  const TypeCase cases[] = {
      {'C', 6, std::string("abc \0 ", 6), 0x03, Value::Kind::kText, "abc", ""},
      {'N', 5, "  -12", 0x03, Value::Kind::kInteger, "-12", ""},
      {'N', 6, " 1.50 ", 0x03, Value::Kind::kReal, "1.50", ""},
      {'N', 4, "    ", 0x03, Value::Kind::kNull, "", ""},
      {'N', 4, "   .", 0x03, Value::Kind::kNull, "", ""},
      {'N', 4, " 1,5", 0x03, Value::Kind::kNull, "", "not a number"},
      {'N', 4, "**.*", 0x03, Value::Kind::kNull, "", "not a number"},
      {'N', 5, " +070", 0x03, Value::Kind::kInteger, "70", ""},
      {'N', 3, " - ", 0x03, Value::Kind::kNull, "", ""},
      {'N', 2, " +", 0x03, Value::Kind::kNull, "", "not a number"},
      {'N', 5, "-0.00", 0x03, Value::Kind::kReal, "-0.00", ""},
      {'N', 19, "1234567890123456789", 0x03, Value::Kind::kInteger, "1234567890123456789", ""},
      {'N', 20, "12345678901234567890", 0x03, Value::Kind::kReal, "12345678901234567890", ""},
      {'N', 20, "1234567890.123456789", 0x03, Value::Kind::kReal, "1234567890.123456789", ""},
      {'F', 8, "  -1.250", 0x03, Value::Kind::kReal, "-1.250", ""},
      {'F', 8, "  1.2.50", 0x03, Value::Kind::kNull, "", "not a number"},
      {'D', 8, "20000229", 0x03, Value::Kind::kDate, "2000-02-29", ""},
      {'D', 8, "20030229", 0x03, Value::Kind::kNull, "", "not a calendar date"},
      {'D', 8, "        ", 0x03, Value::Kind::kNull, "", ""},
      {'D', 8, "2000 1 1", 0x03, Value::Kind::kNull, "", "not a date"},
      {'L', 1, "y", 0x03, Value::Kind::kBool, "", ""},
      {'L', 1, "?", 0x03, Value::Kind::kNull, "", ""},
      {'L', 1, "x", 0x03, Value::Kind::kNull, "", "not a logical value"},
      {'I', 4, le32(0xFFFFFFFE), 0x30, Value::Kind::kInteger, "-2", ""},
      {'I', 2, std::string("\x01\x80", 2), 0x30, Value::Kind::kInteger, "-32767", ""},
      {'I', 9, std::string(9, '\x01'), 0x30, Value::Kind::kNull, "", "not 4 bytes long"},
      {'B', 8, le32(0) + le32(0x3FF80000), 0x30, Value::Kind::kReal, "1.5", ""},
      {'B', 4, le32(0), 0x30, Value::Kind::kNull, "", "not 8 bytes long"},
      {'Y', 8, le32(123456) + le32(0), 0x30, Value::Kind::kReal, "12.3456", ""},
      {'Y', 8, le32(0xFFFFFFFF) + le32(0xFFFFFFFF), 0x30, Value::Kind::kReal, "-0.0001", ""},
      {'Y', 4, le32(1), 0x30, Value::Kind::kNull, "", "not 8 bytes long"},
      {'T', 8, le32(2451545) + le32(3723004), 0x30, Value::Kind::kTimestamp,
       "2000-01-01T01:02:03.004", ""},
      {'T', 8, le32(0) + le32(0), 0x30, Value::Kind::kNull, "", ""},
      {'T', 8, le32(7) + le32(0), 0x30, Value::Kind::kNull, "", "not a timestamp"},
      {'T', 8, le32(2451545) + le32(86400000), 0x30, Value::Kind::kNull, "", "not a timestamp"},
      {'M', 10, "         3", 0x83, Value::Kind::kNull, "", "memo companion missing"},
      {'M', 10, "        x3", 0x83, Value::Kind::kNull, "", "memo pointer is not a block number"},
      {'M', 10, "          ", 0x83, Value::Kind::kNull, "", ""},
      {'Z', 2, "ab", 0x03, Value::Kind::kNull, "", "type '?' is not decoded"},
  };
  TempDir dir;
  for (const TypeCase& c : cases) {
    SCOPED_TRACE(std::string(1, c.type) + " '" + c.bytes + "'");
    TableBuilder builder;
    builder.version(c.version).field("F", c.type, c.length).record(c.bytes);
    Decoded got = decodeOne(dir, builder);
    EXPECT_EQ(got.ok, c.reason.empty());
    EXPECT_EQ(got.reason, c.reason);
    EXPECT_EQ(got.value.kind, c.kind);
    if (c.kind != Value::Kind::kBool) {
      EXPECT_EQ(got.value.text, c.text);
    }
    // The double is the one the text reads as.
    if (c.kind == Value::Kind::kReal) {
      EXPECT_EQ(got.value.real, std::strtod(c.text.c_str(), nullptr));
    }
  }
}

// The common values are read without a copy, to the value decode gives;
// every other form is left to decode.
TEST(FieldDecoder, TheCommonPathGivesWhatDecodeGives) {
  struct CommonCase {
    char type;
    std::string bytes;
    bool taken;
  };
  const CommonCase cases[] = {
      {'C', std::string("ab, \"c\0 ", 9), true}, {'C', "      ", true},
      {'C', "caf\xe9", false},    {'N', "  -12", true},      {'N', "    0", true},
      {'N', "   -0", false},        {'N', " +070", false},     {'N', "  007", false},
      {'N', " 1.50 ", true},        {'N', "  -.5", true},      {'N', "   5.", true},
      {'N', "     ", true},         {'N', "    .", false},     {'N', " 1 2 ", false},
      {'N', "123456789012345678", true},  {'N', "1234567890123456789", false},
      {'N', "123456789012345.6", false},   {'N', "1.2.3", false}, {'F', "-0.000", true},
      {'D', "20000229", true},      {'D', "20030229", false},  {'D', "19991301", false},
      {'D', "        ", true},      {'D', "00000000", true},   {'D', " 2000101", false},
      {'D', "2000 1 1", false},     {'L', "T", true},          {'L', "n", true},
      {'L', "?", true},             {'L', "x", false},         {'I', "abcd", false},
  };
  TempDir dir;
  for (const CommonCase& c : cases) {
    SCOPED_TRACE(std::string(1, c.type) + " '" + c.bytes + "'");
    TableBuilder builder;
    builder.field("F", c.type, static_cast<uint8_t>(c.bytes.size())).record(c.bytes);
    testing::writeFile(dir.file("c.dbf"), builder.bytes());
    std::string error;
    std::unique_ptr<Table> table = Table::Open(dir.file("c.dbf"), &error);
    ASSERT_TRUE(table) << error;
    TextDecoder text("CP1252");
    FieldDecoder decoder(table->header(), nullptr, &text);
    std::string_view record;
    ASSERT_TRUE(table->record(0, &record));
    Value value;
    std::string reason;
    decoder.decode(table->fields()[0], record, &value, &reason);
    ValueView common;
    ASSERT_EQ(decoder.decodeCommon(table->fields()[0], record, &common), c.taken);
    if (!c.taken) continue;
    EXPECT_EQ(common.kind, value.kind);
    EXPECT_EQ(common.text, value.text);
    EXPECT_EQ(common.boolean, value.boolean);
    if (value.kind == Value::Kind::kInteger) {
      EXPECT_EQ(common.integer, value.integer);
    }
    if (value.kind == Value::Kind::kReal) {
      EXPECT_EQ(common.real, value.real);
    }
  }
}

TEST(FieldDecoder, TextFollowsTheCodePageByte) {
  TempDir dir;
  TableBuilder builder;
  builder.version(0x30).field("F", 'C', 4).record("\xcf\xf0\xe8\xe2");
  EXPECT_EQ(decodeOne(dir, builder, 0xC9).value.text, "Прив");
  // ASCII is copied as it is only for sets that read it as ASCII: not for
  // EBCDIC, nor for UTF-7's "+...-" sequences.
  for (const auto& [set, bytes, utf8] :
       {std::tuple<const char*, const char*, const char*>{"CP037", "A", "\u00a0"},
        {"UTF-7", "+AGE-", "a"},
        {"CP1252", "plain", "plain"}}) {
    TextDecoder text(set);
    std::string out;
    if (!text.usable()) continue;  // a system without the set
    EXPECT_TRUE(text.decode(bytes, &out)) << set;
    EXPECT_EQ(out, utf8) << set;
  }
  // A code page without a conversion keeps ASCII and refuses the rest.
  Decoded mazovia = decodeOne(dir, builder, 0x69);
  EXPECT_FALSE(mazovia.ok);
  EXPECT_EQ(mazovia.reason, "not text in ASCII");
  // A double-byte character cut off by the field's end is no text.
  TableBuilder cut;
  cut.version(0x30).field("F", 'C', 2).record("a\x82");
  Decoded shiftJis = decodeOne(dir, cut, 0x7B);
  EXPECT_FALSE(shiftJis.ok);
  EXPECT_EQ(shiftJis.reason, "not text in CP932");
}

struct MemoCase {
  const char* name;
  const char* extension;
  uint8_t version;
  char type;
  std::string memo;     // the companion's bytes
  std::string pointer;  // the memo field's bytes (10 wide)
  std::string text;
  std::string reason;
};

// A FoxPro memo file whose first memo (at block 512 / blockSize, right
// after the 512-byte header) holds `text` and claims `length` bytes.
std::string fptFile(uint32_t blockSize, const std::string& text, uint32_t length) {
  std::string file(512, '\0');
  file[6] = static_cast<char>(blockSize >> 8);
  file[7] = static_cast<char>(blockSize);
  std::string block = be32(1) + be32(length) + text;
  block.resize(blockSize, '\0');
  return file + block;
}

std::string dbase4File(const std::string& text) {
  std::string file(512, '\0');
  file[20] = 0x00;
  file[21] = 0x02;  // 512-byte blocks
  std::string block = std::string("\xff\xff\x08\x00", 4) + le32(8 + text.size()) + text + "stale";
  block.resize(512, '\x1f');
  return file + block;
}

TEST(MemoFile, ReadsEachLayoutAndRefusesBadBlocks) {
  std::string dbase3 =
      std::string(512, '\0') + "line one\r\nline two\x1a\x1a" + std::string(490, ' ');
  const MemoCase cases[] = {
      {"FoxPro block", ".fpt", 0x30, 'M', fptFile(64, "hello", 5), "         8", "hello", ""},
      {"Visual FoxPro binary pointer", ".fpt", 0x30, 'M', fptFile(64, "hello", 5), le32(8),
       "hello", ""},
      {"FoxPro block past the end", ".fpt", 0x30, 'M', fptFile(64, "hello", 5), "         9", "",
       "memo block 9 leads outside the memo file"},
      {"FoxPro block inside the header", ".fpt", 0x30, 'M', fptFile(64, "hello", 5), "         1",
       "", "memo block 1 leads outside the memo file"},
      {"FoxPro length past the end", ".FPT", 0xF5, 'M', fptFile(64, "hello", 5000), "         8",
       "", "memo block 8 leads outside the memo file"},
      {"FoxPro overwritten head", ".fpt", 0xF5, 'M',
       fptFile(64, "hello", 5).replace(512, 4, std::string("\x7f\x13\x00\x99", 4)), "         8", "",
       "memo block 8 is damaged"},
      {"FoxPro general field as base64", ".fpt", 0xF5, 'G',
       fptFile(64, "\x01\x02\xff", 3).replace(515, 1, 1, '\0'), "         8", "AQL/", ""},
      {"dBase III text to its end byte", ".dbt", 0x83, 'M', dbase3, "         1",
       "line one\r\nline two", ""},
      {"dBase III text cut off before its end byte", ".dbt", 0x83, 'M',
       std::string(512, '\0') + "line one", "         1", "",
       "memo block 1 leads outside the memo file"},
      {"dBase III block past the end", ".dbt", 0x83, 'M', dbase3, "         7", "",
       "memo block 7 leads outside the memo file"},
      {"dBase III binary memo as base64", ".dbt", 0x83, 'B', dbase3, "         1",
       "bGluZSBvbmUNCmxpbmUgdHdv", ""},
      {"dBase IV length without its lead", ".dbt", 0x8B, 'M', dbase4File("First memo"),
       "         1", "First memo", ""},
      {"dBase IV block past the end", ".dbt", 0x8B, 'M', dbase4File("First memo"), "         2",
       "", "memo block 2 leads outside the memo file"},
  };
  for (const MemoCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    testing::writeFile(dir.file(std::string("t") + c.extension), c.memo);
    TableBuilder builder;
    builder.version(c.version).field("M", c.type, c.pointer.size()).record(c.pointer);
    Decoded got = decodeOne(dir, builder);
    EXPECT_EQ(got.reason, c.reason);
    EXPECT_EQ(got.value.text, c.text);
  }
}

TEST(Table, StreamsRecordsAcrossItsBuffer) {
  TempDir dir;
  TableBuilder builder;
  builder.field("N", 'N', 9);
  const int kRecords = 3 * Table::kBufferBytes / 10 + 7;  // several buffers
  for (int i = 0; i < kRecords; ++i) builder.record(std::to_string(i));
  builder.write(dir.file("t.dbf"));
  std::string error;
  std::unique_ptr<Table> table = Table::Open(dir.file("t.dbf"), &error);
  ASSERT_TRUE(table);
  ASSERT_EQ(table->readableRecords(), uint64_t(kRecords));
  std::string_view record;
  for (int i : {0, 6553, 6554, kRecords - 1, 17}) {
    ASSERT_TRUE(table->record(i, &record));
    EXPECT_EQ(std::string(record.substr(1, std::to_string(i).size())), std::to_string(i));
  }
  EXPECT_FALSE(table->record(kRecords, &record));
}

TEST(Table, ReadsADamagedHeaderWithoutTrustingIt) {
  TempDir dir;
  TableBuilder builder;
  builder.field("A", 'C', 3).field("B", 'N', 2).record("abc12");
  std::string bytes = builder.bytes();
  // A zeroed header: the descriptors are still found, up to the terminator.
  std::fill(bytes.begin(), bytes.begin() + 32, '\0');
  testing::writeFile(dir.file("t.dbf"), bytes);
  std::string error;
  std::unique_ptr<Table> table = Table::Open(dir.file("t.dbf"), &error);
  ASSERT_TRUE(table);
  EXPECT_EQ(table->fields().size(), 2u);
  EXPECT_EQ(table->terminatorOffset(), std::optional<uint64_t>(96));
  EXPECT_EQ(table->readableRecords(), 0u);

  EXPECT_FALSE(Table::Open(dir.file("missing.dbf"), &error));
  EXPECT_EQ(error, "no such file");
}

}  // namespace
}  // namespace kest::reader
