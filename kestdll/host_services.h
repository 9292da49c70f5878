// The binding of the host-services library of the product line, from which
// the engine takes the localized words of its status lines.
//
// The library is looked for beside the host's executable and, when it is
// not there, beside the engine library itself (a host that lives in a
// system folder, such as a script interpreter, still finds it). All thirteen
// entry points must resolve, although the engine calls only GetString and
// Initialize: a library that lacks one is not the library the engine was
// made for.
//
// Bind raises RaisedCode{kBindingFailed} and keeps the reason in failure();
// the load and LoadValcore catch it. Called while no recovery runs.
#ifndef KEST_KESTDLL_HOST_SERVICES_H_
#define KEST_KESTDLL_HOST_SERVICES_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/env.h"

namespace kest {

// The library's file name on this platform.
extern const char* const kHostServicesLibraryName;
// The names resolved at binding, in the order they are resolved.
inline constexpr int kHostServicesEntryCount = 13;
extern const char* const kHostServicesEntryNames[kHostServicesEntryCount];
// The group of the stage texts and the argument of Initialize.
inline constexpr int32_t kStageTextGroup = 13;
inline constexpr int32_t kInitializeCode = 269;

using HostGetString = int32_t (*)(int32_t group, int32_t id, void* buffer,
                                  int32_t* textLength);
using HostInitialize = int32_t (*)(int32_t code);

// What narrowHostText found in a buffer.
enum class HostText {
  kNarrow,           // not UTF-16: left as it was
  kConverted,        // UTF-16, now narrow text
  kUnrepresentable,  // UTF-16 that the narrow code page cannot show: left as it was
};

// Turns a UTF-16 text of `textLength` bytes in the 256-byte `buffer` into
// narrow text in place, cut to 255 characters and terminated. `textLength`
// beyond the buffer is taken as the whole buffer.
HostText narrowHostText(char* buffer, int32_t textLength, platform::Env* env);

class ValcoreLibrary {
 public:
  explicit ValcoreLibrary(platform::Env* env = platform::Env::Default());
  // Frees the library, if a handle is held.
  ~ValcoreLibrary();

  ValcoreLibrary(const ValcoreLibrary&) = delete;
  ValcoreLibrary& operator=(const ValcoreLibrary&) = delete;

  // Finds and loads the library, resolves every entry point, fetches the
  // six stage texts into the run state and calls Initialize(269). A text
  // that the library does not supply, or supplies in characters the narrow
  // code page cannot show, keeps the text it had.
  void Bind();

  bool bound() const { return bound_; }
  // Why the last Bind failed; empty after a successful one.
  const std::string& failure() const { return failure_; }
  // The path the last Bind loaded or tried.
  const std::string& libraryPath() const { return libraryPath_; }

 private:
  [[noreturn]] void Fail(const std::string& reason);
  std::string Locate();

  platform::Env* env_;
  std::unique_ptr<platform::Library> library_;
  void* entries_[kHostServicesEntryCount] = {};
  bool bound_ = false;
  std::string failure_;
  std::string libraryPath_;
};

}  // namespace kest

#endif  // KEST_KESTDLL_HOST_SERVICES_H_
