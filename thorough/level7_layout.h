// Level-7 tables describe their fields in 48-byte descriptors after a
// 68-byte header area; most readers know only the 32-byte layout. A
// thorough run reads the long descriptors and writes the result in the
// common layout, with the types a reader of it understands. Pure; no I/O.
#ifndef KEST_THOROUGH_LEVEL7_LAYOUT_H_
#define KEST_THOROUGH_LEVEL7_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dbf/dbf_format.h"

namespace kest {

// Where the descriptors begin, and how many header bytes cover them all.
inline constexpr uint32_t kLevel7DescriptorsAt = 68;

// The fields of the 48-byte descriptors in the `size` header bytes at
// `header` (from offset 0), up to the terminator or `headerLength`;
// displacements stay 0, the fields lying one after another. Bytes the
// header does not hold read as zero.
std::vector<DbfFieldDescriptor> level7Fields(const uint8_t* header, size_t size,
                                             uint32_t headerLength);

// The result's header and descriptors in the 32-byte layout: its version
// and length, and types a reader of that layout takes as the level-7 table
// means them (memo types stay memo only when the result `writesMemo`).
void plainLevel7Header(DbfHeader& header, std::vector<DbfFieldDescriptor>& fields,
                       bool writesMemo);

}  // namespace kest

#endif  // KEST_THOROUGH_LEVEL7_LAYOUT_H_
