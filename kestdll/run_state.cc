#include "kestdll/run_state.h"

#include <cstdio>
#include <cstring>

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
  // "%s %d: %s..." cut to the 255 characters of the host's line buffer.
  std::string line = std::string(s.stageText[kStagePass]) + " " +
                     std::to_string(s.passCounter) + ": " +
                     (stageText != nullptr ? stageText : "") + "...";
  if (line.size() > kStageTextSize - 1) line.resize(kStageTextSize - 1);
  reportStatus(line.c_str());
}

bool breakRequested() {
  volatile const char* flag = runState().breakFlag;
  return flag != nullptr && *flag != 0;
}

void pollBreak() {
  if (breakRequested()) Raise(kUserBreak);
}

}  // namespace kest
