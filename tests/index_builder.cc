#include "tests/index_builder.h"

#include <cstdint>

namespace kest::testing {

namespace {

void put16(std::string& s, size_t at, uint32_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& s, size_t at, uint32_t v) {
  put16(s, at, v & 0xFFFF);
  put16(s, at + 2, v >> 16);
}
void putText(std::string& s, size_t at, const std::string& text) {
  s.replace(at, text.size(), text);
}

constexpr size_t kNode = 512;
constexpr size_t kTagNameLength = 10;

}  // namespace

std::string compactIndex(const TagSpec& tag) {
  std::string h(1024, '\0');
  put32(h, 0, 1024);
  put32(h, 4, 0xFFFFFFFF);
  put16(h, 12, 10);
  h[14] = static_cast<char>(0x20 | (tag.unique ? 0x01 : 0) | (tag.filter.empty() ? 0 : 0x08));
  put16(h, 502, tag.descending ? 1 : 0);
  put16(h, 506, static_cast<uint32_t>(tag.filter.size() + (tag.filter.empty() ? 0 : 1)));
  put16(h, 510, static_cast<uint32_t>(tag.key.size() + 1));
  putText(h, 512, tag.key);
  putText(h, 512 + tag.key.size() + 1, tag.filter);
  return h;
}

std::string compoundIndex(const std::vector<TagSpec>& tags) {
  // The directory's header, its one leaf, then each tag's header.
  std::string file = compactIndex({"", "", "", false, false});
  file[14] = static_cast<char>(0xE0);
  std::string leaf(kNode, '\0');
  put16(leaf, 0, 3);  // root and leaf
  put16(leaf, 2, static_cast<uint32_t>(tags.size()));
  put32(leaf, 4, 0xFFFFFFFF);
  put32(leaf, 8, 0xFFFFFFFF);
  // Three bytes a key: 16 bits of record number, 4 of duplicates, 4 of
  // trailing blanks.
  put32(leaf, 14, 0xFFFF);
  leaf[18] = 0x0F;
  leaf[19] = 0x0F;
  leaf[20] = 16;
  leaf[21] = 4;
  leaf[22] = 4;
  leaf[23] = 3;
  size_t keyEnd = kNode;
  for (size_t i = 0; i < tags.size(); ++i) {
    const std::string& name = tags[i].name;
    uint32_t header = static_cast<uint32_t>(1024 + kNode + i * 1024);
    uint32_t trailing = static_cast<uint32_t>(kTagNameLength - name.size());
    uint32_t packed = header | (trailing << 20);
    for (int b = 0; b < 3; ++b) {
      leaf[24 + i * 3 + b] = static_cast<char>((packed >> (8 * b)) & 0xFF);
    }
    keyEnd -= name.size();
    putText(leaf, keyEnd, name);
  }
  file += leaf;
  for (const TagSpec& tag : tags) file += compactIndex(tag);
  return file;
}

std::string multipleIndex(const std::vector<TagSpec>& tags) {
  std::string file(2048, '\0');
  file[0] = 2;
  put16(file, 28, static_cast<uint32_t>(tags.size()));
  file[25] = 48;
  file[26] = 32;
  for (size_t i = 0; i < tags.size(); ++i) {
    size_t entry = 544 + i * 32;
    uint32_t page = static_cast<uint32_t>(4 + i);
    put32(file, entry, page);
    putText(file, entry + 4, tags[i].name);
    std::string header(512, '\0');
    putText(header, 24, tags[i].key);
    file.resize(size_t{page} * 512);
    file += header;
  }
  return file;
}

std::string clipperIndex(const TagSpec& tag) {
  std::string h(1024, '\0');
  put16(h, 0, 6);
  put16(h, 14, 10);
  putText(h, 22, tag.key);
  h[278] = tag.unique ? 1 : 0;
  h[279] = tag.descending ? 1 : 0;
  putText(h, 280, tag.filter);
  putText(h, 536, tag.name);
  return h;
}

std::string dbase3Index(const TagSpec& tag) {
  std::string h(512, '\0');
  put32(h, 0, 1);
  put16(h, 12, 10);
  putText(h, 24, tag.key);
  return h;
}

}  // namespace kest::testing
