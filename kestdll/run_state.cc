#include "kestdll/run_state.h"

#include <atomic>
#include <cstdio>

#include "Common/logger/logger.h"
#include "Common/run_context.h"

namespace kest {

namespace {

const char* const kDefaultStageText[7] = {
    "",
    "done",
    "initializing",
    "trying best-case recovery method",
    "trying worst-case recovery method",
    "writing results",
    "Pass",
};

// Atomic, as breakByteSet reads it.
std::atomic_ref<char> hostByte(volatile char* flag) {
  return std::atomic_ref<char>(const_cast<char&>(*flag));
}

}  // namespace

RunState::RunState() {
  for (int id = kStageDone; id <= kStagePass; ++id) {
    std::snprintf(stageText[id], kStageTextSize, "%s", kDefaultStageText[id]);
  }
}

RunState& runState() {
  static RunState state;
  return state;
}

void resetRunState() { runState() = RunState(); }

void prepareBreakFlag() {
  // Lives as long as the engine is loaded; later runs keep using it.
  static char ownBreakByte = 0;
  RunState& s = runState();
  if (s.breakFlag == nullptr) {
    Log().Error("Breakflag was not initialized.");
    ownBreakByte = 0;
    s.breakFlag = &ownBreakByte;
    Log().Info("Breakflag initialized manually. User Break will not be available.");
  }
  if (hostByte(s.breakFlag).load(std::memory_order_relaxed) != 0) {
    Log().Error("Breakflag is already true!!! Resetting to false");
    hostByte(s.breakFlag).store(0, std::memory_order_relaxed);
  }
}

bool breakRequested() { return breakByteSet(runState().breakFlag); }

}  // namespace kest
