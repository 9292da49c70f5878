// Where the records of a table lie, found the way a receiver keeps frame
// sync: slots are taken while they fit the table's record model; on a slot
// that does not fit, the bytes after it are searched for where records fit
// again: at the same alignment one slot that fits will do, and the
// alignment moves only when several consecutive slots confirm it earlier. A stretch overwritten in place (zeros, another file's
// bytes) is passed over and the records go on at the same alignment; bytes
// inserted or removed move it; records behind the header's count are taken
// while they fit; the records begin where the fit begins.
//
// Pure over a predicate: `fits(position)` says whether the slot at
// `position` fits. No I/O of its own.
#ifndef KEST_THOROUGH_RECORD_ALIGNMENT_H_
#define KEST_THOROUGH_RECORD_ALIGNMENT_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "Common/run_findings.h"

namespace kest {

struct AlignmentEvent {
  enum Kind { kSkipped, kRealigned };
  Kind kind = kSkipped;
  // kSkipped: the bytes first..last (inclusive) held no slot that fits, and
  // `records` slots of the alignment before them were lost there.
  // kRealigned: at `first` records fit again `shift` bytes away from the
  // alignment before (negative: bytes were removed), `records` slots in a
  // row confirming it.
  uint64_t first = 0;
  uint64_t last = 0;
  int64_t shift = 0;
  uint64_t records = 0;
};

class FrameSync {
 public:
  using Fits = std::function<bool(uint64_t position)>;

  // Slots of `length` bytes between `start` and `end` (exclusive).
  // `confirm` consecutive fitting slots make an alignment; the bytes after
  // a slot that does not fit are searched `window` bytes at a time.
  FrameSync(uint64_t start, uint64_t end, uint32_t length, Fits fits, uint32_t confirm = 3,
            uint64_t window = 0);

  // Whether the `count` bytes at `first` and at `second` are the same.
  using SameBytes = std::function<bool(uint64_t first, uint64_t second, uint64_t count)>;
  // With it, a slot taken whose first bytes are those of a record a new
  // alignment places over it is left out for that record: bytes copied from
  // the record's start and inserted before it, read with its start, fit
  // the table's records too.
  void tellCopies(SameBytes same) { same_ = std::move(same); }

  // The next slot that fits, in the order of the table; nullopt at the end.
  // A slot is handed out once the one after it is found: a new alignment
  // may place a record over it.
  std::optional<uint64_t> next();

  // Where the next slot asked about begins, and whether a slot is held to
  // be handed out as it is (the slot before that position): then the slots
  // from there on that fit go out in step with it.
  uint64_t position() const { return position_; }
  bool inStep() const { return holding_ && !dropHeld_; }
  // For a caller that knows the `count` slots from position() on to fit
  // (as fits would say), while inStep(): what `count` calls of next() would
  // hand out, without asking, is the slot held and the `count` - 1 after it,
  // a record length apart from the returned first; the last of the `count`
  // is held.
  uint64_t takeFitting(uint64_t count);

  // What the search passed over and where it moved the alignment, in order.
  const std::vector<AlignmentEvent>& events() const { return events_; }

 private:
  // From the slot at `from`, which does not fit: where records fit again
  // (and the events that say so), or nullopt when none does before the end.
  std::optional<uint64_t> resync(uint64_t from);
  bool confirmed(uint64_t position) const;
  // The next slot that fits into `found`, without the look-ahead of
  // next(); false at the end.
  bool advance(uint64_t& found);

  uint64_t position_;
  uint64_t end_;
  uint32_t length_;
  Fits fits_;
  uint32_t confirm_;
  uint64_t window_;
  std::vector<AlignmentEvent> events_;
  // The slot found and not yet handed out, and whether a new alignment
  // placed a record over it: bytes copied from a record and inserted before
  // it fit at the alignment before, a slot of the copy and the record's
  // start.
  bool holding_ = false;
  uint64_t held_ = 0;
  bool dropHeld_ = false;
  SameBytes same_;
};

// The events as findings of `step`, in words a user understands.
void noteAlignmentEvents(const std::vector<AlignmentEvent>& events, std::string_view step,
                         RunFindings& findings);

}  // namespace kest

#endif  // KEST_THOROUGH_RECORD_ALIGNMENT_H_
