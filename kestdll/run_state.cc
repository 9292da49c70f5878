#include "kestdll/run_state.h"

#include <cstdio>
#include <cstring>

#include "Common/logger/logger.h"
#include "Common/raised_code.h"

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

void reportStatus(const char* text) {
  RunState& s = runState();
  if (s.statusCallback != nullptr) s.statusCallback(text, s.userData);
}

void reportProgress(int32_t percent) {
  RunState& s = runState();
  if (s.progressCallback != nullptr) s.progressCallback("", percent, s.userData);
}

void reportPass(const char* stageText) {
  RunState& s = runState();
  ++s.passCounter;
  // Stage texts come from the host-services library and may fill their
  // whole buffers; the line is cut to the 255 characters of a status line.
  char line[2 * kStageTextSize + 32];
  std::snprintf(line, sizeof line, "%s %d: %s...", s.stageText[kStagePass], s.passCounter,
                stageText != nullptr ? stageText : "");
  line[kStageTextSize - 1] = '\0';
  reportStatus(line);
}

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

void pollBreak() {
  if (breakRequested()) Raise(kUserBreak);
}

}  // namespace kest
