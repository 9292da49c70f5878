// The memo companion of a table as `inspect` and `export` read it: the
// engine's own memo module (dbf/memo_layout.h) and companion rule
// (dbf/memo_companion.h), so that both read what the recovery reads.
//
// Only reads. A block number that leads outside the file, a block that
// claims more bytes than the file holds, an overwritten block: each is
// refused, never read as a memo.
#ifndef KEST_READER_MEMO_FILE_H_
#define KEST_READER_MEMO_FILE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dbf/memo_layout.h"
#include "platform/env.h"
#include "reader/table.h"

namespace kest::reader {

using kest::MemoKind;
using kest::memoKindName;

// The memo companions of `tablePath` (its stem and .fpt or .dbt, letter
// case ignored throughout), as paths, sorted.
std::vector<std::string> memoCompanions(const std::string& tablePath);

// kDamaged: a block that holds no sound memo (its head overwritten, bytes
// that are not text in a text memo).
enum class MemoRead { kText, kNone, kOutsideFile, kTooLong, kDamaged };

// Whether a field of this type points into the memo companion: M, G and
// P always, B outside Visual FoxPro (where it is a binary double).
bool isMemoType(char type, const Header& header);

class MemoFile {
 public:
  // Opens the companion the engine takes for a table of this header
  // (findMemoFile). nullptr when there is none or it cannot be opened.
  static std::unique_ptr<MemoFile> Open(const std::string& tablePath, const Header& header);

  const std::string& path() const { return path_; }
  MemoKind kind() const { return reader_->kind(); }
  uint64_t size() const { return reader_->size(); }
  uint32_t blockSize() const { return reader_->blockSize(); }
  // The first block no memo uses yet, as the companion's header says; 0
  // when the header does not say.
  uint32_t nextFreeBlock() const { return reader_->header().nextFreeBlock; }
  kest::MemoReader& reader() { return *reader_; }

  // The bytes of the memo that starts at block `block`, of whichever type
  // it is; kNone for block 0 ("no memo").
  MemoRead read(uint32_t block, std::string* bytes);

  static constexpr uint64_t kMaxMemoBytes = kest::kMaxMemoBytes;

 private:
  MemoFile() = default;

  std::string path_;
  std::unique_ptr<platform::ReadableFile> file_;
  std::unique_ptr<kest::MemoReader> reader_;
};

}  // namespace kest::reader

#endif  // KEST_READER_MEMO_FILE_H_
