// Read-only access to a damaged table or its memo companion.
//
// An LLFile opens an existing file for reading (others may read it too),
// takes its size once, and serves reads at 32-bit offsets. It never writes:
// the engine only reads the files it is asked to rescue. Files of 4 GiB or
// more are opened but every positioned access to them is refused.
//
// Every failure is logged and raised as RaisedCode with one of the
// LLFileError codes below; an open or a read the system refuses carries
// the system's words with it. Reads are not failures when they come up short
// at the end of the file: the caller learns how many bytes arrived. A read
// that the system refuses is a failure, never taken for the end of the file.
//
// An LLFile belongs to one thread at a time.
#ifndef KEST_COMMON_LOGGER_LLFILE_H_
#define KEST_COMMON_LOGGER_LLFILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/env.h"

namespace kest {

enum LLFileError : int {
  kCannotOpen = 2,       // the file cannot be opened
  kSeekFailed = 3,       // the seek did not reach the requested position
  kReadFailed = 4,       // the system refused a read
  kNeeds64Bits = 5,      // the file size needs more than 32 bits
  kNotOpen = 6,          // the file is not open
  kNoMemory = 7,         // no memory for the read buffer
};

// True for the codes an LLFile raises: the file cannot be opened,
// positioned or read. The codes 1 to 7 are theirs.
inline bool IsLLFileError(int code) { return code >= 1 && code <= 7; }

// True for a file whose size a 32-bit position cannot reach (kNeeds64Bits).
inline bool Needs64Bits(uint64_t size) { return (size >> 32) != 0; }

class LLFile {
 public:
  // Opens `path`; raises kCannotOpen when it is absent, not a file, or
  // cannot be read.
  explicit LLFile(const char* path, platform::Env* env = platform::Env::Default());
  ~LLFile();

  LLFile(const LLFile&) = delete;
  LLFile& operator=(const LLFile&) = delete;

  // The size as a 32-bit number; raises kNeeds64Bits for 4 GiB or more.
  uint32_t GetSize();
  // Moves to `position` (past the end is accepted); raises 5, 6 or 3.
  void Seek(uint32_t position);
  // Reads up to `count` bytes at the current position and moves past them.
  // Returns how many arrived; the rest of `buffer` keeps what it held.
  // Raises 6, or 4 after an ERROR line with the system's text when the
  // system refuses the read.
  size_t Read(uint32_t count, void* buffer);
  // Seek, then Read. Inline: a scan makes one for every record, and only
  // the refusals of Seek and Read (in their order) and a failed read leave
  // this line.
  size_t ReadAt(uint32_t position, uint32_t count, void* buffer) {
    if (Needs64Bits(size_) || !file_) [[unlikely]] return SeekThenRead(position, count, buffer);
    size_t got = 0;
    if (platform::Status read = file_->ReadAt(position, buffer, count, &got); !read) [[unlikely]] {
      ReadFailed(read);
    }
    position_ = uint64_t{position} + got;
    return got;
  }
  // The `count` bytes at `position` where the file holds them in memory and
  // ReadAt would copy them from there: then the position moves past them as
  // ReadAt would move it, and they stay valid until the next read. Null
  // otherwise, and nothing was read or moved: ReadAt does the rest.
  const uint8_t* Peek(uint32_t position, uint32_t count) {
    if (Needs64Bits(size_) || !file_) [[unlikely]] return nullptr;
    const void* bytes = file_->Peek(position, count);
    if (bytes != nullptr) position_ = uint64_t{position} + count;
    return static_cast<const uint8_t*>(bytes);
  }
  // Seek, then a new zero-filled buffer of `count` bytes filled by Read:
  // bytes past the end of the file read as zero.
  std::unique_ptr<uint8_t[]> ReadAlloc(uint32_t position, uint32_t count);

  // The full 64-bit size, for callers that must not be refused.
  uint64_t size64() const { return size_; }
  const std::string& name() const { return name_; }

  // Logs the system's text and raises kReadFailed: what a read the system
  // refused raises, for reads of the table made elsewhere.
  [[noreturn]] static void ReadFailed(const platform::Status& read);

 private:
  // ReadAt as Seek and Read do it, with their refusals.
  size_t SeekThenRead(uint32_t position, uint32_t count, void* buffer);

  std::string name_;
  std::unique_ptr<platform::ReadableFile> file_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
};

// Closes and releases a recovery method's table file. Called from
// destructors: a failure is logged ("Failed to delete LLFile* f, ..."),
// never raised.
void releaseTableFile(std::unique_ptr<LLFile>& file);

}  // namespace kest

#endif  // KEST_COMMON_LOGGER_LLFILE_H_
