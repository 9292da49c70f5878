// How failures travel inside the engine.
//
// A failure is raised as an exception that carries a plain integer code and
// is turned into a return code where it leaves the engine: the user break,
// the file-access codes of LLFile, the failed binding of the host-services
// library. Anything else that is thrown counts as an internal failure.
#ifndef KEST_COMMON_RAISED_CODE_H_
#define KEST_COMMON_RAISED_CODE_H_

namespace kest {

struct RaisedCode {
  int code;
};

// The host's break byte was found set.
inline constexpr int kUserBreak = -1000;
// The host-services library could not be bound.
inline constexpr int kBindingFailed = -1;

[[noreturn]] inline void Raise(int code) { throw RaisedCode{code}; }

}  // namespace kest

#endif  // KEST_COMMON_RAISED_CODE_H_
