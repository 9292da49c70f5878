// Taking paths apart and putting them together.
//
// Tables arrive with paths written on either kind of system, so splitting
// accepts both '\' and '/' as separators; composing uses the separator of
// the machine we run on. Pure string work: nothing here touches the disk.
#ifndef KEST_PLATFORM_PATH_H_
#define KEST_PLATFORM_PATH_H_

#include <string>
#include <string_view>

namespace kest::platform {

#ifdef _WIN32
inline constexpr char kSeparator = '\\';
inline constexpr bool kHasDrives = true;
#else
inline constexpr char kSeparator = '/';
inline constexpr bool kHasDrives = false;
#endif

// The pieces of a path: drive ("C:" where drives exist, else empty), folder
// (with its trailing separator), name (without extension) and extension
// (with its leading dot, or empty).
struct PathParts {
  std::string drive;
  std::string folder;
  std::string name;
  std::string extension;
};

bool IsSeparator(char c);
PathParts SplitPath(std::string_view path);
// drive + folder + name + extension.
std::string JoinPath(const PathParts& parts);
// `folder`, one separator (none added when it already ends in one), `name`.
std::string InFolder(std::string_view folder, std::string_view name);
// drive + folder of `path`, with the folder's trailing separator: what a
// name is put after to stand beside `path`. Empty for a bare name.
std::string FolderOf(std::string_view path);
// FolderOf, or "." for a bare name: the folder to list or to compare.
std::string FolderOrCurrent(std::string_view path);
// The part after the last separator of either kind; the whole path without one.
std::string_view FileNameOf(std::string_view path);
// Matches a name against a pattern of literal characters, '*' and '?',
// ignoring ASCII letter case, as the file systems that tables come from do.
bool WildcardMatch(std::string_view pattern, std::string_view name);
// ASCII letter case is ignored.
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace kest::platform

#endif  // KEST_PLATFORM_PATH_H_
