// The structure of a healthy copy of a table (an old backup, the empty
// table its program ships), taken as the layout of a damaged table whose
// own header cannot be trusted: header, field descriptors and the Visual
// FoxPro back link, read from the template's first bytes. Pure functions
// over bytes.
#ifndef KEST_DBF_TABLE_TEMPLATE_H_
#define KEST_DBF_TABLE_TEMPLATE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dbf/dbf_format.h"

namespace kest {

struct TableTemplate {
  DbfHeader header;
  std::vector<DbfFieldDescriptor> fields;
  std::vector<uint8_t> backLink;  // empty but for Visual FoxPro
};

// How many of a table's first bytes parseTemplate needs at most.
inline constexpr size_t kTemplateBytes = 0x10000;

// The template's structure, or nothing, with `why` in words, when its
// first `size` bytes are not the header of a sound table: descriptors up
// to a terminator, inside the header length, and fields that fill the
// record length exactly.
std::optional<TableTemplate> parseTemplate(const uint8_t* bytes, size_t size, std::string* why);

// What the damaged table's own header area (its first `size` bytes) says
// beside the template, in one sentence for the report: that it agreed,
// that it held nothing, or which of version, record length, header length
// and field descriptors differ.
std::string compareWithTemplate(const TableTemplate& layout, const uint8_t* bytes, size_t size);

}  // namespace kest

#endif  // KEST_DBF_TABLE_TEMPLATE_H_
