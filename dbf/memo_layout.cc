#include "dbf/memo_layout.h"

#include <algorithm>
#include <cstring>

#include "dbf/dbf_format.h"

namespace kest {

namespace {

constexpr uint8_t kDbase3Version = 0x83;
constexpr uint8_t kDbase4Head[4] = {0xFF, 0xFF, 0x08, 0x00};
constexpr uint8_t kEndMark = 0x1A;
// What a dBase III reader takes in one go while it looks for the end mark.
constexpr size_t kDbase3Chunk = 512;
// Memos a file must hold before its slack speaks for it.
constexpr uint32_t kSlackSample = 16;

uint32_t big32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
void putBig32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint64_t blocksFor(uint64_t bytes, uint32_t blockSize) {
  return (bytes + blockSize - 1) / blockSize;
}

bool isControl(uint8_t c) {
  return c < 0x20 && c != '\t' && c != '\n' && c != '\f' && c != '\r' && c != kEndMark;
}

// Memo texts run to megabytes and every one is judged more than once:
// the bytes are counted eight at a time.
constexpr uint64_t kLowBits = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

uint64_t wordAt(const uint8_t* data) {
  uint64_t word;
  std::memcpy(&word, data, sizeof word);
  return word;
}

// Whether a byte of `word` lies below 0x20 (its top three bits clear),
// without a carry from one byte into the next.
bool anyBelowSpace(uint64_t word) {
  const uint64_t top = word & 0xE0E0E0E0E0E0E0E0ull;
  const uint64_t set = (((top & ~kHighBits) + (kHighBits - kLowBits)) | top) & kHighBits;
  return set != kHighBits;
}

// The bytes of `data` at or above 0x80.
size_t highBytes(const uint8_t* data, size_t size) {
  size_t count = 0;
  size_t i = 0;
  while (size - i >= 8) {
    // Each byte lane counts at most 255 words before it is summed.
    uint64_t lanes = 0;
    const size_t stop = i + std::min<size_t>((size - i) / 8, 255) * 8;
    for (; i < stop; i += 8) lanes += (wordAt(data + i) >> 7) & kLowBits;
    lanes = (lanes & 0x00FF00FF00FF00FFull) + ((lanes >> 8) & 0x00FF00FF00FF00FFull);
    count += (lanes * 0x0001000100010001ull) >> 48;
  }
  for (; i < size; ++i) count += data[i] >= 0x80;
  return count;
}

// The control bytes of `data` (isControl).
size_t controlBytes(const uint8_t* data, size_t size) {
  size_t count = 0;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    if (!anyBelowSpace(wordAt(data + i))) continue;
    for (size_t k = i; k < i + 8; ++k) count += isControl(data[k]);
  }
  for (; i < size; ++i) count += isControl(data[i]);
  return count;
}

}  // namespace

const char* memoKindName(MemoKind kind) {
  switch (kind) {
    case MemoKind::kFoxPro: return "FoxPro blocks";
    case MemoKind::kDbase3: return "dBase III blocks";
    case MemoKind::kDbase4: return "dBase IV blocks";
  }
  return "";
}

const char* memoExtension(MemoKind kind) { return kind == MemoKind::kFoxPro ? ".fpt" : ".dbt"; }

MemoKind memoKindOf(bool fptExtension, uint8_t tableVersion) {
  if (fptExtension) return MemoKind::kFoxPro;
  return tableVersion == kDbase3Version ? MemoKind::kDbase3 : MemoKind::kDbase4;
}

MemoKind memoKindForVersion(uint8_t tableVersion) {
  // FoxPro 2 (0xF5), Visual FoxPro (0x30..0x32) and FoxBASE+ with memo
  // (0xFB) keep .fpt files; the dBase versions keep .dbt files.
  const bool foxPro = tableVersion == 0xF5 || tableVersion == 0xFB ||
                      (tableVersion >= 0x30 && tableVersion <= 0x32);
  return memoKindOf(foxPro, tableVersion);
}

uint32_t memoBlockNumber(const uint8_t* field, uint32_t length) {
  if (length == 4) return le::Get32(field);
  uint32_t k = 0;
  while (k < length && field[k] == ' ') ++k;
  uint64_t number = 0;
  for (; k < length && field[k] >= '0' && field[k] <= '9'; ++k) {
    number = number * 10 + (field[k] - '0');
    if (number > UINT32_MAX) return 0;
  }
  while (k < length && field[k] == ' ') ++k;
  return k == length ? static_cast<uint32_t>(number) : 0;
}

void putMemoBlockNumber(uint8_t* field, uint32_t length, uint32_t block) {
  if (length == 4) {
    le::Put32(field, block);
    return;
  }
  std::memset(field, ' ', length);
  if (block == 0) return;
  // Right-aligned digits, as the table programs write them; a number the
  // field cannot hold is never written (the caller empties it instead).
  std::string digits = std::to_string(block);
  if (digits.size() > length) return;
  std::memcpy(field + length - digits.size(), digits.data(), digits.size());
}

MemoHeader parseMemoHeader(MemoKind kind, const uint8_t* bytes, size_t size) {
  MemoHeader header;
  if (size < 22) return header;
  switch (kind) {
    case MemoKind::kFoxPro:
      header.nextFreeBlock = big32(bytes);
      header.blockSize = uint32_t{bytes[6]} << 8 | bytes[7];
      break;
    case MemoKind::kDbase3:
      header.nextFreeBlock = le::Get32(bytes);
      header.blockSize = kDbase3BlockSize;
      break;
    case MemoKind::kDbase4:
      header.nextFreeBlock = le::Get32(bytes);
      header.blockSize = le::Get16(bytes + 20);
      break;
  }
  return header;
}

uint32_t firstMemoBlock(MemoKind kind, uint32_t blockSize) {
  if (kind == MemoKind::kDbase3 || blockSize == 0) return 1;
  return static_cast<uint32_t>(blocksFor(kMemoHeaderBytes, blockSize));
}

std::string makeMemoHeader(MemoKind kind, uint32_t blockSize, uint32_t nextFreeBlock) {
  std::string header(uint64_t{firstMemoBlock(kind, blockSize)} * blockSize, '\0');
  if (header.size() < kMemoHeaderBytes) header.resize(kMemoHeaderBytes, '\0');
  uint8_t* bytes = reinterpret_cast<uint8_t*>(header.data());
  switch (kind) {
    case MemoKind::kFoxPro:
      putBig32(bytes, nextFreeBlock);
      bytes[6] = static_cast<uint8_t>(blockSize >> 8);
      bytes[7] = static_cast<uint8_t>(blockSize);
      break;
    case MemoKind::kDbase3:
      le::Put32(bytes, nextFreeBlock);
      bytes[16] = 0x03;
      break;
    case MemoKind::kDbase4:
      le::Put32(bytes, nextFreeBlock);
      le::Put16(bytes + 20, static_cast<uint16_t>(blockSize));
      break;
  }
  return header;
}

std::string encodeMemo(MemoKind kind, uint32_t blockSize, uint32_t type, const std::string& bytes) {
  std::string stored;
  uint8_t head[kMemoBlockHead];
  switch (kind) {
    case MemoKind::kFoxPro:
      putBig32(head, type);
      putBig32(head + 4, static_cast<uint32_t>(bytes.size()));
      stored.assign(reinterpret_cast<char*>(head), sizeof head);
      stored += bytes;
      break;
    case MemoKind::kDbase3:
      stored = bytes + "\x1A\x1A";
      break;
    case MemoKind::kDbase4:
      std::memcpy(head, kDbase4Head, 4);
      le::Put32(head + 4, static_cast<uint32_t>(bytes.size() + kMemoBlockHead));
      stored.assign(reinterpret_cast<char*>(head), sizeof head);
      // The byte dBase IV leaves after a text: readers that take a block's
      // length as the text's alone stop there.
      stored += bytes + "\x1F";
      break;
  }
  stored.resize(blocksFor(stored.size(), blockSize) * blockSize, '\0');
  return stored;
}

const char* memoFaultText(MemoFault fault) {
  switch (fault) {
    case MemoFault::kNone: return "is sound";
    case MemoFault::kEmpty: return "is no memo";
    case MemoFault::kInHeader: return "lies inside the memo file's header";
    case MemoFault::kPastEnd: return "lies past the end of the memo file";
    case MemoFault::kBrokenHead: return "holds no memo (its block head is overwritten)";
    case MemoFault::kRunsPastEnd: return "runs past the end of the memo file (it was cut short)";
    case MemoFault::kTooLong: return "claims a length no memo has";
    case MemoFault::kNotText: return "holds bytes that are not text (overwritten)";
    case MemoFault::kWrongType: return "holds a memo of another type than the field's";
    case MemoFault::kUnreadable: return "could not be read";
  }
  return "";
}

bool looksLikeText(const std::string& bytes, uint32_t window, uint32_t phase) {
  // Judged a window at a time: an overwritten block inside a long text
  // is as plain as one in a short text.
  if (window == 0) window = 64;
  phase %= window;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  // A zero byte fails its window, so the text, whichever window fails first.
  if (std::memchr(data, 0, bytes.size()) != nullptr) return false;
  const size_t high = highBytes(data, bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    const size_t size = std::min<size_t>(window - (at == 0 ? phase : 0), bytes.size() - at);
    const size_t control = controlBytes(data + at, size);
    const size_t windowHigh = highBytes(data + at, size);
    // Random bytes hold one control byte in ten; text next to none.
    if (control * 32 > size) return false;
    // Random bytes are half above 0x7F; where the rest of the text is
    // plain ASCII, a window that is not stands out, down to the few bytes
    // of an overwritten block that end a text.
    const size_t restHigh = high - windowHigh;
    const size_t restSize = bytes.size() - size;
    const bool plainRest = restSize >= 24 && restHigh * 20 <= restSize;
    if (plainRest && ((size >= 8 && windowHigh * 4 > size) || (size >= 2 && windowHigh * 2 > size))) {
      return false;
    }
    at += size;
  }
  return true;
}

MemoReader::MemoReader(platform::ReadableFile* file, MemoKind kind, uint32_t blockSize)
    : file_(file), kind_(kind), size_(file->Size()) {
  uint8_t head[32] = {};
  if (readAt(0, sizeof head, head)) header_ = parseMemoHeader(kind, head, sizeof head);
  blockSize_ = blockSize != 0          ? blockSize
               : header_.blockSize != 0 ? header_.blockSize
               : kind == MemoKind::kFoxPro ? kDefaultFoxProBlockSize
                                           : kDbase3BlockSize;
}

void MemoReader::setBlockSize(uint32_t blockSize) {
  if (blockSize != 0 && kind_ != MemoKind::kDbase3) blockSize_ = blockSize;
}

bool MemoReader::readAt(uint64_t offset, size_t count, uint8_t* out) {
  // A read may deliver less than asked before the end; only a read that
  // delivers nothing ends it. Bytes the file held when it was opened that
  // no longer arrive are a failing or changing file, not a cut memo file:
  // judged as damage they would empty sound memos in silence.
  size_t done = 0;
  while (done < count) {
    size_t got = 0;
    platform::Status status = file_->ReadAt(offset + done, out + done, count - done, &got);
    if (!status) {
      if (readFailure_.ok()) readFailure_ = status;
      return false;
    }
    if (got == 0) break;
    done += got;
  }
  if (done < count && offset + count <= size_ && readFailure_.ok()) {
    readFailure_ = platform::Status::Failure(0, "the memo file became shorter while it was read");
  }
  return done == count;
}

bool MemoReader::soundHead(uint32_t block, uint32_t blockSize, bool text) {
  if (block < firstMemoBlock(kind_, blockSize)) return false;
  const uint64_t start = uint64_t{block} * blockSize;
  if (start + kMemoBlockHead > size_) return false;
  uint8_t head[kMemoBlockHead];
  if (!readAt(start, sizeof head, head)) return false;
  const uint64_t room = size_ - start - kMemoBlockHead;
  switch (kind_) {
    case MemoKind::kFoxPro: {
      const uint32_t type = big32(head);
      const uint32_t length = big32(head + 4);
      const bool typeFits = text ? type == kFoxText : (type == kFoxPicture || type == kFoxObject);
      return typeFits && length != 0 && length <= room;
    }
    case MemoKind::kDbase4: {
      const uint32_t length = le::Get32(head + 4);
      return std::memcmp(head, kDbase4Head, 4) == 0 && length > kMemoBlockHead &&
             length - kMemoBlockHead <= room;
    }
    case MemoKind::kDbase3: {
      const uint8_t* end = std::find(head, head + sizeof head, kEndMark);
      return end != head && looksLikeText(std::string(reinterpret_cast<char*>(head), end - head));
    }
  }
  return false;
}

Memo MemoReader::read(uint32_t block, bool text) {
  Memo memo;
  if (block == 0) return memo;
  if (block < firstMemoBlock(kind_, blockSize_)) {
    memo.fault = MemoFault::kInHeader;
    return memo;
  }
  const uint64_t start = uint64_t{block} * blockSize_;
  if (start >= size_) {
    memo.fault = MemoFault::kPastEnd;
    return memo;
  }
  if (kind_ == MemoKind::kDbase3) {
    // Text up to the end mark, judged as it comes: a NUL byte ends the
    // search at once, so that a stretch of overwritten blocks is not read
    // to the end of the file from every block of it.
    uint8_t chunk[kDbase3Chunk];
    for (uint64_t at = start;; at += sizeof chunk) {
      if (at >= size_) {
        memo.bytes.clear();
        memo.fault = MemoFault::kRunsPastEnd;
        return memo;
      }
      const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, size_ - at));
      if (!readAt(at, want, chunk)) {
        memo.bytes.clear();
        memo.fault = MemoFault::kUnreadable;
        return memo;
      }
      const uint8_t* end = std::find(chunk, chunk + want, kEndMark);
      if (std::find(static_cast<const uint8_t*>(chunk), end, uint8_t{0}) != end) {
        memo.bytes.clear();
        memo.fault = MemoFault::kNotText;
        return memo;
      }
      memo.bytes.append(reinterpret_cast<const char*>(chunk), static_cast<size_t>(end - chunk));
      if (memo.bytes.size() > kMaxMemoBytes) {
        memo.bytes.clear();
        memo.fault = MemoFault::kTooLong;
        return memo;
      }
      if (end != chunk + want) break;
    }
    memo.fault = looksLikeText(memo.bytes, 64, 0) ? MemoFault::kNone : MemoFault::kNotText;
    memo.blocks = static_cast<uint32_t>(blocksFor(memo.bytes.size() + 2, blockSize_));
    if (doubleMark_ && memo.fault == MemoFault::kNone) {
      uint8_t second = 0;
      if (!readAt(start + memo.bytes.size() + 1, 1, &second) || second != kEndMark) {
        memo.fault = MemoFault::kNotText;
      }
    }
    if (memo.fault != MemoFault::kNone) memo.bytes.clear();
    return memo;
  }

  uint8_t head[kMemoBlockHead];
  if (start + kMemoBlockHead > size_) {
    memo.fault = MemoFault::kRunsPastEnd;
    return memo;
  }
  if (!readAt(start, sizeof head, head)) {
    memo.fault = MemoFault::kUnreadable;
    return memo;
  }
  uint64_t length = 0;
  if (kind_ == MemoKind::kFoxPro) {
    memo.type = big32(head);
    length = big32(head + 4);
    if (memo.type > kFoxObject) {
      memo.fault = MemoFault::kBrokenHead;
      return memo;
    }
    if ((memo.type == kFoxText) != text) {
      memo.fault = MemoFault::kWrongType;
      return memo;
    }
  } else {
    const uint32_t counted = le::Get32(head + 4);
    if (std::memcmp(head, kDbase4Head, 4) != 0 || counted < kMemoBlockHead) {
      memo.fault = MemoFault::kBrokenHead;
      return memo;
    }
    length = counted - kMemoBlockHead;
  }
  if (length > size_ - start - kMemoBlockHead) {
    memo.fault = MemoFault::kRunsPastEnd;
    return memo;
  }
  if (length > kMaxMemoBytes) {
    memo.fault = MemoFault::kTooLong;
    return memo;
  }
  memo.bytes.resize(static_cast<size_t>(length));
  if (length != 0 && !readAt(start + kMemoBlockHead, memo.bytes.size(),
                             reinterpret_cast<uint8_t*>(memo.bytes.data()))) {
    memo.bytes.clear();
    memo.fault = MemoFault::kUnreadable;
    return memo;
  }
  memo.blocks = static_cast<uint32_t>(blocksFor(length + kMemoBlockHead, blockSize_));
  // Overwrites come in whole blocks: the windows follow the file's grid.
  const uint32_t grid = std::min<uint32_t>(blockSize_, 64);
  if ((text && !looksLikeText(memo.bytes, grid, kMemoBlockHead)) || !cleanSlack(start, length + kMemoBlockHead, memo)) {
    memo.bytes.clear();
    memo.fault = MemoFault::kNotText;
    return memo;
  }
  memo.fault = MemoFault::kNone;
  return memo;
}

bool MemoReader::cleanSlack(uint64_t start, uint64_t stored, const Memo& memo) {
  if (!zeroSlack_) return true;
  const uint64_t end = std::min<uint64_t>(size_, start + uint64_t{memo.blocks} * blockSize_);
  if (start + stored >= end) return true;
  std::string slack(static_cast<size_t>(end - start - stored), '\0');
  if (!readAt(start + stored, slack.size(), reinterpret_cast<uint8_t*>(slack.data()))) return false;
  // dBase IV's own mark after the text.
  if (kind_ == MemoKind::kDbase4 && slack[0] == '\x1F') slack[0] = '\0';
  // Overwritten bytes are next to never zero; what a program leaves
  // there of its own is mostly zeros.
  const size_t zeros = static_cast<size_t>(std::count(slack.begin(), slack.end(), '\0'));
  return zeros * 2 >= slack.size();
}

void MemoReader::learnSlack() {
  zeroSlack_ = false;
  doubleMark_ = false;
  if (kind_ == MemoKind::kDbase3) {
    // dBase III ends a memo with two end marks; overwritten bytes hold a
    // lone one often enough to pass for the end of a short text.
    uint32_t memos = 0;
    uint32_t doubled = 0;
    for (const Found& found : walk()) {
      uint8_t second = 0;
      ++memos;
      doubled += readAt(uint64_t{found.block} * blockSize_ + found.memo.bytes.size() + 1, 1,
                        &second) &&
                 second == kEndMark;
    }
    doubleMark_ = memos >= kSlackSample && doubled * 10 >= memos * 9;
    return;
  }
  uint32_t withSlack = 0;
  uint32_t zero = 0;
  for (const Found& found : walk()) {
    const uint64_t start = uint64_t{found.block} * blockSize_;
    const uint64_t stored = kMemoBlockHead + found.memo.bytes.size();
    const uint64_t end = std::min<uint64_t>(size_, start + uint64_t{found.memo.blocks} * blockSize_);
    if (start + stored >= end) continue;
    ++withSlack;
    zeroSlack_ = true;
    zero += cleanSlack(start, stored, found.memo);
    zeroSlack_ = false;
  }
  // Some programs leave old bytes after a memo, some zeros: only in a
  // file of the second kind does a memo whose last block is not zero
  // after its text tell of an overwritten block.
  zeroSlack_ = withSlack >= kSlackSample && zero * 10 >= withSlack * 9;
}

std::vector<MemoReader::Found> MemoReader::walk() {
  std::vector<Found> found;
  const uint64_t blocks = size_ / blockSize_ + (size_ % blockSize_ != 0);
  for (uint64_t block = firstMemoBlock(kind_, blockSize_); block < blocks;) {
    const uint32_t at = static_cast<uint32_t>(block);
    // A FoxPro block says by its type what it holds; the dBase kinds hold
    // text only.
    bool text = true;
    if (kind_ == MemoKind::kFoxPro) {
      text = !soundHead(at, blockSize_, /*text=*/false);
    } else if (kind_ == MemoKind::kDbase3 && !soundHead(at, blockSize_, true)) {
      ++block;
      continue;
    }
    Memo memo = read(at, text);
    if (memo.fault != MemoFault::kNone) {
      ++block;
      continue;
    }
    block += std::max<uint32_t>(memo.blocks, 1);
    found.push_back({at, std::move(memo)});
  }
  return found;
}

uint32_t MemoReader::countHeads(uint32_t blockSize) {
  // The file's first MiB speaks for it, alike for every size.
  constexpr uint64_t kLookedAt = 1u << 20;
  const uint64_t blocks = std::min(size_, kLookedAt) / blockSize;
  uint32_t heads = 0;
  for (uint64_t block = firstMemoBlock(kind_, blockSize); block < blocks;) {
    const uint32_t at = static_cast<uint32_t>(block);
    if (!soundHead(at, blockSize, true) &&
        (kind_ != MemoKind::kFoxPro || !soundHead(at, blockSize, false))) {
      ++block;
      continue;
    }
    uint8_t head[kMemoBlockHead] = {};
    readAt(uint64_t{at} * blockSize, sizeof head, head);
    const uint64_t stored =
        kind_ == MemoKind::kFoxPro ? kMemoBlockHead + uint64_t{big32(head + 4)} : le::Get32(head + 4);
    block += std::max<uint64_t>(1, blocksFor(stored, blockSize));
    ++heads;
  }
  return heads;
}

uint32_t inferBlockSize(MemoReader& reader,
                        const std::vector<std::pair<uint32_t, bool>>& references) {
  if (reader.kind() == MemoKind::kDbase3) return kDbase3BlockSize;
  std::vector<uint32_t> candidates;
  for (uint32_t size = 1; size <= 16384; size *= 2) candidates.push_back(size);
  // FoxPro also takes a block size in units of 512 bytes.
  for (uint32_t units = 3; units <= 32; ++units) {
    if ((units & (units - 1)) != 0) candidates.push_back(units * 512);
  }
  // Every memo head lies on the grid of the true size: a multiple of it
  // misses the heads between its blocks, while a divisor finds the same
  // ones. A size whose grid holds clearly fewer heads than a fine grid
  // (32 bytes; 1 for the sizes below it, where stray bytes pass for heads
  // more often) is a multiple of the true one and is not taken: a few
  // references landing on other memos' heads under it never win.
  constexpr uint32_t kFineGrid = 32;
  const uint32_t fineHeads = reader.countHeads(kFineGrid);
  const uint32_t finestHeads = reader.countHeads(1);
  auto onTheGrid = [&](uint32_t size) {
    const uint32_t heads = reader.countHeads(size);
    return heads * 10 >= (size >= kFineGrid ? fineHeads : finestHeads) * 9;
  };
  auto score = [&](uint32_t blockSize) {
    uint32_t landed = 0;
    for (const auto& [block, text] : references) {
      landed += block != 0 && reader.soundHead(block, blockSize, text);
    }
    return landed;
  };
  // The reader's own size (the kind's usual one) holds unless another
  // does better; of sizes that do equally well, the larger.
  uint32_t best = reader.blockSize();
  uint32_t bestScore = onTheGrid(best) ? score(best) : 0;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const uint32_t landed = score(candidates[i]);
    if (landed < bestScore || landed == 0 || !onTheGrid(candidates[i])) continue;
    if (landed > bestScore || (landed == bestScore && landed != 0 && candidates[i] > best)) {
      best = candidates[i];
      bestScore = landed;
    }
  }
  return best;
}

MemoDiagnosis diagnoseMemo(MemoReader& reader,
                           const std::vector<std::pair<uint32_t, bool>>& references) {
  MemoDiagnosis d;
  d.kind = reader.kind();
  d.size = reader.size();
  d.headerBlockSize = reader.header().blockSize;
  // As the recovery does: only a header that lost its block size has it
  // inferred.
  d.blockSizeInferred = d.headerBlockSize == 0 && reader.kind() != MemoKind::kDbase3;
  if (d.blockSizeInferred) reader.setBlockSize(inferBlockSize(reader, references));
  d.blockSize = reader.blockSize();
  d.cutShort = uint64_t{reader.header().nextFreeBlock} * d.blockSize > d.size &&
               d.headerBlockSize != 0;
  for (const auto& [block, text] : references) {
    if (block == 0) continue;
    ++d.references;
    const MemoFault fault = reader.read(block, text).fault;
    if (fault == MemoFault::kNone) {
      ++d.readable;
    } else if (fault == MemoFault::kPastEnd || fault == MemoFault::kRunsPastEnd) {
      ++d.pastEnd;
    } else {
      ++d.broken;
    }
  }
  return d;
}

}  // namespace kest
