#include "Common/logger/logger.h"

#include <cstdarg>
#include <cstring>
#include <new>

namespace kest {

namespace {

const char* const kLevelNames[] = {"ALL", "DEBUG", "INFO", "ERROR", "ASSERT"};

const char* LevelName(int32_t level) {
  if (level < kLevelAll || level > kLevelAssert) return "";
  return kLevelNames[level];
}

Logger* installed = nullptr;

}  // namespace

Logger::Logger(platform::Env* env, bool setUpWorkspace)
    : env_(env), lastStampTime_(env->NowSeconds()) {
  SetLogFile(nullptr);
  if (setUpWorkspace) InitTempPath();
}

Logger::~Logger() {
  if (stream_ != nullptr) {
    std::fclose(stream_);
    stream_ = nullptr;
    logFileName_.clear();
  }
  DeleteTempFiles();
  RemoveEmptyWorkspace();
}

void Logger::Info(const char* message) { WriteLine(kLevelInfo, message); }
void Logger::Error(const char* message) { WriteLine(kLevelError, message); }

void Logger::InfoString(const char* message, const char* text) {
  if (IsEnabledFor(kLevelInfo)) Compose(kLevelInfo, message, text);
}

void Logger::ErrorString(const char* message, const char* text) {
  Compose(kLevelError, message, text);
}

void Logger::InfoNumber(const char* message, int32_t number) {
  if (IsEnabledFor(kLevelInfo)) ComposeNumber(kLevelInfo, message, number);
}

void Logger::DebugNumber(const char* message, int32_t number) {
  if (IsEnabledFor(kLevelDebug)) ComposeNumber(kLevelDebug, message, number);
}

void Logger::ErrorNumber(const char* message, int32_t number) {
  ComposeNumber(kLevelError, message, number);
}

void Logger::ErrorFormat(const char* format, ...) {
  if (format == nullptr) return;
  uint32_t code = env_->LastErrorCode();
  char buffer[kMaxFormatted + 1];
  buffer[0] = '\0';
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  env_->SetLastErrorCode(code);
  Error(buffer);
}

void Logger::AssertReport(bool condition, const char* message, int32_t line) {
  if (!condition) ComposeNumber(kLevelAssert, message, line);
}

void Logger::CheckStringPtr(const void* pointer, const char* message, int32_t line) {
  if (pointer == nullptr) ComposeNumber(kLevelError, message, line);
}

// Composition happens in a per-call buffer before the lock is taken; the
// caller's last error code is kept for the ASSERT column.
void Logger::Compose(int32_t level, const char* message, const char* text) {
  if (message == nullptr) return;
  uint32_t code = env_->LastErrorCode();
  char buffer[kMaxComposed + 1];
  if (text == nullptr) {
    std::snprintf(buffer, sizeof buffer, "%s [null]", message);
  } else {
    std::snprintf(buffer, sizeof buffer, "%s [%s]", message, text);
  }
  env_->SetLastErrorCode(code);
  WriteLine(level, buffer);
}

void Logger::ComposeNumber(int32_t level, const char* message, int32_t number) {
  if (message == nullptr) return;
  uint32_t code = env_->LastErrorCode();
  char buffer[kMaxComposed + 1];
  std::snprintf(buffer, sizeof buffer, "%s [%ld]", message, static_cast<long>(number));
  env_->SetLastErrorCode(code);
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
  if (stream_ == nullptr || !enabled_) return 0;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  errorText_[0] = '\0';
  if (!IsEnabledFor(level) || message == nullptr || stream_ == nullptr) return 0;

  uint32_t code = env_->LastErrorCode();
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

  std::fprintf(stream_, "%6s %s | %s %s\n", LevelName(level), timeText_, message,
               errorText_);
  std::fflush(stream_);
  env_->SetLastErrorCode(code);
  return 0;
}

bool Logger::IsEnabledFor(int32_t level) const {
  return level >= threshold_ && enabled_;
}

void Logger::Enable() {
  if (stream_ != nullptr) enabled_ = true;
}

void Logger::Disable() { enabled_ = false; }

void Logger::SetLogFile(const char* name) {
  if (stream_ != nullptr) {
    std::fclose(stream_);
    stream_ = nullptr;
    logFileName_.clear();
  }
  if (name == nullptr || *name == '\0') return;
  stream_ = std::fopen(name, "a+b");
  if (stream_ == nullptr) return;
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
