#include "platform/path.h"

#include <cctype>

namespace kest::platform {

namespace {

char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

}  // namespace

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

PathParts SplitPath(std::string_view path) {
  PathParts parts;
  if (kHasDrives && path.size() >= 2 && path[1] == ':' &&
      std::isalpha(static_cast<unsigned char>(path[0]))) {
    parts.drive = std::string(path.substr(0, 2));
    path.remove_prefix(2);
  }
  size_t slash = path.find_last_of("\\/");
  std::string_view file = path;
  if (slash != std::string_view::npos) {
    parts.folder = std::string(path.substr(0, slash + 1));
    file = path.substr(slash + 1);
  }
  size_t dot = file.find_last_of('.');
  if (dot == std::string_view::npos) {
    parts.name = std::string(file);
  } else {
    parts.name = std::string(file.substr(0, dot));
    parts.extension = std::string(file.substr(dot));
  }
  return parts;
}

std::string JoinPath(const PathParts& parts) {
  return parts.drive + parts.folder + parts.name + parts.extension;
}

std::string FolderOf(std::string_view path) {
  PathParts parts = SplitPath(path);
  return parts.drive + parts.folder;
}

std::string FolderOrCurrent(std::string_view path) {
  std::string folder = FolderOf(path);
  return folder.empty() ? std::string(".") : folder;
}

std::string InFolder(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && !IsSeparator(path.back())) path += kSeparator;
  path += name;
  return path;
}

std::string_view FileNameOf(std::string_view path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  // Iterative matcher with one backtrack point for the last '*'.
  size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  if (p == pattern.size()) return true;
  // "*.*" and "name.*" also take names without a dot, as on the systems
  // the tables come from.
  return pattern.substr(p) == ".*";
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

}  // namespace kest::platform
