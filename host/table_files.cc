#include "host/table_files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "dbf/dbf_format.h"
#include "dbf/memo_companion.h"
#include "dbf/result_publishing.h"
#include "platform/env.h"
#include "platform/path.h"

namespace fs = std::filesystem;

namespace kest::host {

namespace {

constexpr const char* kResultPrefix = "Recovered ";
constexpr const char* kWorstCaseName = kRecoveredTableName;

std::string folderOf(const std::string& path) { return platform::FolderOrCurrent(path); }

// The entries of `outputFolder` whose names begin with kResultPrefix.
// Listed through Env rather than std::filesystem: on Windows the latter
// hands names back in UTF-8 but takes them in the ANSI code page, so a name
// beyond ASCII would not find its own folder again.
std::vector<platform::DirEntry> resultEntries(const std::string& outputFolder) {
  std::vector<platform::DirEntry> entries;
  if (!platform::Env::Default()->ListFolder(outputFolder, "*", &entries)) return {};
  std::erase_if(entries, [](const platform::DirEntry& entry) {
    return entry.name.rfind(kResultPrefix, 0) != 0;
  });
  // In name order, so that of two folders equally new the same one wins
  // on every system.
  std::sort(entries.begin(), entries.end(),
            [](const platform::DirEntry& a, const platform::DirEntry& b) { return a.name < b.name; });
  return entries;
}

}  // namespace

std::vector<std::string> memoCompanions(const std::string& tablePath) {
  std::vector<std::string> found;
  std::string folder = folderOf(tablePath);
  for (const std::string& name : listMemoCompanions(tablePath, platform::Env::Default())) {
    found.push_back(platform::InFolder(folder, name));
  }
  return found;
}

std::optional<std::string> logClash(const std::string& logPath,
                                    const std::vector<std::string>& tables) {
  platform::Env* env = platform::Env::Default();
  std::string logFolder = folderOf(logPath);
  std::string logName(platform::FileNameOf(logPath));

  for (const std::string& table : tables) {
    std::vector<std::string> guarded = memoCompanions(table);
    guarded.insert(guarded.begin(), table);
    for (const std::string& path : guarded) {
      if (env->SameFile(path, logPath)) return path;
    }
    if (env->SameFile(folderOf(table), logFolder) &&
        isMemoCompanionName(platform::SplitPath(table).name, logName)) {
      return platform::InFolder(folderOf(table), logName);
    }
  }
  return std::nullopt;
}

std::set<std::string> resultFolderNames(const std::string& outputFolder) {
  std::set<std::string> names;
  for (const platform::DirEntry& entry : resultEntries(outputFolder)) names.insert(entry.name);
  return names;
}

std::optional<ResultLocation> findNewResult(const std::string& outputFolder,
                                            const std::string& sourcePath,
                                            const std::set<std::string>& before) {
  std::string sourceName(platform::FileNameOf(sourcePath));
  std::string ownPrefix = kResultPrefix + sourceName + " ";

  std::optional<std::string> best;
  fs::file_time_type bestTime;
  bool bestIsOwn = false;
  for (const platform::DirEntry& entry : resultEntries(outputFolder)) {
    const std::string& name = entry.name;
    if (before.count(name) || entry.kind != platform::EntryKind::kFolder) continue;
    std::string path = platform::InFolder(outputFolder, name);
    std::error_code ec;
    fs::file_time_type time = fs::last_write_time(path, ec);
    if (ec) continue;
    bool own = name.rfind(ownPrefix, 0) == 0;
    if (!best || time > bestTime || (time == bestTime && own && !bestIsOwn)) {
      best = path;
      bestTime = time;
      bestIsOwn = own;
    }
  }
  if (!best) return std::nullopt;

  ResultLocation location;
  location.folder = *best;
  location.method = "unknown";
  std::error_code ec;
  std::string bestCaseTable = platform::InFolder(*best, sourceName);
  std::string worstCaseTable = platform::InFolder(*best, kWorstCaseName);
  if (fs::is_regular_file(bestCaseTable, ec)) {
    location.table = bestCaseTable;
    // Both methods would have written the same name.
    if (sourceName != kWorstCaseName) location.method = "best-case";
  } else if (fs::is_regular_file(worstCaseTable, ec)) {
    location.table = worstCaseTable;
    location.method = "worst-case";
  }
  if (!location.table.empty()) location.records = readRecordCount(location.table);
  return location;
}

std::vector<std::string> folderContents(const std::string& folder) {
  std::vector<platform::DirEntry> entries;
  std::vector<std::string> names;
  if (!platform::Env::Default()->ListFolder(folder, "*", &entries)) return names;
  for (const platform::DirEntry& entry : entries) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<uint32_t> readRecordCount(const std::string& tablePath) {
  std::ifstream in(tablePath, std::ios::binary);
  DbfHeader header;
  in.read(reinterpret_cast<char*>(header.bytes), sizeof header.bytes);
  // The count is all that is read; a header cut short after it still has one.
  constexpr std::streamsize kCountEnd = 8;
  if (in.gcount() < kCountEnd) return std::nullopt;
  return header.recordCount();
}

}  // namespace kest::host
