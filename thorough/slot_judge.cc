#include "thorough/slot_judge.h"

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
      relaxedValues_(relaxedValues) {}

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
  const bool sound = fieldsPass(record, /*quiet=*/true);
  if (flag == kLiveRecord) return sound ? SlotKind::kLive : SlotKind::kFailed;
  if (flag == kDeletedRecord) return sound ? SlotKind::kDeleted : SlotKind::kFailed;
  return sound ? SlotKind::kJammedButSound : SlotKind::kFailed;
}

}  // namespace kest
