#include "dbf/result_publishing.h"

#include "Common/logger/logger.h"
#include "platform/path.h"

namespace kest {

bool resultTableName(const std::string& path, platform::Env* env, std::string* name) {
  name->clear();
  std::string result = path;
  if (platform::IsPresent(env->KindOf(path))) {
    std::string folder = path;
    if (!folder.empty() && platform::IsSeparator(folder.back())) folder.pop_back();
    result = platform::InFolder(folder, kRecoveredTableName);
  }
  if (result.size() > kMaxPathLength) return false;
  *name = result;
  return true;
}

std::string systemText(const platform::Status& status) {
  return status.text().empty() ? "error " + std::to_string(status.code()) : status.text();
}

std::string partialName(const std::string& finalName) { return finalName + kPartialSuffix; }

platform::Status publishPartial(platform::Env* env, const std::string& finalName, bool* renamed) {
  *renamed = false;
  platform::Status status = env->RenameNoReplace(partialName(finalName), finalName);
  if (!status) return status;
  *renamed = true;
  return env->SyncFolder(platform::FolderOrCurrent(finalName));
}

void discardPartial(platform::Env* env, const std::string& finalName, bool renamed) {
  std::string path = renamed ? finalName : partialName(finalName);
  platform::Status removed = env->RemoveFile(path);
  if (removed) {
    Log().InfoString("Result file removed:", path.c_str());
    return;
  }
  std::string why = path + ": " + systemText(removed);
  Log().ErrorString("Result file could not be removed:", why.c_str());
}

void logWriteFailure(const std::string& what, const platform::Status& status) {
  Log().ErrorFormat("%s failed: %s", what.c_str(), systemText(status).c_str());
}

}  // namespace kest
