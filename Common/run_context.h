// What a recovery method may ask of the run that drives it: tell the host
// how far it has come, learn whether the host asked it to stop, which
// extensions the run switched on, and where to note what it repaired.
//
// The run hands one down beside Env*, so the methods and the table writer
// never reach up into the engine that calls them. Called on the run's
// thread only; the break may be requested from any thread, and every
// breakRequested() reads it afresh.
#ifndef KEST_COMMON_RUN_CONTEXT_H_
#define KEST_COMMON_RUN_CONTEXT_H_

#include <atomic>
#include <cstdint>

#include "Common/raised_code.h"
#include "Common/recovery_options.h"

namespace kest {

// Whether the host's break byte is set; false for none. The host sets its
// byte from another thread while a run polls it: each access is atomic, so
// the two never race and no poll is optimized away. The byte is the
// host's plain char; only the engine's view of it was volatile.
inline bool breakByteSet(volatile char* byte) {
  return byte != nullptr &&
         std::atomic_ref<char>(const_cast<char&>(*byte)).load(std::memory_order_relaxed) != 0;
}

class RunContext {
 public:
  virtual ~RunContext() = default;

  // `percent` for the host's progress report.
  virtual void reportProgress(int32_t percent) = 0;
  // True when the host has asked the run to stop.
  virtual bool breakRequested() const = 0;

  // The extensions of this run; none (the classic run) unless overridden.
  virtual const RecoveryOptions& options() const;
  // Where the methods note what they found and repaired; null when nobody
  // keeps a report.
  virtual RecoveryReport* report() { return nullptr; }
  // The run's one channel for findings (the report's); null when nobody
  // keeps a report.
  RunFindings* findings() {
    RecoveryReport* kept = report();
    return kept != nullptr ? &kept->findings : nullptr;
  }

  // Raises kUserBreak when the host has asked the run to stop. Polled once
  // a record (once a run of records a thorough scan judged ahead): a
  // context that watches a break byte reads it here, inline.
  void pollBreak() const {
    if (breakSlot_ != nullptr ? watchedByteSet() : breakRequested()) Raise(kUserBreak);
  }

  // Hears no progress and never breaks: for a method run on its own.
  static RunContext* Silent();

 protected:
  // For a context whose break is a byte the host sets: `slot` holds the
  // byte's address (null for none) and outlives the context. The host may
  // hand over another byte at any time, so every poll reads the slot, then
  // the byte, afresh. breakRequested() must say what the byte says.
  void watchBreakByte(volatile char* const* slot) { breakSlot_ = slot; }

 private:
  bool watchedByteSet() const {
    return breakByteSet(std::atomic_ref<volatile char*>(const_cast<volatile char*&>(*breakSlot_))
                            .load(std::memory_order_relaxed));
  }

  volatile char* const* breakSlot_ = nullptr;
};

}  // namespace kest

#endif  // KEST_COMMON_RUN_CONTEXT_H_
