#include "Common/logger/llfile.h"

#include <new>
#include <string>

#include "Common/logger/logger.h"
#include "Common/raised_code.h"

namespace kest {

LLFile::LLFile(const char* path, platform::Env* env) {
  // The source path in the report is fixed as it is, not this file's own:
  // readers of the log look for that text.
  Log().CheckStringPtr(path,
                       "A.F. String invalid [name] File "
                       "[D:\\SVN_Source\\Common\\logger\\logger] Line ",
                       1115);
  Log().InfoString("LLFile: File to open:", path);
  if (path == nullptr) Raise(kCannotOpen);
  if (platform::Status opened = env->OpenReadOnly(path, &file_); !opened) {
    Raise(kCannotOpen, opened.text());
  }
  name_ = path;
  Log().Info("File opened.");
  size_ = file_->Size();
}

LLFile::~LLFile() = default;

uint32_t LLFile::GetSize() {
  if (Needs64Bits(size_)) {
    Log().Error("LLFile: error: 32 bit function used to access >2GB file");
    Raise(kNeeds64Bits);
  }
  return static_cast<uint32_t>(size_);
}

void LLFile::Seek(uint32_t position) {
  if (Needs64Bits(size_)) {
    Log().Error("LLFile: error: 32 bit function used to access >2GB file");
    Raise(kNeeds64Bits);
  }
  if (!file_) {
    Log().Error("LLFile: cannot do Seek because file is not opened");
    Raise(kNotOpen);
  }
  position_ = position;
}

size_t LLFile::Read(uint32_t count, void* buffer) {
  if (!file_) {
    Log().Error("File not opened");
    Raise(kNotOpen);
  }
  size_t got = 0;
  platform::Status read = file_->ReadAt(position_, buffer, count, &got);
  if (!read) ReadFailed(read);
  position_ += got;
  return got;
}

void LLFile::ReadFailed(const platform::Status& read) {
  // Taken for the end of the file, a failing disk would pass a table cut
  // short for a whole one.
  std::string why = read.text().empty() ? "error " + std::to_string(read.code()) : read.text();
  Log().ErrorString("LLFile: read failed:", why.c_str());
  Raise(kReadFailed, read.text());
}

size_t LLFile::SeekThenRead(uint32_t position, uint32_t count, void* buffer) {
  if (Needs64Bits(size_)) Raise(kNeeds64Bits);
  Seek(position);
  return Read(count, buffer);
}

std::unique_ptr<uint8_t[]> LLFile::ReadAlloc(uint32_t position, uint32_t count) {
  if (Needs64Bits(size_)) Raise(kNeeds64Bits);
  Seek(position);
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[count]());
  if (!buffer) Raise(kNoMemory);
  Read(count, buffer.get());
  return buffer;
}

void releaseTableFile(std::unique_ptr<LLFile>& file) {
  try {
    file.reset();
  } catch (const RaisedCode& raised) {
    Log().ErrorNumber("Failed to delete LLFile* f, error", raised.code);
  } catch (...) {
    Log().Error("Failed to delete LLFile* f, error code unavailable");
  }
  file.reset();
}

}  // namespace kest
