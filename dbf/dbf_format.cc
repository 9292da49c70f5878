#include "dbf/dbf_format.h"

#include <algorithm>
#include <cstring>

#include "Common/logger/llfile.h"

namespace kest {

std::string DbfFieldDescriptor::name() const {
  const char* text = reinterpret_cast<const char*>(bytes);
  return std::string(text, strnlen(text, 11));
}

void DbfFieldDescriptor::setName(const std::string& name) {
  std::memset(bytes, 0, 11);
  std::memcpy(bytes, name.data(), std::min<size_t>(name.size(), 11));
}

uint32_t fieldSlotCount(uint16_t headerLength) {
  uint32_t slots = (static_cast<uint32_t>(headerLength) - 32u) / 32u;
  return std::min(kMaxFieldSlots, slots);
}

std::vector<DbfFieldDescriptor> readFieldList(LLFile& file, uint32_t slotCount) {
  std::vector<DbfFieldDescriptor> fields;
  fields.reserve(slotCount);
  for (uint32_t slot = 0; slot < slotCount; ++slot) {
    DbfFieldDescriptor descriptor;
    file.Read(sizeof descriptor.bytes, descriptor.bytes);
    if (descriptor.bytes[0] == kHeaderTerminator) break;
    fields.push_back(descriptor);
  }
  return fields;
}

uint32_t headerBytesNeeded(size_t fieldCount) {
  return static_cast<uint32_t>(32 + 32 * fieldCount + 1);
}

platform::Status writeTableHeader(platform::WritableFile& out, DbfHeader header,
                                  const std::vector<DbfFieldDescriptor>& fields,
                                  const std::function<void()>& afterHeader,
                                  const std::vector<uint8_t>& afterTerminator) {
  uint32_t needed = headerBytesNeeded(fields.size());
  if (needed > header.headerLength()) {
    header.setHeaderLength(static_cast<uint16_t>(std::min<uint32_t>(needed, 0xFFFF)));
  }
  if (platform::Status s = out.Append(header.bytes, sizeof header.bytes); !s) return s;
  if (afterHeader) afterHeader();
  for (const DbfFieldDescriptor& field : fields) {
    if (platform::Status s = out.Append(field.bytes, sizeof field.bytes); !s) return s;
  }
  if (platform::Status s = out.Append(&kHeaderTerminator, 1); !s) return s;
  uint64_t position = out.Position();
  if (position < header.headerLength()) {
    std::vector<uint8_t> padding(header.headerLength() - position, 0);
    std::copy_n(afterTerminator.begin(), std::min(afterTerminator.size(), padding.size()),
                padding.begin());
    return out.Append(padding.data(), padding.size());
  }
  return platform::Status();
}

platform::Status writeEndOfFile(platform::WritableFile& out) { return out.Append(&kEndOfFile, 1); }

}  // namespace kest
