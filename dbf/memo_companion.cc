#include "dbf/memo_companion.h"

#include <vector>

#include "Common/logger/llfile.h"
#include "platform/path.h"

namespace kest {

std::string findIgnoringCase(const std::string& path, platform::Env* env) {
  if (platform::IsPresent(env->KindOf(path))) return path;
  platform::PathParts parts = platform::SplitPath(path);
  std::string folder = parts.drive + parts.folder;
  std::string name = parts.name + parts.extension;
  std::vector<platform::DirEntry> entries;
  // The name is matched as a pattern; only a literal match counts.
  if (!env->ListFolder(folder.empty() ? "." : folder, name, &entries)) return path;
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
