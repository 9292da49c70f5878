#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

#include "platform/stop_request.h"

namespace kest::platform {
namespace {

volatile sig_atomic_t gStops = 0;
volatile sig_atomic_t gExitStatus = 1;

void OnStop(int) {
  if (gStops != 0) _exit(gExitStatus);
  gStops = 1;
}

}  // namespace

void InstallStopHandler(int exitStatus) {
  gExitStatus = exitStatus;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool StopRequested() { return gStops != 0; }

}  // namespace kest::platform
