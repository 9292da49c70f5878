// Deliberate damage for testing recovery: a damaged copy of a healthy table
// and its memo companions, made by named modes.
//
// The source table and its companions are only ever read. Each mode changes
// exactly what its summary says and leaves every other byte as it was. The
// same table, mode and seed give the same bytes on every machine: the
// generator and every choice drawn from it are defined here, not left to a
// standard library's distributions.
//
// Modes that work on records take the layout from the source's own header
// (header length, record length, record count), so they want a healthy
// table; one whose header does not describe a table is refused, not guessed.
#ifndef KEST_TOOLS_DBF_DAMAGE_H_
#define KEST_TOOLS_DBF_DAMAGE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kest::tools {

enum class DamageMode {
  kCopy,
  kZeroHeader,
  kZeroHeaderArea,
  kInflateCount,
  kTruncateRecord,
  kNoiseRecords,
  kJamDeletionFlags,
  kGarbageAfterHeader,
  kGarbageMidRecords,
  kDropMemo,
  kCutMemo,
  // As disks and programs leave tables.
  kZeroPage,
  kForeignPage,
  kZeroTail,
  kRecordsBehindCount,
  kInsertAtStart,
  kInsertMidRecords,
  kRemoveAtStart,
  kRemoveMidRecords,
  kSeveralFaults,
  kZeroMemoHeader,
  kCutMemoAt60,
  kOverwriteMemoBlocks,
};

struct DamageModeInfo {
  DamageMode mode;
  const char* name;     // as given on the command line
  const char* summary;  // one line for --list
  bool memo;            // damages the memo companions only
};

// Every mode, in the order --list shows them.
const std::vector<DamageModeInfo>& damageModes();
std::optional<DamageMode> damageModeNamed(const std::string& name);
const char* damageModeName(DamageMode mode);
const DamageModeInfo& modeInfo(DamageMode mode);

// A table and its memo companions, in memory.
struct MemoFile {
  std::string extension;  // as spelled on disk, with its dot: ".FPT"
  std::string bytes;
};
struct TableFiles {
  std::string table;
  std::vector<MemoFile> memos;
};

struct DamageOutcome {
  bool applied = false;
  // What was done ("record count 10 -> 347"), or why the mode does not
  // apply to this table.
  std::string text;
};

// Damages `files` in place; when the mode does not apply, `files` is left
// as it was.
DamageOutcome applyDamage(TableFiles& files, DamageMode mode, uint64_t seed);

// Exit statuses of the tool, also returned by damageTable.
enum DamageStatus : int {
  kDamageDone = 0,
  kDamageUsage = 2,
  kDamageNotApplicable = 3,
  kDamageCannotRead = 4,
  kDamageCannotWrite = 5,
};

// The memo companions of `tablePath`: entries of its folder named like the
// table's stem with .fpt or .dbt, letter case ignored throughout, sorted.
std::vector<std::string> memoCompanionPaths(const std::string& tablePath);

struct DamageRequest {
  std::string source;  // the healthy table
  std::string output;  // the damaged table to make; companions go beside it
  DamageMode mode = DamageMode::kCopy;
  uint64_t seed = 1;
  // Replace an existing output and remove stale companions of its name
  // (a memo left from an earlier run would otherwise undo drop-memo).
  bool overwrite = false;
};

// Reads the source and its companions, damages them and writes the output
// table with its companions (named after the output, each keeping its
// source extension's spelling). Refuses, before writing anything, an output
// or output companion that is the source or one of its companions (under
// any name or link), and existing outputs unless `overwrite`. `message`
// receives what was done or why nothing was.
DamageStatus damageTable(const DamageRequest& request, std::string* message);

}  // namespace kest::tools

#endif  // KEST_TOOLS_DBF_DAMAGE_H_
