// dbfrecover export: the records of tables (healthy, recovered, or a
// worst-case RECOVERED.DBF) as CSV, JSON Lines or an SQLite database.
//
// Reads each table and its memo companion only. CSV and JSON Lines go into
// one new file per table, named after it, in an existing folder; SQLite
// into one database file, one new table per input. Nothing that exists is
// replaced, and an output appears whole or not at all. Values are decoded
// by type; one that cannot be becomes null and is counted in the table's
// closing line. Records stream through a bounded buffer, whatever the
// table's size. A table whose header and file disagree, or whose records
// show damage, is recovered first (the thorough recovery, into a private
// temp folder taken away afterwards) and the recovered records exported.
#ifndef KEST_HOST_EXPORT_H_
#define KEST_HOST_EXPORT_H_

#include <ostream>
#include <string>
#include <vector>

#include "platform/env.h"

namespace kest::host {

struct ExportOptions {
  std::string format = "csv";  // "csv", "jsonl" or "sqlite"
  std::string encoding;        // empty: the table's own code page
  bool deleted = false;        // keep deleted records (with a _deleted column)
  bool progress = false;       // draw a progress bar on `err`
  std::vector<std::string> tables;
  std::string output;
  // Where outputs are made; null: the platform's own.
  platform::Env* env = nullptr;
  // CSV and JSON Lines: a memo of more stored bytes than this is decoded,
  // escaped and written out a piece of about this size at a time, so that
  // its formatted text is never held whole. At least 4.
  size_t memoPieceBytes = 1 << 18;
};

// The formats this build writes (sqlite only when built with SQLite).
std::vector<std::string> ExportFormats();

// Exports every table in turn. Closing lines go to `out`, failures and the
// progress bar to `err`. Returns 0, 4 (a table cannot be read) or 5 (an
// output cannot be created or written), the worst over all tables.
int RunExport(const ExportOptions& options, std::ostream& out, std::ostream& err);

// `dbfrecover export ARGS...`: argv[0] is "export".
int ExportMain(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace kest::host

#endif  // KEST_HOST_EXPORT_H_
