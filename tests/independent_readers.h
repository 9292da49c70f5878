// Readers of result tables that owe nothing to the engine, run as child
// processes: Python with dbfread, Python with python3-dbf (strict: it checks
// the version against the field types and the memo fields against the memo
// file, as the tables' own programs do), and GDAL's ogrinfo. Any may be
// missing from a machine; the tests that use them say so and skip that check.
#ifndef KEST_TESTS_INDEPENDENT_READERS_H_
#define KEST_TESTS_INDEPENDENT_READERS_H_

#include <string>

namespace kest::testing {

// A Windows test process cannot run the build machine's programs and wait
// for their exit status (under wine the status does not come back), so
// there the readers are never found.
#ifdef _WIN32
inline constexpr bool kIndependentReadersReachable = false;
#else
inline constexpr bool kIndependentReadersReachable = true;
#endif
inline constexpr char kNoIndependentReaders[] =
    "dbfread and ogrinfo are programs of the build machine, out of a Windows test's reach";

// A Python that can import dbfread ("python3" from PATH, else the system's
// own), or empty when there is none.
std::string dbfreadPython();
// True when `python` reads every record of the table at `path` (Latin-1).
bool opensInDbfread(const std::string& python, const std::string& path);

// A Python that can import python3-dbf, or empty when there is none.
std::string pythonDbfPython();
// True when python3-dbf opens the table at `path` read-only and reads every
// field of every record, memos included; otherwise `why` (when given) gets
// the reader's complaint.
bool opensInPythonDbf(const std::string& python, const std::string& path,
                      std::string* why = nullptr);

bool ogrinfoAvailable();
// Runs `ogrinfo -ro -al -so` on a table: its exit status (0 when it read
// the table), with what it wrote to stdout and then to stderr appended to
// `output`.
int ogrinfo(const std::string& path, std::string* output);

}  // namespace kest::testing

#endif  // KEST_TESTS_INDEPENDENT_READERS_H_
