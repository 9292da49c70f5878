#include "thorough/jammed_flags.h"

namespace kest {

bool looksLikeRecord(const uint8_t* record, size_t length, const std::vector<FieldPlace>& places) {
  bool allZero = true;
  for (size_t k = 1; k < length && allZero; ++k) allZero = record[k] == 0;
  if (allZero) return false;
  for (const FieldPlace& place : places) {
    if (place.type != 'C' || place.memoAsCharacter) continue;
    for (uint32_t k = 0; k < place.length; ++k) {
      const size_t at = size_t{place.displacement} + k;
      if (at >= length) break;
      const uint8_t c = record[at];
      if (c < 0x20 && c != 0 && c != '\t' && c != '\r' && c != '\n') return false;
    }
  }
  return true;
}

}  // namespace kest
