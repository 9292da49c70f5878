// The thorough steps alone, over bytes: the count, the header rebuild, the
// field places, level 7, the jammed-flag rule and the value-check phase
// search. The whole runs are proven in tests/thorough_recovery_test.cc.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "thorough/header_rebuild.h"
#include "thorough/jammed_flags.h"
#include "thorough/level7_layout.h"
#include "thorough/phase_search.h"
#include "thorough/record_count.h"
#include "tests/table_builder.h"

namespace kest {
namespace {

using testing::TableBuilder;

ReadBytes readerOf(const std::string& bytes) {
  return [&bytes](uint64_t position, size_t count, uint8_t* out) {
    std::memset(out, 0, count);
    if (position < bytes.size()) {
      std::memcpy(out, bytes.data() + position, std::min<size_t>(count, bytes.size() - position));
    }
  };
}

// A number of 5 and a name of 8: 14 bytes a record after a 97-byte header.
TableBuilder numbered(int records) {
  TableBuilder b;
  b.field("ID", 'N', 5).field("NAME", 'C', 8);
  for (int i = 0; i < records; ++i) {
    std::string id = std::to_string(i);
    b.record(std::string(5 - id.size(), ' ') + id + "Name" + std::to_string(i % 10));
  }
  return b;
}

TEST(RecordCount, FitsTheFileAndTellsACutRecord) {
  struct Case {
    uint32_t declared, headerLength, recordLength;
    uint64_t size;
    FittedCount want;
  } cases[] = {
      {10, 33, 10, 133, {10, false}},    // fits
      {1000, 33, 10, 88, {5, true}},     // more than the file holds
      {1000, 33, 0, 88, {1000, false}},  // no record length to measure by
      {1000, 200, 10, 88, {1000, false}},
  };
  for (const Case& c : cases) {
    FittedCount got = fitRecordCount(c.declared, c.headerLength, c.recordLength, c.size);
    EXPECT_EQ(got.count, c.want.count) << c.declared << "/" << c.size;
    EXPECT_EQ(got.corrected, c.want.corrected) << c.declared << "/" << c.size;
  }
  EXPECT_TRUE(partialRecordAtEnd(55, 10, 'x'));
  EXPECT_TRUE(partialRecordAtEnd(51, 10, 'x'));
  EXPECT_FALSE(partialRecordAtEnd(51, 10, 0x1A));  // the end-of-file mark alone
  EXPECT_FALSE(partialRecordAtEnd(50, 10, 'x'));
}

TEST(HeaderRebuild, OnlyAHeaderThatCannotDescribeTheTableIsRebuilt) {
  const std::string healthy = numbered(40).bytes();
  DbfHeader own;
  std::memcpy(own.bytes, healthy.data(), sizeof own.bytes);
  EXPECT_EQ(rebuildHeader(readerOf(healthy), own, healthy.size(), false, 0, false), std::nullopt);

  std::string zeroed = healthy + "abc";  // part of a record at the end
  std::memset(zeroed.data(), 0, 32);
  std::memcpy(own.bytes, zeroed.data(), sizeof own.bytes);
  std::optional<RebuiltHeader> rebuilt =
      rebuildHeader(readerOf(zeroed), own, zeroed.size(), false, 0, false);
  ASSERT_TRUE(rebuilt);
  EXPECT_EQ(rebuilt->header.headerLength(), 97);
  EXPECT_EQ(rebuilt->header.recordLength(), 14);
  EXPECT_EQ(rebuilt->header.recordCount(), 40u);
  ASSERT_EQ(rebuilt->fields.size(), 2u);
  EXPECT_EQ(rebuilt->fields[1].name(), "NAME");
  EXPECT_TRUE(rebuilt->cutOff);
}

TEST(HeaderRebuild, DisplacementsPastTheRecordPlaceFieldsOneAfterAnother) {
  TableBuilder b;
  b.field("ID", 'N', 5, 1).field("NAME", 'C', 8, 6);
  std::vector<FieldPlace> places = placeFields(b.fields(), nullptr);
  EXPECT_EQ(placesInsideRecord(places, b.fields(), nullptr, 14), std::nullopt);
  TableBuilder junk;
  junk.field("ID", 'N', 5, 1).field("NAME", 'C', 8, 300);
  std::optional<std::vector<FieldPlace>> inside =
      placesInsideRecord(placeFields(junk.fields(), nullptr), junk.fields(), nullptr, 14);
  ASSERT_TRUE(inside);
  EXPECT_EQ((*inside)[1].displacement, 6u);
}

std::string level7Descriptor(const std::string& name, char type, uint8_t length) {
  std::string d(48, '\0');
  d.replace(0, name.size(), name);
  d[32] = type;
  d[33] = static_cast<char>(length);
  return d;
}

TEST(Level7Layout, LongDescriptorsBecomeTypesAPlainReaderKnows) {
  std::string header(kLevel7DescriptorsAt, '\0');
  header += level7Descriptor("AMOUNT_IN_EUROS", 'N', 10) + level7Descriptor("NOTE", 'M', 10) +
            level7Descriptor("STAMP", '@', 8) + "\x0D";
  std::vector<DbfFieldDescriptor> fields = level7Fields(
      reinterpret_cast<const uint8_t*>(header.data()), header.size(), header.size());
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[0].name(), "AMOUNT_IN_");  // cut to the plain layout's ten
  struct Case {
    bool writesMemo;
    uint8_t version;
    std::string types;
  } cases[] = {{false, 0x03, "NCC"}, {true, 0x8B, "NMC"}};
  for (const Case& c : cases) {
    DbfHeader plain;
    std::vector<DbfFieldDescriptor> written = fields;
    plainLevel7Header(plain, written, c.writesMemo);
    EXPECT_EQ(plain.version(), c.version);
    EXPECT_EQ(plain.headerLength(), 32 + 3 * 32 + 1);
    std::string types;
    for (const DbfFieldDescriptor& f : written) types += f.type();
    EXPECT_EQ(types, c.types);
  }
}

TEST(JammedFlags, OnlyBytesThatLookLikeARecordAreKept) {
  TableBuilder b = numbered(0);
  const std::vector<FieldPlace> places = placeFields(b.fields(), nullptr);
  struct Case {
    std::string record;
    bool looks;
  } cases[] = {
      {"#   12Name1   ", true},
      {std::string("#") + std::string(13, '\0'), false},  // a lost block
      {"#   12Na\x01me  ", false},                        // a control byte in text
      {std::string("#  \x01") + "12Name1   ", true},        // numbers are judged elsewhere
  };
  for (const Case& c : cases) {
    EXPECT_EQ(looksLikeRecord(reinterpret_cast<const uint8_t*>(c.record.data()), c.record.size(),
                              places),
              c.looks);
  }
  EXPECT_TRUE(amongRecords(16, 8, false));
  EXPECT_FALSE(amongRecords(16, 7, true));
  EXPECT_EQ(amongRecords(0, 0, true), true);
}

// Where a zeroed stretch begins or ends in a slot, its numbers hold zero
// bytes: a run of them, or one beside a digit, which no writer leaves.
TEST(SlotJudge, ZeroBytesAmongNumbersAreAZeroedStretch) {
  TableBuilder b = numbered(0);
  const SlotJudge judge(placeFields(b.fields(), nullptr), 14, false, 0, false);
  const struct {
    std::string record;
    bool zeroed;
  } cases[] = {
      {std::string(" ") + "   12" + "Name1   ", false},
      {std::string(" ") + "     " + "Name1   ", false},
      {std::string(" \0\0 12", 6) + "Name1   ", true},
      {std::string("\0\0\0\0\0\0", 6) + "Name1   ", true},
      {std::string(" ") + "   12" + std::string(8, '\0'), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(judge.zeroedValues(reinterpret_cast<const uint8_t*>(c.record.data())), c.zeroed)
        << c.record;
  }
}

// A number with a space among its digits, a logical of a zero byte: what
// the edge of a foreign or zeroed stretch leaves, and readers refuse. Every
// written slot is asked about the zero bytes (a logical, or what
// zeroedValues tells); only a slot with a jammed flag about the spaces.
TEST(SlotJudge, ValuesReadersRefuseAreTold) {
  const SlotJudge judge({{'N', 1, 12}, {'L', 13, 1}, {'N', 14, 6}}, 20, false, 0, false);
  const std::string nul(1, '\0');
  const struct {
    std::string number;
    std::string logical;
    std::string other;
    bool refused;
    bool zeroBytes;
  } cases[] = {
      {"        1.25", "T", "   -12", false, false},
      {"123456789012", "F", "      ", false, false},
      {"            ", "?", "1     ", false, false},
      {"       1  25", "T", "    12", true, false},
      {"1         2 ", "T", "    12", true, false},
      {"        1.25", "T", "1    2", true, false},
      {"        1.25", nul, "    12", true, true},
      {"        1.25", "T", "   12" + nul, false, true},
      {"    " + std::string(8, '\0'), "T", "    12", false, true},
  };
  for (const auto& c : cases) {
    const std::string record = " " + c.number + c.logical + c.other;
    const auto* bytes = reinterpret_cast<const uint8_t*>(record.data());
    EXPECT_EQ(judge.refusedByReaders(bytes), c.refused) << record;
    EXPECT_EQ(judge.zeroBytesRefused(bytes), c.zeroBytes) << record;
  }
}

// Bytes inserted move the phase by their count; a record overwritten in
// place leaves it where it is.
TEST(PhaseSearch, FindsThePhaseBytesInsertedMovedAndKeepsItOverDamageInPlace) {
  const std::string healthy = numbered(60).bytes();
  const uint64_t at = 97 + 20 * 14;
  struct Case {
    std::string bytes;
    uint64_t skip;
  } cases[] = {
      {healthy.substr(0, at) + "\x01\x02\x03\x04\x05\x06\x07" + healthy.substr(at), 7},
      {healthy.substr(0, at) + std::string(14, '\x01') + healthy.substr(at + 14), 0},
  };
  TableBuilder b = numbered(0);
  const SlotJudge judge(placeFields(b.fields(), nullptr), 14, false, 0, false);
  for (const Case& c : cases) {
    PhaseSearch search(judge, readerOf(c.bytes), [] {}, /*alignedText=*/true);
    PhaseSupport here;
    here.slots = kPhaseRun;
    here.passing = search.passingRun(at + 14, c.bytes.size(), kPhaseRun, &here.sound,
                                     &here.alignment);
    EXPECT_EQ(search.realignedSkip(at, c.bytes.size(), here), c.skip);
  }
}

// A few records whose values pass at any phase: bytes copied from one and
// inserted before it, or the start of the first removed. The fields'
// layout (text begins with text, numbers hold no letters) tells where the
// records went; the table as written keeps its phase.
TEST(PhaseSearch, TheFieldsLayoutFindsAFewRecordsBehindCopiedBytes) {
  TableBuilder b;
  b.field("NAME", 'C', 10).field("ID", 'N', 5).field("CITY", 'C', 8);
  for (int i = 0; i < 12; ++i) {
    const std::string d = std::to_string(i % 10);
    b.record("Name" + d + "         " + d + "City" + d + "   ");
  }
  const std::string healthy = b.bytes();
  const uint64_t start = 129;
  const uint64_t length = 24;
  const uint64_t middle = start + 6 * length;
  struct Case {
    std::string bytes;
    uint64_t start;  // layoutStart
    uint64_t skip;   // realignedSkip from the slot after the middle record
  } cases[] = {
      {healthy, 0, 0},
      {healthy.substr(0, start) + healthy.substr(start, 3) + healthy.substr(start), 3, 0},
      {healthy.substr(0, start) + healthy.substr(start + 5), 19, 0},
      {healthy.substr(0, middle) + healthy.substr(middle, 6) + healthy.substr(middle), 0, 6},
  };
  const SlotJudge judge(placeFields(b.fields(), nullptr), length, false, 0, false);
  for (const Case& c : cases) {
    PhaseSearch search(judge, readerOf(c.bytes), [] {}, /*alignedText=*/true);
    EXPECT_EQ(search.layoutStart(start, c.bytes.size()), c.start);
    if (c.skip == 0) continue;
    PhaseSupport here;
    here.slots = kPhaseRun;
    here.passing = search.passingRun(middle + length, c.bytes.size(), kPhaseRun, &here.sound,
                                     &here.alignment);
    EXPECT_EQ(search.realignedSkip(middle + length, c.bytes.size(), here), c.skip);
  }
}

// A few records whose last one ends at the end-of-file byte off the
// header's phase: bytes were inserted or removed among them. Every slot
// taken is a record; a record both readings fit alike is left out.
TEST(PhaseSearch, AFewRecordsEndAtTheEndOfFile) {
  TableBuilder b;
  b.field("KEY", 'C', 14).field("VALUE", 'I', 4);
  const std::string keys[] = {"CALLS", "CONTACTS", "CONTACT_TYPES", "SETTINGS", "USERS"};
  std::vector<std::string> records;
  for (int i = 0; i < 5; ++i) {
    std::string body = keys[i] + std::string(14 - keys[i].size(), ' ') +
                       std::string(1, char(i + 1)) + std::string(3, '\0');
    b.record(body);
    records.push_back(" " + body);
  }
  const std::string healthy = b.bytes();
  const uint64_t start = healthy.size() - 1 - 5 * 19;
  const uint64_t length = 19;
  const uint64_t second = start + length;
  const struct {
    const char* damage;
    std::string bytes;
    bool anchored;
    uint32_t leastTaken;
  } cases[] = {
      {"none", healthy, false, 0},
      {"the first record's first bytes copied before it",
       healthy.substr(0, start) + healthy.substr(start, 5) + healthy.substr(start), true, 4},
      {"a record's first bytes copied before it",
       healthy.substr(0, second) + healthy.substr(second, 6) + healthy.substr(second), true, 4},
      {"bytes removed inside the third record",
       healthy.substr(0, second + length + 4) + healthy.substr(second + length + 9), true, 4},
      {"no end-of-file byte", healthy.substr(0, second) + "xyz" + healthy.substr(second, 60), false,
       0},
  };
  const SlotJudge judge(placeFields(b.fields(), nullptr), length, false, 0, true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.damage);
    PhaseSearch search(judge, readerOf(c.bytes), [] {}, /*alignedText=*/true);
    const std::optional<EndAnchored> got = search.endAnchored(start, c.bytes.size());
    ASSERT_EQ(got.has_value(), c.anchored);
    if (!got) continue;
    std::vector<uint64_t> taken;
    for (uint32_t m = 0; m < got->first; ++m) taken.push_back(start + m * length);
    for (uint32_t m = 0; m < got->last; ++m) taken.push_back(got->lastFrom + m * length);
    EXPECT_GE(taken.size(), c.leastTaken);
    for (uint64_t at : taken) {
      EXPECT_NE(std::find(records.begin(), records.end(), c.bytes.substr(at, length)),
                records.end())
          << "slot at " << at << " is no record";
    }
  }
}

}  // namespace
}  // namespace kest
