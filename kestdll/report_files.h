// The whole report of a thorough run, as files in its results folder: what
// the C report can only summarize (a damaged table may have hundreds of
// findings) in plain text for the user and JSON for a program.
//
// They follow a whole result table and are no part of it: a report that
// cannot be written (its names are shorter than the table's, so only a
// full disk or a failing device stops it) leaves the result as it stands,
// with an INFO line, and the C report still holds the summary.
#ifndef KEST_KESTDLL_REPORT_FILES_H_
#define KEST_KESTDLL_REPORT_FILES_H_

#include <string>
#include <vector>

#include "Common/recovery_options.h"
#include "platform/env.h"

namespace kest {

inline constexpr const char* kReportTextName = "REPORT.TXT";
inline constexpr const char* kReportJsonName = "REPORT.JSON";

std::string reportText(const RecoveryReport& report);
std::string reportJson(const RecoveryReport& report);

// The paths of both files inside `resultFolder`.
std::vector<std::string> reportFilePaths(const std::string& resultFolder);

// Writes both files (each under its temporary name, synced, then renamed,
// never over anything). A file that fails leaves nothing of itself and
// the next is still tried; false when any failed.
bool placeReportFiles(const std::string& resultFolder, const RecoveryReport& report,
                      platform::Env* env);

}  // namespace kest

#endif  // KEST_KESTDLL_REPORT_FILES_H_
