#include "dbf/result_table.h"

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

}  // namespace kest
