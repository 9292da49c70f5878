#include "tests/independent_readers.h"

#include "tests/child_process.h"
#include "tests/test_support.h"

namespace kest::testing {

std::string dbfreadPython() {
  if (!kIndependentReadersReachable) return "";
  for (const char* python : {"python3", "/usr/bin/python3"}) {
    if (runsCleanly({python, "-c", "import dbfread"})) return python;
  }
  return "";
}

bool opensInDbfread(const std::string& python, const std::string& path) {
  return runsCleanly({python, "-c",
                      "import sys, dbfread; "
                      "list(dbfread.DBF(sys.argv[1], encoding=\"latin-1\"))",
                      path});
}

std::string pythonDbfPython() {
  if (!kIndependentReadersReachable) return "";
  for (const char* python : {"python3", "/usr/bin/python3"}) {
    if (runsCleanly({python, "-c", "import dbf"})) return python;
  }
  return "";
}

bool opensInPythonDbf(const std::string& python, const std::string& path, std::string* why) {
  // The package prints while it reads some tables; only its verdict counts.
  ChildOutcome outcome = runChild(
      {python, "-c",
       "import contextlib, io, sys, dbf\n"
       "try:\n"
       "    with contextlib.redirect_stdout(io.StringIO()):\n"
       "        t = dbf.Table(sys.argv[1], codepage='cp1252')\n"
       "        t.open(dbf.READ_ONLY)\n"
       "        [[r[n] for n in t.field_names] for r in t]\n"
       "        t.close()\n"
       "except Exception as e:\n"
       "    print(type(e).__name__, e); sys.exit(1)\n",
       path});
  if (why != nullptr) *why = outcome.out + outcome.err;
  return outcome.status == 0;
}

bool ogrinfoAvailable() { return kIndependentReadersReachable && exists("/usr/bin/ogrinfo"); }

int ogrinfo(const std::string& path, std::string* output) {
  ChildOutcome outcome = runChild({"ogrinfo", "-ro", "-al", "-so", path});
  *output += outcome.out + outcome.err;
  return outcome.status;
}

}  // namespace kest::testing
