#include "dbf/table_kind.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kest {
namespace {

std::vector<DbfFieldDescriptor> fieldsOfTypes(const std::string& types) {
  std::vector<DbfFieldDescriptor> fields(types.size());
  for (size_t i = 0; i < types.size(); ++i) fields[i].setType(types[i]);
  return fields;
}

TEST(KeepTableKind, ChangesOnlyWhatTheResultsFieldsContradict) {
  struct Case {
    uint8_t version, flags;
    const char* types;
    uint8_t wantVersion, wantFlags;
    size_t changes;
  } cases[] = {
      {0x30, 0x07, "CN", 0x30, 0x05, 1},  // VFP memo flag without memo fields
      {0x30, 0x07, "CM", 0x30, 0x07, 0},
      {0x31, 0x01, "CI", 0x31, 0x01, 0},
      {0x30, 0x02, "CB", 0x30, 0x00, 1},  // B is a double in VFP
      {0x83, 0x00, "CC", 0x03, 0x00, 1},  // memo fields written as character
      {0x83, 0x00, "CM", 0x83, 0x00, 0},
      {0x8B, 0x00, "CB", 0x8B, 0x00, 0},  // B is a memo in dBASE
      {0xF5, 0x00, "N", 0x03, 0x00, 1},
      {0x03, 0x00, "CD", 0x03, 0x00, 0},
      {0x03, 0x00, "CM", 0x03, 0x00, 0},  // the source's own byte stays
  };
  for (const Case& c : cases) {
    DbfHeader header;
    header.setVersion(c.version);
    header.setTableFlags(c.flags);
    std::vector<std::string> changes = keepTableKind(header, fieldsOfTypes(c.types));
    SCOPED_TRACE(std::to_string(c.version) + " " + c.types);
    EXPECT_EQ(header.version(), c.wantVersion);
    EXPECT_EQ(header.tableFlags(), c.wantFlags);
    EXPECT_EQ(changes.size(), c.changes);
  }
}

TEST(BackLink, IsReadOnlyWhereAVisualFoxProTerminatorStands) {
  const size_t fields = 2;
  const size_t terminator = 32 + 32 * fields;
  std::vector<uint8_t> area(terminator + 1 + kBackLinkLength, 0);
  area[terminator] = kHeaderTerminator;
  const std::string dbc = "..\\data\\sales.dbc";
  std::copy(dbc.begin(), dbc.end(), area.begin() + terminator + 1);

  // A rebuilt header's version counts, whatever the damaged first byte says.
  std::vector<uint8_t> link = backLinkOf(area.data(), area.size(), fields, 0x30);
  ASSERT_EQ(link.size(), kBackLinkLength);
  EXPECT_EQ(backLinkTarget(link), dbc);
  EXPECT_TRUE(backLinkOf(area.data(), area.size() - 1, fields, 0x30).empty());
  EXPECT_TRUE(backLinkOf(area.data(), area.size(), fields - 1, 0x30).empty());
  EXPECT_TRUE(backLinkOf(area.data(), area.size(), fields, 0x03).empty());
  EXPECT_EQ(backLinkTarget(std::vector<uint8_t>(kBackLinkLength, 0)), "");
}

}  // namespace
}  // namespace kest
