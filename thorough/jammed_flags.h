// A record whose deletion flag is neither ' ' nor '*' may be a sound record
// whose flag alone was hit. A thorough run keeps it, its flag restored to
// ' ', only where the bytes around it and in it say so. Pure.
#ifndef KEST_THOROUGH_JAMMED_FLAGS_H_
#define KEST_THOROUGH_JAMMED_FLAGS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dbf/record_check.h"

namespace kest {

// The rest of the record looks like a record: not a stretch of zero bytes
// (a block the disk lost), and its character fields free of control bytes
// (random bytes are not).
bool looksLikeRecord(const uint8_t* record, size_t length, const std::vector<FieldPlace>& places);

// Where the records stand by the value check alone: at least half of the
// `ahead` slots after it pass, or, with none after it, the one before did.
inline bool amongRecords(uint32_t ahead, uint32_t passingAhead, bool passedBefore) {
  return ahead != 0 ? passingAhead * 2 >= ahead : passedBefore;
}

}  // namespace kest

#endif  // KEST_THOROUGH_JAMMED_FLAGS_H_
