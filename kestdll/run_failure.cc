#include "kestdll/run_failure.h"

#include <cstdint>
#include <memory>

#include "Common/logger/llfile.h"
#include "dbf/dbf_format.h"
#include "dbf/result_publishing.h"

namespace kest {

namespace {

using platform::EntryKind;

std::string orEmpty(const char* text) { return text != nullptr ? text : ""; }

// "<words> (<system text>)", or the words alone when the system said nothing.
// Some systems end their texts as sentences; inside the parentheses the
// full stop would end the line's sentence early.
std::string withSystemText(const std::string& words, std::string systemText) {
  while (!systemText.empty() && (systemText.back() == '.' || systemText.back() == ' ')) {
    systemText.pop_back();
  }
  return systemText.empty() ? words : words + " (" + systemText + ")";
}

RunFailure tableNotOpened(const std::string& table, const std::string& systemText,
                          platform::Env* env) {
  if (table.empty()) return {"no table was named", ""};
  // The open itself only says that it failed; what stands there tells a
  // user why in words of their own.
  switch (env->KindOf(table)) {
    case EntryKind::kMissing:
      return {"the table does not exist", table};
    case EntryKind::kFolder:
      return {"the table is a folder, not a file", table};
    case EntryKind::kOther:
      return {"the table is not a regular file (a device, a pipe or a socket)", table};
    default:
      return {withSystemText("the table cannot be opened", systemText), table};
  }
}

}  // namespace

std::string RunFailure::line() const { return path.empty() ? words : words + ": " + path; }

RunFailure tableUnreadable(const char* table, int llfileCode, const std::string& systemText,
                           platform::Env* env) {
  std::string path = orEmpty(table);
  switch (llfileCode) {
    case kCannotOpen:
      return tableNotOpened(path, systemText, env);
    case kNeeds64Bits:
      return {"the table is 4 GiB or larger, more than the engine reads", path};
    case kNoMemory:
      return {"no memory was left to read the table", path};
    default:
      return {withSystemText("the table cannot be read", systemText), path};
  }
}

RunFailure nothingFound(const char* table, platform::Env* env) {
  std::string path = orEmpty(table);
  std::unique_ptr<platform::ReadableFile> file;
  if (!path.empty() && env->OpenReadOnly(path, &file)) {
    uint64_t size = file->Size();
    file.reset();
    if (size == 0) return {"the table is empty", path};
    if (size < sizeof DbfHeader{}.bytes) {
      return {"the table holds only " + std::to_string(size) + (size == 1 ? " byte" : " bytes") +
                  ", fewer than its 32-byte header",
              path};
    }
  }
  return {"neither method found a record to recover in the table", path};
}

RunFailure resultFolderNotMade(const char* outputFolder, const std::string& resultFolder,
                               const platform::Status& status, platform::Env* env) {
  std::string output = orEmpty(outputFolder);
  if (output.empty()) return {"no output folder was given", ""};
  EntryKind kind = env->KindOf(output);
  if (kind == EntryKind::kMissing) return {"the output folder does not exist", output};
  if (platform::IsPresent(kind) && kind != EntryKind::kFolder && kind != EntryKind::kLink) {
    return {"the output folder is not a folder", output};
  }
  if (platform::IsPresent(env->KindOf(resultFolder))) {
    return {"a results folder of this name exists already (one run per table and minute)",
            resultFolder};
  }
  return {withSystemText("the results folder cannot be made", status.text()), resultFolder};
}

RunFailure noResultName(const char* table) {
  return {"the table's file name leaves no name for the result table", orEmpty(table)};
}

RunFailure resultPathTooLong(const char* outputFolder) {
  // The path itself is no help: the results folder's name is cut to fit
  // before the paths inside it are checked, so it may end anywhere, even
  // inside the output folder's own path. What the user can change is the
  // output folder, or the table's name.
  return {"the output folder and the table's name make the result path longer than " +
              std::to_string(kMaxPathLength) + " characters",
          orEmpty(outputFolder)};
}

RunFailure resultNotCreated(const std::string& resultFolder) {
  return {"the result table cannot be created in the results folder", resultFolder};
}

RunFailure resultNotWhole(const std::string& resultFolder, const std::string& systemText,
                          bool stopped) {
  if (stopped) {
    return {"stopped by the user while the result was written", resultFolder};
  }
  return {withSystemText("the result could not be written whole", systemText), resultFolder};
}

RunFailure stoppedByUser(const char* table) {
  return {"stopped by the user before anything was written", orEmpty(table)};
}

RunFailure internalFailure(const char* where, const std::string& path) {
  return {std::string("an unforeseen fault ") + where, path};
}

}  // namespace kest
