// Why a run ended without a result, in words a user understands, and the
// path it concerns: the one ERROR line a run with extensions writes before
// it returns a code other than KEST_OK, and the words of its report.
//
// Each function below describes one way a run fails. Those that look at
// the disk do so through Env and only read: what stands at a path, and a
// table's size (opened read-only and closed again at once). None raises.
// The system's words, where the failure came with some, are taken as given
// and put in parentheses after the plain words.
#ifndef KEST_KESTDLL_RUN_FAILURE_H_
#define KEST_KESTDLL_RUN_FAILURE_H_

#include <string>

#include "platform/env.h"

namespace kest {

struct RunFailure {
  // "the table is empty"; never empty.
  std::string words;
  // The table, the output or results folder, the result path; empty when
  // no path is concerned (none was given).
  std::string path;

  // "<words>: <path>", or the words alone.
  std::string line() const;
};

// The table could not be opened or read: `llfileCode` is the LLFile code
// the method raised, `systemText` the system's words that came with it.
RunFailure tableUnreadable(const char* table, int llfileCode, const std::string& systemText,
                           platform::Env* env);

// Neither method found a record: an empty table, one too short for its
// header, or records that all fail.
RunFailure nothingFound(const char* table, platform::Env* env);

// The results folder inside `outputFolder` could not be made.
RunFailure resultFolderNotMade(const char* outputFolder, const std::string& resultFolder,
                               const platform::Status& status, platform::Env* env);

// The table's file name leaves no name for the result table.
RunFailure noResultName(const char* table);
// A path inside the results folder would not fit in 259 characters.
RunFailure resultPathTooLong(const char* outputFolder);
// The method could not create its result table in the results folder.
RunFailure resultNotCreated(const std::string& resultFolder);
// The result was begun but not finished: `systemText` is why, when the
// writer knew it; `stopped`, when the user's break ended it.
RunFailure resultNotWhole(const std::string& resultFolder, const std::string& systemText,
                          bool stopped);
// The user's break ended the run before anything was written.
RunFailure stoppedByUser(const char* table);
// Something unforeseen ended the run `where` ("in the best-case method").
RunFailure internalFailure(const char* where, const std::string& path);

}  // namespace kest

#endif  // KEST_KESTDLL_RUN_FAILURE_H_
