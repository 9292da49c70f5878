#include "tests/fault_env.h"

#include <utility>

namespace kest::testing {

namespace {

using platform::ReadableFile;
using platform::Status;
using platform::WritableFile;

class FaultReadableFile final : public ReadableFile {
 public:
  FaultReadableFile(std::unique_ptr<ReadableFile> file, FaultEnv* env)
      : file_(std::move(file)), env_(env) {}
  uint64_t Size() const override { return file_->Size(); }
  Status ReadAt(uint64_t offset, void* buffer, size_t count, size_t* got) override {
    if (!env_->Hit(FaultKind::kRead)) return file_->ReadAt(offset, buffer, count, got);
    if (!env_->plan().partial) {
      *got = 0;
      return env_->Failure();
    }
    return file_->ReadAt(offset, buffer, count / 2, got);
  }

 private:
  std::unique_ptr<ReadableFile> file_;
  FaultEnv* env_;
};

class FaultWritableFile final : public WritableFile {
 public:
  FaultWritableFile(std::unique_ptr<WritableFile> file, FaultEnv* env, std::string path)
      : file_(std::move(file)), env_(env), path_(std::move(path)) {}
  Status Append(const void* data, size_t count) override {
    if (env_->Hit(FaultKind::kAppend, &path_)) {
      if (env_->plan().partial) file_->Append(data, count / 2);
      return env_->Failure();
    }
    uint64_t at = file_->Position();
    if (!env_->PastLimit(at + count)) return file_->Append(data, count);
    uint64_t limit = env_->fileSizeLimit();
    if (limit > at) file_->Append(data, static_cast<size_t>(limit - at));
    return env_->Failure();
  }
  Status WriteAt(uint64_t offset, const void* data, size_t count) override {
    if (env_->Hit(FaultKind::kWriteAt, &path_)) {
      if (env_->plan().partial) file_->WriteAt(offset, data, count / 2);
      return env_->Failure();
    }
    if (env_->PastLimit(offset + count)) return env_->Failure();
    return file_->WriteAt(offset, data, count);
  }
  uint64_t Position() const override { return file_->Position(); }
  Status Sync() override {
    if (env_->Hit(FaultKind::kSync, &path_)) return env_->Failure();
    return file_->Sync();
  }
  Status Close() override {
    // The data may be lost, but the file is closed all the same.
    Status closed = file_->Close();
    if (env_->Hit(FaultKind::kClose, &path_)) return env_->Failure();
    return closed;
  }

 private:
  std::unique_ptr<WritableFile> file_;
  FaultEnv* env_;
  std::string path_;
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
  firedPath_.clear();
}

bool FaultEnv::Hit(FaultKind kind, const std::string* path) {
  uint64_t n = ++calls_[static_cast<size_t>(kind)];
  bool fails = plan_.nth != 0 && kind == plan_.kind &&
               (n == plan_.nth || (plan_.persist && n > plan_.nth));
  if (fails) fired_ = true;
  if (fails && path != nullptr) firedPath_ = *path;
  return fails;
}

Status FaultEnv::OpenReadOnly(const std::string& path, std::unique_ptr<ReadableFile>* file) {
  file->reset();
  if (Hit(FaultKind::kOpen)) return Failure();
  std::unique_ptr<ReadableFile> opened;
  Status status = target()->OpenReadOnly(path, &opened);
  if (!status) return status;
  *file = std::make_unique<FaultReadableFile>(std::move(opened), this);
  return status;
}

Status FaultEnv::CreateNew(const std::string& path, std::unique_ptr<WritableFile>* file) {
  file->reset();
  if (Hit(FaultKind::kCreate)) return Failure();
  std::unique_ptr<WritableFile> created;
  Status status = target()->CreateNew(path, &created);
  if (!status) return status;
  *file = std::make_unique<FaultWritableFile>(std::move(created), this, path);
  return status;
}

Status FaultEnv::CopyNoOverwrite(const std::string& from, const std::string& to) {
  if (Hit(FaultKind::kCopy)) return Failure();
  return target()->CopyNoOverwrite(from, to);
}

Status FaultEnv::RemoveFile(const std::string& path) {
  if (Hit(FaultKind::kDelete)) return Failure();
  return target()->RemoveFile(path);
}

Status FaultEnv::RenameNoReplace(const std::string& from, const std::string& to) {
  if (Hit(FaultKind::kRename)) return Failure();
  return target()->RenameNoReplace(from, to);
}

Status FaultEnv::CreateFolder(const std::string& path) {
  if (Hit(FaultKind::kCreateFolder)) return Failure();
  return target()->CreateFolder(path);
}

Status FaultEnv::CreatePrivateFolder(const std::string& path) {
  if (Hit(FaultKind::kCreateFolder)) return Failure();
  return target()->CreatePrivateFolder(path);
}

Status FaultEnv::RemoveFolder(const std::string& path) {
  if (Hit(FaultKind::kRemoveFolder)) return Failure();
  return target()->RemoveFolder(path);
}

Status FaultEnv::SyncFolder(const std::string& path) {
  if (Hit(FaultKind::kSyncFolder)) return Failure();
  return target()->SyncFolder(path);
}

Status FaultEnv::ListFolder(const std::string& folder, const std::string& pattern,
                            std::vector<platform::DirEntry>* entries) {
  if (Hit(FaultKind::kList)) return Failure();
  return target()->ListFolder(folder, pattern, entries);
}

}  // namespace kest::testing
