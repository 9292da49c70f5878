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

std::string enginePath() {
  std::string chosen;
  if (platform::Env::Default()->GetVariable(kEngineVariable, &chosen) && !chosen.empty()) {
    return chosen;
  }
  return platform::InFolder(ownFolder(), kEngineFileName);
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
