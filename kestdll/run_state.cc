#include "kestdll/run_state.h"

#include <cstdio>

#include "Common/logger/logger.h"

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
  if (*s.breakFlag != 0) {
    Log().Error("Breakflag is already true!!! Resetting to false");
    *s.breakFlag = 0;
  }
}

bool breakRequested() {
  volatile const char* flag = runState().breakFlag;
  return flag != nullptr && *flag != 0;
}

}  // namespace kest
