#include "dbf/memo_blocks.h"

#include "dbf/dbf_format.h"
#include "dbf/memo_companion.h"
#include "platform/path.h"

namespace kest {

namespace {

constexpr uint8_t kDbase3Version = 0x83;
// Both keep a memo's length after four bytes of its block header: FoxPro
// big-endian and counting the text only, dBase IV little-endian and
// counting the header too.
constexpr uint32_t kBlockHeaderLength = 8;
constexpr uint32_t kDefaultBlockSize = 512;

uint32_t bigEndian32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

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

std::unique_ptr<MemoBlocks> MemoBlocks::Open(const std::string& tablePath, uint8_t tableVersion,
                                             platform::Env* env) {
  for (const char* extension : {".fpt", ".dbt"}) {
    platform::PathParts parts = platform::SplitPath(tablePath);
    parts.extension = extension;
    std::string path = findIgnoringCase(platform::JoinPath(parts), env);
    if (!platform::IsPresent(env->KindOf(path))) continue;
    Kind kind = extension[1] == 'f'                 ? Kind::kFoxPro
                : tableVersion == kDbase3Version ? Kind::kDbase3
                                                   : Kind::kDbase4;
    // A companion that cannot be opened is as good as none; one that fails
    // a read once open is a failing disk, and raises as the table's would.
    std::unique_ptr<LLFile> file;
    try {
      file = std::make_unique<LLFile>(path.c_str(), env);
    } catch (...) {
      return nullptr;
    }
    return std::unique_ptr<MemoBlocks>(new MemoBlocks(std::move(file), kind));
  }
  return nullptr;
}

MemoBlocks::MemoBlocks(std::unique_ptr<LLFile> file, Kind kind)
    : file_(std::move(file)), kind_(kind), size_(file_->size64()) {
  uint8_t header[32] = {};
  file_->ReadAt(0, sizeof header, header);
  uint32_t declared = 0;
  if (kind_ == Kind::kFoxPro) declared = uint32_t{header[6]} << 8 | header[7];
  if (kind_ == Kind::kDbase4) declared = le::Get16(header + 20);
  if (declared != 0) blockSize_ = declared;
  if (kind_ == Kind::kDbase3) blockSize_ = kDefaultBlockSize;
}

bool MemoBlocks::wholeInside(uint32_t block) {
  if (block == 0) return true;
  const uint64_t start = uint64_t{block} * blockSize_;
  // A dBase III memo is read up to its end mark or the end of the file: one
  // past the cut reads as empty, and no reader fails on it.
  if (kind_ == Kind::kDbase3) return true;
  if (start + kBlockHeaderLength > size_ || start > UINT32_MAX) return false;
  uint8_t header[kBlockHeaderLength] = {};
  file_->ReadAt(static_cast<uint32_t>(start), sizeof header, header);
  const uint64_t length = kind_ == Kind::kFoxPro ? kBlockHeaderLength + uint64_t{bigEndian32(header + 4)}
                                                 : le::Get32(header + 4);
  return start + length <= size_;
}

}  // namespace kest
