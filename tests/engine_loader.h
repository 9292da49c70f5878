// The built engine library as a host sees it: loaded at run time and used
// through its exports only: the five of the classic interface, and
// FileRecoverEx.
//
// EngineLibrary::Built() is the engine of this build tree (KEST_BIN_DIR),
// loaded once and kept for the life of the test process, so every test of
// the process shares its one Logger, temp workspace and break pointer, as
// the runs of one host do. An EngineLibrary of its own loads another file
// (a copy in a folder of the test's choosing) and unloads it when it goes;
// loading a path that is loaded already yields the same instance.
#ifndef KEST_TESTS_ENGINE_LOADER_H_
#define KEST_TESTS_ENGINE_LOADER_H_

#include <memory>
#include <string>

#include "kestdll/include/kestdll.h"
#include "platform/env.h"

namespace kest::testing {

struct EngineExports {
  decltype(&::FileRecover) fileRecover = nullptr;
  decltype(&::SetBreakFlag) setBreakFlag = nullptr;
  decltype(&::GetDllVersion) getDllVersion = nullptr;
  decltype(&::isEnvReady) isEnvReady = nullptr;
  decltype(&::LoadValcore) loadValcore = nullptr;
  // Null in an engine older than the thorough recovery.
  decltype(&::FileRecoverEx) fileRecoverEx = nullptr;

  // All five of the classic interface were found.
  bool complete() const;
};

// The file name this system gives the shared library `name`
// ("kestdll": libkestdll.so, kestdll.dll).
std::string moduleFileName(const std::string& name);

class EngineLibrary {
 public:
  explicit EngineLibrary(const std::string& path);

  // The engine of this build, never unloaded.
  static EngineLibrary& Built();
  static std::string BuiltPath();

  bool loaded() const { return library_ != nullptr; }
  const std::string& path() const { return path_; }
  // Null entries for what is missing (everything when not loaded).
  const EngineExports& exports() const { return exports_; }

 private:
  std::string path_;
  std::unique_ptr<platform::Library> library_;
  EngineExports exports_;
};

}  // namespace kest::testing

#endif  // KEST_TESTS_ENGINE_LOADER_H_
