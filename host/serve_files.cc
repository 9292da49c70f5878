#include "host/serve_files.h"

#include <array>
#include <cstring>

namespace kest::host {
namespace {

using platform::Status;

// EFBIG: what the system says of a file too large for its format.
constexpr uint32_t kTooLargeCode = 27;

constexpr std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

void put16(std::string* out, uint32_t value) {
  out->push_back(static_cast<char>(value & 0xFF));
  out->push_back(static_cast<char>((value >> 8) & 0xFF));
}
void put32(std::string* out, uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
// Offset of the CRC within a local header: signature, version, flags,
// method, time, date come first.
constexpr uint64_t kLocalCrcOffset = 14;
// Version 2.0 (what stored entries need); bit 11 of the flags: names in UTF-8.
constexpr uint32_t kZipVersion = 20;
constexpr uint32_t kUtf8Names = 0x0800;
constexpr uint64_t kZipLimit = 0xFFFFFFFFull;

struct Written {
  std::string name;
  uint32_t crc = 0;
  uint32_t size = 0;
  uint32_t offset = 0;
};

std::string localHeader(const std::string& name, uint16_t time, uint16_t date) {
  std::string h;
  put32(&h, kLocalHeaderSignature);
  put16(&h, kZipVersion);
  put16(&h, kUtf8Names);
  put16(&h, 0);  // stored
  put16(&h, time);
  put16(&h, date);
  put32(&h, 0);  // CRC, compressed and plain size: filled in once known
  put32(&h, 0);
  put32(&h, 0);
  put16(&h, static_cast<uint32_t>(name.size()));
  put16(&h, 0);
  return h + name;
}

std::string centralDirectory(const std::vector<Written>& written, uint16_t time, uint16_t date,
                             uint32_t directoryOffset) {
  std::string d;
  for (const Written& w : written) {
    put32(&d, kCentralHeaderSignature);
    put16(&d, kZipVersion);
    put16(&d, kZipVersion);
    put16(&d, kUtf8Names);
    put16(&d, 0);
    put16(&d, time);
    put16(&d, date);
    put32(&d, w.crc);
    put32(&d, w.size);
    put32(&d, w.size);
    put16(&d, static_cast<uint32_t>(w.name.size()));
    put16(&d, 0);  // extra field, comment, disk number
    put16(&d, 0);
    put16(&d, 0);
    put16(&d, 0);  // internal and external attributes
    put32(&d, 0);
    put32(&d, w.offset);
    d += w.name;
  }
  std::string end;
  put32(&end, kEndSignature);
  put16(&end, 0);
  put16(&end, 0);
  put16(&end, static_cast<uint32_t>(written.size()));
  put16(&end, static_cast<uint32_t>(written.size()));
  put32(&end, static_cast<uint32_t>(d.size()));
  put32(&end, directoryOffset);
  put16(&end, 0);
  return d + end;
}

Status tooLargeForZip(const std::string& what) {
  return Status::Failure(kTooLargeCode, what + " is too large for a zip archive (4 GiB)");
}

// Appends one entry, its CRC filled into its local header afterwards.
Status appendEntry(platform::Env* env, platform::WritableFile* zip, const ZipEntry& entry,
                   uint16_t time, uint16_t date, Written* written) {
  std::unique_ptr<platform::ReadableFile> source;
  if (Status s = env->OpenReadOnly(entry.path, &source); !s) return s;
  if (source->Size() > kZipLimit) return tooLargeForZip(entry.name);
  written->name = entry.name;
  uint64_t headerAt = zip->Position();
  if (headerAt > kZipLimit) return tooLargeForZip("the archive");
  written->offset = static_cast<uint32_t>(headerAt);
  std::string header = localHeader(entry.name, time, date);
  if (Status s = zip->Append(header.data(), header.size()); !s) return s;
  std::vector<char> buffer(1 << 20);
  uint64_t offset = 0;
  uint32_t crc = 0;
  for (;;) {
    size_t got = 0;
    if (Status s = source->ReadAt(offset, buffer.data(), buffer.size(), &got); !s) return s;
    if (got == 0) break;
    crc = zipCrc32(buffer.data(), got, crc);
    if (Status s = zip->Append(buffer.data(), got); !s) return s;
    offset += got;
  }
  // The file was read as it stood when opened; a size that moved since
  // would leave the sizes below untrue.
  if (offset != source->Size()) return Status::Failure(5, entry.path + " changed while read");
  written->crc = crc;
  written->size = static_cast<uint32_t>(offset);
  std::string sizes;
  put32(&sizes, crc);
  put32(&sizes, written->size);
  put32(&sizes, written->size);
  return zip->WriteAt(headerAt + kLocalCrcOffset, sizes.data(), sizes.size());
}

}  // namespace

std::optional<std::string> uploadLabel(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.size() > 255) return std::nullopt;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':') return std::nullopt;
  }
  return name;
}

std::string labelExtension(const std::string& label) {
  size_t dot = label.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  std::string ext = label.substr(dot + 1);
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return ext;
}

std::string downloadName(const std::string& label, const std::string& fallback) {
  std::string name;
  size_t dot = label.rfind('.');
  for (size_t i = 0; i < label.size(); ++i) {
    char c = label[i];
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '_';
    name.push_back(plain || (c == '.' && i == dot && i != 0) ? c : '_');
  }
  if (name.find_first_not_of("_.") == std::string::npos) return fallback;
  return name;
}

uint32_t zipCrc32(const void* data, size_t size, uint32_t crc) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = kCrcTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

UploadFile::UploadFile(platform::Env* env, std::string path, uint64_t limit)
    : env_(env), path_(std::move(path)), limit_(limit) {}

UploadFile::~UploadFile() {
  if (!finished_) Discard();
}

Status UploadFile::Open() {
  failure_ = env_->CreateNew(path_, &file_);
  return failure_;
}

bool UploadFile::Append(const char* data, size_t size) {
  if (!file_ || !failure_ || tooLarge_) return false;
  if (size > limit_ - size_) {
    tooLarge_ = true;
    Discard();
    return false;
  }
  failure_ = file_->Append(data, size);
  if (!failure_) {
    Discard();
    return false;
  }
  size_ += size;
  return true;
}

Status UploadFile::Finish() {
  if (tooLarge_) return Status::Failure(kTooLargeCode, "the upload is larger than its limit");
  if (!failure_) return failure_;
  if (!file_) return Status::Failure(5, "the upload file was never opened");
  failure_ = file_->Close();
  file_.reset();
  if (!failure_) env_->RemoveFile(path_);
  finished_ = true;
  return failure_;
}

void UploadFile::Discard() {
  if (file_) {
    file_->Close();
    file_.reset();
  }
  env_->RemoveFile(path_);
  finished_ = true;
}

Status writeStoredZip(platform::Env* env, const std::string& zipPath,
                      const std::vector<ZipEntry>& entries, uint16_t dosTime, uint16_t dosDate) {
  std::unique_ptr<platform::WritableFile> zip;
  if (Status s = env->CreateNew(zipPath, &zip); !s) return s;
  std::vector<Written> written(entries.size());
  Status status;
  for (size_t i = 0; i < entries.size() && status; ++i) {
    status = appendEntry(env, zip.get(), entries[i], dosTime, dosDate, &written[i]);
  }
  if (status && zip->Position() > kZipLimit) status = tooLargeForZip("the archive");
  if (status) {
    std::string directory =
        centralDirectory(written, dosTime, dosDate, static_cast<uint32_t>(zip->Position()));
    status = zip->Append(directory.data(), directory.size());
  }
  if (status && zip->Position() > kZipLimit) status = tooLargeForZip("the archive");
  Status closed = zip->Close();
  if (status) status = closed;
  if (!status) env->RemoveFile(zipPath);
  return status;
}

}  // namespace kest::host
