// The files of `dbfrecover serve`: what arrives in a request is kept, and
// what leaves as a download is made, only inside the server's private
// folder, through the platform's Env so that the failure paths can be
// driven by a test.
//
// Names that arrive with a request are labels: they choose an extension
// and what a download is called, never where anything lies on disk. Every
// file here is created new; none is ever replaced or written in place.
#ifndef KEST_HOST_SERVE_FILES_H_
#define KEST_HOST_SERVE_FILES_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"

namespace kest::host {

// A name from a request as a label: nullopt when it holds a path (a
// separator, a drive colon, a "." or ".." of its own), a control
// character or nothing, since a name that tries to be a path is refused,
// not trimmed into something the user did not send.
std::optional<std::string> uploadLabel(const std::string& name);

// The lower-case extension of a label without its dot ("dbf", "fpt"); empty
// when it has none.
std::string labelExtension(const std::string& label);

// A label as a file name every system and every zip reader takes: only
// letters, digits, '-', '_' and one '.' before the extension kept, other
// bytes become '_'; `fallback` when nothing is left.
std::string downloadName(const std::string& label, const std::string& fallback);

// One upload being written to a new file. Append as the body arrives;
// Finish closes it. A failure on the way, a body past `limit` bytes, or
// destruction before Finish removes the partial file again.
class UploadFile {
 public:
  UploadFile(platform::Env* env, std::string path, uint64_t limit);
  ~UploadFile();
  UploadFile(const UploadFile&) = delete;
  UploadFile& operator=(const UploadFile&) = delete;

  platform::Status Open();
  // False once the file failed or the limit was passed; tooLarge() says which.
  bool Append(const char* data, size_t size);
  platform::Status Finish();
  bool tooLarge() const { return tooLarge_; }
  uint64_t size() const { return size_; }
  const platform::Status& failure() const { return failure_; }

 private:
  void Discard();

  platform::Env* env_;
  std::string path_;
  uint64_t limit_;
  uint64_t size_ = 0;
  bool tooLarge_ = false;
  bool finished_ = false;
  std::unique_ptr<platform::WritableFile> file_;
  platform::Status failure_;
};

struct ZipEntry {
  std::string name;  // the name inside the archive
  std::string path;  // the file on disk
};

// Writes a new zip archive at `zipPath` holding `entries` stored (not
// compressed: tables and memo files are what the user needs whole, and
// every unzip reads stored entries), dated `dosTime`/`dosDate`. Entries and
// the archive stay under 4 GiB (no zip64); a larger one fails. On any
// failure the partial archive is removed.
platform::Status writeStoredZip(platform::Env* env, const std::string& zipPath,
                                const std::vector<ZipEntry>& entries, uint16_t dosTime = 0,
                                uint16_t dosDate = 0x21);

// The CRC-32 of zip archives (the IEEE polynomial), continued from `crc`.
uint32_t zipCrc32(const void* data, size_t size, uint32_t crc = 0);

}  // namespace kest::host

#endif  // KEST_HOST_SERVE_FILES_H_
