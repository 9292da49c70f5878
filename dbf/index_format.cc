#include "dbf/index_format.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "dbf/dbf_format.h"
#include "platform/path.h"

namespace kest {

namespace {

constexpr size_t kNdxHeader = 512;
constexpr size_t kNdxKeyAt = 24;

constexpr size_t kNtxHeader = 1024;
constexpr size_t kNtxKeyAt = 22;
constexpr size_t kNtxExpressionLength = 256;
constexpr size_t kNtxUniqueAt = 278;
constexpr size_t kNtxDescendingAt = 279;
constexpr size_t kNtxFilterAt = 280;
constexpr size_t kNtxOrderNameAt = 536;
constexpr size_t kNtxOrderNameLength = 12;

constexpr size_t kCompactHeader = 1024;
constexpr size_t kCompactKeyLengthAt = 12;
constexpr size_t kCompactOptionsAt = 14;
constexpr size_t kCompactOrderAt = 502;
constexpr size_t kCompactPoolAt = 512;
constexpr uint8_t kUniqueOption = 0x01;
constexpr uint8_t kFilterOption = 0x08;
constexpr uint8_t kCompactOption = 0x20;
constexpr size_t kPlainIdxKeyAt = 16;
constexpr size_t kPlainIdxFilterAt = 236;
constexpr size_t kPlainIdxExpressionLength = 220;

constexpr size_t kNodeLength = 512;
constexpr uint16_t kLeafNode = 0x02;
constexpr size_t kLeafEntriesAt = 24;
constexpr size_t kInteriorEntriesAt = 12;
constexpr uint32_t kNoNode = 0xFFFFFFFF;
// A tag directory of a few hundred tags spans a handful of nodes; more is
// a loop in a damaged file.
constexpr int kMaxNodes = 256;

constexpr size_t kMdxTagTableAt = 544;
constexpr size_t kMdxTagCountAt = 28;
constexpr size_t kMdxEntryLength = 32;
constexpr size_t kMdxMaxTags = 47;
constexpr size_t kMdxNameAt = 4;
constexpr size_t kMdxNameLength = 11;
constexpr size_t kMdxPage = 512;
constexpr size_t kMdxKeyAt = 24;
constexpr size_t kMdxExpressionLength = 220;

uint32_t big32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Text of at most `length` bytes from `at`, up to its NUL, without the
// blanks programs pad with.
std::string textAt(const std::vector<uint8_t>& bytes, size_t at, size_t length) {
  if (at >= bytes.size()) return "";
  length = std::min(length, bytes.size() - at);
  const char* text = reinterpret_cast<const char*>(bytes.data() + at);
  std::string value(text, strnlen(text, length));
  while (!value.empty() && (value.back() == ' ' || value.back() == '\0')) value.pop_back();
  return value;
}

// What a program wrote as an expression or a name: printable, no control
// bytes. Damaged bytes seldom are.
bool plausibleText(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

bool plausible(const IndexTag& tag) {
  return !tag.key.empty() && !tag.name.empty() && plausibleText(tag.key) &&
         plausibleText(tag.name) && plausibleText(tag.filter);
}

std::optional<IndexTag> compactTag(const IndexBytes& read, uint64_t at, const std::string& name) {
  std::vector<uint8_t> header = read(at, kCompactHeader);
  if (header.size() < kCompactHeader) return std::nullopt;
  IndexTag tag;
  tag.name = name;
  const uint8_t options = header[kCompactOptionsAt];
  if ((options & kCompactOption) != 0) {
    tag.key = textAt(header, kCompactPoolAt, kCompactHeader - kCompactPoolAt);
    if ((options & kFilterOption) != 0) {
      size_t after = kCompactPoolAt + strnlen(reinterpret_cast<const char*>(header.data()) +
                                                  kCompactPoolAt,
                                              kCompactHeader - kCompactPoolAt) + 1;
      tag.filter = textAt(header, after, kCompactHeader - std::min(after, kCompactHeader));
    }
    tag.descending = le::Get16(header.data() + kCompactOrderAt) == 1;
  } else {
    tag.key = textAt(header, kPlainIdxKeyAt, kPlainIdxExpressionLength);
    if ((options & kFilterOption) != 0) {
      tag.filter = textAt(header, kPlainIdxFilterAt, kPlainIdxExpressionLength);
    }
  }
  tag.unique = (options & kUniqueOption) != 0;
  if (le::Get16(header.data() + kCompactKeyLengthAt) == 0 || !plausible(tag)) return std::nullopt;
  return tag;
}

// The keys of one leaf of a compact index, with their record numbers.
bool readLeaf(const std::vector<uint8_t>& node, uint16_t keyLength,
              std::vector<std::pair<std::string, uint32_t>>* keys) {
  const uint16_t count = le::Get16(node.data() + 2);
  const uint32_t recordMask = le::Get32(node.data() + 14);
  const uint8_t duplicateMask = node[18], trailMask = node[19];
  const uint8_t recordBits = node[20], duplicateBits = node[21];
  const uint8_t entryBytes = node[23];
  if (entryBytes == 0 || entryBytes > 8 || recordBits + duplicateBits > 56) return false;
  const size_t entriesEnd = kLeafEntriesAt + size_t{count} * entryBytes;
  if (entriesEnd > kNodeLength) return false;
  size_t keyAt = kNodeLength;
  std::string previous(keyLength, ' ');
  for (uint16_t i = 0; i < count; ++i) {
    uint64_t packed = 0;
    for (int b = entryBytes - 1; b >= 0; --b) {
      packed = (packed << 8) | node[kLeafEntriesAt + size_t{i} * entryBytes + b];
    }
    const uint32_t record = static_cast<uint32_t>(packed) & recordMask;
    const size_t duplicates = (packed >> recordBits) & duplicateMask;
    const size_t trailing = (packed >> (recordBits + duplicateBits)) & trailMask;
    if (duplicates + trailing > keyLength) return false;
    const size_t fresh = keyLength - duplicates - trailing;
    if (keyAt < entriesEnd + fresh) return false;
    keyAt -= fresh;
    std::string key = previous.substr(0, duplicates);
    key.append(reinterpret_cast<const char*>(node.data() + keyAt), fresh);
    key.append(trailing, ' ');
    previous = key;
    keys->emplace_back(key, record);
  }
  return true;
}

std::optional<std::vector<IndexTag>> compoundTags(const IndexBytes& read) {
  std::vector<uint8_t> header = read(0, kCompactHeader);
  if (header.size() < kCompactHeader) return std::nullopt;
  const uint16_t keyLength = le::Get16(header.data() + kCompactKeyLengthAt);
  if (keyLength == 0 || keyLength > kNodeLength) return std::nullopt;
  uint32_t at = le::Get32(header.data());
  std::vector<std::pair<std::string, uint32_t>> names;
  std::set<uint32_t> seen;
  // Down the first children to the leftmost leaf, then along the leaves.
  while (at != kNoNode) {
    if (!seen.insert(at).second || seen.size() > kMaxNodes) return std::nullopt;
    std::vector<uint8_t> node = read(at, kNodeLength);
    if (node.size() < kNodeLength) return std::nullopt;
    if ((le::Get16(node.data()) & kLeafNode) == 0) {
      // The first entry: the key, its record number, the child's offset.
      if (le::Get16(node.data() + 2) == 0 || kInteriorEntriesAt + keyLength + 8 > kNodeLength) {
        return std::nullopt;
      }
      at = big32(node.data() + kInteriorEntriesAt + keyLength + 4);
      continue;
    }
    if (!readLeaf(node, keyLength, &names)) return std::nullopt;
    at = le::Get32(node.data() + 8);
  }
  std::vector<IndexTag> tags;
  for (const auto& [name, offset] : names) {
    std::string trimmed = textAt(std::vector<uint8_t>(name.begin(), name.end()), 0, name.size());
    std::optional<IndexTag> tag = compactTag(read, offset, trimmed);
    if (!tag) return std::nullopt;
    tags.push_back(*tag);
  }
  return tags;
}

std::optional<std::vector<IndexTag>> multipleTags(const IndexBytes& read) {
  std::vector<uint8_t> header = read(0, kMdxTagTableAt + kMdxMaxTags * kMdxEntryLength);
  if (header.size() < kMdxTagTableAt) return std::nullopt;
  const uint16_t count = le::Get16(header.data() + kMdxTagCountAt);
  if (count > kMdxMaxTags || header.size() < kMdxTagTableAt + count * kMdxEntryLength) {
    return std::nullopt;
  }
  std::vector<IndexTag> tags;
  for (uint16_t i = 0; i < count; ++i) {
    const size_t entry = kMdxTagTableAt + size_t{i} * kMdxEntryLength;
    IndexTag tag;
    tag.name = textAt(header, entry + kMdxNameAt, kMdxNameLength);
    std::vector<uint8_t> tagHeader =
        read(uint64_t{le::Get32(header.data() + entry)} * kMdxPage, kMdxPage);
    tag.key = textAt(tagHeader, kMdxKeyAt, kMdxExpressionLength);
    if (!plausible(tag)) return std::nullopt;
    tags.push_back(tag);
  }
  return tags;
}

std::optional<std::vector<IndexTag>> clipperTag(const IndexBytes& read, const std::string& stem) {
  std::vector<uint8_t> header = read(0, kNtxHeader);
  if (header.size() < kNtxOrderNameAt) return std::nullopt;
  const uint16_t signature = le::Get16(header.data());
  if (signature != 0x0006 && signature != 0x0106) return std::nullopt;
  IndexTag tag;
  tag.name = textAt(header, kNtxOrderNameAt, kNtxOrderNameLength);
  if (tag.name.empty() || !plausibleText(tag.name)) tag.name = stem;
  tag.key = textAt(header, kNtxKeyAt, kNtxExpressionLength);
  tag.filter = textAt(header, kNtxFilterAt, kNtxExpressionLength);
  tag.unique = header[kNtxUniqueAt] != 0;
  tag.descending = header[kNtxDescendingAt] != 0;
  if (!plausible(tag)) return std::nullopt;
  return std::vector<IndexTag>{tag};
}

std::optional<std::vector<IndexTag>> dbase3Tag(const IndexBytes& read, const std::string& stem) {
  std::vector<uint8_t> header = read(0, kNdxHeader);
  if (header.size() < kNdxHeader) return std::nullopt;
  IndexTag tag;
  tag.name = stem;
  tag.key = textAt(header, kNdxKeyAt, kNdxHeader - kNdxKeyAt);
  if (!plausible(tag)) return std::nullopt;
  return std::vector<IndexTag>{tag};
}

}  // namespace

std::optional<IndexKind> indexKindOf(std::string_view extension) {
  struct Known {
    const char* extension;
    IndexKind kind;
  };
  static constexpr Known kKnown[] = {{".cdx", IndexKind::kCompound},
                                     {".mdx", IndexKind::kMultiple},
                                     {".idx", IndexKind::kSingleCompact},
                                     {".ntx", IndexKind::kClipper},
                                     {".ndx", IndexKind::kDbase3}};
  for (const Known& known : kKnown) {
    if (platform::EqualsNoCase(extension, known.extension)) return known.kind;
  }
  return std::nullopt;
}

std::optional<std::vector<IndexTag>> readIndexTags(IndexKind kind, const IndexBytes& read,
                                                   const std::string& stem) {
  switch (kind) {
    case IndexKind::kCompound:
      return compoundTags(read);
    case IndexKind::kMultiple:
      return multipleTags(read);
    case IndexKind::kSingleCompact: {
      std::optional<IndexTag> tag = compactTag(read, 0, stem);
      if (!tag) return std::nullopt;
      return std::vector<IndexTag>{*tag};
    }
    case IndexKind::kClipper:
      return clipperTag(read, stem);
    case IndexKind::kDbase3:
      return dbase3Tag(read, stem);
  }
  return std::nullopt;
}

std::vector<IndexFile> findIndexFiles(const std::string& tablePath, platform::Env* env) {
  std::vector<IndexFile> files;
  const std::string stem = platform::SplitPath(tablePath).name;
  std::vector<platform::DirEntry> entries;
  if (stem.empty() ||
      !env->ListFolder(platform::FolderOrCurrent(tablePath), stem + ".*", &entries)) {
    return files;
  }
  for (const platform::DirEntry& entry : entries) {
    platform::PathParts parts = platform::SplitPath(entry.name);
    std::optional<IndexKind> kind = indexKindOf(parts.extension);
    if (!kind || !platform::EqualsNoCase(parts.name, stem) ||
        entry.kind != platform::EntryKind::kFile) {
      continue;
    }
    IndexFile file;
    file.name = entry.name;
    file.kind = *kind;
    file.structural = *kind == IndexKind::kCompound || *kind == IndexKind::kMultiple;
    std::unique_ptr<platform::ReadableFile> input;
    if (env->OpenReadOnly(platform::InFolder(platform::FolderOrCurrent(tablePath), entry.name),
                          &input)) {
      IndexBytes read = [&input](uint64_t offset, size_t count) {
        std::vector<uint8_t> bytes(count);
        size_t got = 0;
        if (!input->ReadAt(offset, bytes.data(), count, &got)) got = 0;
        bytes.resize(got);
        return bytes;
      };
      if (std::optional<std::vector<IndexTag>> tags = readIndexTags(*kind, read, parts.name)) {
        file.readable = true;
        file.tags = std::move(*tags);
      }
    }
    files.push_back(std::move(file));
  }
  return files;
}

std::string rebuildAdvice(const IndexFile& file) {
  switch (file.kind) {
    case IndexKind::kCompound:
    case IndexKind::kMultiple:
      return file.structural ? "open the table exclusively and re-create its tags"
                             : "open the table exclusively with this index and re-create its tags";
    case IndexKind::kSingleCompact:
    case IndexKind::kClipper:
    case IndexKind::kDbase3:
      break;
  }
  return "open the table exclusively and create this index again on its key expression";
}

}  // namespace kest
