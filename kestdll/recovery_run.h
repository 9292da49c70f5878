// One recovery of one damaged table, from the first report to the return
// code: the run behind the FileRecover export.
//
// The run reads the table with both methods, writes the result of the more
// successful one into a new results folder, and returns a code of the
// public header (KEST_OK ...). It raises nothing: every failure of a stage
// is mapped to a code, and anything unforeseen ends the run as an internal
// failure. It never writes to the table or its memo companions, and it
// never writes a result to any path but the one it composed.
//
// A run keeps its own callbacks, user value and findings; it shares the
// engine's break byte, stage texts and Logger with every other: one run at
// a time.
#ifndef KEST_KESTDLL_RECOVERY_RUN_H_
#define KEST_KESTDLL_RECOVERY_RUN_H_

#include <cstdint>

#include "Common/recovery_options.h"
#include "kestdll/include/kestdll.h"
#include "platform/env.h"

namespace kest {

enum class Winner { kNone, kBestCase, kWorstCase };

struct Choice {
  Winner winner = Winner::kNone;
  // The weight of the best-case count: 3 when both methods agree on the
  // record length, 4 when they do not.
  uint32_t selectionFactor = 4;
  // The best-case result is written because its records are longer than
  // the worst-case search can see, whatever the worst-case count.
  bool beyondWorstCaseRange = false;
};

// The best-case result wins when count1 <= (factor * count0) / 2 and count0
// is not 0, or when the header's records are longer than the worst-case
// search tries (kMaxCandidateLength) and count0 is not 0; the worst-case
// result when it has more and count1 is not 0.
Choice chooseResult(uint32_t count0, uint32_t count1, uint16_t headerRecordLength,
                    uint16_t bestRecordSize);

// True when `logFileName` designates the table or one of its memo
// companions: the same file by identity, or, for names that do not exist
// yet, the same folder and the table's name with its own extension or
// ".dbt"/".fpt" in any letter case (a log of that name would become one).
bool logFileHitsSource(const char* logFileName, const char* sourcePath, platform::Env* env);

// The whole run, with the arguments of FileRecover (the reserved one left
// out). When the engine is not ready (RunState::notReadyReason), reports
// why and returns KEST_INTERNAL without touching the table.
int32_t recoverFile(const char* sourcePath, const char* outputFolder,
                    StatusCallback statusCallback, ProgressCallback progressCallback,
                    void* userData, const char* logFileName,
                    platform::Env* env = platform::Env::Default());

// The same run with the extensions `options` switches on; `report`, when
// not null, receives what the run found and did. With no flag set the run
// is the classic one above, byte for byte.
int32_t recoverFile(const char* sourcePath, const char* outputFolder,
                    StatusCallback statusCallback, ProgressCallback progressCallback,
                    void* userData, const char* logFileName, const RecoveryOptions& options,
                    RecoveryReport* report, platform::Env* env = platform::Env::Default());

// FileRecoverEx over the run above: checks the host's structures (see
// kestdll.h), runs, and copies the run's report into `report`.
int32_t recoverFileEx(const char* sourcePath, const char* outputFolder,
                      StatusCallback statusCallback, ProgressCallback progressCallback,
                      void* userData, const char* logFileName, const KestRecoverOptions* options,
                      KestRecoverReport* report, platform::Env* env = platform::Env::Default());

}  // namespace kest

#endif  // KEST_KESTDLL_RECOVERY_RUN_H_
