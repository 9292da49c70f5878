#include "dbf/table_kind.h"

#include <cstdio>
#include <cstring>

namespace kest {

namespace {

std::string hexByte(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

// The byte the same program writes for a table of the same kind without a
// memo companion; the version itself where it says nothing of memos.
uint8_t versionWithoutMemo(uint8_t version) {
  switch (version) {
    case 0x83:  // dBASE III with .dbt
    case 0x8B:  // dBASE IV with .dbt
    case 0xF5:  // FoxPro 2 with .fpt
    case 0xFB:
      return 0x03;
    case 0xCB:
      return 0x43;
    case 0x8C:  // level 7 with memo
      return 0x04;
    default:
      return version;
  }
}

}  // namespace

bool isVisualFoxPro(uint8_t version) { return version >= 0x30 && version <= 0x32; }

bool isMemoField(uint8_t version, char type) {
  switch (type) {
    case 'M':
    case 'G':
    case 'P':
      return true;
    case 'B':
      return !isVisualFoxPro(version);
    case 'W':
      return isVisualFoxPro(version);
    default:
      return false;
  }
}

bool hasMemoFields(uint8_t version, const std::vector<DbfFieldDescriptor>& fields) {
  for (const DbfFieldDescriptor& field : fields) {
    if (isMemoField(version, field.type())) return true;
  }
  return false;
}

std::vector<std::string> keepTableKind(DbfHeader& header,
                                       const std::vector<DbfFieldDescriptor>& fields) {
  std::vector<std::string> changes;
  const uint8_t version = header.version();
  if (hasMemoFields(version, fields)) return changes;
  // A program that finds a memo version or memo flag looks for the memo
  // file and fails without it; the result's memo fields became character
  // fields, so it has none.
  const uint8_t plain = versionWithoutMemo(version);
  if (plain != version) {
    header.setVersion(plain);
    changes.push_back("version byte " + hexByte(version) + " written as " + hexByte(plain) +
                      ": the result has no memo fields, so no memo file goes with it");
  }
  if (isVisualFoxPro(version) && (header.tableFlags() & kMemoFieldsFlag) != 0) {
    header.setTableFlags(header.tableFlags() & ~kMemoFieldsFlag);
    changes.push_back("memo flag of the table flags cleared: the result has no memo fields");
  }
  return changes;
}

std::vector<uint8_t> backLinkOf(const uint8_t* headerArea, size_t size, size_t fieldCount,
                                uint8_t version) {
  const size_t terminator = sizeof(DbfHeader) + fieldCount * sizeof(DbfFieldDescriptor);
  if (size < terminator + 1 + kBackLinkLength || !isVisualFoxPro(version) ||
      headerArea[terminator] != kHeaderTerminator) {
    return {};
  }
  const uint8_t* link = headerArea + terminator + 1;
  return std::vector<uint8_t>(link, link + kBackLinkLength);
}

std::string backLinkTarget(const std::vector<uint8_t>& backLink) {
  // A table without a back link has no bytes to look at (and no pointer).
  if (backLink.empty()) return {};
  std::string target(reinterpret_cast<const char*>(backLink.data()),
                     strnlen(reinterpret_cast<const char*>(backLink.data()), backLink.size()));
  return target;
}

}  // namespace kest
