#include "tests/fault_env.h"

#include <utility>

namespace kest::testing {

namespace {

using platform::ReadableFile;
using platform::WritableFile;

class FaultReadableFile final : public ReadableFile {
 public:
  FaultReadableFile(std::unique_ptr<ReadableFile> file, FaultEnv* env)
      : file_(std::move(file)), env_(env) {}
  uint64_t Size() const override { return file_->Size(); }
  int64_t ReadAt(uint64_t offset, void* buffer, size_t count) override {
    if (!env_->Hit(FaultKind::kRead)) return file_->ReadAt(offset, buffer, count);
    if (!env_->plan().partial) return -1;
    return file_->ReadAt(offset, buffer, count / 2);
  }

 private:
  std::unique_ptr<ReadableFile> file_;
  FaultEnv* env_;
};

class FaultWritableFile final : public WritableFile {
 public:
  FaultWritableFile(std::unique_ptr<WritableFile> file, FaultEnv* env)
      : file_(std::move(file)), env_(env) {}
  bool Append(const void* data, size_t count) override {
    if (env_->Hit(FaultKind::kAppend)) {
      if (env_->plan().partial) file_->Append(data, count / 2);
      return false;
    }
    uint64_t at = file_->Position();
    if (!env_->PastLimit(at + count)) return file_->Append(data, count);
    uint64_t limit = env_->fileSizeLimit();
    if (limit > at) file_->Append(data, static_cast<size_t>(limit - at));
    return false;
  }
  bool WriteAt(uint64_t offset, const void* data, size_t count) override {
    if (env_->Hit(FaultKind::kWriteAt)) {
      if (env_->plan().partial) file_->WriteAt(offset, data, count / 2);
      return false;
    }
    return !env_->PastLimit(offset + count) && file_->WriteAt(offset, data, count);
  }
  uint64_t Position() const override { return file_->Position(); }
  bool Close() override {
    // The data may be lost, but the file is closed all the same.
    bool closed = file_->Close();
    return !env_->Hit(FaultKind::kClose) && closed;
  }

 private:
  std::unique_ptr<WritableFile> file_;
  FaultEnv* env_;
};

}  // namespace

const char* faultKindName(FaultKind kind) {
  static const char* const kNames[] = {
#define KEST_FAULT_NAME(kind, name) name,
      KEST_FAULT_KINDS(KEST_FAULT_NAME)
#undef KEST_FAULT_NAME
  };
  return kNames[static_cast<size_t>(kind)];
}

const std::array<FaultKind, kFaultKindCount>& allFaultKinds() {
  static const std::array<FaultKind, kFaultKindCount> kKinds = {
#define KEST_FAULT_ITEM(kind, name) FaultKind::kind,
      KEST_FAULT_KINDS(KEST_FAULT_ITEM)
#undef KEST_FAULT_ITEM
  };
  return kKinds;
}

std::string describe(const FaultPlan& plan) {
  std::string text = std::string(faultKindName(plan.kind)) + " #" + std::to_string(plan.nth);
  if (plan.partial && plan.persist) return text + " (short, persisting)";
  if (plan.partial) return text + " (short)";
  if (plan.persist) return text + " (persisting)";
  return text;
}

FaultEnv::FaultEnv(platform::Env* target) : EnvWrapper(target) {}

void FaultEnv::Reset() {
  calls_.fill(0);
  plan_ = FaultPlan{};
  fired_ = false;
  fileSizeLimit_ = UINT64_MAX;
}

void FaultEnv::Fail(const FaultPlan& plan) {
  plan_ = plan;
  fired_ = false;
}

bool FaultEnv::Hit(FaultKind kind) {
  uint64_t n = ++calls_[static_cast<size_t>(kind)];
  bool fails = plan_.nth != 0 && kind == plan_.kind &&
               (n == plan_.nth || (plan_.persist && n > plan_.nth));
  if (!fails) return false;
  fired_ = true;
  target()->SetLastErrorCode(plan_.errorCode);
  return true;
}

bool FaultEnv::PastLimit(uint64_t end) {
  if (end <= fileSizeLimit_) return false;
  target()->SetLastErrorCode(plan_.errorCode);
  return true;
}

std::unique_ptr<ReadableFile> FaultEnv::OpenReadOnly(const std::string& path) {
  if (Hit(FaultKind::kOpen)) return nullptr;
  std::unique_ptr<ReadableFile> file = target()->OpenReadOnly(path);
  if (!file) return nullptr;
  return std::make_unique<FaultReadableFile>(std::move(file), this);
}

std::unique_ptr<WritableFile> FaultEnv::CreateNew(const std::string& path) {
  if (Hit(FaultKind::kCreate)) return nullptr;
  std::unique_ptr<WritableFile> file = target()->CreateNew(path);
  if (!file) return nullptr;
  return std::make_unique<FaultWritableFile>(std::move(file), this);
}

bool FaultEnv::CopyNoOverwrite(const std::string& from, const std::string& to) {
  return !Hit(FaultKind::kCopy) && target()->CopyNoOverwrite(from, to);
}

bool FaultEnv::DeleteFile(const std::string& path) {
  return !Hit(FaultKind::kDelete) && target()->DeleteFile(path);
}

bool FaultEnv::CreateFolder(const std::string& path) {
  return !Hit(FaultKind::kCreateFolder) && target()->CreateFolder(path);
}

bool FaultEnv::CreatePrivateFolder(const std::string& path) {
  return !Hit(FaultKind::kCreateFolder) && target()->CreatePrivateFolder(path);
}

bool FaultEnv::RemoveFolder(const std::string& path) {
  return !Hit(FaultKind::kRemoveFolder) && target()->RemoveFolder(path);
}

bool FaultEnv::ListFolder(const std::string& folder, const std::string& pattern,
                          std::vector<platform::DirEntry>* entries) {
  return !Hit(FaultKind::kList) && target()->ListFolder(folder, pattern, entries);
}

}  // namespace kest::testing
