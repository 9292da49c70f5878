// The record count a thorough run trusts: the header's, unless the file
// cannot hold that many whole records, then every whole slot the file
// holds. Pure; no I/O.
#ifndef KEST_THOROUGH_RECORD_COUNT_H_
#define KEST_THOROUGH_RECORD_COUNT_H_

#include <cstdint>

namespace kest {

struct FittedCount {
  uint32_t count = 0;
  // The declared count was more than the file holds.
  bool corrected = false;
};

// The count of `declared` records of `recordLength` bytes after
// `headerLength` bytes that a file of `fileSize` bytes holds whole. A count
// that fits, a zero record length and a header longer than the file leave
// `declared` as it is.
FittedCount fitRecordCount(uint32_t declared, uint32_t headerLength, uint32_t recordLength,
                           uint64_t fileSize);

// Whether `dataBytes` bytes of records end in part of a record that is more
// than the end-of-file mark, `lastByte` being the file's last.
bool partialRecordAtEnd(uint64_t dataBytes, uint32_t recordLength, uint8_t lastByte);

}  // namespace kest

#endif  // KEST_THOROUGH_RECORD_COUNT_H_
