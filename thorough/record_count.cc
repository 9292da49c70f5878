#include "thorough/record_count.h"

#include "dbf/dbf_format.h"

namespace kest {

FittedCount fitRecordCount(uint32_t declared, uint32_t headerLength, uint32_t recordLength,
                           uint64_t fileSize) {
  if (recordLength == 0 || headerLength > fileSize) return {declared, false};
  const uint64_t whole = (fileSize - headerLength) / recordLength;
  if (declared <= whole) return {declared, false};
  return {static_cast<uint32_t>(whole), true};
}

bool partialRecordAtEnd(uint64_t dataBytes, uint32_t recordLength, uint8_t lastByte) {
  const uint64_t rest = dataBytes % recordLength;
  return rest > 1 || (rest == 1 && lastByte != kEndOfFile);
}

}  // namespace kest
