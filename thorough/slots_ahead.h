// The record model's fit and the value check of a scan's slots at one
// alignment, judged ahead of the scan on a second thread (and by the
// scan's own thread where it catches up), from the table read afresh by
// each thread. A scan in step with its records then asks for each slot's
// verdict instead of judging it: the verdicts are the ones the scan would
// reach itself, from the same bytes. (The scan reads the bytes it writes
// itself: bytes another processor just wrote are slower to copy than the
// table is to read again.)
//
// Nothing here decides: a slot it has no verdict for (another alignment,
// behind the scan, too far ahead, a read that failed) the scan judges as
// ever. The table is only read.
#ifndef KEST_THOROUGH_SLOTS_AHEAD_H_
#define KEST_THOROUGH_SLOTS_AHEAD_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Common/share_work.h"
#include "platform/env.h"
#include "thorough/record_model.h"
#include "thorough/slot_judge.h"

namespace kest {

class SlotsAhead {
 public:
  // A verdict: the fit in its low bits, kPasses for a live slot whose
  // values pass.
  static constexpr uint8_t kFitBits = 3;
  static constexpr uint8_t kPasses = 4;
  static RecordModel::Fit fitOf(uint8_t verdict) {
    return static_cast<RecordModel::Fit>(verdict & kFitBits);
  }

  // Slots of the model's length from `first` on, those that end by `end`.
  // `checks`, where given, are asked of live slots that fit, as the scan
  // asks them (SlotJudge::keepsLiveInPlace); they must blank nothing and
  // log nothing. Null where the table cannot be opened again or
  // the slots are too few to be worth a thread.
  static std::unique_ptr<SlotsAhead> start(platform::Env* env, const std::string& path,
                                           const RecordModel& model, const SlotJudge* checks,
                                           bool zerosJudged, uint64_t first, uint64_t end);
  ~SlotsAhead();

  uint64_t first() const { return first_; }
  // The verdict on the slot at `position`; nullopt where there is none.
  // Positions asked go forward, as a scan's do.
  std::optional<uint8_t> at(uint64_t position);
  // How many slots in a row from `position` on fit (kYes), within the
  // verdicts held together with its own, and at `*verdicts` those verdicts;
  // 0 where the first does not fit or has none. As at() asked of each.
  uint64_t fittingRun(uint64_t position, const uint8_t** verdicts);
  // The scan is done with the slots before `position`.
  void passed(uint64_t position);

 private:
  SlotsAhead(const RecordModel& model, const SlotJudge* checks, bool zerosJudged, uint64_t first,
             uint64_t end);
  bool judge(uint32_t item, uint32_t place, bool onCaller);
  // Makes held_ the item of the slot at `position`; false where it has
  // no verdicts.
  bool hold(uint64_t position);

  const RecordModel& model_;
  const SlotJudge* checks_;
  bool zerosJudged_;
  uint64_t first_;
  uint64_t length_;
  uint64_t slots_;
  // Slots an item, and its bytes.
  uint64_t perItem_;
  uint64_t itemBytes_;
  // Each thread reads the table through a file of its own, into a buffer
  // of its own where the file's read block does not hold an item whole.
  std::unique_ptr<platform::ReadableFile> files_[2];
  std::vector<uint8_t> buffers_[2];
  std::vector<uint8_t> verdicts_;  // perItem_ a place
  // The item the scan is in: its bytes from..to of the table, its first
  // slot and its verdicts.
  struct Held {
    uint64_t from = 0;
    uint64_t to = 0;
    uint64_t slot = 0;
    uint64_t slots = 0;
    const uint8_t* verdicts = nullptr;
  };
  Held held_;
  // The slot after the one asked last: the scan's next slot is found
  // without a division.
  uint64_t expected_ = UINT64_MAX;
  uint64_t expectedIndex_ = 0;
  // Where the scan's slots pass the next item: the ring moves on there.
  uint64_t releaseAt_;
  std::unique_ptr<ResultsAhead> ahead_;
};

}  // namespace kest

#endif  // KEST_THOROUGH_SLOTS_AHEAD_H_
