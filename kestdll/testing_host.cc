#include "kestdll/testing_host.h"

#include <algorithm>
#include <filesystem>

#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace kest::testing {

int32_t TestHost::Status(const char* text, void* userData) {
  auto* host = static_cast<TestHost*>(userData);
  std::string event = status(text);
  host->events.push_back(event);
  if (host->onEvent) host->onEvent(event);
  return 0;
}

int32_t TestHost::Progress(const char* text, int32_t percent, void* userData) {
  auto* host = static_cast<TestHost*>(userData);
  if (text == nullptr || *text != '\0') ++host->wrongCalls;
  std::string event = progress(percent);
  host->events.push_back(event);
  if (host->onEvent) host->onEvent(event);
  return 0;
}

namespace {

bool IsWorstCaseOwn(const std::string& event, int32_t* percent, int32_t* phase) {
  if (event.rfind("progress ", 0) != 0) return false;
  int32_t p = std::stoi(event.substr(9));
  *percent = p;
  if (p == 25) *phase = 1;
  if (p == 65) *phase = 0;
  if (p == 70) *phase = 2;
  if (p == 95) *phase = 0;
  return (*phase == 1 && p >= 26 && p <= 64) || (*phase == 2 && (p == 80 || p == 85));
}

}  // namespace

std::vector<std::string> TestHost::mainEvents() const {
  std::vector<std::string> result;
  int32_t phase = 0, percent = 0;
  for (const std::string& event : events) {
    if (!IsWorstCaseOwn(event, &percent, &phase)) result.push_back(event);
  }
  return result;
}

std::vector<int32_t> TestHost::worstCaseProgress() const {
  std::vector<int32_t> result;
  int32_t phase = 0, percent = 0;
  for (const std::string& event : events) {
    if (IsWorstCaseOwn(event, &percent, &phase)) result.push_back(percent);
  }
  return result;
}

std::vector<std::string> TestHost::statuses() const {
  std::vector<std::string> result;
  for (const std::string& event : events) {
    if (event.rfind("status ", 0) == 0) result.push_back(event.substr(7));
  }
  return result;
}

std::string status(const std::string& text) { return "status " + text; }
std::string progress(int32_t percent) { return "progress " + std::to_string(percent); }

namespace {

std::vector<std::string> ThroughBothMethods() {
  return {progress(0),
          status("Pass 1: initializing..."),
          status("done"),
          progress(5),
          status("Pass 2: trying best-case recovery method..."),
          progress(10),
          progress(20),
          status("done"),
          status("Pass 3: trying worst-case recovery method..."),
          progress(25),
          progress(65),
          status("done")};
}

}  // namespace

std::vector<std::string> bestCaseWinEvents() {
  std::vector<std::string> events = ThroughBothMethods();
  for (const std::string& e : {status("Pass 4: writing results..."), progress(70), progress(95),
                               status("done"), progress(100)}) {
    events.push_back(e);
  }
  return events;
}

std::vector<std::string> worstCaseWinEvents() { return bestCaseWinEvents(); }

std::vector<std::string> nothingFoundEvents() {
  std::vector<std::string> events = ThroughBothMethods();
  events.push_back(progress(100));
  return events;
}

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kest::testing
