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

bool ogrinfoAvailable() { return kIndependentReadersReachable && exists("/usr/bin/ogrinfo"); }

int ogrinfo(const std::string& path, std::string* output) {
  ChildOutcome outcome = runChild({"ogrinfo", "-ro", "-al", "-so", path});
  *output += outcome.out + outcome.err;
  return outcome.status;
}

}  // namespace kest::testing
