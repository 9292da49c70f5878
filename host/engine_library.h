// The engine library as dbfrecover finds and binds it: beside the program
// (or where KEST_ENGINE names it), loaded by its full path so that the
// loader's search path never picks another copy, and kept loaded until the
// process ends.
#ifndef KEST_HOST_ENGINE_LIBRARY_H_
#define KEST_HOST_ENGINE_LIBRARY_H_

#include <optional>
#include <string>

#include "kestdll/include/kestdll.h"

namespace kest::host {

#ifdef _WIN32
inline constexpr const char* kEngineFileName = "kestdll.dll";
#else
inline constexpr const char* kEngineFileName = "libkestdll.so";
#endif
inline constexpr const char* kEngineVariable = "KEST_ENGINE";

struct Engine {
  decltype(&::FileRecover) fileRecover = nullptr;
  decltype(&::SetBreakFlag) setBreakFlag = nullptr;
  // Null for an engine older than the thorough recovery; with it the host
  // also learns why a result could not be written.
  decltype(&::FileRecoverEx) fileRecoverEx = nullptr;
};

// The library to load: KEST_ENGINE when it is set and not empty, else
// kEngineFileName in the program's own folder.
std::string enginePath();

// Loads the library at `path` and binds the calls the host makes.
// nullopt, with `problem` saying why (naming the file), when it cannot be
// loaded or lacks FileRecover or SetBreakFlag; FileRecoverEx may be missing.
std::optional<Engine> loadEngine(const std::string& path, std::string* problem);

}  // namespace kest::host

#endif  // KEST_HOST_ENGINE_LIBRARY_H_
