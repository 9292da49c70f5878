#include "host/subcommands.h"

#include <exception>
#include <iostream>
#include <string>

#include "host/cli_text.h"
#ifdef KEST_HAVE_SUBCOMMANDS
#include "host/export.h"
#include "host/table_survey.h"
#endif
#ifdef KEST_HAVE_SERVE
#include "host/serve.h"
#endif

namespace kest::host {

bool RunSubcommand(int argc, char** argv, int* status) {
  if (argc < 2) return false;
  std::string name = argv[1];
  if (name != "inspect" && name != "export" && name != "serve") return false;
#ifndef KEST_HAVE_SERVE
  if (name == "serve") {
    std::cerr << "dbfrecover serve: not part of this build: " << KEST_SERVE_MISSING
              << ". Recover on the command line (dbfrecover --help).\n";
    *status = kExitUsage;
    return true;
  }
#endif
#ifndef KEST_HAVE_SUBCOMMANDS
  std::cerr << "dbfrecover " << name << ": not part of this build\n";
  *status = kExitUsage;
#else
  try {
    *status = name == "inspect" ? InspectMain(argc - 1, argv + 1, std::cout, std::cerr)
#ifdef KEST_HAVE_SERVE
              : name == "serve" ? ServeMain(argc - 1, argv + 1, std::cout, std::cerr)
#endif
                                : ExportMain(argc - 1, argv + 1, std::cout, std::cerr);
  } catch (const std::exception& failure) {
    std::cout.flush();
    std::cerr << "dbfrecover " << name << ": internal failure: " << plainText(failure.what())
              << "\n";
    *status = kExitInternal;
  }
#endif
  return true;
}

}  // namespace kest::host
