#include "thorough/slot_judge.h"

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
    for (uint64_t i = place.displacement; i < uint64_t{place.displacement} + place.length && i < length;
         ++i) {
      textValues_[i] = 1;
    }
  }
}

bool SlotJudge::zeroedValues(const uint8_t* record) const {
  // Fewer in a row may be a writer's way with an empty value.
  constexpr uint32_t kZeroRun = 4;
  // Most records hold no zero byte at all: memchr passes over them.
  const uint8_t* const stop = record + length_;
  const uint8_t* zero = record;
  while ((zero = static_cast<const uint8_t*>(std::memchr(zero, 0, size_t(stop - zero))))) {
    uint32_t run = 0;
    for (; zero < stop && *zero == 0 && textValues_[size_t(zero - record)] != 0; ++zero) {
      if (++run == kZeroRun) return true;
    }
    if (zero < stop) ++zero;
  }
  return false;
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
