#include "thorough/level7_layout.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "dbf/table_rules.h"

namespace kest {

namespace {

// A descriptor: a 32-byte name, the type, the length, the decimals.
constexpr uint32_t kLevel7DescriptorLength = 48;
constexpr uint32_t kLevel7TypeAt = 32;
constexpr size_t kPlainNameLength = 10;
constexpr uint8_t kNoMemoVersion = 0x03;
constexpr uint8_t kLevel7MemoVersion = 0x8B;
// The types a reader of 32-byte descriptors reads as a level-7 table
// means them; memo types only with a companion to read them from.
constexpr const char* kPlainTypes = "CNFLD";
constexpr const char* kMemoTypes = "MBGP";

}  // namespace

std::vector<DbfFieldDescriptor> level7Fields(const uint8_t* header, size_t size,
                                             uint32_t headerLength) {
  std::vector<DbfFieldDescriptor> fields;
  uint8_t slot[kLevel7DescriptorLength];
  for (uint32_t at = kLevel7DescriptorsAt; at + kLevel7DescriptorLength < headerLength;
       at += kLevel7DescriptorLength) {
    std::memset(slot, 0, sizeof slot);
    if (at < size) std::memcpy(slot, header + at, std::min<size_t>(sizeof slot, size - at));
    if (slot[0] == kHeaderTerminator) break;
    DbfFieldDescriptor field;
    const char* name = reinterpret_cast<const char*>(slot);
    field.setName(std::string(name, strnlen(name, kPlainNameLength)));
    field.setType(static_cast<char>(slot[kLevel7TypeAt]));
    field.setLength(slot[kLevel7TypeAt + 1]);
    field.bytes[17] = slot[kLevel7TypeAt + 2];
    fields.push_back(field);
  }
  return fields;
}

void plainLevel7Header(DbfHeader& header, std::vector<DbfFieldDescriptor>& fields,
                       bool writesMemo) {
  header.setVersion(writesMemo ? kLevel7MemoVersion : kNoMemoVersion);
  header.setHeaderLength(static_cast<uint16_t>(headerBytesNeeded(fields.size())));
  for (DbfFieldDescriptor& field : fields) {
    const char type = field.type();
    const bool memo = type != '\0' && std::strchr(kMemoTypes, type) != nullptr;
    if (memo && writesMemo) {
      field.setType('M');
    } else if (type == '\0' || std::strchr(kPlainTypes, type) == nullptr) {
      field.setType('C');
    }
  }
}

}  // namespace kest
