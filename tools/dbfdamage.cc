// dbfdamage: makes a damaged copy of a healthy table, for testing a
// recovery pipeline. The command line only; the damage is dbf_damage.cc.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/dbf_damage.h"

namespace {

using namespace kest::tools;

const char kUsage[] =
    "Usage: dbfdamage [--seed N] [--force] MODE SOURCE.dbf DAMAGED.dbf\n"
    "       dbfdamage --list | --help\n"
    "\n"
    "Writes DAMAGED.dbf, a copy of SOURCE.dbf damaged by MODE, with copies of\n"
    "SOURCE's memo companions (.fpt/.dbt, any letter case) named after it.\n"
    "SOURCE and its companions are only read. The same SOURCE, MODE and seed\n"
    "give the same bytes.\n"
    "\n"
    "Options:\n"
    "  --seed N   choices of the random modes (default 1)\n"
    "  --force    replace existing outputs, and remove memo companions of\n"
    "             DAMAGED's name that the damaged copy does not have\n"
    "  --list     list the modes\n"
    "  -h, --help show this help\n"
    "\n"
    "Exit status: 0 written; 2 usage error; 3 the mode does not apply to this\n"
    "table (no memo, no records, a header that describes no table); 4 SOURCE\n"
    "cannot be read; 5 an output cannot be written or is refused (it is the\n"
    "source or one of its companions, it exists without --force).\n";

int usageError(const std::string& what) {
  std::fprintf(stderr, "dbfdamage: %s\nTry 'dbfdamage --help'.\n", what.c_str());
  return kDamageUsage;
}

bool parseSeed(const std::string& text, uint64_t* seed) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *seed = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  DamageRequest request;
  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.empty() || arg[0] != '-') {
      operands.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kDamageDone;
    } else if (arg == "--list") {
      for (const DamageModeInfo& info : damageModes()) {
        std::printf("%-22s %s\n", info.name, info.summary);
      }
      return kDamageDone;
    } else if (arg == "--force") {
      request.overwrite = true;
    } else if (arg == "--seed" || arg.rfind("--seed=", 0) == 0) {
      std::string value;
      if (arg == "--seed") {
        if (i + 1 == argc) return usageError("--seed needs a number");
        value = argv[++i];
      } else {
        value = arg.substr(7);
      }
      if (!parseSeed(value, &request.seed)) return usageError("not a seed: '" + value + "'");
    } else {
      return usageError("unknown option '" + arg + "'");
    }
  }
  if (operands.size() != 3) return usageError("expected MODE SOURCE.dbf DAMAGED.dbf");
  std::optional<DamageMode> mode = damageModeNamed(operands[0]);
  if (!mode) return usageError("unknown mode '" + operands[0] + "' (dbfdamage --list shows them)");
  request.mode = *mode;
  request.source = operands[1];
  request.output = operands[2];

  std::string message;
  DamageStatus status = damageTable(request, &message);
  std::fprintf(status == kDamageDone ? stdout : stderr, "%s%s\n",
               status == kDamageDone ? "" : "dbfdamage: ", message.c_str());
  return status;
}
