#include "thorough/slot_judge.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "dbf/dbf_format.h"

namespace kest {

SlotJudge::SlotJudge(std::vector<FieldPlace> places, uint32_t length, bool memoPresent,
                     uint32_t memoSize, bool relaxedValues)
    : places_(std::move(places)),
      length_(length),
      plan_(places_, length),
      memoPresent_(memoPresent),
      memoSize_(memoSize),
      relaxedValues_(relaxedValues),
      textValues_(length, 0) {
  for (const FieldPlace& place : places_) {
    if (place.type != 'N' && place.type != 'F' && place.type != 'D') continue;
    const uint64_t end = std::min<uint64_t>(uint64_t{place.displacement} + place.length, length);
    for (uint64_t i = place.displacement; i < end; ++i) textValues_[i] = 1;
    if (place.displacement < end) {
      valuesFrom_ = std::min(valuesFrom_, place.displacement);
      valuesTo_ = std::max(valuesTo_, static_cast<uint32_t>(end));
    }
  }
  zeroFrom_ = valuesFrom_;
  zeroTo_ = valuesTo_;
  for (const FieldPlace& place : places_) {
    if (place.length == 0 || uint64_t{place.displacement} + place.length > length_) continue;
    if (place.type == 'L') {
      logicals_.push_back(place.displacement);
      zeroFrom_ = std::min(zeroFrom_, place.displacement);
      zeroTo_ = std::max(zeroTo_, place.displacement + 1);
    }
    if (place.type == 'N' || place.type == 'F') {
      numbers_.push_back({place.displacement, place.length});
    }
  }
  // The stretch read as words of the record, the last moved back to end
  // where the record ends; a byte of a number, date or logical is tested
  // in the word of the eight bytes it falls in. A search costs more than
  // these few words for the short stretches records hold.
  if (length_ < 8 || zeroFrom_ >= zeroTo_) return;
  for (uint32_t k = zeroFrom_; k < zeroTo_; ++k) {
    const bool held = textValues_[k] != 0 ||
                      std::find(logicals_.begin(), logicals_.end(), k) != logicals_.end();
    if (!held) continue;
    const uint32_t from = k - k % 8;
    const uint32_t at = from + 8 <= length_ ? from : length_ - 8;
    if (zeroWords_.empty() || zeroWords_.back().at != at) zeroWords_.push_back({at, 0});
    zeroWords_.back().mask |= uint64_t{0x80} << (8 * (k - at));
  }
}

bool SlotJudge::refusedByReaders(const uint8_t* record) const {
  for (const uint32_t at : logicals_) {
    if (record[at] == 0) return true;
  }
  for (const Span& number : numbers_) {
    // Numbers stand right: the leading spaces are most of a field.
    const uint8_t* field = record + number.from;
    uint32_t first = 0;
    uint32_t last = number.length;
    while (first < last && field[first] == ' ') ++first;
    while (last > first && field[last - 1] == ' ') --last;
    if (std::memchr(field + first, ' ', last - first) != nullptr) return true;
  }
  return false;
}

bool SlotJudge::zeroedValues(const uint8_t* record) const {
  // Fewer in a row may be a writer's way with an empty value.
  constexpr uint32_t kZeroRun = 4;
  // Most records hold no zero byte among their numbers and dates at all:
  // one search over the stretch they cover tells, at memchr's pace, for
  // every slot of both passes.
  if (valuesFrom_ >= valuesTo_ ||
      std::memchr(record + valuesFrom_, 0, valuesTo_ - valuesFrom_) == nullptr) {
    return false;
  }
  uint32_t zeros = 0;
  for (uint32_t i = valuesFrom_; i < valuesTo_; ++i) {
    zeros = record[i] == 0 && textValues_[i] != 0 ? zeros + 1 : 0;
    if (zeros == kZeroRun) return true;
  }
  // No writer puts zero bytes beside a number's digits: a zeroed stretch
  // ends or begins inside it (and readers refuse the value).
  for (const FieldPlace& place : places_) {
    if (place.type != 'N' && place.type != 'F') continue;
    if (uint64_t{place.displacement} + place.length > length_) continue;
    const uint8_t* field = record + place.displacement;
    bool zero = false;
    bool digit = false;
    for (uint32_t k = 0; k < place.length; ++k) {
      zero |= field[k] == 0;
      digit |= field[k] >= '0' && field[k] <= '9';
    }
    if (zero && digit) return true;
  }
  return false;
}

bool SlotJudge::zeroBytesRefused(const uint8_t* record) const {
  if (zeroFrom_ >= zeroTo_) return false;
  if (!zeroWords_.empty()) {
    constexpr uint64_t kLow = 0x7F7F7F7F7F7F7F7FULL;
    uint64_t zeros = 0;
    for (const ZeroWord& word : zeroWords_) {
      uint64_t bytes;
      std::memcpy(&bytes, record + word.at, sizeof bytes);
      if constexpr (std::endian::native == std::endian::big) bytes = __builtin_bswap64(bytes);
      zeros |= ~(((bytes & kLow) + kLow) | bytes) & word.mask;
    }
    if (zeros == 0) return false;
  } else if (std::memchr(record + zeroFrom_, 0, zeroTo_ - zeroFrom_) == nullptr) {
    return false;
  }
  for (const uint32_t at : logicals_) {
    if (record[at] == 0) return true;
  }
  return zeroedValues(record);
}

RecordCheckMode SlotJudge::mode(bool quiet) const {
  RecordCheckMode mode;
  mode.relaxedValues = relaxedValues_;
  mode.quiet = quiet;
  return mode;
}

bool SlotJudge::fieldsPass(uint8_t* record, bool quiet) const {
  if (places_.empty()) return true;
  return checkRecord(record, plan_, memoPresent_, memoSize_, mode(quiet));
}

bool SlotJudge::fieldsPassInPlace(const uint8_t* record) const {
  if (places_.empty()) return true;
  return checkRecordInPlace(record, plan_, memoPresent_, memoSize_, mode(/*quiet=*/false));
}

SlotKind SlotJudge::judge(uint8_t* record) const {
  const uint8_t flag = record[0];
  const bool sound = fieldsPass(record, /*quiet=*/true) && !zeroedValues(record);
  if (flag == kLiveRecord) return sound ? SlotKind::kLive : SlotKind::kFailed;
  if (flag == kDeletedRecord) return sound ? SlotKind::kDeleted : SlotKind::kFailed;
  return sound ? SlotKind::kJammedButSound : SlotKind::kFailed;
}

}  // namespace kest
