#include "reader/memo_file.h"

#include <algorithm>
#include <filesystem>

namespace kest::reader {
namespace fs = std::filesystem;
namespace {

constexpr uint32_t kDbtBlockSize = 512;
constexpr uint8_t kDbase4Signature[4] = {0xFF, 0xFF, 0x08, 0x00};

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool foxProVersion(uint8_t version) {
  return version == 0xF5 || version == 0xFB || (version >= 0x30 && version <= 0x32);
}

uint32_t big32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint32_t little32(const unsigned char* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
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

bool isMemoType(char type, const Header& header) {
  bool visualFoxPro = header.version >= 0x30 && header.version <= 0x32;
  return type == 'M' || type == 'G' || type == 'P' || (type == 'B' && !visualFoxPro);
}

std::vector<std::string> memoCompanions(const std::string& tablePath) {
  std::vector<std::string> found;
  fs::path table(tablePath);
  fs::path folder = table.has_parent_path() ? table.parent_path() : fs::path(".");
  std::string stem = table.stem().string();
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    fs::path entry = it->path();
    std::string extension = lower(entry.extension().string());
    if (entry.stem().string() == stem && (extension == ".fpt" || extension == ".dbt") &&
        it->is_regular_file(ec)) {
      found.push_back(entry.string());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::unique_ptr<MemoFile> MemoFile::Open(const std::string& tablePath, const Header& header) {
  std::vector<std::string> companions = memoCompanions(tablePath);
  if (companions.empty()) return nullptr;
  const char* wanted = foxProVersion(header.version) ? ".fpt" : ".dbt";
  std::string chosen = companions.front();
  for (const std::string& candidate : companions) {
    if (lower(fs::path(candidate).extension().string()) == wanted) chosen = candidate;
  }
  std::unique_ptr<MemoFile> memo(new MemoFile());
  memo->path_ = chosen;
  std::error_code ec;
  memo->size_ = fs::file_size(chosen, ec);
  memo->file_.open(chosen, std::ios::binary);
  if (ec || !memo->file_) return nullptr;

  unsigned char head[32] = {};
  memo->file_.read(reinterpret_cast<char*>(head), sizeof head);
  const bool headKnown = memo->file_.gcount() >= 4;
  memo->file_.clear();
  if (lower(fs::path(chosen).extension().string()) == ".fpt") {
    memo->kind_ = MemoKind::kFoxPro;
    memo->blockSize_ = (uint32_t{head[6]} << 8) | head[7];
    if (headKnown) memo->nextFreeBlock_ = big32(head);
  } else {
    if (headKnown) memo->nextFreeBlock_ = little32(head);
    // dBase IV writes its block size at byte 20 and starts every memo with
    // a signature; dBase III has neither and 512-byte blocks.
    memo->kind_ = MemoKind::kDbase3;
    memo->blockSize_ = kDbtBlockSize;
    uint32_t declared = uint32_t{head[20]} | (uint32_t{head[21]} << 8);
    if (header.version != 0x83 && declared != 0) {
      memo->kind_ = MemoKind::kDbase4;
      memo->blockSize_ = declared;
    }
  }
  // A block size of 0 would put every memo on the header.
  if (memo->blockSize_ == 0) memo->blockSize_ = kDbtBlockSize;
  return memo;
}

MemoRead MemoFile::read(uint32_t block, std::string* bytes) {
  bytes->clear();
  if (block == 0) return MemoRead::kNone;
  uint64_t start = uint64_t{block} * blockSize_;
  if (start >= size_) return MemoRead::kOutsideFile;
  file_.clear();
  file_.seekg(static_cast<std::streamoff>(start));
  unsigned char lead[8] = {};
  uint64_t leadBytes = std::min<uint64_t>(8, size_ - start);
  file_.read(reinterpret_cast<char*>(lead), static_cast<std::streamsize>(leadBytes));

  if (kind_ == MemoKind::kFoxPro ||
      (kind_ == MemoKind::kDbase4 && std::equal(lead, lead + 4, kDbase4Signature))) {
    if (leadBytes < 8) return MemoRead::kOutsideFile;
    uint64_t length = kind_ == MemoKind::kFoxPro ? big32(lead + 4) : little32(lead + 4);
    // dBase IV counts the eight lead bytes in the length.
    if (kind_ == MemoKind::kDbase4) length = length >= 8 ? length - 8 : 0;
    if (length > size_ - start - 8) return MemoRead::kOutsideFile;
    if (length > kMaxMemoBytes) return MemoRead::kTooLong;
    bytes->resize(static_cast<size_t>(length));
    file_.seekg(static_cast<std::streamoff>(start + 8));
    if (!file_.read(bytes->data(), static_cast<std::streamsize>(length))) {
      return MemoRead::kOutsideFile;
    }
    return MemoRead::kText;
  }

  // dBase III: the text runs to the end-of-file byte; a file that ends
  // first has lost the rest of it.
  file_.seekg(static_cast<std::streamoff>(start));
  char chunk[kDbtBlockSize];
  for (;;) {
    file_.read(chunk, sizeof chunk);
    std::streamsize got = file_.gcount();
    if (got <= 0) return MemoRead::kOutsideFile;
    const char* end = std::find(chunk, chunk + got, static_cast<char>(kEndOfFile));
    bytes->append(chunk, static_cast<size_t>(end - chunk));
    if (bytes->size() > kMaxMemoBytes) return MemoRead::kTooLong;
    if (end != chunk + got) break;
  }
  return MemoRead::kText;
}

}  // namespace kest::reader
