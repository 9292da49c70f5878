// What dbfrecover looks up on disk around a run: the memo companions of a
// table (to keep the log away from them), the results folder that a run
// made, and the record count in a result table's header.
//
// The host only reads here; it never writes to a table, a companion or a
// result.
#ifndef KEST_HOST_TABLE_FILES_H_
#define KEST_HOST_TABLE_FILES_H_

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kest::host {

// The memo companions the engine takes for `tablePath` (the rule of
// dbf/memo_companion.h), as paths in its folder.
std::vector<std::string> memoCompanions(const std::string& tablePath);

// When the log file `logPath` would write into one of `tables` or into a
// memo companion of one (the engine appends to its log), the path it would
// hit; otherwise nullopt. Existing files are compared by identity (the
// platform's SameFile, so links and other spellings are caught); a log
// that does not exist yet is refused when it would become a companion:
// same folder, a name of the companion form.
std::optional<std::string> logClash(const std::string& logPath,
                                    const std::vector<std::string>& tables);

// Names of the entries of `outputFolder` that begin with "Recovered ".
std::set<std::string> resultFolderNames(const std::string& outputFolder);

struct ResultLocation {
  std::string folder;  // the new results folder
  std::string table;   // the result table in it; empty when none was found
  // "best-case" when the table carries the source's name, "worst-case" for
  // RECOVERED.DBF, "unknown" when the two cannot be told apart (a source
  // itself named RECOVERED.DBF) or no table was found.
  std::string method;
  std::optional<uint32_t> records;  // from the result's header
};

// The results folder that a run on `sourcePath` made in `outputFolder`: the
// newest folder "Recovered ..." that is not among `before`, preferring one
// named after the source. nullopt when the run left none.
std::optional<ResultLocation> findNewResult(const std::string& outputFolder,
                                            const std::string& sourcePath,
                                            const std::set<std::string>& before);

// What `folder` holds, in name order: what a run that failed or was
// stopped while writing left behind.
std::vector<std::string> folderContents(const std::string& folder);

// The record count in a table's header. nullopt when the file cannot be
// read or ends before the count does.
std::optional<uint32_t> readRecordCount(const std::string& tablePath);

}  // namespace kest::host

#endif  // KEST_HOST_TABLE_FILES_H_
