// The memo companion of a table: the .fpt (FoxPro blocks) or .dbt (dBase
// III and IV layouts) file beside it, and the texts its blocks hold.
//
// Only reads. A block number that leads outside the file, or a block that
// claims more bytes than the file holds, is refused; no memo is ever
// longer than kMaxMemoBytes, so a damaged length cannot make a reader
// allocate without bound.
#ifndef KEST_READER_MEMO_FILE_H_
#define KEST_READER_MEMO_FILE_H_

#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "reader/table.h"

namespace kest::reader {

enum class MemoKind { kFoxPro, kDbase3, kDbase4 };
const char* memoKindName(MemoKind kind);

// The entries beside `tablePath` named after its stem with the extension
// .fpt or .dbt, letter case of the extension ignored.
std::vector<std::string> memoCompanions(const std::string& tablePath);

enum class MemoRead { kText, kNone, kOutsideFile, kTooLong };

// Whether a field of this type points into the memo companion: M, G and
// P always, B outside Visual FoxPro (where it is a binary double).
bool isMemoType(char type, const Header& header);

class MemoFile {
 public:
  // Opens the companion a table of this header reads: the .fpt one for
  // FoxPro versions, the .dbt one otherwise, whichever exists when only
  // one does. nullptr when there is none or it cannot be opened.
  static std::unique_ptr<MemoFile> Open(const std::string& tablePath, const Header& header);

  const std::string& path() const { return path_; }
  MemoKind kind() const { return kind_; }
  uint64_t size() const { return size_; }
  uint32_t blockSize() const { return blockSize_; }
  // The first block no memo uses yet, as the companion's header says; 0
  // when the file is too short to say. The last block in use may stop
  // short of its block size, so a file shorter than one block before this
  // one has lost memo bytes.
  uint32_t nextFreeBlock() const { return nextFreeBlock_; }

  // The bytes of the memo that starts at block `block`; kNone for block 0
  // (the companion's own header: "no memo"). A memo that runs past the end
  // of the file, or (dBase III) reaches it without its end byte, is
  // kOutsideFile: its text is incomplete.
  MemoRead read(uint32_t block, std::string* bytes);

  static constexpr uint64_t kMaxMemoBytes = 16u << 20;

 private:
  MemoFile() = default;

  std::string path_;
  std::ifstream file_;
  MemoKind kind_ = MemoKind::kFoxPro;
  uint64_t size_ = 0;
  uint32_t blockSize_ = 512;
  uint32_t nextFreeBlock_ = 0;
};

}  // namespace kest::reader

#endif  // KEST_READER_MEMO_FILE_H_
