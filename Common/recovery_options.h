// The extensions a run may switch on beside the classic recovery, and what a
// run found and did, for the host to show its user.
//
// Every step of the thorough recovery is one named flag with one step of
// its own in the code that reads it; with no flag set (the classic run) no
// such step runs and the run is exactly the classic one. A host chooses
// the thorough recovery whole and may leave out the few steps
// kestdll/include/kestdll.h names; the rest are the engine's own, switched
// one by one only by its tests.
#ifndef KEST_COMMON_RECOVERY_OPTIONS_H_
#define KEST_COMMON_RECOVERY_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "Common/run_findings.h"

namespace kest {

enum RecoveryFlag : uint32_t {
  // A record count larger than the file holds is corrected from the size.
  kFixRecordCount = 0x0001,
  // A header whose own fields are gone but whose descriptors stand is
  // rebuilt from them.
  kRebuildHeader = 0x0002,
  // Records that begin some bytes away from the header length are found.
  kRealignRecords = 0x0004,
  // The worst-case method looks at the whole table, not its first window.
  kWholeTableLayout = 0x0008,
  // The worst-case record offset is the one at which records pass.
  kPassingOffset = 0x0010,
  // A record length that is a multiple of a shorter fitting one gives way.
  kShortestLength = 0x0020,
  // Blank dates, '?' logicals and the like count as empty values.
  kRelaxedValues = 0x0040,
  // Invented fields get types every common reader opens.
  kReaderSafeFields = 0x0080,
  // A record whose only fault is a jammed deletion flag is kept.
  kKeepJammedRecords = 0x0100,
  // Progress moves during the long scans too.
  kFineProgress = 0x0200,
  // Without a memo companion, memo fields keep the block numbers the
  // records hold instead of being blanked.
  kKeepMemoReferences = 0x0400,
  // A level-7 table's 48-byte field descriptors are read as such, and the
  // result carries them as the 32-byte descriptors common readers know.
  kLevel7Descriptors = 0x0800,
  // Records that refer past the end of a cut memo companion stay whole; the
  // result's memo fields then hold the block numbers as characters.
  kCutMemoReferences = 0x1000,
  // Realignment weighs where text fields begin: a column of padding passes
  // for a column of deletion flags in a table of text fields.
  kAlignedText = 0x2000,
};

inline constexpr uint32_t kAllRecoveryFlags = 0x3FFF;

struct RecoveryOptions {
  RecoveryOptions() = default;
  explicit RecoveryOptions(uint32_t chosen) : flags(chosen) {}

  uint32_t flags = 0;
  // A healthy copy of the table whose structure the records are read by;
  // empty for none. Only a thorough run takes one.
  std::string templatePath;

  bool has(RecoveryFlag flag) const { return (flags & flag) != 0; }
  bool classic() const { return flags == 0; }
};

// Why a record slot of the table did not reach the result.
struct PassedOver {
  uint32_t deleted = 0;
  uint32_t jammedFlag = 0;
  uint32_t failedValueCheck = 0;
  uint32_t cutOffByEndOfFile = 0;
};

struct RecoveryReport {
  // 0 none, 1 best case, 2 worst case.
  int32_t method = 0;
  uint32_t recordsWritten = 0;
  PassedOver passedOver;
  // What the run found and repaired, in words a user understands ("record
  // count 1000000 corrected to 6630 from the file size"), each step's
  // findings as it found them.
  RunFindings findings;
  // Why a result or companion could not be written whole, in the system's
  // words, with its code; empty when nothing failed in the writing.
  std::string writeError;
  uint32_t writeErrorCode = 0;
  // Why a run with extensions ended without a result, in plain words
  // ("the table is empty"); empty when it wrote one or ran classic.
  std::string failure;
};

}  // namespace kest

#endif  // KEST_COMMON_RECOVERY_OPTIONS_H_
