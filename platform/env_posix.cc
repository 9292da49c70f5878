// Env over POSIX calls.
//
// Queries without a POSIX counterpart (the machine folders) answer false,
// so the lines that would show them are left out of the log.
// The narrow code page is the character set of the process locale: UTF-8,
// Latin-1, or plain ASCII otherwise (the "C" locale a library gets unless
// its host chooses one).
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/buffered_file.h"
#include "platform/env.h"
#include "platform/env_internal.h"
#include "platform/path.h"

namespace kest::platform {

namespace {

bool TextOf(int code, std::string* text) {
  char buffer[1024];
  // The GNU strerror_r returns the text, which may or may not sit in buffer.
  const char* message = ::strerror_r(code, buffer, sizeof buffer);
  if (message == nullptr || *message == '\0') return false;
  *text = message;
  return true;
}

Status Failure(int code) {
  std::string text;
  if (!TextOf(code, &text)) text.clear();
  return Status::Failure(static_cast<uint32_t>(code), std::move(text));
}

Status LastFailure() { return Failure(errno); }

Status Outcome(bool done) { return done ? Status() : LastFailure(); }

// Where WriteWhole writes when it is given no offset: at the end of a file
// opened for appending.
constexpr int64_t kAtTheEnd = -1;

// Writes all `count` bytes at `offset` (or at the end), going on after
// interrupted and short writes; a write that takes nothing is a full disk.
Status WriteWhole(int fd, const void* data, size_t count, int64_t offset) {
  const char* in = static_cast<const char*>(data);
  size_t done = 0;
  while (done < count) {
    ssize_t put = offset == kAtTheEnd
                      ? ::write(fd, in + done, count - done)
                      : ::pwrite(fd, in + done, count - done, static_cast<off_t>(offset + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      return LastFailure();
    }
    if (put == 0) return Failure(ENOSPC);
    done += static_cast<size_t>(put);
  }
  return Status();
}

class PosixReadableFile final : public ReadableFile {
 public:
  PosixReadableFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~PosixReadableFile() override { ::close(fd_); }

  uint64_t Size() const override { return size_; }

  Status ReadAt(uint64_t offset, void* buffer, size_t count, size_t* got) override {
    char* out = static_cast<char*>(buffer);
    size_t& done = *got;
    done = 0;
    while (done < count) {
      ssize_t read = ::pread(fd_, out + done, count - done,
                             static_cast<off_t>(offset + done));
      if (read < 0) {
        if (errno == EINTR) continue;
        return LastFailure();
      }
      if (read == 0) break;
      done += static_cast<size_t>(read);
    }
    return Status();
  }

 private:
  int fd_;
  uint64_t size_;
};

class PosixWritableFile final : public WritableFile {
 public:
  explicit PosixWritableFile(int fd) : fd_(fd) {}
  ~PosixWritableFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Status Append(const void* data, size_t count) override {
    Status status = WriteAt(position_, data, count);
    if (status) position_ += count;
    if (status && position_ - writtenBack_ >= kWritebackStretch) StartWriteback();
    return status;
  }

  Status WriteAt(uint64_t offset, const void* data, size_t count) override {
    if (fd_ < 0) return Failure(EBADF);
    return WriteWhole(fd_, data, count, static_cast<int64_t>(offset));
  }

  uint64_t Position() const override { return position_; }

  Status Sync() override {
    if (fd_ < 0) return Failure(EBADF);
    return Outcome(::fdatasync(fd_) == 0);
  }

  Status Close() override {
    if (fd_ < 0) return Failure(EBADF);
    int rc = ::close(fd_);
    fd_ = -1;
    return Outcome(rc == 0);
  }

 private:
  // Asks the system to start putting the bytes appended since the last
  // call on the disk, without waiting: the disk works while the run goes
  // on, and Sync finds less left to wait for. Only advice: a failure to
  // write them is reported by Sync all the same.
  void StartWriteback() {
#ifdef __linux__
    ::sync_file_range(fd_, static_cast<off_t>(writtenBack_),
                      static_cast<off_t>(position_ - writtenBack_), SYNC_FILE_RANGE_WRITE);
#endif
    writtenBack_ = position_;
  }

  static constexpr uint64_t kWritebackStretch = uint64_t{8} << 20;

  int fd_;
  uint64_t position_ = 0;
  uint64_t writtenBack_ = 0;  // the appended bytes handed to StartWriteback
};

class PosixAppendingFile final : public AppendingFile {
 public:
  explicit PosixAppendingFile(int fd) : fd_(fd) {}
  ~PosixAppendingFile() override { ::close(fd_); }

  Status Append(const void* data, size_t count) override {
    return WriteWhole(fd_, data, count, kAtTheEnd);
  }

 private:
  int fd_;
};

class PosixLibrary final : public Library {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  ~PosixLibrary() override { ::dlclose(handle_); }
  void* Symbol(const char* name) override { return ::dlsym(handle_, name); }

 private:
  void* handle_;
};

EntryKind KindFromMode(mode_t mode) {
  if (S_ISLNK(mode)) return EntryKind::kLink;
  if (S_ISDIR(mode)) return EntryKind::kFolder;
  if (S_ISREG(mode)) return EntryKind::kFile;
  return EntryKind::kOther;
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

class PosixThread final : public Thread {
 public:
  explicit PosixThread(pthread_t handle) : handle_(handle) {}
  ~PosixThread() override { Join(); }
  void Join() override {
    if (joinable_) ::pthread_join(handle_, nullptr);
    joinable_ = false;
  }

 private:
  pthread_t handle_;
  bool joinable_ = true;
};

void* RunThreadBody(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

class PosixEnv final : public Env {
 public:
  Status OpenReadOnly(const std::string& path, std::unique_ptr<ReadableFile>* file) override {
    file->reset();
    // Without O_NONBLOCK, opening a FIFO would wait for a writer forever;
    // on a regular file the flag changes nothing.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return LastFailure();
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      Status failed = LastFailure();
      ::close(fd);
      return failed;
    }
    // Only regular files have a size to read by; folders, FIFOs and
    // devices are refused like a missing file.
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      return Failure(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    }
    *file = NewReadAheadFile(
        std::make_unique<PosixReadableFile>(fd, static_cast<uint64_t>(st.st_size)));
    return Status();
  }

  Status CreateNew(const std::string& path, std::unique_ptr<WritableFile>* file) override {
    file->reset();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return LastFailure();
    *file = NewBufferedWritableFile(std::make_unique<PosixWritableFile>(fd));
    return Status();
  }

  // Opened for reading as well, so that a file the user may write but not
  // read is refused as a log, as a stream opened in "a+" mode would be.
  Status OpenAppending(const std::string& path, std::unique_ptr<AppendingFile>* file) override {
    file->reset();
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return LastFailure();
    *file = std::make_unique<PosixAppendingFile>(fd);
    return Status();
  }

  Status RemoveFile(const std::string& path) override {
    return Outcome(::unlink(path.c_str()) == 0);
  }

  Status RenameNoReplace(const std::string& from, const std::string& to) override {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
      return Status();
    }
    // Older kernels and some file systems do not know the flag.
    if (errno != EINVAL && errno != ENOSYS) return LastFailure();
    if (::link(from.c_str(), to.c_str()) != 0) return LastFailure();
    if (::unlink(from.c_str()) != 0) {
      Status failed = LastFailure();
      ::unlink(to.c_str());  // the file keeps its old name only
      return failed;
    }
    return Status();
  }

  Status CreateFolder(const std::string& path) override {
    return Outcome(::mkdir(path.c_str(), 0777) == 0);
  }

  Status CreatePrivateFolder(const std::string& path) override {
    return Outcome(::mkdir(path.c_str(), 0700) == 0);
  }

  Status RemoveFolder(const std::string& path) override {
    return Outcome(::rmdir(path.c_str()) == 0);
  }

  Status SyncFolder(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return LastFailure();
    Status status = Outcome(::fsync(fd) == 0);
    ::close(fd);
    return status;
  }

  EntryKind KindOf(const std::string& path) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      // ENOTDIR: a part of the path is a file, so nothing can stand below it.
      return errno == ENOENT || errno == ENOTDIR ? EntryKind::kMissing : EntryKind::kUnknown;
    }
    return KindFromMode(st.st_mode);
  }

  bool IsOwnFolder(const std::string& path) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
  }

  Status ListFolder(const std::string& folder, const std::string& pattern,
                    std::vector<DirEntry>* entries) override {
    entries->clear();
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return LastFailure();
    for (;;) {
      errno = 0;
      struct dirent* ent = ::readdir(dir);
      if (ent == nullptr) break;
      std::string name = ent->d_name;
      if (name == "." || name == "..") continue;
      if (!WildcardMatch(pattern, name)) continue;
      DirEntry entry;
      entry.name = name;
      entry.kind = KindOf(InFolder(folder, name));
      entries->push_back(std::move(entry));
    }
    // A listing cut short by an error is not passed off as the whole folder.
    Status status = Outcome(errno == 0);
    ::closedir(dir);
    return status;
  }

  bool GetVariable(const char* name, std::string* value) override {
    const char* v = std::getenv(name);
    if (v == nullptr) return false;
    *value = v;
    return true;
  }

  bool TempPath(std::string* path) override {
    std::string root;
    if (!GetVariable("TMPDIR", &root) || root.empty()) root = "/tmp";
    if (root.back() != '/') root += '/';
    *path = root;
    return true;
  }

  bool CurrentFolder(std::string* path) override {
    char buffer[4096];
    if (::getcwd(buffer, sizeof buffer) == nullptr) return false;
    *path = buffer;
    return true;
  }

  bool MachineFolderPath(MachineFolder, std::string*) override { return false; }

  bool ComputerName(std::string* name) override {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) return false;
    *name = buffer;
    return true;
  }

  uint32_t ProcessId() override { return static_cast<uint32_t>(::getpid()); }

  bool ExecutablePath(std::string* path) override {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return false;
    *path = std::string(buffer, static_cast<size_t>(n));
    return true;
  }

  bool ModulePath(const void* address, std::string* path) override {
    Dl_info info;
    if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return false;
    *path = info.dli_fname;
    return true;
  }

  int64_t NowSeconds() override { return static_cast<int64_t>(std::time(nullptr)); }

  CivilTime LocalTime(int64_t seconds) override {
    time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    ::localtime_r(&t, &tm);
    return FromTm(tm, 0);
  }

  CivilTime UtcNow() override {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    ::gmtime_r(&ts.tv_sec, &tm);
    return FromTm(tm, static_cast<int>(ts.tv_nsec / 1000000));
  }

  // The loader reports its failures as a text of its own, with no code;
  // the Status carries that text under ENOENT.
  Status OpenLibrary(const std::string& path, std::unique_ptr<Library>* library) override {
    library->reset();
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      return Status::Failure(ENOENT, why != nullptr ? why : "");
    }
    *library = std::make_unique<PosixLibrary>(handle);
    return Status();
  }

  Status StartThread(std::function<void()> body, std::unique_ptr<Thread>* thread) override {
    thread->reset();
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_t handle;
    int failed = ::pthread_create(&handle, nullptr, RunThreadBody, owned.get());
    if (failed != 0) return Failure(failed);
    (void)owned.release();  // the thread's now
    *thread = std::make_unique<PosixThread>(handle);
    return Status();
  }

  // The processors this process may run on, which a container or a
  // taskset may hold below those the machine has.
  uint32_t ProcessorCount() override {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
      return static_cast<uint32_t>(CPU_COUNT(&set));
    }
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<uint32_t>(online) : 0;
  }

  uint32_t ThreadErrorCode() override { return static_cast<uint32_t>(errno); }

  bool ErrorMessage(uint32_t code, std::string* text) override {
    return TextOf(static_cast<int>(code), text);
  }

  bool LooksLikeUtf16(const void* bytes, size_t size) override {
    const auto* b = static_cast<const unsigned char*>(bytes);
    if (size < 2 || size % 2 != 0) return false;
    if (b[0] == 0xFF && b[1] == 0xFE) return true;
    // Little-endian UTF-16 of one script repeats its high byte (0 for
    // Latin, 4 for Cyrillic, ...) while its low bytes vary; narrow text
    // shows no such stride and holds no NUL before its end.
    size_t units = size / 2;
    size_t counts[256] = {};
    size_t nulUnits = 0, nulBytes = 0;
    for (size_t i = 0; i < units; ++i) {
      if (b[2 * i] == 0 && b[2 * i + 1] == 0) {
        ++nulUnits;
        continue;
      }
      ++counts[b[2 * i + 1]];
      if (b[2 * i] == 0 || b[2 * i + 1] == 0) ++nulBytes;
    }
    size_t text = units - nulUnits;
    if (text == 0 || nulBytes == 0) return false;
    size_t common = 0;
    for (size_t c : counts) common = c > common ? c : common;
    return common * 4 >= text * 3;
  }

  std::string NarrowFromUtf16(const uint16_t* text, size_t units) override {
    const char* codeset = ::nl_langinfo(CODESET);
    bool utf8 = codeset != nullptr && (std::strcmp(codeset, "UTF-8") == 0 ||
                                       std::strcmp(codeset, "utf8") == 0);
    bool latin1 = codeset != nullptr && std::strcmp(codeset, "ISO-8859-1") == 0;
    std::string out;
    for (size_t i = 0; i < units; ++i) {
      uint32_t cp = text[i];
      if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units && text[i + 1] >= 0xDC00 &&
          text[i + 1] < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else if (cp >= 0xD800 && cp < 0xE000) {
        out += '?';
        continue;
      }
      if (utf8) {
        AppendUtf8(cp, &out);
      } else if (cp < 0x80 || (latin1 && cp < 0x100)) {
        out += static_cast<char>(cp);
      } else {
        out += '?';
      }
    }
    return out;
  }

  bool SameFile(const std::string& a, const std::string& b) override {
    struct stat sa, sb;
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }

 private:
  static CivilTime FromTm(const struct tm& tm, int millisecond) {
    CivilTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.millisecond = millisecond;
    return t;
  }
};

}  // namespace

namespace internal {

static_assert(sizeof(PosixEnv) <= kPlatformEnvRoom);
static_assert(alignof(PosixEnv) <= alignof(std::max_align_t));

Env* BuildPlatformEnv(void* room) { return new (room) PosixEnv; }

}  // namespace internal

}  // namespace kest::platform
