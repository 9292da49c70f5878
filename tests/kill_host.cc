// A host for the interrupted-run test: runs one recovery and kills itself
// with SIGKILL, as a power cut or an out-of-memory kill would, just before
// the Nth write-side call (an append, a write-at, a sync, a close, a
// rename or a folder sync).
//
//   kill_host <table> <output folder> <N>
//
// With N = 0 it runs to the end and prints the number of such calls it
// made, then the engine's return code.
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "kestdll/recovery_run.h"
#include "platform/env.h"

namespace {

using kest::platform::Status;
using kest::platform::WritableFile;

uint64_t gCalls = 0;
uint64_t gKillAt = 0;

// Ends the process at once: no destructor, no buffer of this process is
// flushed, only what reached the system stays.
void Step() {
  if (++gCalls != gKillAt) return;
#ifdef _WIN32
  // As another process's kill would: unlike an exit, nothing of this
  // process runs on the way out, not even the runtime's or a library's
  // farewell.
  ::TerminateProcess(::GetCurrentProcess(), 137);
#else
  ::kill(::getpid(), SIGKILL);
#endif
}

class KillingFile final : public WritableFile {
 public:
  explicit KillingFile(std::unique_ptr<WritableFile> file) : file_(std::move(file)) {}
  Status Append(const void* data, size_t count) override {
    Step();
    return file_->Append(data, count);
  }
  Status WriteAt(uint64_t offset, const void* data, size_t count) override {
    Step();
    return file_->WriteAt(offset, data, count);
  }
  uint64_t Position() const override { return file_->Position(); }
  Status Sync() override {
    Step();
    return file_->Sync();
  }
  Status Close() override {
    Step();
    return file_->Close();
  }

 private:
  std::unique_ptr<WritableFile> file_;
};

class KillingEnv final : public kest::platform::EnvWrapper {
 public:
  KillingEnv() : EnvWrapper(kest::platform::Env::Default()) {}
  Status CreateNew(const std::string& path, std::unique_ptr<WritableFile>* file) override {
    std::unique_ptr<WritableFile> created;
    Status status = target()->CreateNew(path, &created);
    if (status) *file = std::make_unique<KillingFile>(std::move(created));
    return status;
  }
  Status RenameNoReplace(const std::string& from, const std::string& to) override {
    Step();
    return target()->RenameNoReplace(from, to);
  }
  Status SyncFolder(const std::string& path) override {
    Step();
    return target()->SyncFolder(path);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  gKillAt = std::strtoull(argv[3], nullptr, 10);
  KillingEnv env;
  int32_t code = kest::recoverFile(argv[1], argv[2], nullptr, nullptr, nullptr, nullptr, &env);
  std::printf("%llu %d\n", static_cast<unsigned long long>(gCalls), code);
  return 0;
}
