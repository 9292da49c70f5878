// Where records stand when the value check alone must tell: the scan's
// phase holds while most slots after a faulty one pass; when fewer pass,
// every phase within reach is weighed, and one is taken only when its runs
// of slots pass clearly better (or, with aligned text, begin their text
// fields with their text clearly more often). The fallback of a table
// whose records do not tell a record from bytes a few places off.
//
// Pure over the table's bytes, read through ReadBytes.
#ifndef KEST_THOROUGH_PHASE_SEARCH_H_
#define KEST_THOROUGH_PHASE_SEARCH_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "thorough/record_model.h"
#include "thorough/slot_judge.h"

namespace kest {

// A run of this many slots decides a phase.
inline constexpr uint32_t kPhaseRun = 16;

// What the slots after a faulty one say for the scan's phase.
struct PhaseSupport {
  uint32_t slots = 0;
  // Live and deleted records that pass; those and the jammed ones whose
  // fields pass.
  uint32_t passing = 0;
  uint32_t sound = 0;
  // The sum of the sound slots' alignment evidence (alignmentEvidence).
  int32_t alignment = 0;
  // The slots that fit the fields' layout, a jammed flag taken for one.
  uint32_t fitting = 0;
};

// What a slot's text fields say of where the records lie: each text field
// that holds something counts +1 when it begins with it (programs write
// text left-aligned, padded with spaces) and -1 when it begins with a
// space.
int32_t alignmentEvidence(const uint8_t* record, size_t length,
                          const std::vector<FieldPlace>& places);

// How many of the slot's fields hold something other than padding.
uint32_t filledFields(const uint8_t* record, size_t length, const std::vector<FieldPlace>& places);

// A table of a few records whose last one ends at its end-of-file byte a
// record length off the header's phase: bytes were inserted or removed
// among the records. The first slots stand at the header's phase, the last
// ones where they end at the end of the file; where the fields' layout
// fits the slots in between either way, they are left out: taking either
// would write misread bytes as often as records.
struct EndAnchored {
  // Slots from the start, at the header's phase.
  uint32_t first = 0;
  // Slots from `lastFrom` on, the last ending at the end-of-file byte.
  uint64_t lastFrom = 0;
  uint32_t last = 0;
  // Slots between them that fit either phase.
  uint32_t undecided = 0;
};

class PhaseSearch {
 public:
  // `poll` is called now and then during a long search (the break);
  // `alignedText` lets the text fields' alignment decide too.
  PhaseSearch(const SlotJudge& judge, ReadBytes read, std::function<void()> poll,
              bool alignedText);

  // How many of the `count` slots from `position` on, a record length
  // apart and before `end`, are live or deleted records that pass; `sound`
  // also counts the jammed ones whose fields pass, and `alignment` sums
  // the alignment evidence of those sound slots.
  // `fitting` counts the slots that fit the fields' layout (a jammed flag
  // taken for a flag), `filled` their
  // fields that hold something (filledFields).
  uint32_t passingRun(uint64_t position, uint64_t end, uint32_t count, uint32_t* sound = nullptr,
                      int32_t* alignment = nullptr, uint32_t* fitting = nullptr,
                      uint32_t* filled = nullptr);

  // The offset after `position` (up to a bound) at which a run of records
  // passes best, and clearly better than the scan's phase as `here` tells
  // it; 0 when there is none, or where the header's phase resumes.
  uint64_t realignedSkip(uint64_t position, uint64_t end, const PhaseSupport& here);

  // Where bytes inserted or removed before the records turned them all: the
  // bytes after `start` at which the first slots fit the fields' layout
  // where they do not at `start` (RecordModel::layoutPhases); 0 when the
  // layout leaves the phase as it is.
  uint64_t layoutStart(uint64_t start, uint64_t end);

  // Whether the bytes from `start` begin as lines of text (readsAsText):
  // a header read from the first bytes of a text file describes no table.
  bool readsAsText(uint64_t start, uint64_t end);

  // Where the records of a few stand when their last one ends at the
  // end-of-file byte of the `size` bytes off the phase of `start`
  // (EndAnchored); none where the phase holds to the end, or no slot fits
  // at the end's, or the table has more than a few slots. The header's
  // count is not asked: it may be stale.
  std::optional<EndAnchored> endAnchored(uint64_t start, uint64_t size);

  // Whether the slot fits the fields' layout (RecordModel::fitsLayout).
  bool fitsLayout(const uint8_t* slot) const;

  // Whether nearly all of the first slots from `start` fit the fields'
  // layout: then a slot that passes the record check but does not fit it
  // may be bytes inserted among the records.
  bool layoutHolds(uint64_t start, uint64_t end);

  // How far realignedSkip looks after a faulty slot.
  uint64_t reach() const;

 private:
  const SlotJudge& judge_;
  ReadBytes read_;
  std::function<void()> poll_;
  bool alignedText_;
  std::vector<uint8_t> probe_;
  RecordHints hints_;
  // The fields' layout alone: which of a few phases that pass alike puts
  // the fields where their kinds of bytes stand.
  RecordModel layout_;
};

}  // namespace kest

#endif  // KEST_THOROUGH_PHASE_SEARCH_H_
