// The index files of a table, as far as a recovery needs them: which files
// stand beside the table, and what their headers say of each tag (name, key
// expression, filter, order) so that the owning program can re-create them
// exactly. A recovered table never takes an old index along: the index
// points at record numbers and key values the result no longer has.
//
// The layouts, each read through a reader over the file's bytes (a short
// read returns fewer bytes; nothing is trusted past what was read):
//   .ndx  one 512-byte header; key expression at 24.
//   .ntx  one 1024-byte header; signature 6 (or 0x106) at 0, key
//         expression at 22 (256 bytes), unique at 278, descending at 279,
//         filter at 280 (256 bytes), order name at 536 (12 bytes).
//   .idx  compact (option bit 0x20): a 1024-byte header, key length at 12,
//         options at 14 (0x01 unique, 0x08 filter), order at 502 (1 is
//         descending), the key expression from 512, the filter after its
//         NUL; otherwise key expression at 16 and filter at 236 (220 bytes
//         each).
//   .cdx  a compact index whose keys are the tag names and whose record
//         numbers are the offsets of each tag's own compact header. Its
//         leaves pack record number, duplicate and trailing counts into a
//         few bytes per key (masks and bit counts at 14..23, the entries
//         from 24, the key bytes from the node's end backwards); interior
//         nodes hold the key, the record number and the child's offset
//         (both big-endian) from 12.
//   .mdx  a tag table of 32-byte entries from 544 (count at 28): the tag
//         header's 512-byte page at 0, the name at 4 (11 bytes); the tag
//         header holds the key expression at 24.
#ifndef KEST_DBF_INDEX_FORMAT_H_
#define KEST_DBF_INDEX_FORMAT_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace kest {

enum class IndexKind { kCompound, kMultiple, kSingleCompact, kClipper, kDbase3 };

struct IndexTag {
  std::string name;
  std::string key;
  std::string filter;  // empty: none
  bool unique = false;
  bool descending = false;
};

struct IndexFile {
  std::string name;  // the entry name beside the table
  IndexKind kind = IndexKind::kDbase3;
  // A .cdx or .mdx of the table's own stem, which the program opens with
  // the table by itself.
  bool structural = false;
  bool readable = false;
  std::vector<IndexTag> tags;
};

// `count` bytes from `offset`, fewer where the file ends.
using IndexBytes = std::function<std::vector<uint8_t>(uint64_t offset, size_t count)>;

// The kind an extension (".cdx", letter case ignored) names, if any.
std::optional<IndexKind> indexKindOf(std::string_view extension);

// The tags the file's header names; nothing when the bytes do not hold a
// readable header of the kind. `stem` names the tag of a one-tag file.
std::optional<std::vector<IndexTag>> readIndexTags(IndexKind kind, const IndexBytes& read,
                                                   const std::string& stem);

// The index files named after the table (its stem, any letter case), read
// as far as they can be; empty when there are none or the folder cannot be
// listed. Reads the files only.
std::vector<IndexFile> findIndexFiles(const std::string& tablePath, platform::Env* env);

// How the owning program gets the index back, in words for the user.
std::string rebuildAdvice(const IndexFile& file);

}  // namespace kest

#endif  // KEST_DBF_INDEX_FORMAT_H_
