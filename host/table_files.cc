#include "host/table_files.h"

#include <filesystem>
#include <fstream>

#include <sys/stat.h>

#include "dbf/memo_companion.h"
#include "dbf/result_table.h"
#include "platform/path.h"

namespace fs = std::filesystem;

namespace kest::host {

namespace {

constexpr const char* kResultPrefix = "Recovered ";
constexpr const char* kWorstCaseName = kRecoveredTableName;

std::string folderOf(const std::string& path) { return platform::FolderOrCurrent(path); }

bool sameIdentity(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::vector<std::string> memoCompanions(const std::string& tablePath) {
  std::vector<std::string> found;
  std::string folder = folderOf(tablePath);
  std::string stem = platform::SplitPath(tablePath).name;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (isMemoCompanionName(stem, name)) found.push_back(platform::InFolder(folder, name));
  }
  return found;
}

std::optional<std::string> logClash(const std::string& logPath,
                                    const std::vector<std::string>& tables) {
  struct stat logStat;
  bool logExists = ::stat(logPath.c_str(), &logStat) == 0;
  struct stat logFolderStat;
  bool logFolderExists = ::stat(folderOf(logPath).c_str(), &logFolderStat) == 0;
  std::string logName(platform::FileNameOf(logPath));

  for (const std::string& table : tables) {
    std::vector<std::string> guarded = memoCompanions(table);
    guarded.insert(guarded.begin(), table);
    if (logExists) {
      for (const std::string& path : guarded) {
        struct stat fileStat;
        if (::stat(path.c_str(), &fileStat) == 0 && sameIdentity(fileStat, logStat)) return path;
      }
    }
    struct stat tableFolderStat;
    if (logFolderExists && ::stat(folderOf(table).c_str(), &tableFolderStat) == 0 &&
        sameIdentity(tableFolderStat, logFolderStat) &&
        isMemoCompanionName(platform::SplitPath(table).name, logName)) {
      return platform::InFolder(folderOf(table), logName);
    }
  }
  return std::nullopt;
}

std::set<std::string> resultFolderNames(const std::string& outputFolder) {
  std::set<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(outputFolder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.rfind(kResultPrefix, 0) == 0) names.insert(name);
  }
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
  for (const std::string& name : resultFolderNames(outputFolder)) {
    if (before.count(name)) continue;
    std::string path = platform::InFolder(outputFolder, name);
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(path, ec))) continue;
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

std::optional<uint32_t> readRecordCount(const std::string& tablePath) {
  std::ifstream in(tablePath, std::ios::binary);
  unsigned char header[8];
  if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return std::nullopt;
  return static_cast<uint32_t>(header[4]) | static_cast<uint32_t>(header[5]) << 8 |
         static_cast<uint32_t>(header[6]) << 16 | static_cast<uint32_t>(header[7]) << 24;
}

}  // namespace kest::host
