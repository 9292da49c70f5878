// Env over the Windows kernel calls, through their ANSI entry points.
//
// Paths and texts are narrow strings in the process's ANSI code page, as
// everywhere in the engine, so a name that the code page cannot spell is
// out of reach here (a listing shows it with '?' in place of what is
// missing, and opening that spelling fails).
//
// Security calls (owner, token, access lists) and the UTF-16 test live in
// advapi32, which the build links beside kernel32.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After <windows.h>, which pulls in the owner and access-list types.
#include <aclapi.h>
#include <process.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <new>

#include "platform/buffered_file.h"
#include "platform/env.h"
#include "platform/env_internal.h"
#include "platform/path.h"
#include "platform/wide_text_windows.h"

namespace kest::platform {

namespace {

static_assert(sizeof(wchar_t) == sizeof(uint16_t), "Windows text is UTF-16");

// Room for the answer to a machine query (a folder, the executable's path),
// terminator included; a longer answer counts as a failure rather than
// being cut into a path that names something else.
constexpr DWORD kQueryRoom = 4096;

// ReadFile and WriteFile count in 32 bits; larger transfers go in pieces.
constexpr size_t kMaxTransfer = size_t{1} << 30;

// WideCharToMultiByte counts in a signed int.
constexpr size_t kMaxConvertedUnits = size_t{1} << 20;

// Keeps the thread's last error across clean-up calls that may change it.
class SavedError {
 public:
  SavedError() : code_(::GetLastError()) {}
  ~SavedError() { ::SetLastError(code_); }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;

 private:
  DWORD code_;
};

void CloseKeepingError(HANDLE handle) {
  SavedError keep;
  ::CloseHandle(handle);
}

// The system's text for a code, without the line break it ends in.
bool TextOf(DWORD code, std::string* text) {
  char* message = nullptr;
  DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<LPSTR>(&message), 0, nullptr);
  if (length == 0 || message == nullptr) return false;
  std::unique_ptr<char, decltype(&::LocalFree)> owned(message, &::LocalFree);
  // System texts end in a line break (and often a space before it), which
  // would split a log line or a composed message.
  while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n' ||
                        message[length - 1] == ' ')) {
    --length;
  }
  if (length == 0) return false;
  text->assign(message, length);
  return true;
}

Status Failure(DWORD code) {
  std::string text;
  if (!TextOf(code, &text)) text.clear();
  return Status::Failure(code, std::move(text));
}

Status LastFailure() { return Failure(::GetLastError()); }

Status Outcome(BOOL done) { return done ? Status() : LastFailure(); }

// The ANSI calls take paths of fewer than MAX_PATH characters (folders
// twelve fewer, to leave room for a file name in them), and the system's
// own limit does not move for them. A longer path, such as a table deep in
// its folders, goes to the wide call in the extended form ("\\?\" before
// the full path), which reaches some 32,767 characters. Shorter paths keep
// the ANSI calls, so that what they do with names stays as it was.
constexpr size_t kLongPath = MAX_PATH - 12;

bool IsLongPath(const std::string& path) { return path.size() >= kLongPath; }

// The extended form of a path: ANSI text widened, made full (which turns
// slashes into backslashes and resolves "." and ".."), prefixed. Empty when
// the path cannot be converted; a path in the form already stays as it is.
std::wstring ExtendedPath(const std::string& path) {
  std::wstring wide = internal::Widen(CP_ACP, path);
  if (wide.empty()) return wide;
  if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) return wide;
  DWORD room = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (room == 0) return std::wstring();
  std::wstring full(room, L'\0');
  DWORD length = ::GetFullPathNameW(wide.c_str(), room, full.data(), nullptr);
  if (length == 0 || length >= room) return std::wstring();
  full.resize(length);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// Calls `narrow` with the path, or `wide` with its extended form when the
// path is too long for the ANSI call; the other arguments go to both. A
// path that cannot be converted fails the way a name too long does.
template <typename Narrow, typename Wide, typename... Args>
auto OnPath(const std::string& path, Narrow narrow, Wide wide, Args... args) {
  if (!IsLongPath(path)) return narrow(path.c_str(), args...);
  std::wstring extended = ExtendedPath(path);
  if (extended.empty()) {
    auto failed = wide(L"", args...);
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return failed;
  }
  return wide(extended.c_str(), args...);
}

HANDLE OpenPath(const std::string& path, DWORD access, DWORD sharing,
                SECURITY_ATTRIBUTES* security, DWORD disposition, DWORD flags) {
  return OnPath(path, ::CreateFileA, ::CreateFileW, access, sharing, security, disposition, flags,
                HANDLE{nullptr});
}

DWORD AttributesOf(const std::string& path) {
  return OnPath(path, ::GetFileAttributesA, ::GetFileAttributesW);
}

BOOL MakeFolder(const std::string& path, SECURITY_ATTRIBUTES* security) {
  return OnPath(path, ::CreateDirectoryA, ::CreateDirectoryW, security);
}

BOOL RemoveFolderEntry(const std::string& path) {
  return OnPath(path, ::RemoveDirectoryA, ::RemoveDirectoryW);
}

// A folder's entries one by one, through the ANSI or the wide search as
// the folder's path needs; wide names come back in the ANSI code page with
// '?' for what it cannot spell, as the ANSI search gives them.
class FolderSearch {
 public:
  ~FolderSearch() {
    if (handle_ != INVALID_HANDLE_VALUE) ::FindClose(handle_);
  }
  // False when nothing matched or the search failed; GetLastError() tells.
  bool First(const std::string& mask) {
    wide_ = IsLongPath(mask);
    if (!wide_) {
      handle_ = ::FindFirstFileA(mask.c_str(), &narrow_);
    } else {
      std::wstring extended = ExtendedPath(mask);
      if (extended.empty()) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
      }
      handle_ = ::FindFirstFileW(extended.c_str(), &widened_);
    }
    return handle_ != INVALID_HANDLE_VALUE;
  }
  bool Next() {
    return wide_ ? ::FindNextFileW(handle_, &widened_) : ::FindNextFileA(handle_, &narrow_);
  }
  DWORD attributes() const {
    return wide_ ? widened_.dwFileAttributes : narrow_.dwFileAttributes;
  }
  std::string name() const {
    if (!wide_) return narrow_.cFileName;
    int bytes = ::WideCharToMultiByte(CP_ACP, 0, widened_.cFileName, -1, nullptr, 0, "?",
                                      nullptr);
    if (bytes <= 1) return std::string();
    std::string name(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, widened_.cFileName, -1, name.data(), bytes, "?", nullptr);
    name.resize(static_cast<size_t>(bytes - 1));
    return name;
  }

 private:
  bool wide_ = false;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA narrow_;
  WIN32_FIND_DATAW widened_;
};

// A file position for ReadFile/WriteFile. On a handle opened without
// FILE_FLAG_OVERLAPPED the call still completes before it returns; the
// structure only carries the offset, so no shared file pointer is involved.
OVERLAPPED At(uint64_t offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

class WindowsReadableFile final : public ReadableFile {
 public:
  WindowsReadableFile(HANDLE handle, uint64_t size) : handle_(handle), size_(size) {}
  ~WindowsReadableFile() override { ::CloseHandle(handle_); }

  uint64_t Size() const override { return size_; }

  Status ReadAt(uint64_t offset, void* buffer, size_t count, size_t* got) override {
    char* out = static_cast<char*>(buffer);
    size_t& done = *got;
    done = 0;
    while (done < count) {
      DWORD want = static_cast<DWORD>(std::min(count - done, kMaxTransfer));
      OVERLAPPED at = At(offset + done);
      DWORD read = 0;
      if (!::ReadFile(handle_, out + done, want, &read, &at)) {
        // A positioned read that starts at or past the end is reported as
        // an error rather than as zero bytes.
        if (::GetLastError() == ERROR_HANDLE_EOF) break;
        return LastFailure();
      }
      if (read == 0) break;
      done += read;
    }
    return Status();
  }

 private:
  HANDLE handle_;
  uint64_t size_;
};

class WindowsWritableFile final : public WritableFile {
 public:
  explicit WindowsWritableFile(HANDLE handle) : handle_(handle) {}
  ~WindowsWritableFile() override {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }

  Status Append(const void* data, size_t count) override {
    Status status = WriteAt(position_, data, count);
    if (status) position_ += count;
    return status;
  }

  Status WriteAt(uint64_t offset, const void* data, size_t count) override {
    if (handle_ == INVALID_HANDLE_VALUE) return Failure(ERROR_INVALID_HANDLE);
    const char* in = static_cast<const char*>(data);
    size_t done = 0;
    while (done < count) {
      DWORD want = static_cast<DWORD>(std::min(count - done, kMaxTransfer));
      OVERLAPPED at = At(offset + done);
      DWORD put = 0;
      if (!::WriteFile(handle_, in + done, want, &put, &at)) return LastFailure();
      if (put == 0) return Failure(ERROR_DISK_FULL);
      done += put;
    }
    return Status();
  }

  uint64_t Position() const override { return position_; }

  Status Sync() override {
    if (handle_ == INVALID_HANDLE_VALUE) return Failure(ERROR_INVALID_HANDLE);
    return Outcome(::FlushFileBuffers(handle_));
  }

  Status Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return Failure(ERROR_INVALID_HANDLE);
    BOOL closed = ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return Outcome(closed);
  }

 private:
  HANDLE handle_;
  uint64_t position_ = 0;
};

class WindowsAppendingFile final : public AppendingFile {
 public:
  explicit WindowsAppendingFile(HANDLE handle) : handle_(handle) {}
  ~WindowsAppendingFile() override { ::CloseHandle(handle_); }

  // The handle has append access only, so every write lands at the end,
  // wherever other writers have taken it meanwhile.
  Status Append(const void* data, size_t count) override {
    const char* in = static_cast<const char*>(data);
    size_t done = 0;
    while (done < count) {
      DWORD want = static_cast<DWORD>(std::min(count - done, kMaxTransfer));
      DWORD put = 0;
      if (!::WriteFile(handle_, in + done, want, &put, nullptr)) return LastFailure();
      if (put == 0) return Failure(ERROR_DISK_FULL);
      done += put;
    }
    return Status();
  }

 private:
  HANDLE handle_;
};

class WindowsLibrary final : public Library {
 public:
  explicit WindowsLibrary(HMODULE module) : module_(module) {}
  ~WindowsLibrary() override { ::FreeLibrary(module_); }

  void* Symbol(const char* name) override {
    return reinterpret_cast<void*>(::GetProcAddress(module_, name));
  }

 private:
  HMODULE module_;
};

class WindowsThread final : public Thread {
 public:
  explicit WindowsThread(HANDLE handle) : handle_(handle) {}
  ~WindowsThread() override { Join(); }
  void Join() override {
    if (handle_ == nullptr) return;
    ::WaitForSingleObject(handle_, INFINITE);
    ::CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

unsigned __stdcall RunThreadBody(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return 0;
}

// Every reparse point counts as a link: symbolic links and junctions lead
// elsewhere, and a kind of reparse point the engine does not know is
// treated as one that might.
EntryKind KindFromAttributes(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kLink;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kFolder;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return EntryKind::kOther;
  return EntryKind::kFile;
}

bool IsFolderLink(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Runs a query that writes into a buffer and answers the length written,
// or 0 on failure, or (for some queries) the room it would need.
template <typename Query>
bool AskSystem(Query query, std::string* answer) {
  char buffer[kQueryRoom];
  DWORD length = query(buffer, kQueryRoom);
  if (length == 0) return false;
  if (length >= kQueryRoom) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  answer->assign(buffer, length);
  return true;
}

// The user SID of the process token, in a buffer that holds the TOKEN_USER
// it belongs to. The process token, not a thread's: the engine never
// impersonates, and its folders are the process user's.
class TokenUserSid {
 public:
  bool Read() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    bool read = false;
    if (size >= sizeof(TOKEN_USER)) {
      // Heap storage is aligned for any object, TOKEN_USER included.
      buffer_.reset(new (std::nothrow) unsigned char[size]);
      read = buffer_ && ::GetTokenInformation(token, TokenUser, buffer_.get(), size, &size);
    }
    CloseKeepingError(token);
    return read;
  }

  PSID sid() const { return reinterpret_cast<const TOKEN_USER*>(buffer_.get())->User.Sid; }

 private:
  std::unique_ptr<unsigned char[]> buffer_;
};

// True when the object's owner is the user the process runs as. Only the
// user counts, not the token's default owner: for an elevated administrator
// that is the Administrators group, which other administrators share, just
// as a folder of another user is refused on other systems.
bool OwnedByProcessUser(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD rc = ::GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                               nullptr, nullptr, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) {
    ::SetLastError(rc);
    return false;
  }
  TokenUserSid user;
  bool own = owner != nullptr && user.Read() && ::EqualSid(owner, user.sid());
  SavedError keep;
  ::LocalFree(descriptor);
  return own;
}

// Volume and file index of what the path names (links followed). Only
// attributes are asked for and everything is shared, so the open neither
// fails on a file that someone holds open nor gets in their way; backup
// semantics let it open folders too.
bool IdentityOf(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE handle = OpenPath(path, FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BOOL got = ::GetFileInformationByHandle(handle, info);
  CloseKeepingError(handle);
  return got != FALSE;
}

// True when the path opens as a character device or a pipe. No access is
// asked for and everything is shared, so the look neither fails on a file
// someone holds open nor gets in their way; a path that does not open at
// all is no device as far as this can tell.
bool IsDevice(const std::string& path) {
  HANDLE handle = OpenPath(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DWORD type = ::GetFileType(handle);
  CloseKeepingError(handle);
  return type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE;
}

bool IsHighSurrogate(uint16_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool IsLowSurrogate(uint16_t unit) { return unit >= 0xDC00 && unit < 0xE000; }

class WindowsEnv final : public Env {
 public:
  Status OpenReadOnly(const std::string& path, std::unique_ptr<ReadableFile>* file) override {
    file->reset();
    HANDLE handle = OpenPath(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0);
    if (handle == INVALID_HANDLE_VALUE) return LastFailure();
    // Consoles, pipes and serial ports open like files but have no size to
    // read by, and a read could wait forever; they are refused like a
    // missing file.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
      ::CloseHandle(handle);
      return Failure(ERROR_INVALID_PARAMETER);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(handle, &info)) {
      Status failed = LastFailure();
      ::CloseHandle(handle);
      return failed;
    }
    // The system already refuses a folder opened without backup
    // semantics; the check keeps the contract from resting on that.
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ::CloseHandle(handle);
      return Failure(ERROR_ACCESS_DENIED);
    }
    uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    *file = NewReadAheadFile(std::make_unique<WindowsReadableFile>(handle, size));
    return Status();
  }

  // Result tables are created with the archive attribute, so that a backup
  // takes them, and without shared reading, so that nothing reads a result
  // before it is complete.
  Status CreateNew(const std::string& path, std::unique_ptr<WritableFile>* file) override {
    file->reset();
    HANDLE handle = OpenPath(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_ARCHIVE);
    if (handle == INVALID_HANDLE_VALUE) return LastFailure();
    *file = NewBufferedWritableFile(std::make_unique<WindowsWritableFile>(handle));
    return Status();
  }

  // Read access beside append access, and reading and writing shared with
  // others, as a stream opened in "a+" mode has them; a device ("NUL")
  // opens as it would for such a stream.
  Status OpenAppending(const std::string& path, std::unique_ptr<AppendingFile>* file) override {
    file->reset();
    HANDLE handle = OpenPath(path, GENERIC_READ | FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE) return LastFailure();
    *file = std::make_unique<WindowsAppendingFile>(handle);
    return Status();
  }

  Status RemoveFile(const std::string& path) override {
    // A link to a folder is a folder entry itself: DeleteFileA refuses it,
    // and RemoveDirectoryA removes the link, never what it leads to.
    if (IsFolderLink(AttributesOf(path))) return Outcome(RemoveFolderEntry(path));
    return Outcome(OnPath(path, ::DeleteFileA, ::DeleteFileW));
  }

  // Without MOVEFILE_REPLACE_EXISTING an existing target makes it fail, and
  // without MOVEFILE_COPY_ALLOWED it stays on its volume.
  Status RenameNoReplace(const std::string& from, const std::string& to) override {
    if (!IsLongPath(from) && !IsLongPath(to)) {
      return Outcome(::MoveFileExA(from.c_str(), to.c_str(), 0));
    }
    std::wstring extendedFrom = ExtendedPath(from), extendedTo = ExtendedPath(to);
    if (extendedFrom.empty() || extendedTo.empty()) return Failure(ERROR_FILENAME_EXCED_RANGE);
    return Outcome(::MoveFileExW(extendedFrom.c_str(), extendedTo.c_str(), 0));
  }

  Status CreateFolder(const std::string& path) override {
    return Outcome(MakeFolder(path, nullptr));
  }

  // The folder gets the process user as its owner and an access list that
  // lets in that user alone and inherits nothing from its parent. The
  // user's own temp folder is private already, but a temp root named by
  // BRENMOORTMP may be a folder that every user can write to, and what is
  // made there would inherit its openness. The entry is inherited by what
  // is created inside, temp files included.
  Status CreatePrivateFolder(const std::string& path) override {
    TokenUserSid user;
    if (!user.Read()) return LastFailure();
    DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) +
                    ::GetLengthSid(user.sid());
    std::unique_ptr<unsigned char[]> aclBuffer(new (std::nothrow) unsigned char[aclSize]);
    if (!aclBuffer) return Failure(ERROR_NOT_ENOUGH_MEMORY);
    ACL* acl = reinterpret_cast<ACL*>(aclBuffer.get());
    SECURITY_DESCRIPTOR descriptor;
    if (!::InitializeAcl(acl, aclSize, ACL_REVISION) ||
        !::AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                 FILE_ALL_ACCESS, user.sid()) ||
        !::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorOwner(&descriptor, user.sid(), FALSE) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      return LastFailure();
    }
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    return Outcome(MakeFolder(path, &attributes));
  }

  Status RemoveFolder(const std::string& path) override {
    // RemoveDirectoryA would take away a link to a folder as well; links
    // go through RemoveFile, as they do on other systems.
    if (IsFolderLink(AttributesOf(path))) return Failure(ERROR_DIRECTORY);
    return Outcome(RemoveFolderEntry(path));
  }

  // NTFS journals its folder entries itself; a folder handle cannot be
  // flushed without rights that the engine does not ask for.
  Status SyncFolder(const std::string&) override { return Status(); }

  EntryKind KindOf(const std::string& path) override {
    DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      DWORD code = ::GetLastError();
      if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
          code == ERROR_INVALID_NAME || code == ERROR_BAD_NETPATH) {
        return EntryKind::kMissing;
      }
      // Some devices (under wine a Unix one) have no attributes at all.
      return IsDevice(path) ? EntryKind::kOther : EntryKind::kUnknown;
    }
    EntryKind kind = KindFromAttributes(attributes);
    // Devices (NUL, CON, COM1, and under wine a Unix device) have file
    // attributes; only their handle's type tells them from a file, and a
    // device is refused by OpenReadOnly as well.
    if (kind == EntryKind::kFile && IsDevice(path)) return EntryKind::kOther;
    return kind;
  }

  bool IsOwnFolder(const std::string& path) override {
    // One handle on the entry itself (a link is opened as the link), so
    // that the attributes and the owner read are those of the same object
    // even if the name is swapped meanwhile.
    HANDLE handle = OpenPath(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool own = ::GetFileInformationByHandle(handle, &info) &&
               (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
               (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
               OwnedByProcessUser(handle);
    CloseKeepingError(handle);
    return own;
  }

  // Every entry is asked for and the pattern applied here: the system's own
  // matching also tries each name's short 8.3 alias, so "*.dbf" would find
  // "orders.dbfx" (alias ORDERS~1.DBF), which no other system would.
  Status ListFolder(const std::string& folder, const std::string& pattern,
                    std::vector<DirEntry>* entries) override {
    entries->clear();
    std::string where = folder.empty() ? "." : folder;
    // A bare drive ("D:") stands for the current folder of that drive; a
    // separator after it would make it the drive's root.
    bool bareDrive = where.size() == 2 && where[1] == ':';
    std::string mask = bareDrive ? where + "*" : InFolder(where, "*");
    FolderSearch search;
    if (!search.First(mask)) {
      // The root folder of a drive has no "." and "..", so an empty one
      // matches nothing at all.
      if (::GetLastError() != ERROR_FILE_NOT_FOUND) return LastFailure();
      DWORD attributes = AttributesOf(where);
      if (attributes == INVALID_FILE_ATTRIBUTES) return LastFailure();
      if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Failure(ERROR_DIRECTORY);
      return Status();
    }
    do {
      std::string name = search.name();
      if (name == "." || name == "..") continue;
      if (!WildcardMatch(pattern, name)) continue;
      DirEntry entry;
      entry.name = std::move(name);
      entry.kind = KindFromAttributes(search.attributes());
      entries->push_back(std::move(entry));
    } while (search.Next());
    DWORD ended = ::GetLastError();
    // A listing cut short by an error is not passed off as the whole folder.
    return ended == ERROR_NO_MORE_FILES ? Status() : Failure(ended);
  }

  bool GetVariable(const char* name, std::string* value) override {
    std::string buffer(256, '\0');
    // A value that grows between the two calls is asked for again.
    for (int attempt = 0; attempt < 4; ++attempt) {
      ::SetLastError(ERROR_SUCCESS);
      DWORD length = ::GetEnvironmentVariableA(name, buffer.data(),
                                               static_cast<DWORD>(buffer.size()));
      if (length == 0) {
        // Zero is also the length of a variable that is set but empty.
        if (::GetLastError() != ERROR_SUCCESS) return false;
        value->clear();
        return true;
      }
      if (length < buffer.size()) {
        buffer.resize(length);
        *value = std::move(buffer);
        return true;
      }
      buffer.resize(length);  // the room asked for counts the terminator
    }
    return false;
  }

  // The answer ends in a separator already.
  bool TempPath(std::string* path) override {
    return AskSystem([](char* b, DWORD n) { return ::GetTempPathA(n, b); }, path);
  }

  bool CurrentFolder(std::string* path) override {
    return AskSystem([](char* b, DWORD n) { return ::GetCurrentDirectoryA(n, b); }, path);
  }

  bool MachineFolderPath(MachineFolder which, std::string* path) override {
    if (which == MachineFolder::kSystemLibraries) {
      return AskSystem([](char* b, DWORD n) { return ::GetSystemDirectoryA(b, n); }, path);
    }
    return AskSystem([](char* b, DWORD n) { return ::GetWindowsDirectoryA(b, n); }, path);
  }

  bool ComputerName(std::string* name) override {
    char buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof buffer;
    if (!::GetComputerNameA(buffer, &size)) return false;
    name->assign(buffer, size);
    return true;
  }

  uint32_t ProcessId() override { return ::GetCurrentProcessId(); }

  // GetModuleFileNameA fills the whole buffer when the path is longer, so
  // an answer as long as the room is a cut one.
  bool ExecutablePath(std::string* path) override {
    return AskSystem([](char* b, DWORD n) { return ::GetModuleFileNameA(nullptr, b, n); }, path);
  }

  bool ModulePath(const void* address, std::string* path) override {
    HMODULE module = nullptr;
    // The module is only looked at, not held: it holds `address`, so it
    // stays loaded for as long as the caller can ask.
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCSTR>(address), &module)) {
      return false;
    }
    return AskSystem([module](char* b, DWORD n) { return ::GetModuleFileNameA(module, b, n); },
                     path);
  }

  int64_t NowSeconds() override { return static_cast<int64_t>(std::time(nullptr)); }

  // The runtime converts only times from 1970 to 3000; outside them the
  // answer is all zeros (month 0), which callers treat as no date.
  CivilTime LocalTime(int64_t seconds) override {
    time_t t = static_cast<time_t>(seconds);
    struct tm tm = {};
    if (::localtime_s(&tm, &t) != 0) return CivilTime{};
    CivilTime c;
    c.year = tm.tm_year + 1900;
    c.month = tm.tm_mon + 1;
    c.day = tm.tm_mday;
    c.hour = tm.tm_hour;
    c.minute = tm.tm_min;
    c.second = tm.tm_sec;
    return c;
  }

  CivilTime UtcNow() override {
    SYSTEMTIME st;
    ::GetSystemTime(&st);
    CivilTime c;
    c.year = st.wYear;
    c.month = st.wMonth;
    c.day = st.wDay;
    c.hour = st.wHour;
    c.minute = st.wMinute;
    c.second = st.wSecond;
    c.millisecond = st.wMilliseconds;
    return c;
  }

  Status OpenLibrary(const std::string& path, std::unique_ptr<Library>* library) override {
    library->reset();
    HMODULE module = ::LoadLibraryA(path.c_str());
    if (module == nullptr) {
      // Named like the POSIX loader's own texts, which name the file.
      DWORD code = ::GetLastError();
      std::string text;
      if (!TextOf(code, &text) || text.empty()) text = "error " + std::to_string(code);
      return Status::Failure(code, path + ": " + text);
    }
    *library = std::make_unique<WindowsLibrary>(module);
    return Status();
  }

  // Through the C runtime's own starter, which readies its per-thread
  // state for the body.
  Status StartThread(std::function<void()> body, std::unique_ptr<Thread>* thread) override {
    thread->reset();
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    uintptr_t handle = ::_beginthreadex(nullptr, 0, RunThreadBody, owned.get(), 0, nullptr);
    if (handle == 0) return Failure(static_cast<DWORD>(_doserrno));
    (void)owned.release();  // the thread's now
    *thread = std::make_unique<WindowsThread>(reinterpret_cast<HANDLE>(handle));
    return Status();
  }

  uint32_t ProcessorCount() override {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) && process != 0) {
      uint32_t count = 0;
      for (; process != 0; process &= process - 1) ++count;
      return count;
    }
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
  }

  uint32_t ThreadErrorCode() override { return ::GetLastError(); }

  bool ErrorMessage(uint32_t code, std::string* text) override { return TextOf(code, text); }

  bool LooksLikeUtf16(const void* bytes, size_t size) override {
    if (size < 2) return false;
    int tests = IS_TEXT_UNICODE_STATISTICS;
    int measured = static_cast<int>(std::min<size_t>(size, 0x7FFFFFFE));
    return ::IsTextUnicode(bytes, measured, &tests) != FALSE;
  }

  std::string NarrowFromUtf16(const uint16_t* text, size_t units) override {
    // A lone surrogate becomes '?' before conversion, so that every code
    // page treats it alike; UTF-8 would make it U+FFFD.
    std::wstring wide;
    wide.reserve(units);
    for (size_t i = 0; i < units; ++i) {
      uint16_t unit = text[i];
      if (IsHighSurrogate(unit) && i + 1 < units && IsLowSurrogate(text[i + 1])) {
        wide += static_cast<wchar_t>(unit);
        wide += static_cast<wchar_t>(text[++i]);
      } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
        wide += L'?';
      } else {
        wide += static_cast<wchar_t>(unit);
      }
    }
    // Without WC_NO_BEST_FIT_CHARS a character missing from the code page
    // comes out as a look-alike ('A' for a macron A, a plain slash for a
    // fraction slash) instead of '?'. UTF-8, which newer systems allow as
    // the ANSI code page, holds every character and takes neither that flag
    // nor a default character.
    bool utf8 = ::GetACP() == CP_UTF8;
    DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const char* unknown = utf8 ? nullptr : "?";
    std::string out;
    size_t start = 0;
    while (start < wide.size()) {
      size_t piece = std::min(wide.size() - start, kMaxConvertedUnits);
      if (start + piece < wide.size() && IsHighSurrogate(wide[start + piece - 1])) --piece;
      const wchar_t* from = wide.data() + start;
      int count = static_cast<int>(piece);
      int needed = ::WideCharToMultiByte(CP_ACP, flags, from, count, nullptr, 0, unknown, nullptr);
      size_t before = out.size();
      bool converted = false;
      if (needed > 0) {
        out.resize(before + static_cast<size_t>(needed));
        converted = ::WideCharToMultiByte(CP_ACP, flags, from, count, out.data() + before,
                                          needed, unknown, nullptr) == needed;
      }
      // What cannot be converted at all is as unknown as a missing character.
      if (!converted) out.replace(before, std::string::npos, piece, '?');
      start += piece;
    }
    return out;
  }

  // Equal volume serial and 64-bit file index. On file systems with 128-bit
  // file ids two files could share the lower half; the engine asks this to
  // keep its log away from the source, where a false "same" only makes it
  // more careful.
  bool SameFile(const std::string& a, const std::string& b) override {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (!IdentityOf(a, &ia) || !IdentityOf(b, &ib)) return false;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
  }
};

}  // namespace

namespace internal {

static_assert(sizeof(WindowsEnv) <= kPlatformEnvRoom);
static_assert(alignof(WindowsEnv) <= alignof(std::max_align_t));

Env* BuildPlatformEnv(void* room) { return new (room) WindowsEnv; }

}  // namespace internal

}  // namespace kest::platform
