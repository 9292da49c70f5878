// A host for the engine's tests: records every callback in order, can act
// on a report (to set its break byte at a chosen moment), and lists the
// entries of a folder.
#ifndef KEST_KESTDLL_TESTING_HOST_H_
#define KEST_KESTDLL_TESTING_HOST_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kestdll/include/kestdll.h"

namespace kest::testing {

class TestHost {
 public:
  // Pass these with `this` as the user value.
  static int32_t Status(const char* text, void* userData);
  static int32_t Progress(const char* text, int32_t percent, void* userData);

  // "status <text>" and "progress <percent>", in the order received.
  std::vector<std::string> events;
  // Called after each event is recorded.
  std::function<void(const std::string& event)> onEvent;
  // The host's break byte.
  char breakByte = 0;
  // Reports that came with a wrong user value or a non-empty progress text.
  int wrongCalls = 0;

  // The events without the worst-case method's own percentages (26..64
  // between 25 and 65, and 80 and 85 between 70 and 95).
  std::vector<std::string> mainEvents() const;
  // The worst-case method's own percentages.
  std::vector<int32_t> worstCaseProgress() const;
  std::vector<std::string> statuses() const;
};

std::string status(const std::string& text);
std::string progress(int32_t percent);

// The sequence of a complete run that writes the best-case result.
std::vector<std::string> bestCaseWinEvents();
// The sequence of a complete run that writes the worst-case result.
std::vector<std::string> worstCaseWinEvents();
// The sequence of a run in which both methods find nothing.
std::vector<std::string> nothingFoundEvents();

// The names of the entries of a folder, sorted.
std::vector<std::string> entries(const std::string& folder);

}  // namespace kest::testing

#endif  // KEST_KESTDLL_TESTING_HOST_H_
