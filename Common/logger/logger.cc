#include "Common/logger/logger.h"

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace kest {

namespace {

const char* const kLevelNames[] = {"ALL", "DEBUG", "INFO", "ERROR", "ASSERT"};

const char* LevelName(int32_t level) {
  if (level < kLevelAll || level > kLevelAssert) return "";
  return kLevelNames[level];
}

Logger* installed = nullptr;

// Puts a text together in a buffer of `room` characters and a NUL, cutting
// what does not fit as snprintf would. A log line is made at every record
// and field; this keeps the making to a few copies.
class Composer {
 public:
  Composer(char* buffer, size_t room) : buffer_(buffer), room_(room) {}
  Composer& add(const char* text, size_t length) {
    if (length > room_ - length_) length = room_ - length_;
    std::memcpy(buffer_ + length_, text, length);
    length_ += length;
    return *this;
  }
  Composer& add(const char* text) { return add(text, std::strlen(text)); }
  Composer& addNumber(long number) {
    char digits[24];
    char* end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    return add(digits, static_cast<size_t>(end - digits));
  }
  // Ends the text with its NUL; returns its length.
  size_t finish() {
    buffer_[length_] = '\0';
    return length_;
  }

 private:
  char* buffer_;
  size_t room_;
  size_t length_ = 0;
};

// "%s [%ld]", cut at kMaxComposed.
void ComposeWithNumber(char* buffer, const char* message, int32_t number) {
  Composer(buffer, Logger::kMaxComposed)
      .add(message)
      .add(" [", 2)
      .addNumber(number)
      .add("]", 1)
      .finish();
}

}  // namespace

Logger::Logger(platform::Env* env, bool setUpWorkspace)
    : env_(env), lastStampTime_(env->NowSeconds()), workspace_(env, this) {
  SetLogFile(nullptr);
  if (setUpWorkspace) workspace_.InitTempPath();
}

// The workspace, destroyed after this body, clears itself with no log open.
Logger::~Logger() {
  log_.reset();
  logFileName_.clear();
}

void Logger::Info(const char* message) { WriteLine(kLevelInfo, message); }
void Logger::Error(const char* message) { WriteLine(kLevelError, message); }

void Logger::ErrorFormat(const char* format, ...) {
  if (format == nullptr || !IsWritingAt(kLevelError)) return;
  char buffer[kMaxFormatted + 1];
  buffer[0] = '\0';
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  Error(buffer);
}

// The thread's last error is read before anything is composed, so that it
// is what the system said before the report, not during it.
void Logger::AssertReport(bool condition, const char* message, int32_t line) {
  if (condition || message == nullptr || !IsWritingAt(kLevelAssert)) return;
  uint32_t code = env_->ThreadErrorCode();
  char buffer[kMaxComposed + 1];
  ComposeWithNumber(buffer, message, line);
  WriteLineWithCode(kLevelAssert, buffer, code);
}

void Logger::CheckStringPtr(const void* pointer, const char* message, int32_t line) {
  if (pointer == nullptr) ErrorNumber(message, line);
}

// Composition happens in a per-call buffer before the lock is taken.
void Logger::Compose(int32_t level, const char* message, const char* text) {
  if (message == nullptr) return;
  char buffer[kMaxComposed + 1];
  Composer(buffer, kMaxComposed)
      .add(message)
      .add(" [", 2)
      .add(text != nullptr ? text : "null")
      .add("]", 1)
      .finish();
  WriteLine(level, buffer);
}

void Logger::ComposeNumber(int32_t level, const char* message, int32_t number) {
  if (message == nullptr) return;
  char buffer[kMaxComposed + 1];
  ComposeWithNumber(buffer, message, number);
  WriteLine(level, buffer);
}

void Logger::BuildErrorText(uint32_t code) {
  std::string text;
  bool found = false;
  try {
    found = env_->ErrorMessage(code, &text);
  } catch (...) {
    found = false;  // no memory for the text: report it as missing
  }
  if (!found) {
    std::snprintf(errorText_, sizeof errorText_, "{0x%08x| <FormatMessage fail>}", code);
    return;
  }
  size_t length = text.size() < kMaxColumn ? text.size() : kMaxColumn;
  std::memcpy(systemMessage_, text.data(), length);
  systemMessage_[length] = '\0';
  // System texts end with a line break that would split the log line.
  systemMessage_[std::strcspn(systemMessage_, "\r\n")] = '\0';
  // The column is cut at its buffer like every other, closing brace and all.
  if (std::snprintf(errorText_, sizeof errorText_, "{0x%08x| %s}", code, systemMessage_) < 0) {
    errorText_[0] = '\0';
  }
}

int Logger::WriteLine(int32_t level, const char* message) {
  if (log_ == nullptr || !enabled_) return 0;
  WriteLineWithCode(level, message, level == kLevelAssert ? env_->ThreadErrorCode() : 0);
  return 0;
}

void Logger::WriteLineWithCode(int32_t level, const char* message, uint32_t code) {
  if (log_ == nullptr || !enabled_) return;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  errorText_[0] = '\0';
  if (!IsEnabledFor(level) || message == nullptr || log_ == nullptr) return;

  if (code != 0 && level == kLevelAssert) BuildErrorText(code);

  int64_t now = env_->NowSeconds();
  if (now - lastStampTime_ <= 1) {
    timeText_[0] = '\0';
  } else {
    lastStampTime_ = now;
    platform::CivilTime t = env_->LocalTime(now);
    std::snprintf(timeText_, sizeof timeText_, "%02d:%02d:%02d", t.hour, t.minute,
                  t.second);
  }

  // One write per line, so that the line reaches the system whole and at
  // once; a line that cannot be written is dropped, as is one that finds
  // no memory to be made in. "%6s %s | %s %s\n", made by hand: most lines
  // fit the buffer on the stack.
  const char* levelName = LevelName(level);
  const size_t nameLength = std::strlen(levelName);
  const size_t pad = nameLength < 6 ? 6 - nameLength : 0;
  const size_t length = pad + nameLength + 1 + std::strlen(timeText_) + 3 +
                        std::strlen(message) + 1 + std::strlen(errorText_) + 1;
  char onStack[512];
  std::string onHeap;
  char* line = onStack;
  if (length > sizeof onStack) {
    try {
      onHeap.resize(length);
    } catch (const std::bad_alloc&) {
      return;
    }
    line = onHeap.data();
  }
  std::memset(line, ' ', pad);
  Composer(line + pad, length - pad)
      .add(levelName, nameLength)
      .add(" ", 1)
      .add(timeText_)
      .add(" | ", 3)
      .add(message)
      .add(" ", 1)
      .add(errorText_)
      .add("\n", 1);
  log_->Append(line, length);
}

void Logger::Enable() {
  if (log_ != nullptr) enabled_ = true;
}

void Logger::Disable() { enabled_ = false; }

void Logger::SetLogFile(const char* name) {
  log_.reset();
  logFileName_.clear();
  if (name == nullptr || *name == '\0') return;
  if (!env_->OpenAppending(name, &log_)) return;
  logFileName_ = name;
  Enable();
  WriteMachineInfo();
}

Logger& Log() {
  if (installed != nullptr) return *installed;
  static Logger* standIn = new Logger(platform::Env::Default(), false);
  return *standIn;
}

Logger* InstallLogger(Logger* logger) {
  Logger* previous = installed;
  installed = logger;
  return previous;
}

}  // namespace kest
