#include "dbf/table_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kest {
namespace {

// Each way a header's own fields fail its table, and the sound shapes that
// look odd but are not (a table of no fields, dBase II without a header
// length, a version byte nobody writes under sound descriptors).
TEST(TableRules, HeaderFaultNamesTheFirstFieldThatCannotBeRight) {
  struct Case {
    const char* name;
    HeaderFacts facts;
    HeaderFault fault;
  };
  auto facts = [](std::optional<uint32_t> header, uint32_t record, uint64_t size,
                  std::optional<uint64_t> fieldsEnd, std::optional<uint64_t> terminator,
                  uint8_t version = 0x03) {
    HeaderFacts f;
    f.version = version;
    f.headerLength = header;
    f.recordLength = record;
    f.fileSize = size;
    f.fieldsEnd = fieldsEnd;
    f.terminatorAt = terminator;
    return f;
  };
  const Case cases[] = {
      {"sound", facts(97, 20, 500, 20, 96), HeaderFault::kNone},
      {"sound, record longer than its fields", facts(97, 30, 500, 20, 96), HeaderFault::kNone},
      {"no fields, flag only", facts(33, 1, 40, 1, 32), HeaderFault::kNone},
      {"descriptors not looked at", facts(97, 20, 500, {}, {}), HeaderFault::kNone},
      {"dBase II", facts({}, 20, 100, 20, 40, 0x02), HeaderFault::kNone},
      {"unknown version, terminator found", facts(97, 20, 500, 20, 96, 0x99), HeaderFault::kNone},
      {"zeroed header", facts(0, 0, 500, 20, 96), HeaderFault::kNoRecordLength},
      {"record too short", facts(97, 10, 500, 20, 96), HeaderFault::kRecordTooShort},
      {"no fields, long records", facts(33, 9, 500, 1, 32), HeaderFault::kNoFields},
      {"header length inside descriptors", facts(64, 20, 500, 20, 96),
       HeaderFault::kHeaderLengthTooShort},
      {"header length 32, nothing read", facts(32, 20, 500, {}, {}),
       HeaderFault::kHeaderLengthTooShort},
      {"header length past the file", facts(900, 20, 500, 20, 96),
       HeaderFault::kHeaderLengthPastFile},
      {"unknown version, no terminator", facts(97, 20, 500, 20, {}, 0x99),
       HeaderFault::kUnknownVersionNoEnd},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(headerFault(c.facts), c.fault) << c.name;
    EXPECT_EQ(*headerFaultText(headerFault(c.facts)) == '\0', c.fault == HeaderFault::kNone)
        << c.name;
  }
}

TEST(TableRules, StandingDescriptorsNeedATerminatorAndEveryOnePlausible) {
  auto image = [](std::vector<std::pair<char, uint8_t>> fields, bool terminated) {
    std::vector<uint8_t> bytes(32 + 32 * fields.size() + 1 + 10, ' ');
    for (size_t i = 0; i < fields.size(); ++i) {
      uint8_t* d = bytes.data() + 32 + 32 * i;
      std::memset(d, 0, 32);
      d[0] = 'F';
      d[11] = static_cast<uint8_t>(fields[i].first);
      d[16] = fields[i].second;
    }
    bytes[32 + 32 * fields.size()] = terminated ? kHeaderTerminator : ' ';
    return bytes;
  };
  std::vector<uint8_t> sound = image({{'C', 10}, {'N', 5}}, true);
  auto found = standingDescriptors(sound.data(), static_cast<uint32_t>(sound.size()));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->fields.size(), 2u);
  EXPECT_EQ(found->terminatorAt, 96u);
  EXPECT_EQ(found->recordLength, 16u);
  for (const auto& bad : {image({{'C', 10}, {'Z', 5}}, true), image({{'C', 10}, {'N', 0}}, true),
                          image({{'C', 10}}, false), image({}, true)}) {
    EXPECT_FALSE(standingDescriptors(bad.data(), static_cast<uint32_t>(bad.size())));
  }
}

}  // namespace
}  // namespace kest
