#include "dbf/memo_companion.h"

#include "Common/logger/llfile.h"
#include "dbf/memo_layout.h"
#include "platform/path.h"

namespace kest {

bool isMemoExtension(std::string_view extension) {
  return platform::EqualsNoCase(extension, ".dbt") || platform::EqualsNoCase(extension, ".fpt");
}

bool isMemoCompanionName(std::string_view tableStem, std::string_view name) {
  platform::PathParts parts = platform::SplitPath(name);
  // The stem must be the table's own: a table name may hold wildcard
  // characters where the file system allows them, and "t.x.fpt" matches
  // "t.*" without being t's.
  return isMemoExtension(parts.extension) && platform::EqualsNoCase(parts.name, tableStem);
}

std::string memoCompanionMask(const std::string& tablePath) {
  platform::PathParts table = platform::SplitPath(tablePath);
  return platform::JoinPath({table.drive, table.folder, table.name, ".*"});
}

std::vector<std::string> listMemoCompanions(const std::string& tablePath, platform::Env* env) {
  std::vector<std::string> names;
  std::string stem = platform::SplitPath(tablePath).name;
  std::vector<platform::DirEntry> entries;
  if (!env->ListFolder(platform::FolderOf(tablePath), stem + ".*", &entries)) return names;
  for (const platform::DirEntry& entry : entries) {
    if (isMemoCompanionName(stem, entry.name)) names.push_back(entry.name);
  }
  return names;
}

std::string findMemoFile(const std::string& tablePath, uint8_t tableVersion, platform::Env* env) {
  std::vector<std::string> names = listMemoCompanions(tablePath, env);
  if (names.empty()) return std::string();
  const char* wanted = memoExtension(memoKindForVersion(tableVersion));
  std::string chosen = names.front();
  for (const std::string& name : names) {
    if (platform::EqualsNoCase(platform::SplitPath(name).extension, wanted)) chosen = name;
  }
  return platform::FolderOf(tablePath) + chosen;
}

MemoKind memoKindOfFile(const std::string& memoPath, uint8_t tableVersion) {
  return memoKindOf(platform::EqualsNoCase(platform::SplitPath(memoPath).extension, ".fpt"),
                    tableVersion);
}

std::string findIgnoringCase(const std::string& path, platform::Env* env) {
  if (platform::IsPresent(env->KindOf(path))) return path;
  platform::PathParts parts = platform::SplitPath(path);
  std::string folder = platform::FolderOf(path);
  std::string name = parts.name + parts.extension;
  std::vector<platform::DirEntry> entries;
  // The name is matched as a pattern; only a literal match counts.
  if (!env->ListFolder(platform::FolderOrCurrent(path), name, &entries)) return path;
  for (const platform::DirEntry& entry : entries) {
    if (platform::EqualsNoCase(entry.name, name)) return folder + entry.name;
  }
  return path;
}

MemoCompanion probeMemoCompanion(const std::string& tablePath, platform::Env* env) {
  platform::PathParts parts = platform::SplitPath(tablePath);
  parts.extension = ".fpt";
  std::string memoPath = findIgnoringCase(platform::JoinPath(parts), env);
  MemoCompanion memo;
  try {
    LLFile file(memoPath.c_str(), env);
    memo.size = file.GetSize();
    memo.present = true;
  } catch (...) {
    memo = MemoCompanion();
  }
  return memo;
}

}  // namespace kest
