#include "host/engine_library.h"

#include <memory>

#include "platform/console.h"
#include "platform/env.h"
#include "platform/path.h"

namespace kest::host {

namespace {

// Held here, never freed, so that leak checkers still see it owned.
platform::Library* volatile gLoadedEngine = nullptr;

std::string ownFolder() {
  std::string path;
  if (!platform::Env::Default()->ExecutablePath(&path) || path.empty()) return ".";
  return platform::FolderOf(path);
}

}  // namespace

std::string resolveFolder(std::string_view folder, std::string_view relative) {
  std::string resolved(folder);
  while (!relative.empty()) {
    size_t slash = relative.find('/');
    std::string_view part = relative.substr(0, slash);
    relative = slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      while (!resolved.empty() && platform::IsSeparator(resolved.back())) resolved.pop_back();
      while (!resolved.empty() && !platform::IsSeparator(resolved.back())) resolved.pop_back();
      if (resolved.empty()) return "";
    } else {
      resolved = platform::InFolder(resolved, part) + platform::kSeparator;
    }
  }
  return resolved;
}

std::vector<std::string> engineFolders() {
  std::vector<std::string> folders{ownFolder()};
  std::string installed = resolveFolder(folders[0], kInstalledEngineFolder);
  if (!installed.empty() && installed != folders[0]) folders.push_back(installed);
  return folders;
}

std::string enginePath() {
  std::string chosen;
  platform::Env* env = platform::Env::Default();
  if (env->GetVariable(kEngineVariable, &chosen) && !chosen.empty()) return chosen;
  std::vector<std::string> folders = engineFolders();
  for (const std::string& folder : folders) {
    std::string candidate = platform::InFolder(folder, kEngineFileName);
    if (platform::IsPresent(env->KindOf(candidate))) return candidate;
  }
  return platform::InFolder(folders[0], kEngineFileName);
}

std::optional<Engine> loadEngine(const std::string& path, std::string* problem) {
  std::unique_ptr<platform::Library> library;
  platform::Status opened = platform::Env::Default()->OpenLibrary(path, &library);
  if (!opened) {
    *problem = opened.text().empty() ? std::string("unknown reason") : opened.text();
    return std::nullopt;
  }
  Engine engine;
  engine.fileRecover = reinterpret_cast<decltype(&::FileRecover)>(library->Symbol("FileRecover"));
  engine.setBreakFlag =
      reinterpret_cast<decltype(&::SetBreakFlag)>(library->Symbol("SetBreakFlag"));
  engine.fileRecoverEx =
      reinterpret_cast<decltype(&::FileRecoverEx)>(library->Symbol("FileRecoverEx"));
  if (engine.fileRecover == nullptr || engine.setBreakFlag == nullptr) {
    *problem = path + ": FileRecover or SetBreakFlag is missing from it";
    return std::nullopt;
  }
  // Never unloaded: the engine's calls may run until the process ends (a
  // second Ctrl-C ends it in the middle of one).
  gLoadedEngine = library.release();
  return engine;
}

}  // namespace kest::host
