// A host for tests that need a fresh load of the engine in a process of its
// own (the engine keeps its state for as long as it is loaded), or a host
// executable in a folder of the test's choosing.
//
//   engine_probe ENGINE COMMAND...
//
// loads the engine library ENGINE and carries out the commands in order:
//   setbreak                   hands the engine a break byte
//   breakat EVENT              sets the break byte when EVENT is reported
//   run SOURCE OUTPUT LOG      FileRecover; LOG "-" for none
//   load                       LoadValcore
//   locale                     takes the character set from the environment
//   copy FROM TO               copies a file
// and unloads it. Every report goes to stdout as one line: "status TEXT",
// "progress N", then "result CODE" or "load CODE"; at the end "unloaded".
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "kestdll/include/kestdll.h"
#include "platform/env.h"

namespace {

char breakByte = 0;
std::string breakAt;

void Report(const std::string& event) {
  std::printf("%s\n", event.c_str());
  std::fflush(stdout);
  if (!breakAt.empty() && event == breakAt) breakByte = 1;
}

int32_t OnStatus(const char* text, void*) {
  Report(std::string("status ") + text);
  return 0;
}

int32_t OnProgress(const char*, int32_t percent, void*) {
  Report("progress " + std::to_string(percent));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: engine_probe ENGINE COMMAND...\n");
    return 2;
  }
  std::unique_ptr<kest::platform::Library> engine;
  kest::platform::Status opened = kest::platform::Env::Default()->OpenLibrary(argv[1], &engine);
  if (!opened) {
    std::printf("dlopen failed %s\n", opened.text().c_str());
    return 3;
  }
  auto fileRecover = reinterpret_cast<decltype(&FileRecover)>(engine->Symbol("FileRecover"));
  auto setBreakFlag = reinterpret_cast<decltype(&SetBreakFlag)>(engine->Symbol("SetBreakFlag"));
  auto loadValcore = reinterpret_cast<decltype(&LoadValcore)>(engine->Symbol("LoadValcore"));
  if (fileRecover == nullptr || setBreakFlag == nullptr || loadValcore == nullptr) {
    std::printf("missing export\n");
    return 3;
  }

  for (int i = 2; i < argc; ++i) {
    std::string command = argv[i];
    auto argument = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s: missing argument\n", command.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (command == "setbreak") {
      setBreakFlag(&breakByte);
    } else if (command == "breakat") {
      breakAt = argument();
    } else if (command == "run") {
      const char* source = argument();
      const char* output = argument();
      const char* log = argument();
      int32_t code = fileRecover(source, output, 0, &OnStatus, &OnProgress, nullptr,
                                 std::strcmp(log, "-") == 0 ? nullptr : log);
      Report("result " + std::to_string(code));
    } else if (command == "load") {
      Report("load " + std::to_string(loadValcore()));
    } else if (command == "locale") {
      std::setlocale(LC_ALL, "");
    } else if (command == "copy") {
      const char* from = argument();
      const char* to = argument();
      std::filesystem::copy_file(from, to);
    } else {
      std::fprintf(stderr, "unknown command %s\n", command.c_str());
      return 2;
    }
  }
  engine.reset();
  Report("unloaded");
  return 0;
}
