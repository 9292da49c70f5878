// The engine-wide state of the current recovery run, and the relays through
// which the engine talks back to its host.
//
// One copy per loaded engine, not guarded by any lock: the host runs one
// recovery at a time, and everything a run does happens on its thread. The
// only datum another thread touches is the host's break byte, which every
// poll reads afresh from memory.
#ifndef KEST_KESTDLL_RUN_STATE_H_
#define KEST_KESTDLL_RUN_STATE_H_

#include <cstdint>
#include <string>

#include "kestdll/include/kestdll.h"

namespace kest {

enum StageId {
  kStageDone = 1,
  kStageInitializing = 2,
  kStageBestCase = 3,
  kStageWorstCase = 4,
  kStageWriting = 5,
  kStagePass = 6,
};

inline constexpr size_t kStageTextSize = 256;
inline constexpr size_t kPathBufferSize = 260;

struct RunState {
  StatusCallback statusCallback = nullptr;
  ProgressCallback progressCallback = nullptr;
  void* userData = nullptr;
  int32_t passCounter = 0;
  // The host's break byte; null until SetBreakFlag (or the first run).
  volatile char* breakFlag = nullptr;
  // Stage texts by id 1..6 (index 0 unused), localized at load.
  char stageText[7][kStageTextSize] = {};
  // The results folder of the current run, at most 259 characters.
  std::string resultFolder;
  // Record length from the table header (best case) and from the layout
  // search (worst case); the driver compares them.
  uint16_t headerRecordLength = 0;
  uint16_t bestRecordSize = 0;
  // Why the engine refuses to run recoveries (the load could not set up
  // the temp workspace or bind the host-services library); empty when it
  // is ready.
  std::string notReadyReason;

  RunState();
};

RunState& runState();

// Restores the load-time state: default stage texts, no callbacks, no
// break byte, both record lengths 0. For tests and the library's load.
void resetRunState();

void reportStatus(const char* text);
void reportProgress(int32_t percent);
// "%s %d: %s..." with the Pass text, the next pass number and `stageText`,
// cut to the 255 characters of a status line.
void reportPass(const char* stageText);

// Makes the break byte the engine's own when the host never handed one
// over, and clears a byte left set by an earlier run; logs both cases.
void prepareBreakFlag();

// True when the host's break byte is set.
bool breakRequested();
// Raises the user break when the host's break byte is set.
void pollBreak();

}  // namespace kest

#endif  // KEST_KESTDLL_RUN_STATE_H_
