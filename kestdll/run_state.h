// What the loaded engine keeps between runs: the host's break byte, the
// stage texts the host-services library localized, and why the engine
// refuses to run, if it does. Everything that belongs to one run (its
// callbacks, user value, pass counter, results folder, record lengths)
// lives in that run.
//
// One copy per loaded engine, not guarded by any lock: the host runs one
// recovery at a time, and everything a run does happens on its thread. The
// only datum another thread touches is the host's break byte, which every
// poll reads afresh from memory.
#ifndef KEST_KESTDLL_RUN_STATE_H_
#define KEST_KESTDLL_RUN_STATE_H_

#include <cstddef>
#include <string>

namespace kest {

enum StageId {
  kStageDone = 1,
  kStageInitializing = 2,
  kStageBestCase = 3,
  kStageWorstCase = 4,
  kStageWriting = 5,
  kStagePass = 6,
};

// A stage text's buffer, and a status line's: 255 characters and the
// terminator.
inline constexpr size_t kStageTextSize = 256;

struct RunState {
  // The host's break byte; null until SetBreakFlag (or the first run).
  volatile char* breakFlag = nullptr;
  // Stage texts by id 1..6 (index 0 unused), localized at load.
  char stageText[7][kStageTextSize] = {};
  // Why the engine refuses to run recoveries (the load could not set up
  // the temp workspace or bind the host-services library); empty when it
  // is ready.
  std::string notReadyReason;

  RunState();
};

RunState& runState();

// Restores the load-time state: default stage texts, no break byte. For
// tests and the library's load.
void resetRunState();

// Makes the break byte the engine's own when the host never handed one
// over, and clears a byte left set by an earlier run; logs both cases.
void prepareBreakFlag();

// True when the host's break byte is set.
bool breakRequested();

}  // namespace kest

#endif  // KEST_KESTDLL_RUN_STATE_H_
