// The memo file beside a table, as the table's program lays it out: the
// one place the recovery, `inspect`, `export` and the tools read it from.
//
//   FoxPro .fpt  a 512-byte header (next free block and block size, both
//                big-endian, at 0 and 6); each memo starts on a block with
//                8 bytes: its type (0 picture, 1 text, 2 object) and the
//                length of what follows, both big-endian.
//   dBase III    512-byte blocks, the header in block 0 (next free block,
//   .dbt         little-endian, at 0); a memo is text up to its end mark.
//   dBase IV     the block size (little-endian, at 20) in the header block;
//   .dbt         each memo starts with FF FF 08 00 and a little-endian
//                length that counts those 8 bytes too; 1F follows the text.
//
// Everything here reads only. Damaged bytes are expected: a block number
// outside the file, a head that is not one, a length past the end, a text
// that is not text all come back as a named fault, never as a memo, and
// no memo is longer than kMaxMemoBytes, so that a damaged length cannot
// make a reader allocate without bound. A reader belongs to one thread at
// a time.
#ifndef KEST_DBF_MEMO_LAYOUT_H_
#define KEST_DBF_MEMO_LAYOUT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/env.h"

namespace kest {

enum class MemoKind : uint8_t { kFoxPro, kDbase3, kDbase4 };
const char* memoKindName(MemoKind kind);
// ".fpt" or ".dbt".
const char* memoExtension(MemoKind kind);
// The kind a memo file of this name's extension is for a table of this
// version: .fpt is FoxPro; a .dbt is dBase III beside version 0x83 and
// dBase IV beside any other.
MemoKind memoKindOf(bool fptExtension, uint8_t tableVersion);
// The kind the table's program writes for a table of this version, for a
// table whose memo file is gone.
MemoKind memoKindForVersion(uint8_t tableVersion);

inline constexpr uint32_t kMemoHeaderBytes = 512;
inline constexpr uint32_t kMemoBlockHead = 8;
inline constexpr uint32_t kDbase3BlockSize = 512;
inline constexpr uint32_t kDefaultFoxProBlockSize = 64;
inline constexpr uint64_t kMaxMemoBytes = 16u << 20;

// FoxPro block types; the dBase kinds hold text only.
inline constexpr uint32_t kFoxPicture = 0;
inline constexpr uint32_t kFoxText = 1;
inline constexpr uint32_t kFoxObject = 2;

// What a memo field refers to: its block number, from four binary bytes
// (Visual FoxPro) or digits after leading spaces; 0, "no memo", for a
// blank field or one that holds anything else.
uint32_t memoBlockNumber(const uint8_t* field, uint32_t length);
// Writes `block` into a memo field the way memoBlockNumber reads it; 0
// writes the empty reference (zero bytes, or spaces).
void putMemoBlockNumber(uint8_t* field, uint32_t length, uint32_t block);

struct MemoHeader {
  uint32_t nextFreeBlock = 0;
  // 0 when the header no longer says (zeroed or overwritten).
  uint32_t blockSize = 0;
};
MemoHeader parseMemoHeader(MemoKind kind, const uint8_t* bytes, size_t size);
// A header block that every reader of the kind opens, padded to the first
// memo block.
std::string makeMemoHeader(MemoKind kind, uint32_t blockSize, uint32_t nextFreeBlock);
// The first block a memo may start on under this block size.
uint32_t firstMemoBlock(MemoKind kind, uint32_t blockSize);
// One memo as it is stored, padded to whole blocks.
std::string encodeMemo(MemoKind kind, uint32_t blockSize, uint32_t type, const std::string& bytes);

// Why a block number gives no memo.
enum class MemoFault : uint8_t {
  kNone,          // a sound memo
  kEmpty,         // block 0: the field has no memo
  kInHeader,      // the block lies in the memo file's header
  kPastEnd,       // the block lies past the end of the file
  kBrokenHead,    // no memo starts there (its head is not one)
  kRunsPastEnd,   // its length runs past the end of the file (cut short)
  kTooLong,       // longer than kMaxMemoBytes
  kNotText,       // a text memo whose bytes are not text
  kWrongType,     // a picture or object where a text is due, or the reverse
  kUnreadable,    // the system refused the read
};
// "lies past the end of the memo file" and the like, for a sentence that
// begins with the block.
const char* memoFaultText(MemoFault fault);

struct Memo {
  MemoFault fault = MemoFault::kEmpty;
  uint32_t type = kFoxText;
  std::string bytes;
  // Blocks the memo covers, its head included.
  uint32_t blocks = 0;
};

// Text as a memo field holds it, judged 64 bytes at a time: no NUL byte;
// control bytes other than tab, line feed, form feed, carriage return and
// the end mark at most one in 32; and, in a text otherwise plain ASCII,
// no window a quarter above 0x7F. Overwritten blocks fail one of these.
// The windows are `window` bytes long, the first `phase` bytes shorter (a
// memo's text starts `phase` bytes into the file's grid of blocks).
bool looksLikeText(const std::string& bytes, uint32_t window = 64, uint32_t phase = 0);

class MemoReader {
 public:
  // Reads `file` (kept by the caller) as a memo file of `kind`; its header
  // gives the block size unless `blockSize` is not 0.
  MemoReader(platform::ReadableFile* file, MemoKind kind, uint32_t blockSize = 0);

  MemoKind kind() const { return kind_; }
  // The first read the system refused (a failing disk, not a short file):
  // the reads after it say kUnreadable, and the caller decides whether
  // that ends its work. Success while none was.
  const platform::Status& readFailure() const { return readFailure_; }
  // Reads go on as if none had been refused: for a caller that gives up
  // what it read so far and reads it all again.
  void forgetReadFailure() { readFailure_ = platform::Status(); }
  uint64_t size() const { return size_; }
  const MemoHeader& header() const { return header_; }
  // The block size reads go by: the header's, the one given, or (header
  // lost) the kind's usual one until setBlockSize.
  uint32_t blockSize() const { return blockSize_; }
  void setBlockSize(uint32_t blockSize);

  // The memo starting at `block`. `text`: the field wants a text (an M
  // field), else a picture or object (G, P, B).
  Memo read(uint32_t block, bool text);
  // Only whether a memo of the wanted kind starts at `block` under
  // `blockSize`, by its head alone (a dBase III block by its first bytes).
  bool soundHead(uint32_t block, uint32_t blockSize, bool text);

  // Every memo the file holds, in block order, found by walking from the
  // first block: a sound memo is stepped over whole, anything else one
  // block at a time. `block` is set in each.
  struct Found {
    uint32_t block = 0;
    Memo memo;
  };
  std::vector<Found> walk();

  // Looks whether the file's program leaves zeros after a memo's end in
  // its last block (dBase III: two end marks after it); from then on a
  // memo with other bytes there counts as overwritten (kNotText). Files
  // whose program leaves old bytes there are read as before.
  void learnSlack();
  // The memo heads found stepping through the file's first MiB under
  // `blockSize`.
  uint32_t countHeads(uint32_t blockSize);

 private:
  bool readAt(uint64_t offset, size_t count, uint8_t* out);
  bool cleanSlack(uint64_t start, uint64_t stored, const Memo& memo);

  platform::ReadableFile* file_;
  MemoKind kind_;
  uint64_t size_;
  MemoHeader header_;
  uint32_t blockSize_;
  bool zeroSlack_ = false;
  platform::Status readFailure_;
  // dBase III: the file ends its memos with two end marks (learnSlack).
  bool doubleMark_ = false;
};

// The block size under which the most `references` land on sound heads of
// the wanted kind (reference, wantsText); the reader's own when none does
// better. Candidates are the sizes the table programs write that are no
// multiple of the true size: their grid holds nearly as many memo heads
// (countHeads) as that of their largest divisor among the candidates; of
// sizes that do equally well, the largest.
uint32_t inferBlockSize(MemoReader& reader, const std::vector<std::pair<uint32_t, bool>>& references);

// What is wrong with a memo file, for `inspect` and the recovery report.
struct MemoDiagnosis {
  MemoKind kind = MemoKind::kFoxPro;
  uint64_t size = 0;
  uint32_t headerBlockSize = 0;  // 0: the header lost it
  uint32_t blockSize = 0;        // what the references are read by
  bool blockSizeInferred = false;
  // The header's next free block lies past the end: the file was cut.
  bool cutShort = false;
  uint32_t references = 0;  // non-empty references examined
  uint32_t readable = 0;
  uint32_t pastEnd = 0;     // kPastEnd and kRunsPastEnd
  uint32_t broken = 0;      // every other fault
};
MemoDiagnosis diagnoseMemo(MemoReader& reader,
                           const std::vector<std::pair<uint32_t, bool>>& references);

}  // namespace kest

#endif  // KEST_DBF_MEMO_LAYOUT_H_
