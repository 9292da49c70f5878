// The operating system as the engine sees it.
//
// Everything the engine asks of the machine goes through `Env`: reading the
// damaged table, creating result files and folders, the temp workspace, the
// clock, machine queries, dynamic loading and text conversion. One
// implementation per platform is chosen at build time: env_posix.cc, or
// env_windows.cc over the ANSI kernel calls.
// No engine source includes a system header; only this folder does.
//
// Failures are reported by return values, never by exceptions. After a
// failed call, LastErrorCode() holds the system's code for it (errno on
// POSIX, GetLastError() on Windows) until the next call.
//
// Thread safety: Env::Default() is safe to use from any thread; a file
// object belongs to one thread at a time.
#ifndef KEST_PLATFORM_ENV_H_
#define KEST_PLATFORM_ENV_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kest::platform {

// A file opened for reading that others may read at the same time.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Size in bytes, as it was when the file was opened.
  virtual uint64_t Size() const = 0;
  // Reads up to `count` bytes at `offset`; returns how many were read
  // (fewer at the end of the file, 0 past it), or -1 on a read error.
  virtual int64_t ReadAt(uint64_t offset, void* buffer, size_t count) = 0;
};

// A file created new for writing.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Appends all `count` bytes; false when the write failed or was short.
  virtual bool Append(const void* data, size_t count) = 0;
  // Overwrites bytes at `offset` without moving the append position.
  virtual bool WriteAt(uint64_t offset, const void* data, size_t count) = 0;
  // Bytes appended so far.
  virtual uint64_t Position() const = 0;
  // Closes the file; false when data could not be flushed to it. Further
  // calls after Close fail.
  virtual bool Close() = 0;
};

enum class EntryKind { kMissing, kFile, kFolder, kLink, kOther };

struct DirEntry {
  std::string name;  // name only, without the folder
  EntryKind kind = EntryKind::kOther;  // as the entry itself is (links are not followed)
};

// A moment of the civil calendar, month 1..12.
struct CivilTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// A loaded dynamic library; freed when destroyed.
class Library {
 public:
  virtual ~Library() = default;
  // The address of an exported name, or null when it is not there.
  virtual void* Symbol(const char* name) = 0;
};

class Env {
 public:
  virtual ~Env() = default;

  // The platform's own implementation; never null, never destroyed.
  static Env* Default();

  // --- files ---------------------------------------------------------------
  // Opens an existing regular file (not a folder, FIFO or device) for
  // reading, sharing read access.
  virtual std::unique_ptr<ReadableFile> OpenReadOnly(const std::string& path) = 0;
  // Creates a file that must not exist yet; null when it exists or cannot be made.
  virtual std::unique_ptr<WritableFile> CreateNew(const std::string& path) = 0;
  // Copies a file; fails when the target exists.
  virtual bool CopyNoOverwrite(const std::string& from, const std::string& to) = 0;
  // Deletes a file, or a link itself (never what it points to).
  virtual bool DeleteFile(const std::string& path) = 0;

  // --- folders -------------------------------------------------------------
  virtual bool CreateFolder(const std::string& path) = 0;
  // Creates a folder that only the current user may enter.
  virtual bool CreatePrivateFolder(const std::string& path) = 0;
  // Removes an empty folder.
  virtual bool RemoveFolder(const std::string& path) = 0;
  // What stands at `path`, without following a final link.
  virtual EntryKind KindOf(const std::string& path) = 0;
  // True when the path is a real folder (not a link) owned by the current user.
  virtual bool IsOwnFolder(const std::string& path) = 0;
  // Entries of `folder` whose names match `pattern` (* and ?), without
  // regard to letter case; "." and ".." are never listed. A folder that
  // cannot be listed gives false.
  virtual bool ListFolder(const std::string& folder, const std::string& pattern,
                          std::vector<DirEntry>* entries) = 0;

  // --- machine and process -------------------------------------------------
  // The value of an environment variable; false when it is not set.
  virtual bool GetVariable(const char* name, std::string* value) = 0;
  // The system's temp folder, with its trailing separator.
  virtual bool TempPath(std::string* path) = 0;
  virtual bool CurrentFolder(std::string* path) = 0;
  // Folders with no counterpart on some systems answer false there.
  virtual bool SystemFolder(std::string* path) = 0;
  virtual bool WindowsFolder(std::string* path) = 0;
  virtual bool ComputerName(std::string* name) = 0;
  virtual uint32_t ProcessId() = 0;
  // Full path of the running executable.
  virtual bool ExecutablePath(std::string* path) = 0;
  // Full path of the module (shared library or executable) holding `address`.
  virtual bool ModulePath(const void* address, std::string* path) = 0;

  // --- time ----------------------------------------------------------------
  virtual int64_t NowSeconds() = 0;  // calendar time
  virtual CivilTime LocalTime(int64_t seconds) = 0;
  virtual CivilTime UtcNow() = 0;  // with milliseconds

  // --- dynamic loading -----------------------------------------------------
  virtual std::unique_ptr<Library> LoadLibrary(const std::string& path) = 0;

  // --- errors --------------------------------------------------------------
  virtual uint32_t LastErrorCode() = 0;
  virtual void SetLastErrorCode(uint32_t code) = 0;
  // The system's text for an error code; false when it has none.
  virtual bool ErrorMessage(uint32_t code, std::string* text) = 0;

  // --- text ----------------------------------------------------------------
  // A statistical guess whether `bytes` hold UTF-16 text.
  virtual bool LooksLikeUtf16(const void* bytes, size_t size) = 0;
  // Converts `units` UTF-16 code units to the narrow code page; characters
  // that the code page cannot hold become '?'.
  virtual std::string NarrowFromUtf16(const uint16_t* text, size_t units) = 0;

  // --- identity ------------------------------------------------------------
  // True when the two paths name the same existing file.
  virtual bool SameFile(const std::string& a, const std::string& b) = 0;
};

// Forwards every call to another Env. Tests derive from it to replace a few
// calls (a clock, a failing write) and keep the rest real.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  std::unique_ptr<ReadableFile> OpenReadOnly(const std::string& p) override { return target_->OpenReadOnly(p); }
  std::unique_ptr<WritableFile> CreateNew(const std::string& p) override { return target_->CreateNew(p); }
  bool CopyNoOverwrite(const std::string& a, const std::string& b) override { return target_->CopyNoOverwrite(a, b); }
  bool DeleteFile(const std::string& p) override { return target_->DeleteFile(p); }
  bool CreateFolder(const std::string& p) override { return target_->CreateFolder(p); }
  bool CreatePrivateFolder(const std::string& p) override { return target_->CreatePrivateFolder(p); }
  bool RemoveFolder(const std::string& p) override { return target_->RemoveFolder(p); }
  EntryKind KindOf(const std::string& p) override { return target_->KindOf(p); }
  bool IsOwnFolder(const std::string& p) override { return target_->IsOwnFolder(p); }
  bool ListFolder(const std::string& f, const std::string& pat, std::vector<DirEntry>* e) override {
    return target_->ListFolder(f, pat, e);
  }
  bool GetVariable(const char* n, std::string* v) override { return target_->GetVariable(n, v); }
  bool TempPath(std::string* p) override { return target_->TempPath(p); }
  bool CurrentFolder(std::string* p) override { return target_->CurrentFolder(p); }
  bool SystemFolder(std::string* p) override { return target_->SystemFolder(p); }
  bool WindowsFolder(std::string* p) override { return target_->WindowsFolder(p); }
  bool ComputerName(std::string* n) override { return target_->ComputerName(n); }
  uint32_t ProcessId() override { return target_->ProcessId(); }
  bool ExecutablePath(std::string* p) override { return target_->ExecutablePath(p); }
  bool ModulePath(const void* a, std::string* p) override { return target_->ModulePath(a, p); }
  int64_t NowSeconds() override { return target_->NowSeconds(); }
  CivilTime LocalTime(int64_t s) override { return target_->LocalTime(s); }
  CivilTime UtcNow() override { return target_->UtcNow(); }
  std::unique_ptr<Library> LoadLibrary(const std::string& p) override { return target_->LoadLibrary(p); }
  uint32_t LastErrorCode() override { return target_->LastErrorCode(); }
  void SetLastErrorCode(uint32_t c) override { target_->SetLastErrorCode(c); }
  bool ErrorMessage(uint32_t c, std::string* t) override { return target_->ErrorMessage(c, t); }
  bool LooksLikeUtf16(const void* b, size_t n) override { return target_->LooksLikeUtf16(b, n); }
  std::string NarrowFromUtf16(const uint16_t* t, size_t n) override { return target_->NarrowFromUtf16(t, n); }
  bool SameFile(const std::string& a, const std::string& b) override { return target_->SameFile(a, b); }

 private:
  Env* target_;
};

}  // namespace kest::platform

#endif  // KEST_PLATFORM_ENV_H_
