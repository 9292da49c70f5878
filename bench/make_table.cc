// bench_table TABLE.dbf MEGABYTES [--memo] [--memo-kind KIND] [--ledger]
//             [--deleted PERMILLE] [--damaged PERMILLE] [--seed N]
//             [--long-memo MEBIBYTES]
//
// Writes a deterministic table of about MEGABYTES million bytes (and with
// --memo its .fpt) for the benchmarks; see table_generator.h. --memo-kind
// (vfp, foxpro2, dbase3, dbase4; implies --memo) picks the memo file's kind;
// --ledger writes a table of numbers instead (no memo). --long-memo
// (implies --memo) makes three notes that long, to measure what an export
// of long memos holds.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "bench/table_generator.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: %s TABLE.dbf MEGABYTES [--memo] [--memo-kind vfp|foxpro2|dbase3|dbase4] "
                 "[--ledger] "
                 "[--deleted PERMILLE] "
                 "[--damaged PERMILLE] [--seed N] [--long-memo MEBIBYTES]\n",
                 argv[0]);
    return 2;
  }
  kest::bench::TableShape shape;
  for (int i = 3; i < argc; ++i) {
    std::string option = argv[i];
    bool hasValue = i + 1 < argc;
    if (option == "--memo") {
      shape.memo = true;
    } else if (option == "--ledger") {
      shape.ledger = true;
    } else if (option == "--memo-kind" && hasValue) {
      const std::string kind = argv[++i];
      using kest::bench::MemoKind;
      const std::pair<const char*, MemoKind> kinds[] = {{"vfp", MemoKind::kVisualFoxPro},
                                                        {"foxpro2", MemoKind::kFoxPro2},
                                                        {"dbase3", MemoKind::kDbase3},
                                                        {"dbase4", MemoKind::kDbase4}};
      bool known = false;
      for (const auto& [name, value] : kinds) {
        if (kind == name) shape.memoKind = value, known = true;
      }
      if (!known) {
        std::fprintf(stderr, "%s: unknown memo kind %s\n", argv[0], kind.c_str());
        return 2;
      }
      shape.memo = true;
    } else if (option == "--deleted" && hasValue) {
      shape.deletedPerMille = static_cast<uint32_t>(std::atoi(argv[++i]));
    } else if (option == "--damaged" && hasValue) {
      shape.damagedPerMille = static_cast<uint32_t>(std::atoi(argv[++i]));
    } else if (option == "--long-memo" && hasValue) {
      shape.longMemoBytes = static_cast<uint64_t>(std::atof(argv[++i]) * (1 << 20));
      shape.memo = true;
    } else if (option == "--seed" && hasValue) {
      shape.seed = std::strtoull(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "%s: unknown option %s\n", argv[0], argv[i]);
      return 2;
    }
  }
  if (shape.ledger) shape.memo = false;
  const double bytes = std::atof(argv[2]) * 1e6;
  shape.records = static_cast<uint64_t>(bytes / kest::bench::recordLength(shape));
  if (!kest::bench::writeTable(argv[1], shape)) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  std::printf("%s: %llu records of %u bytes\n", argv[1],
              static_cast<unsigned long long>(shape.records), kest::bench::recordLength(shape));
  return 0;
}
