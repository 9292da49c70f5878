// How failures travel inside the engine.
//
// A failure is raised as an exception that carries a plain integer code
// (with the system's words, where it gave some) and is turned into a
// return code where it leaves the engine: the user break,
// the file-access codes of LLFile, the failed binding of the host-services
// library. Anything else that is thrown counts as an internal failure.
#ifndef KEST_COMMON_RAISED_CODE_H_
#define KEST_COMMON_RAISED_CODE_H_

#include <string>
#include <utility>

namespace kest {

struct RaisedCode {
  int code;
  // The system's words for the failure, where it gave some ("Permission
  // denied"); the code alone decides what the failure means.
  std::string systemText = {};
};

// The host's break byte was found set.
inline constexpr int kUserBreak = -1000;
// The host-services library could not be bound.
inline constexpr int kBindingFailed = -1;

// What a recovery method returns beside 0. The engine's public header gives
// the same values to its own names, and the engine checks that at compile
// time: these travel to the host unchanged.
// The result table could not be written whole (or not at all).
inline constexpr int kResultIncomplete = -2;
// The table is too short for the worst-case layout search.
inline constexpr int kTooShortToSearch = -3;
// The result table cannot be created new.
inline constexpr int kCannotCreateResult = -5;

[[noreturn]] inline void Raise(int code) { throw RaisedCode{code}; }
[[noreturn]] inline void Raise(int code, std::string systemText) {
  throw RaisedCode{code, std::move(systemText)};
}

}  // namespace kest

#endif  // KEST_COMMON_RAISED_CODE_H_
