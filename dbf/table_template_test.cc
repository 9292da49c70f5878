#include "dbf/table_template.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/table_builder.h"

namespace kest {
namespace {

using testing::TableBuilder;

TableBuilder people() {
  TableBuilder table;
  table.field("NAME", 'C', 10).field("AGE", 'N', 3).record("Ada        36").record("Bob        41");
  return table;
}

std::optional<TableTemplate> parse(const std::string& bytes, std::string* why) {
  return parseTemplate(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), why);
}

TEST(TableTemplate, IsTakenOnlyFromASoundHeader) {
  std::string why;
  std::optional<TableTemplate> sound = parse(people().bytes(), &why);
  ASSERT_TRUE(sound.has_value()) << why;
  EXPECT_EQ(sound->fields.size(), 2u);
  EXPECT_EQ(sound->header.recordLength(), 14);

  std::string noTerminator = people().bytes();
  noTerminator[32 + 64] = 'X';
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"too short", people().bytes().substr(0, 40)},
      {"record length", people().recordLength(20).bytes()},
      {"header length short of its descriptors", people().headerLength(70).bytes()},
      {"no terminator", noTerminator},
      {"empty descriptor", TableBuilder().field("A", 'C', 0).bytes()},
      {"level 7", people().version(0x04).bytes()},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(parse(c.bytes, &why).has_value()) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
  }
}

TEST(TableTemplate, ComparisonNamesWhatTheDamagedHeaderSays) {
  std::string why;
  TableTemplate layout = *parse(people().bytes(), &why);
  std::string renamed = people().bytes();
  renamed[32] = 'M';
  struct Case {
    std::string damaged;
    const char* says;
  } cases[] = {
      {people().bytes(), "agreed with the template"},
      {std::string(200, '\0'), "held nothing"},
      {people().recordLength(15).bytes(), "record length 15 (template 14)"},
      {renamed, "in 1 field descriptors"},
  };
  for (const Case& c : cases) {
    std::string said = compareWithTemplate(
        layout, reinterpret_cast<const uint8_t*>(c.damaged.data()), c.damaged.size());
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
  }
}

}  // namespace
}  // namespace kest
