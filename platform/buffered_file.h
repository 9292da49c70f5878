// Large-block reading and writing over the system's files.
//
// The engine reads a table record by record and writes its result the same
// way; one system call per record makes the kernel's read and write paths
// the cost of a recovery. These decorators put a block of memory between
// the two, so that the system sees a few large calls instead. Each platform
// Env hands its files out through them; they are plain code over the
// ReadableFile and WritableFile interfaces and can be put over any file.
//
// Reading (NewReadAheadFile): a read is served from the block when it lies
// inside the block and starts after the block's first byte; any other read
// fills the block afresh from the file, starting at the read's own offset.
// So a reader that starts over (a second pass from offset 0, a read at or
// before where the block began) sees the file as it is on the disk now, and
// a file that changes between two passes is seen changed by the second,
// while a scan that looks some records ahead and comes back is served from
// memory. Reads of a block or more go to the file directly. A read the file
// refuses fails as it would without the block. Peek hands out the bytes of
// a read served from the block where they lie.
//
// Writing (NewBufferedWritableFile): appended bytes gather in the block and
// go to the file when it is full and before every WriteAt, Sync and Close,
// so until then they live in this process only. The first failure of the
// file (a failed or short write) is returned by the call that met it and by
// every later call: bytes that did not arrive are never taken for written.
// Destroying the file without Close hands the block to the file first.
//
// The block (kFileBlockSize) is allocated at the first call that needs it.
// Each object belongs to one thread at a time.
#ifndef KEST_PLATFORM_BUFFERED_FILE_H_
#define KEST_PLATFORM_BUFFERED_FILE_H_

#include <cstddef>
#include <memory>

#include "platform/env.h"

namespace kest::platform {

inline constexpr size_t kFileBlockSize = size_t{1} << 20;

std::unique_ptr<ReadableFile> NewReadAheadFile(std::unique_ptr<ReadableFile> file,
                                               size_t blockSize = kFileBlockSize);
std::unique_ptr<WritableFile> NewBufferedWritableFile(std::unique_ptr<WritableFile> file,
                                                      size_t blockSize = kFileBlockSize);

}  // namespace kest::platform

#endif  // KEST_PLATFORM_BUFFERED_FILE_H_
