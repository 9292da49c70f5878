#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <thread>

#include "platform/browser.h"

extern char** environ;

namespace kest::platform {

bool OpenInBrowser(const std::string& url) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // What the opener says is for a terminal nobody watches.
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string program = "xdg-open";
  char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
  pid_t child = 0;
  int failed = posix_spawnp(&child, "xdg-open", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return false;
  // Collected when it ends, so that it leaves no zombie behind.
  std::thread([child] { waitpid(child, nullptr, 0); }).detach();
  return true;
}

}  // namespace kest::platform
