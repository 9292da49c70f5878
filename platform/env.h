// The operating system as the engine sees it.
//
// Everything the engine asks of the machine goes through `Env`: reading the
// damaged table, creating result files and folders, the log, the temp
// workspace, the clock, machine queries, dynamic loading and text
// conversion. One implementation per platform is chosen at build time:
// env_posix.cc, or env_windows.cc over the ANSI kernel calls.
// No engine source includes a system header; only this folder does.
//
// Failures are reported by return values, never by exceptions. Calls that
// act on files and folders return a Status that carries the system's code
// and text for their failure; queries (a folder, a variable, a kind, an
// identity) answer false or a kind when they have no answer.
//
// Where the two systems differ, the difference is stated at the call it
// concerns; everything not so marked behaves alike on both. Paths may be as
// long as the system's file names allow on both, past the 259 characters
// of the Windows ANSI calls too.
//
// Thread safety: Env::Default() is safe to use from any thread; a file
// object belongs to one thread at a time. Threads the engine starts come
// from StartThread alone.
#ifndef KEST_PLATFORM_ENV_H_
#define KEST_PLATFORM_ENV_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kest::platform {

// The outcome of a call: success, or the system's code (errno on POSIX,
// GetLastError() on Windows) and its text, taken when the call failed.
// The text is empty when the system has none for the code. It converts to
// true on success, so that `if (!env->RemoveFile(path))` reads "if it failed".
class Status {
 public:
  Status() = default;  // success
  static Status Failure(uint32_t code, std::string text) {
    return Status(code, std::move(text));
  }

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  uint32_t code() const { return code_; }
  const std::string& text() const { return text_; }

 private:
  Status(uint32_t code, std::string text) : failed_(true), code_(code), text_(std::move(text)) {}

  bool failed_ = false;
  uint32_t code_ = 0;
  std::string text_;
};

// A file opened for reading that others may read at the same time. The
// platform's Env serves its reads from blocks read ahead
// (buffered_file.h); a read that starts over reads the file afresh.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Size in bytes, as it was when the file was opened.
  virtual uint64_t Size() const = 0;
  // Reads up to `count` bytes at `offset` and sets `*got` to how many
  // arrived: fewer at the end of the file, 0 past it. A read the system
  // refuses fails, with `*got` the bytes that arrived before it.
  virtual Status ReadAt(uint64_t offset, void* buffer, size_t count, size_t* got) = 0;
  // The `count` bytes at `offset` where the file holds them in memory
  // already and ReadAt would serve them from there, without a copy; they
  // stay valid until the next call on the file. Null otherwise, and then
  // nothing was read.
  virtual const void* Peek(uint64_t offset, size_t count) {
    (void)offset;
    (void)count;
    return nullptr;
  }
};

// A file created new for writing. The platform's Env gathers appended
// bytes in a block (buffered_file.h) that reaches the system when it is
// full and before WriteAt, Sync and Close return; from then on the bytes
// survive the process. Only Sync waits until they are on the disk
// (fdatasync; FlushFileBuffers); on Linux the file asks the system to
// start writing them out every few MiB as they are appended.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Appends all `count` bytes; fails when the write failed or was short.
  virtual Status Append(const void* data, size_t count) = 0;
  // Overwrites bytes at `offset` without moving the append position.
  virtual Status WriteAt(uint64_t offset, const void* data, size_t count) = 0;
  // Bytes appended so far.
  virtual uint64_t Position() const = 0;
  // Waits until the file's bytes are on the disk.
  virtual Status Sync() = 0;
  // Closes the file; fails when the system reports a failure in closing it.
  // Further calls after Close fail.
  virtual Status Close() = 0;
};

// A file opened for appending, created when it is missing; what it held
// stays. Unbuffered: each Append reaches the system before it returns.
// Closed when destroyed.
class AppendingFile {
 public:
  virtual ~AppendingFile() = default;
  virtual Status Append(const void* data, size_t count) = 0;
};

enum class EntryKind {
  kMissing,  // nothing stands at the path
  kUnknown,  // the system cannot tell (no right to look, an I/O error, a name too long)
  kFile,
  kFolder,
  kLink,
  kOther,
};

// True when something is known to stand there.
inline bool IsPresent(EntryKind kind) {
  return kind != EntryKind::kMissing && kind != EntryKind::kUnknown;
}

struct DirEntry {
  std::string name;  // name only, without the folder
  EntryKind kind = EntryKind::kOther;  // as the entry itself is (links are not followed)
};

// A moment of the civil calendar, month 1..12.
struct CivilTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// The folders of the operating system itself that the machine-info block
// of the log shows.
enum class MachineFolder {
  kSystemLibraries,  // where the system's own libraries lie
  kSystemRoot,       // the folder the system is installed in
};

// A loaded dynamic library; freed when destroyed.
class Library {
 public:
  virtual ~Library() = default;
  // The address of an exported name, or null when it is not there.
  virtual void* Symbol(const char* name) = 0;
};

// A thread started by Env::StartThread. Join waits until its body has
// returned; destruction joins it when nobody did.
class Thread {
 public:
  virtual ~Thread() = default;
  virtual void Join() = 0;
};

class Env {
 public:
  virtual ~Env() = default;

  // The platform's own implementation; never null, never destroyed.
  static Env* Default();

  // --- files ---------------------------------------------------------------
  // Opens an existing regular file (not a folder, FIFO or device) for
  // reading, sharing read access.
  virtual Status OpenReadOnly(const std::string& path, std::unique_ptr<ReadableFile>* file) = 0;
  // Creates a file that must not exist yet; fails when it exists or cannot be
  // made. Windows gives it the archive attribute, so that a backup takes it,
  // and lets nobody read it while it is open; POSIX lets others read it.
  virtual Status CreateNew(const std::string& path, std::unique_ptr<WritableFile>* file) = 0;
  // Opens a file for appending (see AppendingFile); a folder is refused.
  virtual Status OpenAppending(const std::string& path, std::unique_ptr<AppendingFile>* file) = 0;
  // Copies a file to a target that must not exist yet. A copy that fails
  // after the target was made removes the partial target again; an
  // existing target is never touched. The copy is on the disk (synced)
  // before it is closed; its times are those of its making. Built on
  // OpenReadOnly, CreateNew and RemoveFile.
  virtual Status CopyNoOverwrite(const std::string& from, const std::string& to);
  // Removes a file, or a link itself (never what it points to).
  virtual Status RemoveFile(const std::string& path) = 0;
  // Renames a file, failing when `to` exists; never replaces anything.
  // Where the file system refuses such a rename (POSIX file systems without
  // the no-replace flag), a hard link and the removal of the old name take
  // its place; file systems without hard links then fail it. Across
  // volumes it fails on both systems.
  virtual Status RenameNoReplace(const std::string& from, const std::string& to) = 0;

  // --- folders -------------------------------------------------------------
  virtual Status CreateFolder(const std::string& path) = 0;
  // Creates a folder that only the current user may enter: mode 0700 on
  // POSIX; on Windows an access list with the user alone, inherited by what
  // is made inside and nothing inherited from the parent.
  virtual Status CreatePrivateFolder(const std::string& path) = 0;
  // Removes an empty folder, never a link to one.
  virtual Status RemoveFolder(const std::string& path) = 0;
  // Makes the folder's entries (a file just made or renamed in it) durable.
  // On Windows the file system keeps folder entries itself, and this
  // succeeds without asking the system anything.
  virtual Status SyncFolder(const std::string& path) = 0;
  // What stands at `path`, without following a final link. kMissing when
  // the system says nothing is there (POSIX: ENOENT, or ENOTDIR for a path
  // below a file; Windows: file, path or network name not found, or an
  // invalid name); kUnknown for any other failure to look. Every reparse
  // point counts as a link on Windows.
  virtual EntryKind KindOf(const std::string& path) = 0;
  // True when the path is a real folder (not a link) owned by the current user.
  virtual bool IsOwnFolder(const std::string& path) = 0;
  // Entries of `folder` whose names match `pattern` (* and ?), without
  // regard to letter case; "." and ".." are never listed. A folder that
  // cannot be listed, or whose listing breaks off, fails.
  virtual Status ListFolder(const std::string& folder, const std::string& pattern,
                            std::vector<DirEntry>* entries) = 0;

  // --- machine and process -------------------------------------------------
  // The value of an environment variable; false when it is not set.
  virtual bool GetVariable(const char* name, std::string* value) = 0;
  // The system's temp folder, with its trailing separator: TMPDIR or /tmp
  // on POSIX, GetTempPathA on Windows.
  virtual bool TempPath(std::string* path) = 0;
  virtual bool CurrentFolder(std::string* path) = 0;
  // POSIX systems have no such folders and answer false.
  virtual bool MachineFolderPath(MachineFolder which, std::string* path) = 0;
  virtual bool ComputerName(std::string* name) = 0;
  virtual uint32_t ProcessId() = 0;
  // Full path of the running executable.
  virtual bool ExecutablePath(std::string* path) = 0;
  // Full path of the module (shared library or executable) holding `address`.
  virtual bool ModulePath(const void* address, std::string* path) = 0;

  // --- time ----------------------------------------------------------------
  virtual int64_t NowSeconds() = 0;  // calendar time
  // Windows converts only times from 1970 to 3000 and answers all zeros
  // (month 0) outside them; POSIX converts any time.
  virtual CivilTime LocalTime(int64_t seconds) = 0;
  virtual CivilTime UtcNow() = 0;  // with milliseconds

  // --- dynamic loading -----------------------------------------------------
  // A failure's text names the file and says why, in the loader's words.
  // The POSIX loader gives no code for its failures: the Status carries
  // ENOENT and the loader's own text.
  virtual Status OpenLibrary(const std::string& path, std::unique_ptr<Library>* library) = 0;

  // --- threads -----------------------------------------------------------
  // Runs `body` on a new thread. The body must not throw: what it throws
  // ends the process. Fails when the system has no thread to give; nothing
  // runs then.
  virtual Status StartThread(std::function<void()> body, std::unique_ptr<Thread>* thread) = 0;
  // Processors the system may run this process on; 0 when it cannot tell.
  virtual uint32_t ProcessorCount() = 0;

  // --- errors --------------------------------------------------------------
  // The calling thread's last system error code, as it stands. Only the
  // assertion reports of the log read it, to show what the system said last
  // before an impossible state; failures of Env calls carry their own
  // Status and never need it.
  virtual uint32_t ThreadErrorCode() = 0;
  // The system's text for an error code, without a line break; false when
  // it has none (Windows, for codes it does not know; POSIX names those
  // "Unknown error" with the number).
  virtual bool ErrorMessage(uint32_t code, std::string* text) = 0;

  // --- text ----------------------------------------------------------------
  // A statistical guess whether `bytes` hold UTF-16 text: the system's own
  // on Windows (IsTextUnicode); on POSIX a byte order mark, or the repeated
  // high byte of text in one script.
  virtual bool LooksLikeUtf16(const void* bytes, size_t size) = 0;
  // Converts `units` UTF-16 code units to the narrow code page (the ANSI
  // code page on Windows, the process locale's character set on POSIX);
  // characters that the code page cannot hold, and lone surrogates, become
  // '?'.
  virtual std::string NarrowFromUtf16(const uint16_t* text, size_t units) = 0;

  // --- identity ------------------------------------------------------------
  // True when the two paths name the same existing file.
  virtual bool SameFile(const std::string& a, const std::string& b) = 0;

 protected:
  // A failure with `code` and the system's text for it.
  Status FailureOf(uint32_t code);
};

// Forwards every call to another Env. Tests derive from it to replace a few
// calls (a clock, a failing write) and keep the rest real. CopyNoOverwrite
// is not forwarded: it runs on the wrapper's own opening, creating and
// removing, so that failures put into those reach copies too.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  Status OpenReadOnly(const std::string& p, std::unique_ptr<ReadableFile>* f) override {
    return target_->OpenReadOnly(p, f);
  }
  Status CreateNew(const std::string& p, std::unique_ptr<WritableFile>* f) override {
    return target_->CreateNew(p, f);
  }
  Status OpenAppending(const std::string& p, std::unique_ptr<AppendingFile>* f) override {
    return target_->OpenAppending(p, f);
  }
  Status RemoveFile(const std::string& p) override { return target_->RemoveFile(p); }
  Status RenameNoReplace(const std::string& a, const std::string& b) override {
    return target_->RenameNoReplace(a, b);
  }
  Status CreateFolder(const std::string& p) override { return target_->CreateFolder(p); }
  Status CreatePrivateFolder(const std::string& p) override {
    return target_->CreatePrivateFolder(p);
  }
  Status RemoveFolder(const std::string& p) override { return target_->RemoveFolder(p); }
  Status SyncFolder(const std::string& p) override { return target_->SyncFolder(p); }
  EntryKind KindOf(const std::string& p) override { return target_->KindOf(p); }
  bool IsOwnFolder(const std::string& p) override { return target_->IsOwnFolder(p); }
  Status ListFolder(const std::string& f, const std::string& pat,
                    std::vector<DirEntry>* e) override {
    return target_->ListFolder(f, pat, e);
  }
  bool GetVariable(const char* n, std::string* v) override { return target_->GetVariable(n, v); }
  bool TempPath(std::string* p) override { return target_->TempPath(p); }
  bool CurrentFolder(std::string* p) override { return target_->CurrentFolder(p); }
  bool MachineFolderPath(MachineFolder w, std::string* p) override {
    return target_->MachineFolderPath(w, p);
  }
  bool ComputerName(std::string* n) override { return target_->ComputerName(n); }
  uint32_t ProcessId() override { return target_->ProcessId(); }
  bool ExecutablePath(std::string* p) override { return target_->ExecutablePath(p); }
  bool ModulePath(const void* a, std::string* p) override { return target_->ModulePath(a, p); }
  int64_t NowSeconds() override { return target_->NowSeconds(); }
  CivilTime LocalTime(int64_t s) override { return target_->LocalTime(s); }
  CivilTime UtcNow() override { return target_->UtcNow(); }
  Status OpenLibrary(const std::string& p, std::unique_ptr<Library>* l) override {
    return target_->OpenLibrary(p, l);
  }
  Status StartThread(std::function<void()> b, std::unique_ptr<Thread>* t) override {
    return target_->StartThread(std::move(b), t);
  }
  uint32_t ProcessorCount() override { return target_->ProcessorCount(); }
  uint32_t ThreadErrorCode() override { return target_->ThreadErrorCode(); }
  bool ErrorMessage(uint32_t c, std::string* t) override { return target_->ErrorMessage(c, t); }
  bool LooksLikeUtf16(const void* b, size_t n) override { return target_->LooksLikeUtf16(b, n); }
  std::string NarrowFromUtf16(const uint16_t* t, size_t n) override { return target_->NarrowFromUtf16(t, n); }
  bool SameFile(const std::string& a, const std::string& b) override { return target_->SameFile(a, b); }

 private:
  Env* target_;
};

}  // namespace kest::platform

#endif  // KEST_PLATFORM_ENV_H_
