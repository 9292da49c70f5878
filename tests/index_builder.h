// Builds index file images for tests from the documented layouts (see
// dbf/index_format.h): the headers and, for a .cdx, its tag directory in
// one leaf. No keys of the table: a recovery reads only what names the tags.
#ifndef KEST_TESTS_INDEX_BUILDER_H_
#define KEST_TESTS_INDEX_BUILDER_H_

#include <string>
#include <vector>

namespace kest::testing {

struct TagSpec {
  std::string name, key, filter;
  bool unique = false;
  bool descending = false;
};

std::string compactIndex(const TagSpec& tag);  // .idx, 1024 bytes
std::string compoundIndex(const std::vector<TagSpec>& tags);  // .cdx
std::string multipleIndex(const std::vector<TagSpec>& tags);  // .mdx
std::string clipperIndex(const TagSpec& tag);  // .ntx
std::string dbase3Index(const TagSpec& tag);   // .ndx

}  // namespace kest::testing

#endif  // KEST_TESTS_INDEX_BUILDER_H_
