// The engine library as dbfrecover finds and binds it: beside the program
// (a build tree, the Windows folder), else in the engine's folder of an
// installed tree, or where KEST_ENGINE names it; loaded by its full path so
// that the loader's search path never picks another copy, and kept loaded
// until the process ends.
#ifndef KEST_HOST_ENGINE_LIBRARY_H_
#define KEST_HOST_ENGINE_LIBRARY_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestdll/include/kestdll.h"

namespace kest::host {

#ifdef _WIN32
inline constexpr const char* kEngineFileName = "kestdll.dll";
#else
inline constexpr const char* kEngineFileName = "libkestdll.so";
#endif
inline constexpr const char* kEngineVariable = "KEST_ENGINE";

// The engine's folder of an installed tree, relative to the program's own
// with '/' between its parts ("../lib/kest"): the build sets it from the
// install layout, so that a tree moved as a whole still finds its engine.
#ifdef KEST_INSTALLED_ENGINE_FOLDER
inline constexpr const char* kInstalledEngineFolder = KEST_INSTALLED_ENGINE_FOLDER;
#else
inline constexpr const char* kInstalledEngineFolder = "../lib/kest";
#endif

struct Engine {
  decltype(&::FileRecover) fileRecover = nullptr;
  decltype(&::SetBreakFlag) setBreakFlag = nullptr;
  // Null for an engine older than the thorough recovery; with it the host
  // also learns why a result could not be written.
  decltype(&::FileRecoverEx) fileRecoverEx = nullptr;
};

// The folders looked in, in order: the program's own, then
// kInstalledEngineFolder resolved against it (when it leads anywhere else).
std::vector<std::string> engineFolders();

// The library to load: KEST_ENGINE when it is set and not empty, else
// kEngineFileName in the first of engineFolders() that holds it (the first
// folder when none does, for the loader's complaint to name).
std::string enginePath();

// `relative` ('/' between its parts, ".." steps first) resolved against
// `folder` (which ends in a separator) by its words alone; empty when the
// steps climb above the folder's root.
std::string resolveFolder(std::string_view folder, std::string_view relative);

// Loads the library at `path` and binds the calls the host makes.
// nullopt, with `problem` saying why (naming the file), when it cannot be
// loaded or lacks FileRecover or SetBreakFlag; FileRecoverEx may be missing.
std::optional<Engine> loadEngine(const std::string& path, std::string* problem);

}  // namespace kest::host

#endif  // KEST_HOST_ENGINE_LIBRARY_H_
