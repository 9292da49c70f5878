#include "tests/engine_loader.h"

namespace kest::testing {

namespace {

template <typename Function>
void Bind(platform::Library& library, const char* name, Function* entry) {
  *entry = reinterpret_cast<Function>(library.Symbol(name));
}

}  // namespace

bool EngineExports::complete() const {
  return fileRecover != nullptr && setBreakFlag != nullptr && getDllVersion != nullptr &&
         isEnvReady != nullptr && loadValcore != nullptr;
}

EngineLibrary::EngineLibrary(const std::string& path)
    : path_(path) {
  if (!platform::Env::Default()->OpenLibrary(path, &library_)) return;
  Bind(*library_, "FileRecover", &exports_.fileRecover);
  Bind(*library_, "SetBreakFlag", &exports_.setBreakFlag);
  Bind(*library_, "GetDllVersion", &exports_.getDllVersion);
  Bind(*library_, "isEnvReady", &exports_.isEnvReady);
  Bind(*library_, "LoadValcore", &exports_.loadValcore);
  Bind(*library_, "FileRecoverEx", &exports_.fileRecoverEx);
}

std::string moduleFileName(const std::string& name) {
#ifdef _WIN32
  return name + ".dll";
#else
  return "lib" + name + ".so";
#endif
}

std::string EngineLibrary::BuiltPath() {
  return std::string(KEST_BIN_DIR) + "/" + moduleFileName("kestdll");
}

EngineLibrary& EngineLibrary::Built() {
  // Leaked on purpose: unloading at exit would race the tests' own
  // static destructors over the engine's log.
  static EngineLibrary* engine = new EngineLibrary(BuiltPath());
  return *engine;
}

}  // namespace kest::testing
