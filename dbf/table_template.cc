#include "dbf/table_template.h"

#include <algorithm>
#include <cstring>

#include "dbf/table_kind.h"

namespace kest {

namespace {

constexpr size_t kHeaderSize = sizeof(DbfHeader);
constexpr size_t kDescriptorSize = sizeof(DbfFieldDescriptor);

}  // namespace

std::optional<TableTemplate> parseTemplate(const uint8_t* bytes, size_t size, std::string* why) {
  auto refuse = [why](const std::string& reason) -> std::optional<TableTemplate> {
    *why = reason;
    return std::nullopt;
  };
  if (size < kHeaderSize + kDescriptorSize + 1) return refuse("it is too short for a table");
  TableTemplate layout;
  std::memcpy(layout.header.bytes, bytes, kHeaderSize);
  // Level 7 keeps 48-byte descriptors after a language driver name; the
  // result is written in the 32-byte layout, which such a copy cannot give.
  if ((layout.header.version() & 0x07) == 0x04) {
    return refuse("a level-7 table cannot lend its structure (its descriptors are 48 bytes long)");
  }
  const size_t headerLength = layout.header.headerLength();
  const size_t recordLength = layout.header.recordLength();
  if (headerLength > size || headerLength < kHeaderSize + kDescriptorSize + 1) {
    return refuse("its header length does not fit the file");
  }
  size_t at = kHeaderSize;
  size_t fieldsEnd = 1;
  for (; at + kDescriptorSize <= headerLength && bytes[at] != kHeaderTerminator;
       at += kDescriptorSize) {
    DbfFieldDescriptor field;
    std::memcpy(field.bytes, bytes + at, kDescriptorSize);
    if (field.bytes[0] < 0x20 || field.type() < 0x20 || field.length() == 0) {
      return refuse("its field descriptor " + std::to_string(layout.fields.size() + 1) +
                    " is not sound");
    }
    fieldsEnd += field.length();
    layout.fields.push_back(field);
  }
  if (at >= headerLength || bytes[at] != kHeaderTerminator || layout.fields.empty()) {
    return refuse("its field descriptors do not end inside its header");
  }
  if (fieldsEnd != recordLength) {
    return refuse("its fields take " + std::to_string(fieldsEnd) + " bytes, but its records " +
                  std::to_string(recordLength));
  }
  layout.backLink = backLinkOf(bytes, size, layout.fields.size(), layout.header.version());
  return layout;
}

std::string compareWithTemplate(const TableTemplate& layout, const uint8_t* bytes, size_t size) {
  const size_t descriptors = layout.fields.size() * kDescriptorSize;
  const size_t compared = std::min(size, kHeaderSize + descriptors);
  bool blank = true;
  for (size_t i = 0; i < compared && blank; ++i) blank = bytes[i] == 0;
  if (blank) {
    return "the table's own header area held nothing (zeros); the template's structure was used";
  }
  std::string differs;
  auto note = [&differs](const std::string& what) {
    differs += (differs.empty() ? "" : ", ") + what;
  };
  DbfHeader own;
  std::memcpy(own.bytes, bytes, std::min(size, kHeaderSize));
  if (own.version() != layout.header.version()) note("version");
  if (own.recordLength() != layout.header.recordLength()) {
    note("record length " + std::to_string(own.recordLength()) + " (template " +
         std::to_string(layout.header.recordLength()) + ")");
  }
  if (own.headerLength() != layout.header.headerLength()) {
    note("header length " + std::to_string(own.headerLength()) + " (template " +
         std::to_string(layout.header.headerLength()) + ")");
  }
  size_t differing = 0;
  for (size_t i = 0; i < layout.fields.size(); ++i) {
    const size_t at = kHeaderSize + i * kDescriptorSize;
    // Name, type and length: the rest of a descriptor is the writer's own.
    bool same = at + 17 <= size && std::memcmp(bytes + at, layout.fields[i].bytes, 12) == 0 &&
                bytes[at + 16] == layout.fields[i].bytes[16];
    differing += !same;
  }
  if (differing != 0) note(std::to_string(differing) + " field descriptors");
  if (differs.empty()) return "the table's own header agreed with the template";
  return "the table's own header differed from the template in " + differs +
         "; the template's structure was used";
}

}  // namespace kest
