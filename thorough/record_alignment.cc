#include "thorough/record_alignment.h"

#include <algorithm>

namespace kest {

namespace {
// Far enough to cross a stretch of a few pages of foreign bytes in one
// search; a longer one is crossed window by window.
constexpr uint64_t kMinWindow = 64 * 1024;
constexpr uint32_t kWindowRecords = 64;
}  // namespace

FrameSync::FrameSync(uint64_t start, uint64_t end, uint32_t length, Fits fits, uint32_t confirm,
                     uint64_t window)
    : position_(start),
      end_(end),
      length_(length),
      fits_(std::move(fits)),
      confirm_(std::max<uint32_t>(confirm, 1)),
      window_(window != 0 ? window
                          : std::max<uint64_t>(kMinWindow, uint64_t{kWindowRecords} * length)) {}

std::optional<uint64_t> FrameSync::next() {
  // Runs once a slot of the table: a slot that fits at the alignment is
  // found here, the rest by advance().
  for (;;) {
    uint64_t found = 0;
    bool more;
    if (position_ + length_ <= end_ && length_ != 0 && fits_(position_)) {
      found = position_;
      position_ += length_;
      more = true;
    } else {
      more = advance(found);
    }
    const bool had = holding_ && !dropHeld_;
    const uint64_t out = held_;
    dropHeld_ = false;
    holding_ = more;
    held_ = found;
    if (had) return out;
    if (!more) return std::nullopt;
  }
}

uint64_t FrameSync::takeFitting(uint64_t count) {
  const uint64_t first = held_;
  held_ = position_ + (count - 1) * length_;
  position_ += count * length_;
  return first;
}

bool FrameSync::advance(uint64_t& found) {
  if (length_ == 0) return false;
  while (position_ + length_ <= end_) {
    if (fits_(position_)) {
      found = position_;
      position_ += length_;
      return true;
    }
    std::optional<uint64_t> resume = resync(position_);
    if (!resume) {
      position_ = end_;
      break;
    }
    position_ = *resume;
  }
  return false;
}

bool FrameSync::confirmed(uint64_t position) const {
  // Near the end of the table fewer slots remain to confirm with; the last
  // one alone confirms itself.
  const uint64_t room = (end_ - position) / length_;
  const uint64_t needed = std::min<uint64_t>(confirm_, room);
  if (needed == 0) return false;
  for (uint64_t i = 0; i < needed; ++i) {
    if (!fits_(position + i * length_)) return false;
  }
  return true;
}

std::optional<uint64_t> FrameSync::resync(uint64_t from) {
  const uint64_t length = length_;
  uint64_t searchFrom = from;
  std::optional<uint64_t> resume;
  while (!resume && searchFrom + length <= end_) {
    const uint64_t limit = std::min(end_, searchFrom + window_);
    // The same alignment going on after a stretch overwritten in place: it
    // was confirmed before, and one slot that fits says it goes on.
    std::optional<uint64_t> same;
    for (uint64_t at = searchFrom + (searchFrom == from ? length : 0); at + length <= limit;
         at += length) {
      if (fits_(at)) {
        same = at;
        break;
      }
    }
    // Another alignment that begins earlier: bytes inserted or removed.
    const uint64_t otherEnd = same ? *same : limit;
    for (uint64_t at = searchFrom + 1; at < otherEnd && at + length <= end_; ++at) {
      if ((at - from) % length == 0) continue;
      if (confirmed(at)) {
        resume = at;
        break;
      }
    }
    if (!resume) resume = same;
    if (resume) break;
    // Nothing fits in this window: on to the next, at the same alignment,
    // overlapping by a record so that none is missed at the seam.
    const uint64_t step = std::max<uint64_t>(length, (window_ - length) / length * length);
    searchFrom += step;
  }
  const uint64_t stop = resume ? *resume : end_;
  AlignmentEvent skipped;
  skipped.kind = AlignmentEvent::kSkipped;
  skipped.first = from;
  skipped.last = stop - 1;
  skipped.records = (stop - from) / length;
  if (resume) {
    const uint64_t turn = (*resume - from) % length;
    // The new alignment's record before the first that confirmed it lies
    // over the last slot taken: where it fits and the slot begins with its
    // bytes, it is the record, and the slot was a copy of its start
    // inserted before it, read with its start. Slots over bytes removed
    // begin unlike the record they overlap.
    constexpr uint64_t kLeastCopy = 4;
    const uint64_t back = *resume - length;
    if (same_ && turn != 0 && *resume >= length && back < from && holding_ &&
        held_ + length == from && back >= held_ + kLeastCopy &&
        same_(held_, back, back - held_) && fits_(back)) {
      dropHeld_ = true;
      resume = back;
      AlignmentEvent moved;
      moved.kind = AlignmentEvent::kRealigned;
      moved.first = back;
      moved.shift = int64_t(back - held_);
      moved.records = std::min<uint64_t>(confirm_, (end_ - back) / length);
      events_.push_back(moved);
      return resume;
    }
    if (turn != 0) {
      AlignmentEvent moved;
      moved.kind = AlignmentEvent::kRealigned;
      moved.first = *resume;
      moved.shift = turn <= length / 2 ? int64_t(turn) : int64_t(turn) - int64_t(length);
      moved.records = std::min<uint64_t>(confirm_, (end_ - *resume) / length);
      if (skipped.records != 0) events_.push_back(skipped);
      events_.push_back(moved);
      return resume;
    }
  }
  // Slots that do not fit but leave no whole slot's room before the end
  // are the end's business, not a stretch.
  if (stop - from >= length || resume) events_.push_back(skipped);
  return resume;
}

void noteAlignmentEvents(const std::vector<AlignmentEvent>& events, std::string_view step,
                         RunFindings& findings) {
  for (size_t i = 0; i < events.size(); ++i) {
    const AlignmentEvent& e = events[i];
    if (e.kind == AlignmentEvent::kSkipped) {
      const bool moved = i + 1 < events.size() && events[i + 1].kind == AlignmentEvent::kRealigned;
      findings.skipped(step, e.first, e.last, e.records, {}, moved);
    } else {
      findings.realigned(step, e.first, e.shift,
                         groupedNumber(e.records) +
                             " records in a row fit the table's records there, none at the "
                             "alignment before");
    }
  }
}

}  // namespace kest
