// Speed and memory benchmark of the two recovery methods.
//
//   recovery_bench make TABLE RECORDS   write a healthy synthetic table
//   recovery_bench best TABLE [LOG]     count its records the best-case way
//   recovery_bench worst TABLE [LOG]    search its layout and count the worst-case way
//
// With LOG, the run logs everything to that file, as a host that names a
// log file gets it; without, logging is off, as in a run without a log.
// Time whole processes from outside (several runs, the median); the
// program prints what it counted so that runs can be checked against each
// other.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "Common/logger/logger.h"
#include "Common/raised_code.h"
#include "best_case/method0.h"
#include "dbf/dbf_format.h"
#include "worst_case/method1.h"

namespace {

// A table of 120-byte records: name (C 40), amount (N 12), date (D 8),
// flag (L 1), remark (C 58), with one record in 16 deleted.
int makeTable(const char* path, long records) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return 1;
  struct Field { const char* name; char type; uint8_t length; };
  const Field fields[] = {{"NAME", 'C', 40}, {"AMOUNT", 'N', 12}, {"DUE", 'D', 8},
                          {"PAID", 'L', 1}, {"REMARK", 'C', 58}};
  kest::DbfHeader header;
  header.setVersion(0x03);
  header.setRecordCount(static_cast<uint32_t>(records));
  header.setHeaderLength(32 + 32 * 5 + 1);
  header.setRecordLength(120);
  out.write(reinterpret_cast<const char*>(header.bytes), 32);
  uint32_t displacement = 1;
  for (const Field& f : fields) {
    kest::DbfFieldDescriptor d;
    d.setName(f.name);
    d.setType(f.type);
    d.setLength(f.length);
    d.setDisplacement(displacement);
    displacement += f.length;
    out.write(reinterpret_cast<const char*>(d.bytes), 32);
  }
  out.put(static_cast<char>(kest::kHeaderTerminator));
  char record[121];
  for (long i = 0; i < records; ++i) {
    std::snprintf(record, sizeof record, "%c%-40.40s%12.2f%04ld%02ld%02ld%c%-58.58s",
                  i % 16 == 15 ? '*' : ' ', ("Customer " + std::to_string(i)).c_str(),
                  static_cast<double>(i % 100000) * 1.25, 1990 + i % 30, 1 + i % 12,
                  1 + i % 28, "TF"[i % 2], "remark text for a benchmark record");
    out.write(record, 120);
  }
  out.put(static_cast<char>(kest::kEndOfFile));
  return out ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "make") == 0) {
    return makeTable(argv[2], std::atol(argv[3]));
  }
  if (argc < 3 || (std::strcmp(argv[1], "best") != 0 && std::strcmp(argv[1], "worst") != 0)) {
    std::fprintf(stderr, "usage: %s make TABLE RECORDS | best TABLE [LOG] | worst TABLE [LOG]\n",
                 argv[0]);
    return 2;
  }
  kest::Logger logger(kest::platform::Env::Default(), false);
  if (argc >= 4) logger.SetLogFile(argv[3]);
  kest::InstallLogger(&logger);

  auto start = std::chrono::steady_clock::now();
  long counted = 0;
  try {
    if (std::strcmp(argv[1], "best") == 0) {
      kest::Method0 method(argv[2]);
      method.Parse();
      counted = method.validRecords();
    } else {
      kest::Method1 method(argv[2]);
      method.Parse();
      counted = method.recordsRead();
    }
  } catch (const kest::RaisedCode& raised) {
    std::fprintf(stderr, "failed with code %d\n", raised.code);
    return 1;
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s: %ld records in %.3f s\n", argv[1], counted, seconds);
  kest::InstallLogger(nullptr);
  return 0;
}
