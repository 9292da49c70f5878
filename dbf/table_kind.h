// What kind of table a result is, as the program that owns the table sees
// it: the version byte, the memo and database bits of the table flags, and
// the Visual FoxPro back link after the terminator.
//
// A thorough result keeps all of them as the source has them, and changes
// one only where the result's own fields would contradict it (a version
// that announces memo fields the result no longer has, because they were
// written as character fields); each change comes back in words for the
// report. Pure functions over header images and bytes.
#ifndef KEST_DBF_TABLE_KIND_H_
#define KEST_DBF_TABLE_KIND_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dbf/dbf_format.h"
#include "dbf/table_rules.h"  // kBackLinkLength

namespace kest {

// Bits of the table flags byte (offset 28).
inline constexpr uint8_t kStructuralIndexFlag = 0x01;
inline constexpr uint8_t kMemoFieldsFlag = 0x02;     // Visual FoxPro
inline constexpr uint8_t kDatabaseMemberFlag = 0x04;  // Visual FoxPro

bool isVisualFoxPro(uint8_t version);
// True when a field of `type` keeps its values in the memo companion in a
// table of `version` (B is a double in Visual FoxPro, a memo in dBASE).
bool isMemoField(uint8_t version, char type);
bool hasMemoFields(uint8_t version, const std::vector<DbfFieldDescriptor>& fields);

// Makes `header` (the source's, lightly adjusted) agree with the `fields`
// the result goes out with, changing as little as it can; returns what it
// changed and why, one sentence each.
std::vector<std::string> keepTableKind(DbfHeader& header,
                                       const std::vector<DbfFieldDescriptor>& fields);

// The back link after the terminator of a header area (the file's first
// bytes, `size` of them) that holds `fieldCount` descriptors, for a table
// of `version` (its own byte, or the one a rebuilt header gives it); empty
// for another version or where the bytes do not hold it.
std::vector<uint8_t> backLinkOf(const uint8_t* headerArea, size_t size, size_t fieldCount,
                                uint8_t version);
// The database file a back link names; empty for a free table.
std::string backLinkTarget(const std::vector<uint8_t>& backLink);

}  // namespace kest

#endif  // KEST_DBF_TABLE_KIND_H_
