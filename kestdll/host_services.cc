#include "kestdll/host_services.h"

#include <cstring>
#include <vector>

#include "Common/logger/logger.h"
#include "Common/raised_code.h"
#include "kestdll/run_state.h"
#include "platform/path.h"

namespace kest {

#ifdef _WIN32
const char* const kHostServicesLibraryName = "valcore.dll";
#else
const char* const kHostServicesLibraryName = "libvalcore.so";
#endif

const char* const kHostServicesEntryNames[kHostServicesEntryCount] = {
    "Initialize",      "NotifyMsg",       "GetFileName",       "GetMenuItemText",
    "AfterProc",       "HiBox",           "GetPassword",       "CheckVersion",
    "GetFullName",     "GetString",       "ReadProfileInt",    "ReadProfileString",
    "SaveProfileString",
};

namespace {

constexpr int kInitializeEntry = 0;
constexpr int kGetStringEntry = 9;
// The order in which the stage texts are asked for.
constexpr int32_t kStageTextOrder[] = {kStageInitializing, kStageDone, kStageBestCase,
                                       kStageWorstCase,    kStageWriting, kStagePass};

// An address inside the engine, to find the folder the engine was loaded from.
void EngineAnchor() {}

}  // namespace

HostText narrowHostText(char* buffer, int32_t textLength, platform::Env* env) {
  if (textLength <= 0) return HostText::kNarrow;
  size_t size = static_cast<size_t>(textLength);
  if (size > kStageTextSize) size = kStageTextSize;
  if (!env->LooksLikeUtf16(buffer, size)) return HostText::kNarrow;

  size_t units = size / 2;
  if (units == 0) return HostText::kUnrepresentable;
  std::vector<uint16_t> wide(units);
  const auto* bytes = reinterpret_cast<const unsigned char*>(buffer);
  for (size_t i = 0; i < units; ++i) {
    wide[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  std::string narrow = env->NarrowFromUtf16(wide.data(), units);
  // A conversion may grow (one unit can take up to three bytes); the stage
  // text buffer keeps 255 of them and the terminator.
  if (narrow.size() > kStageTextSize - 1) narrow.resize(kStageTextSize - 1);
  // The text may end before `units` at its terminator; what is compared is
  // what the code page made of the first `units` positions.
  char work[kStageTextSize] = {};
  std::memcpy(work, narrow.data(), narrow.size());
  size_t compared = units < kStageTextSize ? units : kStageTextSize;
  bool allUnknown = true;
  for (size_t i = 0; i < compared && allUnknown; ++i) allUnknown = work[i] == '?';
  if (allUnknown) return HostText::kUnrepresentable;
  std::memcpy(buffer, work, narrow.size() + 1);
  return HostText::kConverted;
}

ValcoreLibrary::ValcoreLibrary(platform::Env* env) : env_(env) {}

ValcoreLibrary::~ValcoreLibrary() = default;

void ValcoreLibrary::Fail(const std::string& reason) {
  bound_ = false;
  failure_ = reason;
  Log().ErrorString("Host-services library not bound:", reason.c_str());
  Raise(kBindingFailed);
}

std::string ValcoreLibrary::Locate() {
  // Only the two folders below may supply the library: a bare name would
  // send the loader through the system's search path, and the current
  // folder is wherever the user happens to stand. A folder that is not
  // known gives no candidate; with none, the binding fails.
  std::string candidate;
  std::string executable;
  if (env_->ExecutablePath(&executable) && !platform::FolderOf(executable).empty()) {
    candidate = platform::FolderOf(executable) + kHostServicesLibraryName;
    if (platform::IsPresent(env_->KindOf(candidate))) return candidate;
  }
  std::string engine;
  if (env_->ModulePath(reinterpret_cast<const void*>(&EngineAnchor), &engine) &&
      !platform::FolderOf(engine).empty()) {
    candidate = platform::FolderOf(engine) + kHostServicesLibraryName;
  }
  return candidate;
}

void ValcoreLibrary::Bind() {
  bound_ = false;
  failure_.clear();
  libraryPath_ = Locate();
  if (libraryPath_.empty()) {
    Fail(std::string("neither the host's nor the engine's folder is known to look for ") +
         kHostServicesLibraryName);
  }
  std::unique_ptr<platform::Library> loaded;
  if (!env_->OpenLibrary(libraryPath_, &loaded)) Fail("cannot load " + libraryPath_);
  library_ = std::move(loaded);

  for (void*& entry : entries_) entry = nullptr;
  for (int i = 0; i < kHostServicesEntryCount; ++i) {
    entries_[i] = library_->Symbol(kHostServicesEntryNames[i]);
    if (entries_[i] == nullptr) {
      Fail(libraryPath_ + " has no entry point " + kHostServicesEntryNames[i]);
    }
  }

  auto getString = reinterpret_cast<HostGetString>(entries_[kGetStringEntry]);
  auto initialize = reinterpret_cast<HostInitialize>(entries_[kInitializeEntry]);
  RunState& state = runState();
  int32_t textLength = 0;
  for (int32_t id : kStageTextOrder) {
    // The library writes into a copy, so that a text it cannot give in the
    // narrow code page leaves the default in place instead of raw UTF-16.
    char text[kStageTextSize];
    std::memcpy(text, state.stageText[id], kStageTextSize);
    getString(kStageTextGroup, id, text, &textLength);
    HostText found = narrowHostText(text, textLength, env_);
    if (found == HostText::kUnrepresentable) {
      Log().InfoNumber("Stage text left at its default:", id);
      continue;
    }
    text[kStageTextSize - 1] = '\0';
    std::memcpy(state.stageText[id], text, kStageTextSize);
  }
  initialize(kInitializeCode);
  bound_ = true;
}

}  // namespace kest
