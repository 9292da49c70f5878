// Reads a .dbf table the engine wrote, taken apart by its own header and
// independently of the engine's reader: the twin of TableBuilder.
//
// Nothing is repaired or guessed: the descriptors are the 32-byte slots
// from offset 32 up to a slot that starts with the terminator (or the
// header's end), the records are `recordCount` slices of `recordLength`
// bytes from `headerLength` (empty when the file ends before one).
#ifndef KEST_TESTS_TABLE_READER_H_
#define KEST_TESTS_TABLE_READER_H_

#include <string>
#include <vector>

#include "dbf/dbf_format.h"

namespace kest::testing {

struct TableImage {
  TableImage() = default;
  // Read(path).
  explicit TableImage(const std::string& path);

  std::string bytes;
  DbfHeader header;
  std::vector<DbfFieldDescriptor> fields;
  std::vector<std::string> records;

  static TableImage FromBytes(std::string bytes);
  static TableImage Read(const std::string& path);

  // True when the file is a whole table: at least a header, a terminator
  // right after the last descriptor, and exactly headerLength + recordCount
  // * recordLength bytes followed by the end mark 0x1A. Otherwise false
  // with the first thing found wrong in `why`.
  bool whole(std::string* why = nullptr) const;
};

}  // namespace kest::testing

#endif  // KEST_TESTS_TABLE_READER_H_
