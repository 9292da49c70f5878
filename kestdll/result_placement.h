// Where a run puts its result: the results folder named after the table and
// the local time, and the copies of the table's memo companions beside the
// best-case result.
//
// Paths travel in buffers of 260 bytes (259 characters and the terminator).
// The folder name is cut to fit, as hosts expect; every other composed path
// that would not fit is refused rather than cut, so that nothing is ever
// written to a path the run did not mean. Nothing here writes to the source
// table or its companions: they are only listed and read.
#ifndef KEST_KESTDLL_RESULT_PLACEMENT_H_
#define KEST_KESTDLL_RESULT_PLACEMENT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "Common/recovery_options.h"
#include "platform/env.h"

namespace kest {

// "<outputFolder>/Recovered <table file name> <d>-<Mon>-<yy> <hh>.<mm>" from
// the local time, cut to 259 characters. The table's file name is what
// follows the later of its last '\' and last '/'. Does not create the folder.
std::string makeResultFolderName(const char* sourcePath, const char* outputFolder,
                                 platform::Env* env);

// One companion copy: from the source's folder into the results folder.
struct CompanionCopy {
  std::string from;
  std::string to;
};

// The memo companions of `sourcePath` (listMemoCompanions), in the order the
// folder listing gives them, each with its copy target: the folder of
// `targetTablePath`, `targetName`, and the companion's own extension.
std::vector<CompanionCopy> planMemoCompanionCopies(const char* sourcePath,
                                                  const char* targetTablePath,
                                                  const char* targetName,
                                                  platform::Env* env);

// Counts the memo companions of `sourcePath`, logging the search; with
// `targetTablePath` given, also copies each one (as placeMemoCompanion; a
// copy that fails or whose target would not fit in 259 characters is
// skipped and still counted; the companion itself is read by its path,
// whatever its length).
int32_t copyMemoCompanions(const char* sourcePath, const char* targetTablePath,
                           const char* targetName, platform::Env* env);
// The log lines of the companion search alone ("File:", "Looking for mask:").
void logMemoCompanionSearch(const char* sourcePath);

// Copies one companion the way a result is written: under its temporary
// name, synced, then renamed to `copy.to` (never over anything) and the
// folder synced. On failure nothing of it is left and the failure is
// logged with the system's text (and noted in `report`, when given).
bool placeMemoCompanion(const CompanionCopy& copy, platform::Env* env,
                        RecoveryReport* report = nullptr);
// Places every copy in turn. At the first failure the copies placed
// before it are removed again and false is returned: a memo file missing
// beside its table loses the memo values.
bool placeMemoCompanions(const std::vector<CompanionCopy>& copies, platform::Env* env,
                         RecoveryReport* report);
// Removes copies that placeMemoCompanions placed.
void withdrawMemoCompanions(const std::vector<CompanionCopy>& copies, platform::Env* env);

}  // namespace kest

#endif  // KEST_KESTDLL_RESULT_PLACEMENT_H_
