// dbfrecover inspect: what is wrong with a table, before anything is
// written. Reads each table and its memo companion only; writes nothing to
// disk.
//
// For each table: the header as read, the field list with the descriptors
// that cannot be right, the plausibility of the whole (file size, the
// terminator, the record length, the memo companions), a sample of the
// records, and one closing verdict line. Plain lines, or with --json one
// JSON object per table.
#ifndef KEST_HOST_TABLE_SURVEY_H_
#define KEST_HOST_TABLE_SURVEY_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace kest::host {

// Exit statuses of inspect; over several tables the largest is left.
enum InspectStatus : int {
  kInspectHealthy = 0,
  kInspectDamaged = 1,
  // 2 is the usage error of every dbfrecover command.
  kInspectUnreadable = 4,  // missing, not a file, or not readable
};

struct InspectOptions {
  std::vector<std::string> tables;
  bool json = false;
  // Records looked at for the sample; 0 for all of them.
  uint64_t sampleRecords = 100000;
  // Character set of the text; empty for the table's own code page.
  std::string encoding;
};

// Inspects every table in turn, the report on `out`, and returns the worst
// status.
int RunInspect(const InspectOptions& options, std::ostream& out);

// `dbfrecover inspect ARGS...`: argv[0] is "inspect".
int InspectMain(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace kest::host

#endif  // KEST_HOST_TABLE_SURVEY_H_
