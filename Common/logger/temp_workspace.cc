#include "Common/logger/logger.h"

namespace kest {

// Placeholder until the workspace is built: no workspace, no temp names.
bool Logger::InitTempPath() {
  workspaceReady_ = false;
  workspaceFailure_ = "the temp workspace is not available";
  return false;
}

const char* Logger::NewTempFileName() { return nullptr; }
void Logger::EmptyFolder(const char*) {}
void Logger::DeleteTempFiles() {}

}  // namespace kest
