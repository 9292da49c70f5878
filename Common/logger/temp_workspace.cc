// The temp workspace: a product temp folder under the temp root, numbered
// temp names in subfolders of a hundred numbers each, and their deletion
// at unload.
//
// The temp root may be shared by every user of the machine (/tmp), and the
// temp names are predictable, so the workspace guards against entries that
// someone else planted there: the product temp folder is made private to
// the user, one that exists must be a real folder of the user's own, and no
// clean-up ever enters a symbolic link; a link found where a temp entry
// should be is removed itself. Inside the private folder nobody else can
// plant anything, which is why checking the kind of an entry just before
// it is entered or removed is enough.
#include "Common/logger/temp_workspace.h"

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "Common/logger/logger.h"
#include "platform/path.h"

namespace kest {

namespace {

using platform::EntryKind;
using platform::kSeparator;

// The log stem of a product of the product line. Only the engine's own row
// (-2, fixed for the life of the Logger) is kept; any other number gets a
// stem of its own rather than sharing the engine's folder.
const char* LogStem(int32_t productNumber) {
  return productNumber == -2 ? "log_err" : "log_other";
}

// The product code: the stem without its "log_" prefix, at most 9 characters.
std::string ProductCode(int32_t productNumber) {
  std::string stem = LogStem(productNumber);
  std::string code = stem.size() > 4 ? stem.substr(4) : std::string();
  if (code.size() > 9) code.resize(9);
  return code;
}

// Room a temp name needs below the product temp folder: two separators,
// "tmp_" twice, nine numbers with their underscores, and ".dat".
constexpr size_t kTempNameRoom = 80;
// The work buffer of EmptyFolder: a path with "*.*" after its separator.
constexpr size_t kEmptyFolderBuffer = 5224;

bool EndsWithSeparator(const std::string& path) {
  return !path.empty() && (path.back() == kSeparator || path.back() == '/');
}

// Leading decimal digits as a number, 0 without any; a run of digits too
// long for 32 bits counts as the largest number.
int32_t LeadingNumber(const std::string& text) {
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) return INT32_MAX;
  }
  return static_cast<int32_t>(value);
}

}  // namespace

TempWorkspace::TempWorkspace(platform::Env* env, Logger* log) : env_(env), log_(*log) {}

TempWorkspace::~TempWorkspace() {
  DeleteTempFiles();
  RemoveEmptyWorkspace();
}

bool TempWorkspace::FailWorkspace(const std::string& reason) {
  workspaceReady_ = false;
  workspaceFailure_ = reason;
  return false;
}

bool TempWorkspace::InitTempPath() {
  workspaceReady_ = false;
  workspaceFailure_.clear();
  createdProductFolder_ = false;
  productTempFolder_.clear();
  tempNameCount_ = 0;
  tempNames_.clear();

  try {
    std::string root;
    // A root too long for the workspace's paths would be cut into the name
    // of some other folder; it counts as not set.
    if (!env_->GetVariable("BRENMOORTMP", &root) || root.empty() ||
        root.size() > kMaxTempPath) {
      root.clear();
      if (!env_->TempPath(&root) || root.empty()) {
        log_.Error("LOGGER: cannot initialize temp path!");
        return FailWorkspace(
            "No folder for temporary files was found. Set the environment variable "
            "BRENMOORTMP to a folder you can write to.");
      }
    }
    log_.InfoString("The system returns a temp path:", root.c_str());
    if (!root.empty() && root.back() == kSeparator) root.pop_back();

    // A root whose state cannot be told is as useless as a missing one.
    if (!platform::IsPresent(env_->KindOf(root))) {
      // The system's answer is taken as it comes, trailing separator and all.
      if (!env_->TempPath(&root) || root.empty()) {
        log_.Error("LOGGER: cannot initialize temp path!");
        return FailWorkspace(
            "No folder for temporary files was found. Set the environment variable "
            "BRENMOORTMP to a folder you can write to.");
      }
    } else {
      log_.InfoString("Temp path openen successfully:", root.c_str());
    }
    log_.InfoString("Temp path found successfully:", root.c_str());

    productTempFolder_ = root + kSeparator + "tmp_" + ProductCode(productNumber_);
    if (productTempFolder_.size() + kTempNameRoom > kMaxTempPath) {
      return FailWorkspace("The path of the folder for temporary files, " +
                           productTempFolder_ +
                           ", is too long. Set the environment variable BRENMOORTMP to "
                           "a folder with a shorter path.");
    }
    log_.InfoNumber("The product is", productNumber_);
    log_.InfoString("Product temp path will be:", productTempFolder_.c_str());

    // A folder whose state cannot be told is tried as missing: the attempt
    // to make it names the reason.
    if (!platform::IsPresent(env_->KindOf(productTempFolder_))) {
      platform::Status made = env_->CreatePrivateFolder(productTempFolder_);
      if (!made) {
        log_.Error("Unable to create the folder, but it does not exists!!!");
        std::string why = made.text();
        if (why.empty()) why = "error " + std::to_string(made.code());
        return FailWorkspace("The folder for temporary files " + productTempFolder_ +
                             " could not be created (" + why +
                             "). Set the environment variable BRENMOORTMP to a folder "
                             "you can write to.");
      }
      createdProductFolder_ = true;
      nextTempNumber_ = 1;
    } else {
      log_.Error("This folder already exists!!!");
      if (!env_->IsOwnFolder(productTempFolder_)) {
        return FailWorkspace("The folder for temporary files " + productTempFolder_ +
                             " is not a folder of your own (it is a link, a file, or "
                             "belongs to another user), so it is not used. Remove it, "
                             "or set the environment variable BRENMOORTMP to a folder "
                             "of your own.");
      }
      DeleteOldTempFiles();
    }
    firstTempNumber_ = nextTempNumber_;

    tempNameCount_ = 0;
    tempNames_.resize(kTempNameStep);
  } catch (const std::bad_alloc&) {
    tempNames_.clear();
    return FailWorkspace("There was not enough memory to set up the temporary files.");
  }
  workspaceReady_ = true;
  return true;
}

// Old temp files lie directly in the product temp folder; their numbers
// tell where the numbering of this process has to start.
void TempWorkspace::DeleteOldTempFiles() {
  std::vector<platform::DirEntry> entries;
  int32_t largest = 0;
  if (env_->ListFolder(productTempFolder_, "tmp_*.dat", &entries)) {
    for (const platform::DirEntry& entry : entries) {
      log_.InfoString("Found old file:", entry.name.c_str());
      std::string base = platform::SplitPath(entry.name).name;
      std::string rest = base.size() > 4 ? base.substr(4) : std::string();
      log_.InfoString("Name:", rest.c_str());
      int32_t number = LeadingNumber(rest);
      log_.InfoNumber("File number:", number);
      if (number > largest) largest = number;
      // The listing's kind does not follow links: a link is deleted itself.
      std::string path = productTempFolder_ + kSeparator + entry.name;
      if (entry.kind == EntryKind::kFolder) {
        env_->RemoveFolder(path);
      } else {
        env_->RemoveFile(path);
      }
    }
  }
  log_.InfoNumber("Maximal file number found:", largest);
  nextTempNumber_ = static_cast<uint32_t>(largest) + 1;
  log_.InfoNumber("Temp file indexes will start from:", static_cast<int32_t>(nextTempNumber_));
}

// Between set-up and unload the product temp folder could have been
// removed and something else put in its place (in a temp root that is not
// protected like /tmp); nothing is made or removed in it then.
bool TempWorkspace::WorkspaceStillOurs() {
  if (env_->IsOwnFolder(productTempFolder_)) return true;
  log_.ErrorString("Temp folder is no longer a private folder:", productTempFolder_.c_str());
  return false;
}

void TempWorkspace::PrepareSubfolder(uint32_t number) {
  char subfolder[kMaxTempPath];
  std::snprintf(subfolder, sizeof subfolder, "%s%ctmp_%u", productTempFolder_.c_str(),
                kSeparator, number / 100);
  // Only an empty folder goes; a subfolder still in use stays as it is.
  EntryKind kind = env_->KindOf(subfolder);
  if (kind == EntryKind::kFolder) {
    env_->RemoveFolder(subfolder);
  } else if (platform::IsPresent(kind)) {
    env_->RemoveFile(subfolder);
  }
  env_->CreatePrivateFolder(subfolder);
}

const char* TempWorkspace::NewTempFileName() {
  if (!workspaceReady_ || !WorkspaceStillOurs()) return nullptr;

  uint32_t capacity = tempNameCapacity();
  if (tempNameCount_ == capacity) {
    log_.Info("Size of storage expired, doing realloc");
    log_.InfoNumber("Previous size was", static_cast<int32_t>(capacity));
    log_.InfoNumber("New size will be", static_cast<int32_t>(capacity + kTempNameStep));
    try {
      tempNames_.resize(capacity + kTempNameStep);  // new slots are empty
    } catch (const std::bad_alloc&) {
      log_.Info("Realloc failed!");
      return nullptr;
    }
    log_.Info("Realloc OK");
    log_.Info("Temp space ready");
  }

  std::unique_ptr<std::string> name;
  try {
    name = std::make_unique<std::string>();
    name->reserve(kMaxTempPath + 1);
  } catch (const std::bad_alloc&) {
    return nullptr;  // the caller runs without a temp log
  }

  platform::CivilTime utc = env_->UtcNow();
  uint32_t processId = env_->ProcessId();
  uint32_t number = nextTempNumber_;
  char buffer[kMaxTempPath + 1];
  // Minute and second stand together: 5:13 and 51:03 both give 513.
  std::snprintf(buffer, sizeof buffer, "%s%ctmp_%u%ctmp_%u_%u_%d_%d_%d_%d_%d%d_%d.dat",
                productTempFolder_.c_str(), kSeparator, number / 100, kSeparator,
                processId, number, utc.year, utc.month, utc.day, utc.hour, utc.minute,
                utc.second, utc.millisecond);
  name->assign(buffer);

  if (number % 100 == 0 || number % 100 == 1) PrepareSubfolder(number);

  tempNames_[tempNameCount_] = std::move(name);
  const std::string& made = *tempNames_[tempNameCount_];
  ++tempNameCount_;
  ++nextTempNumber_;

  EntryKind kind = env_->KindOf(made);
  if (kind == EntryKind::kFolder) {
    EmptyFolder(made.c_str());
    env_->RemoveFolder(made);
  } else if (platform::IsPresent(kind)) {
    if (!env_->RemoveFile(made)) log_.ErrorString("Failed to delete temp file:", made.c_str());
  }
  return made.c_str();
}

void TempWorkspace::EmptyFolder(const char* path) {
  log_.InfoString("Emptying folder", path);
  if (path == nullptr) {
    log_.Error("EmptyFolder: invalid ptr");
    return;
  }
  std::string folder = path;
  if (!EndsWithSeparator(folder)) folder += kSeparator;
  // A path cut to fit the work buffer would name some other folder.
  if (folder.size() + 3 >= kEmptyFolderBuffer) return;

  // A link to a folder is never entered, and neither is anything that
  // is not a folder (its listing would fail anyway).
  std::string self = folder;
  while (self.size() > 1 && EndsWithSeparator(self)) self.pop_back();
  if (env_->KindOf(self) != EntryKind::kFolder) return;

  std::vector<platform::DirEntry> entries;
  if (!env_->ListFolder(self, "*.*", &entries)) return;
  for (const platform::DirEntry& entry : entries) {
    std::string full = folder + entry.name;
    if (full.size() >= kEmptyFolderBuffer) continue;
    if (env_->KindOf(full) == EntryKind::kFolder) {
      EmptyFolder(full.c_str());
      platform::Status removed = env_->RemoveFolder(full);
      if (!removed) log_.ErrorFormat("EmptyFolder: r.d. 0x%08x", removed.code());
    } else if (platform::Status removed = env_->RemoveFile(full); !removed) {
      log_.ErrorFormat("EmptyFolder: d.f. 0x%08x", removed.code());
    }
  }
}

void TempWorkspace::DeleteTempFiles() {
  if (tempNameCount_ == 0 || !WorkspaceStillOurs()) return;
  for (uint32_t i = 0; i < tempNameCount_ && i < tempNames_.size(); ++i) {
    if (!tempNames_[i]) continue;
    const std::string& name = *tempNames_[i];
    EntryKind kind = env_->KindOf(name);
    if (kind == EntryKind::kMissing) {
      log_.ErrorString("Cannot delete temp file:", name.c_str());
    } else if (kind == EntryKind::kFolder) {
      EmptyFolder(name.c_str());
      env_->RemoveFolder(name);
    } else if (env_->RemoveFile(name)) {
      log_.Info("Temp file deleted");
    } else {
      log_.ErrorString("Failed to delete temp file:", name.c_str());
    }

    platform::PathParts parts = platform::SplitPath(name);
    std::string stem = parts.drive + parts.folder + parts.name;
    if (env_->KindOf(stem) == EntryKind::kFolder) env_->RemoveFolder(stem);
  }
}

// A product temp folder that this process created goes again at unload,
// together with the subfolders this process prepared, but only when they
// are empty: removal of an empty folder is all that is asked of the system,
// so a folder holding anything (another process's temp file, a file
// someone left) stays. Leaving no empty folder behind in a shared temp
// root also keeps the name free for the next user of the machine.
void TempWorkspace::RemoveEmptyWorkspace() {
  if (!workspaceReady_ || !createdProductFolder_) return;
  if (!env_->IsOwnFolder(productTempFolder_)) return;
  if (nextTempNumber_ > firstTempNumber_) {
    for (uint32_t sub = firstTempNumber_ / 100; sub <= (nextTempNumber_ - 1) / 100; ++sub) {
      char subfolder[kMaxTempPath];
      std::snprintf(subfolder, sizeof subfolder, "%s%ctmp_%u", productTempFolder_.c_str(),
                    kSeparator, sub);
      if (env_->KindOf(subfolder) == EntryKind::kFolder) env_->RemoveFolder(subfolder);
    }
  }
  env_->RemoveFolder(productTempFolder_);
}

}  // namespace kest
