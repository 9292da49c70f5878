// The header a thorough run reads the records by when the table's own
// cannot describe them: rebuilt from the field descriptors that still
// stand after it, or taken from a healthy copy's structure (a template).
// Pure over the table's bytes, read through ReadBytes.
#ifndef KEST_THOROUGH_HEADER_REBUILD_H_
#define KEST_THOROUGH_HEADER_REBUILD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dbf/dbf_format.h"
#include "dbf/record_check.h"
#include "dbf/table_template.h"
#include "thorough/record_model.h"

namespace kest {

// How many descriptor slots a thorough run reads: up to the terminator,
// not only the first 32 the classic scan reads (a table of 145 fields
// keeps them all).
uint32_t allFieldSlots(uint16_t headerLength);

struct RebuiltHeader {
  DbfHeader header;
  std::vector<DbfFieldDescriptor> fields;
  // The file ends in part of a record, more than the end-of-file mark.
  bool cutOff = false;
};

// The header made from the descriptors standing after `own` in the
// `fileSize` bytes `read` gives, when `own` cannot describe the table
// (headerFault) and they stand; nothing otherwise. Whether a back link
// follows the terminator is told by which header length the records pass
// after (judged with `memoPresent`, `memoSize`, `relaxedValues` as the scan
// judges); the count is every whole slot of the file.
std::optional<RebuiltHeader> rebuildHeader(const ReadBytes& read, const DbfHeader& own,
                                           uint64_t fileSize, bool memoPresent,
                                           uint32_t memoSize, bool relaxedValues);

// Where a descriptor's displacement puts its field past the record's end
// (junk left by the writer), the fields of `fields` lie one after another:
// their places then; nothing when every place of `places` lies inside
// `recordLength` bytes.
std::optional<std::vector<FieldPlace>> placesInsideRecord(
    const std::vector<FieldPlace>& places, const std::vector<DbfFieldDescriptor>& fields,
    std::vector<bool>* memoAsCharacter, uint32_t recordLength);

// The table read by a template's structure: its header, the count every
// whole slot of a file of `fileSize` bytes, and what to tell of it.
struct TemplateLayout {
  DbfHeader header;
  std::string repair;
  // How the table's own header compared with the template.
  std::string agreement;
};
// `own` holds the first `ownSize` bytes of the table.
TemplateLayout layoutByTemplate(const TableTemplate& layout, const uint8_t* own, size_t ownSize,
                                uint64_t fileSize);

}  // namespace kest

#endif  // KEST_THOROUGH_HEADER_REBUILD_H_
