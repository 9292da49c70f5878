// The memo companions of a table, the one rule of what counts as one, and
// what the recovery methods need of the .fpt file: does it exist, and how
// large is it (memo block numbers are bounded by its size). A companion's
// contents are never read here.
//
// A memo companion of "<folder><stem>.dbf" is an entry of the same folder
// named "<stem>" (letter case ignored) with the extension ".dbt" or ".fpt"
// (letter case ignored). "t.x.fpt" is no companion of "t.dbf": its stem is
// "t.x". The probe, the copy into the results folder, the check that keeps
// the log away from a companion and the host all follow this rule.
#ifndef KEST_DBF_MEMO_COMPANION_H_
#define KEST_DBF_MEMO_COMPANION_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbf/memo_layout.h"
#include "platform/env.h"

namespace kest {

struct MemoCompanion {
  bool present = false;
  uint32_t size = 0;
};

// ".dbt" or ".fpt", letter case ignored.
bool isMemoExtension(std::string_view extension);

// True when the entry `name` (without folder) is a memo companion of a
// table whose stem is `tableStem`.
bool isMemoCompanionName(std::string_view tableStem, std::string_view name);

// The listing pattern the companions of `tablePath` are looked for by:
// its folder, its stem and ".*".
std::string memoCompanionMask(const std::string& tablePath);

// The entry names of the memo companions of `tablePath`, in the order the
// folder listing gives them; empty when the folder cannot be listed.
std::vector<std::string> listMemoCompanions(const std::string& tablePath, platform::Env* env);

// Opens the table's .fpt companion (the table's stem with ".fpt") just long
// enough to take its size. Tables come from systems where ORDERS.FPT and
// orders.fpt are one file, so when the composed name does not exist, a file
// of the same folder whose name matches it without regard to case is taken.
MemoCompanion probeMemoCompanion(const std::string& tablePath, platform::Env* env);

// The memo file a reader of the table takes, by the rule above: of its
// companions, the one of the kind the table's version names (.fpt for
// the FoxPro versions, .dbt for the others) when both are there, else the
// one that is; empty when there is none. The recovery, `inspect`, `export`
// and the tools all take this one.
std::string findMemoFile(const std::string& tablePath, uint8_t tableVersion, platform::Env* env);

// The kind of the memo file at `memoPath` (memoKindOf by its extension).
MemoKind memoKindOfFile(const std::string& memoPath, uint8_t tableVersion);

// `path` itself when something stands there; otherwise the entry of the
// same folder whose name matches without regard to case; otherwise `path`.
std::string findIgnoringCase(const std::string& path, platform::Env* env);

}  // namespace kest

#endif  // KEST_DBF_MEMO_COMPANION_H_
