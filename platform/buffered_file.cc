#include "platform/buffered_file.h"

#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace kest::platform {

namespace {

// ENOMEM on POSIX, ERROR_NOT_ENOUGH_MEMORY on Windows: a block that cannot
// be had is reported as the system would report it.
#ifdef _WIN32
constexpr uint32_t kNoMemoryCode = 8;
#else
constexpr uint32_t kNoMemoryCode = 12;
#endif

Status NoMemory() {
  std::string text;
  if (!Env::Default()->ErrorMessage(kNoMemoryCode, &text)) text.clear();
  return Status::Failure(kNoMemoryCode, std::move(text));
}

std::unique_ptr<char[]> NewBlock(size_t size) {
  return std::unique_ptr<char[]>(new (std::nothrow) char[size]);
}

class ReadAheadFile final : public ReadableFile {
 public:
  ReadAheadFile(std::unique_ptr<ReadableFile> file, size_t blockSize)
      : file_(std::move(file)), blockSize_(blockSize) {}

  uint64_t Size() const override { return file_->Size(); }

  Status ReadAt(uint64_t offset, void* buffer, size_t count, size_t* got) override {
    // Starting over means reading again, and reading again means from the
    // file. A look back into the block is a scan that peeked ahead.
    if (offset <= blockStart_) blockLength_ = 0;
    // Nearly every read of a scan lies wholly inside the block.
    if (offset - blockStart_ < blockLength_ && count <= blockLength_ - (offset - blockStart_)) {
      std::memcpy(buffer, block_.get() + (offset - blockStart_), count);
      *got = count;
      return Status();
    }
    return ReadThrough(offset, buffer, count, got);
  }

  // The bytes ReadAt's fast path would copy.
  const void* Peek(uint64_t offset, size_t count) override {
    if (offset > blockStart_ && offset - blockStart_ < blockLength_ &&
        count <= blockLength_ - (offset - blockStart_)) {
      return block_.get() + (offset - blockStart_);
    }
    return nullptr;
  }

 private:
  // A read that does not lie wholly inside the block: what the block holds
  // of it, the rest from the file, the block filled afresh on the way. Kept
  // apart, so that a read inside the block saves nothing a refill needs.
  [[gnu::noinline]] Status ReadThrough(uint64_t offset, void* buffer, size_t count, size_t* got) {
    char* out = static_cast<char*>(buffer);
    size_t& done = *got;
    done = 0;
    while (done < count) {
      uint64_t at = offset + done;
      if (blockLength_ != 0 && at >= blockStart_ && at < blockStart_ + blockLength_) {
        size_t inBlock = static_cast<size_t>(blockStart_ + blockLength_ - at);
        size_t n = count - done < inBlock ? count - done : inBlock;
        std::memcpy(out + done, block_.get() + (at - blockStart_), n);
        done += n;
        continue;
      }
      if (count - done >= blockSize_) {
        size_t direct = 0;
        Status status = file_->ReadAt(at, out + done, count - done, &direct);
        done += direct;
        return status;
      }
      if (block_ == nullptr) {
        block_ = NewBlock(blockSize_);
        if (block_ == nullptr) return NoMemory();
      }
      blockLength_ = 0;
      size_t filled = 0;
      Status status = file_->ReadAt(at, block_.get(), blockSize_, &filled);
      if (!status) {
        // What arrived before the failure is the caller's, as without the block.
        size_t n = count - done < filled ? count - done : filled;
        std::memcpy(out + done, block_.get(), n);
        done += n;
        return status;
      }
      blockStart_ = at;
      blockLength_ = filled;
      if (filled == 0) break;  // the end of the file
    }
    return Status();
  }

  std::unique_ptr<ReadableFile> file_;
  size_t blockSize_;
  std::unique_ptr<char[]> block_;
  uint64_t blockStart_ = 0;
  size_t blockLength_ = 0;
};

class BufferedWritableFile final : public WritableFile {
 public:
  BufferedWritableFile(std::unique_ptr<WritableFile> file, size_t blockSize)
      : file_(std::move(file)), blockSize_(blockSize) {}
  ~BufferedWritableFile() override { Drain(); }

  Status Append(const void* data, size_t count) override {
    // An empty value may come as a null pointer: there is nothing to copy.
    if (count == 0) return failure_;
    // Nearly every append of a pass fits the block as it stands.
    if (failure_.ok() && block_ != nullptr && count < blockSize_ && buffered_ + count <= blockSize_) {
      std::memcpy(block_.get() + buffered_, data, count);
      buffered_ += count;
      return Status();
    }
    return AppendThrough(data, count);
  }

  Status WriteAt(uint64_t offset, const void* data, size_t count) override {
    if (!Drain()) return failure_;
    return Keep(file_->WriteAt(offset, data, count));
  }

  uint64_t Position() const override { return file_->Position() + buffered_; }

  Status Sync() override {
    if (!Drain()) return failure_;
    return Keep(file_->Sync());
  }

  Status Close() override {
    bool drained = Drain();
    Status closed = file_->Close();
    if (!drained) return failure_;
    return Keep(std::move(closed));
  }

 private:
  // An append that does not fit the block as it stands (or meets a failed
  // file): the block drained first, a large one written directly.
  [[gnu::noinline]] Status AppendThrough(const void* data, size_t count) {
    if (!failure_) return failure_;
    if (buffered_ + count > blockSize_ && !Drain()) return failure_;
    if (count >= blockSize_) return Keep(file_->Append(data, count));
    if (block_ == nullptr) {
      block_ = NewBlock(blockSize_);
      if (block_ == nullptr) return Keep(NoMemory());
    }
    std::memcpy(block_.get() + buffered_, data, count);
    buffered_ += count;
    return Status();
  }

  // Hands the block to the file; false (with failure_ set) when it or an
  // earlier call failed. A block that failed is dropped: its bytes are not
  // offered twice.
  bool Drain() {
    if (!failure_) return false;
    if (buffered_ == 0) return true;
    size_t count = buffered_;
    buffered_ = 0;
    return Keep(file_->Append(block_.get(), count)).ok();
  }

  Status Keep(Status status) {
    if (!status && failure_) failure_ = status;
    return status;
  }

  std::unique_ptr<WritableFile> file_;
  size_t blockSize_;
  std::unique_ptr<char[]> block_;
  size_t buffered_ = 0;
  Status failure_;  // success until the file first fails
};

}  // namespace

std::unique_ptr<ReadableFile> NewReadAheadFile(std::unique_ptr<ReadableFile> file,
                                               size_t blockSize) {
  return std::make_unique<ReadAheadFile>(std::move(file), blockSize);
}

std::unique_ptr<WritableFile> NewBufferedWritableFile(std::unique_ptr<WritableFile> file,
                                                      size_t blockSize) {
  return std::make_unique<BufferedWritableFile>(std::move(file), blockSize);
}

}  // namespace kest::platform
