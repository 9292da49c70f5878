#include "dbf/table_rules.h"

#include <cstring>

namespace kest {

namespace {

struct VersionName {
  uint8_t version;
  const char* meaning;
};
constexpr VersionName kVersions[] = {
    {0x02, "dBase II"},
    {0x03, "dBase III or FoxPro without memo"},
    {0x04, "dBase 7 without memo"},
    {0x30, "Visual FoxPro"},
    {0x31, "Visual FoxPro with autoincrement fields"},
    {0x32, "Visual FoxPro with varchar or varbinary fields"},
    {0x43, "dBase IV SQL table"},
    {0x63, "dBase IV SQL system table"},
    {0x7B, "dBase IV with memo"},
    {0x83, "dBase III with memo"},
    {0x8B, "dBase IV with memo"},
    {0x8C, "dBase 7 with memo"},
    {0xCB, "dBase IV SQL table with memo"},
    {0xF5, "FoxPro 2 with memo"},
    {0xFB, "FoxBASE"},
};

bool inList(const char* list, char type) {
  return type != '\0' && std::strchr(list, type) != nullptr;
}

}  // namespace

const char* versionMeaning(uint8_t version) {
  for (const VersionName& known : kVersions) {
    if (known.version == version) return known.meaning;
  }
  return "unknown";
}

bool knownVersion(uint8_t version) {
  for (const VersionName& known : kVersions) {
    if (known.version == version) return true;
  }
  return false;
}

bool recordsDisplacements(uint8_t version) {
  return version == 0xF5 || version == 0xFB || isVisualFoxProVersion(version);
}

bool knownFieldType(char type) { return inList(kKnownFieldTypes, type); }
bool visualFoxProOnlyType(char type) { return inList(kVisualFoxProOnlyTypes, type); }

bool plausibleDescriptor(const DbfFieldDescriptor& field) {
  uint8_t first = field.bytes[0];
  if (first < 0x20 || first == 0x7F) return false;
  return knownFieldType(field.type()) && field.length() != 0;
}

std::optional<StandingDescriptors> standingDescriptors(const uint8_t* bytes, uint32_t size) {
  StandingDescriptors found;
  constexpr uint32_t kWidth = sizeof(DbfFieldDescriptor);
  for (uint32_t at = sizeof(DbfHeader); at < size; at += kWidth) {
    if (bytes[at] == kHeaderTerminator) {
      found.terminatorAt = at;
      break;
    }
    if (at + kWidth > size) return std::nullopt;
    DbfFieldDescriptor field;
    std::memcpy(field.bytes, bytes + at, kWidth);
    if (!plausibleDescriptor(field)) return std::nullopt;
    found.fields.push_back(field);
  }
  if (found.terminatorAt == 0 || found.fields.empty()) return std::nullopt;
  // Some writers leave junk where the displacement goes: the length is the
  // fields' lengths one after another.
  uint32_t end = 1;
  for (const DbfFieldDescriptor& field : found.fields) end += field.length();
  if (end > 0xFFFF) return std::nullopt;
  found.recordLength = end;
  return found;
}

uint8_t rebuiltVersion(const std::vector<DbfFieldDescriptor>& fields, bool backLink,
                       bool fptCompanion) {
  bool foxPro = backLink;
  bool memo = false;
  for (const DbfFieldDescriptor& field : fields) {
    foxPro |= visualFoxProOnlyType(field.type());
    memo |= field.type() == 'M';
  }
  if (foxPro) return 0x30;
  if (memo) return fptCompanion ? 0xF5 : 0x83;
  return 0x03;
}

HeaderFault headerFault(const HeaderFacts& facts) {
  if (facts.recordLength == 0) return HeaderFault::kNoRecordLength;
  if (facts.fieldsEnd) {
    if (*facts.fieldsEnd > facts.recordLength) return HeaderFault::kRecordTooShort;
    // A table of no fields is possible: records of the deletion flag alone.
    if (*facts.fieldsEnd == 1 && facts.recordLength != 1) return HeaderFault::kNoFields;
  }
  if (facts.headerLength) {
    uint64_t descriptorsEnd = facts.terminatorAt ? *facts.terminatorAt : sizeof(DbfHeader);
    if (*facts.headerLength <= descriptorsEnd) return HeaderFault::kHeaderLengthTooShort;
    if (*facts.headerLength > facts.fileSize) return HeaderFault::kHeaderLengthPastFile;
  }
  if (facts.fieldsEnd && !facts.terminatorAt && !knownVersion(facts.version)) {
    return HeaderFault::kUnknownVersionNoEnd;
  }
  return HeaderFault::kNone;
}

const char* headerFaultText(HeaderFault fault) {
  switch (fault) {
    case HeaderFault::kNone:
      return "";
    case HeaderFault::kNoRecordLength:
      return "the record length is 0";
    case HeaderFault::kRecordTooShort:
      return "the record length is shorter than the fields";
    case HeaderFault::kNoFields:
      return "no field descriptors";
    case HeaderFault::kHeaderLengthTooShort:
      return "the header length ends before the field descriptors do";
    case HeaderFault::kHeaderLengthPastFile:
      return "the header length lies beyond the end of the file";
    case HeaderFault::kUnknownVersionNoEnd:
      return "an unknown version and no end to the field descriptors";
  }
  return "";
}

}  // namespace kest
