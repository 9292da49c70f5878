// The memo companion of a table as the recovery methods need it: does the
// .fpt file exist, and how large is it (memo block numbers are bounded by
// its size). Its contents are never read.
#ifndef KEST_DBF_MEMO_COMPANION_H_
#define KEST_DBF_MEMO_COMPANION_H_

#include <cstdint>
#include <string>

#include "platform/env.h"

namespace kest {

struct MemoCompanion {
  bool present = false;
  uint32_t size = 0;
};

// Opens the table's .fpt companion (the table's stem with ".fpt") just long
// enough to take its size. Tables come from systems where ORDERS.FPT and
// orders.fpt are one file, so when the composed name does not exist, a file
// of the same folder whose name matches it without regard to case is taken.
MemoCompanion probeMemoCompanion(const std::string& tablePath, platform::Env* env);

// `path` itself when something stands there; otherwise the entry of the
// same folder whose name matches without regard to case; otherwise `path`.
std::string findIgnoringCase(const std::string& path, platform::Env* env);

}  // namespace kest

#endif  // KEST_DBF_MEMO_COMPANION_H_
