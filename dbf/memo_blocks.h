// Where the memos of a companion end: whether the memo a record's block
// number designates lies whole inside the .fpt or .dbt file.
//
// A companion cut short keeps the memos before the cut; a record that
// refers past it makes a reader of the whole table fail. Only the
// companion's header and the header of each block asked about are read;
// nothing is written. The object belongs to one thread at a time.
#ifndef KEST_DBF_MEMO_BLOCKS_H_
#define KEST_DBF_MEMO_BLOCKS_H_

#include <cstdint>
#include <memory>
#include <string>

#include "Common/logger/llfile.h"
#include "platform/env.h"

namespace kest {

// The block number a memo field holds: four binary bytes (FoxPro), or
// digits after leading spaces (dBase); 0, which is "no memo", for a blank
// field or one that holds anything else.
uint32_t memoBlockNumber(const uint8_t* field, uint32_t length);

class MemoBlocks {
 public:
  // The companion a reader of the table takes (its .fpt, else its .dbt,
  // letter case ignored), or null when there is none or it cannot be
  // opened. Raises the LLFile code when its header cannot be read.
  // `tableVersion` tells a dBase III .dbt, whose memos end at a mark
  // rather than at a length.
  static std::unique_ptr<MemoBlocks> Open(const std::string& tablePath, uint8_t tableVersion,
                                          platform::Env* env);

  // True for block 0, for a memo whose header and every byte it claims lie
  // inside the file, and for every dBase III memo (it ends at a mark, so a
  // memo past the cut reads as empty).
  // Raises the LLFile code when the file cannot be read.
  bool wholeInside(uint32_t block);

 private:
  enum class Kind { kFoxPro, kDbase3, kDbase4 };
  MemoBlocks(std::unique_ptr<LLFile> file, Kind kind);

  std::unique_ptr<LLFile> file_;
  Kind kind_;
  uint64_t size_;
  uint32_t blockSize_ = 512;
};

}  // namespace kest

#endif  // KEST_DBF_MEMO_BLOCKS_H_
