// The engine library: its five exports and what happens when it is loaded
// and unloaded.
//
// At load the process-wide Logger is made (it sets the temp workspace up),
// then the host-services library is bound; at unload the library is
// released, then the Logger goes (it closes the log and deletes its temp
// files). A set-up that fails leaves the engine loaded but refusing to run
// recoveries, with the reason kept for the host, until LoadValcore
// succeeds: a library that cannot work must not take its host down.
#include <memory>
#include <string>

#include "Common/logger/logger.h"
#include "Common/raised_code.h"
#include "kestdll/host_services.h"
#include "kestdll/include/kestdll.h"
#include "kestdll/recovery_run.h"
#include "kestdll/run_state.h"

namespace kest {
namespace {

class EngineModule {
 public:
  EngineModule() noexcept {
    try {
      logger_ = std::make_unique<Logger>(platform::Env::Default(), true);
      InstallLogger(logger_.get());
    } catch (...) {
    }
    BindHostServices();
    UpdateReadiness();
  }

  ~EngineModule() {
    try {
      valcore_.reset();
    } catch (...) {
    }
    InstallLogger(nullptr);
    try {
      logger_.reset();
    } catch (...) {
    }
  }

  EngineModule(const EngineModule&) = delete;
  EngineModule& operator=(const EngineModule&) = delete;

  // LoadValcore: tries again what failed and binds the library anew.
  int32_t Reload() noexcept {
    try {
      if (!logger_ || !logger_->workspace().workspaceReady()) {
        auto fresh = std::make_unique<Logger>(platform::Env::Default(), true);
        if (fresh->workspace().workspaceReady()) {
          InstallLogger(fresh.get());
          logger_ = std::move(fresh);
        }
      }
    } catch (...) {
    }
    BindHostServices();
    UpdateReadiness();
    return runState().notReadyReason.empty() ? 0 : kBindingFailed;
  }

 private:
  void BindHostServices() noexcept {
    try {
      if (!valcore_) valcore_ = std::make_unique<ValcoreLibrary>();
      valcore_->Bind();
    } catch (...) {
      // The reason stays in the binding's failure().
    }
  }

  void UpdateReadiness() noexcept {
    try {
      std::string reason;
      if (!logger_) {
        reason = "the diagnostic log could not be set up";
      } else if (!logger_->workspace().workspaceReady()) {
        reason = "the temp workspace could not be set up (" +
                 logger_->workspace().workspaceFailure() + ")";
      }
      if (!valcore_ || !valcore_->bound()) {
        if (!reason.empty()) reason += "; ";
        reason += "the host-services library could not be bound (";
        reason += valcore_ ? valcore_->failure() : std::string("no memory");
        reason += ")";
      }
      runState().notReadyReason = reason;
    } catch (...) {
      runState().notReadyReason = "the engine could not be set up";
    }
  }

  std::unique_ptr<Logger> logger_;
  std::unique_ptr<ValcoreLibrary> valcore_;
};

EngineModule engineModule;

}  // namespace
}  // namespace kest

extern "C" {

KEST_API int32_t KEST_CALL FileRecover(const char* sourcePath, const char* outputFolder,
                                       int32_t /*reserved*/, StatusCallback statusCallback,
                                       ProgressCallback progressCallback, void* userData,
                                       const char* logFileName) {
  try {
    return kest::recoverFile(sourcePath, outputFolder, statusCallback, progressCallback,
                             userData, logFileName);
  } catch (...) {
    return KEST_INTERNAL;
  }
}

KEST_API int32_t KEST_CALL FileRecoverEx(const char* sourcePath, const char* outputFolder,
                                         int32_t /*reserved*/, StatusCallback statusCallback,
                                         ProgressCallback progressCallback, void* userData,
                                         const char* logFileName,
                                         const KestRecoverOptions* options,
                                         KestRecoverReport* report) {
  try {
    return kest::recoverFileEx(sourcePath, outputFolder, statusCallback, progressCallback,
                               userData, logFileName, options, report);
  } catch (...) {
    return KEST_INTERNAL;
  }
}

KEST_API void KEST_CALL SetBreakFlag(char* flag) { kest::runState().breakFlag = flag; }

KEST_API int32_t KEST_CALL GetDllVersion(void) { return 0; }

KEST_API int32_t KEST_CALL isEnvReady(void) { return 0; }

KEST_API int32_t KEST_CALL LoadValcore(void) { return kest::engineModule.Reload(); }

}  // extern "C"
