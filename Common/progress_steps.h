// Progress in whole steps: the step of `done` out of `total` is
// span * done / total, and a report goes out when it moves on. A scan asks
// once a record; the answer costs a comparison, the division coming only
// when the step moves.
#ifndef KEST_COMMON_PROGRESS_STEPS_H_
#define KEST_COMMON_PROGRESS_STEPS_H_

#include <cstdint>

namespace kest {

class ProgressSteps {
 public:
  ProgressSteps(uint64_t span, uint64_t total)
      : span_(span), total_(total), next_(firstAfter(0)) {}

  // True when the step of `done` differs from the step of done - 1 (never
  // for done 0 or a total of 0). Fastest when done counts up by one.
  bool movesAt(uint64_t done) {
    if (done == 0 || total_ == 0) return false;
    if (done != last_ + 1) {
      last_ = done;
      next_ = firstAfter(done);
      return span_ * done % total_ < span_;
    }
    last_ = done;
    if (done < next_) return false;
    next_ = firstAfter(done);
    return true;
  }

  uint64_t step(uint64_t done) const { return span_ * done / total_; }

 private:
  // The first done past `done` with a higher step.
  uint64_t firstAfter(uint64_t done) const {
    if (total_ == 0 || span_ == 0) return UINT64_MAX;
    return ((step(done) + 1) * total_ + span_ - 1) / span_;
  }

  uint64_t span_;
  uint64_t total_;
  uint64_t last_ = 0;
  uint64_t next_;
};

}  // namespace kest

#endif  // KEST_COMMON_PROGRESS_STEPS_H_
