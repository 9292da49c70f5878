#include "Common/logger/logger.h"

#include <cstdarg>
#include <cstring>

namespace kest {

namespace {

const char* const kLevelNames[] = {"ALL", "DEBUG", "INFO", "ERROR", "ASSERT"};

const char* LevelName(int32_t level) {
  if (level < kLevelAll || level > kLevelAssert) return "";
  return kLevelNames[level];
}

// Keeps at most `max` characters, as the fixed buffers of the log do.
void CutTo(std::string* text, size_t max) {
  if (text->size() > max) text->resize(max);
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
  char buffer[kMaxFormatted + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  Error(buffer);
}

void Logger::AssertReport(bool condition, const char* message, int32_t line) {
  if (!condition) ComposeNumber(kLevelAssert, message, line);
}

void Logger::CheckStringPtr(const void* pointer, const char* message, int32_t line) {
  // A readability probe has no portable counterpart; an absent pointer is
  // the one unreadable string this side can recognise.
  if (pointer == nullptr) ComposeNumber(kLevelError, message, line);
}

void Logger::Compose(int32_t level, const char* message, const char* text) {
  if (message == nullptr) return;
  std::string line = message;
  if (text == nullptr) {
    line += " [null]";
  } else {
    line += " [";
    line += text;
    line += "]";
  }
  CutTo(&line, kMaxComposed);
  WriteLine(level, line.c_str());
}

void Logger::ComposeNumber(int32_t level, const char* message, int32_t number) {
  if (message == nullptr) return;
  std::string line = message;
  line += " [" + std::to_string(number) + "]";
  CutTo(&line, kMaxComposed);
  WriteLine(level, line.c_str());
}

int Logger::WriteLine(int32_t level, const char* message) {
  if (stream_ == nullptr || !enabled_) return 0;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!IsEnabledFor(level) || message == nullptr) return 0;

  std::string errorText;
  uint32_t code = env_->LastErrorCode();
  if (code != 0 && level == kLevelAssert) {
    std::string system;
    char head[16];
    std::snprintf(head, sizeof head, "{0x%08x| ", code);
    if (env_->ErrorMessage(code, &system)) {
      CutTo(&system, 1023);
      system = system.substr(0, system.find_first_of("\r\n"));
      errorText = head + system + "}";
    } else {
      errorText = std::string(head) + "<FormatMessage fail>}";
    }
    CutTo(&errorText, 1023);
  }

  char timeText[16] = "";
  int64_t now = env_->NowSeconds();
  if (now > lastStampTime_ + 1) {
    lastStampTime_ = now;
    platform::CivilTime t = env_->LocalTime(now);
    std::snprintf(timeText, sizeof timeText, "%02d:%02d:%02d", t.hour, t.minute,
                  t.second);
  }

  std::fprintf(stream_, "%6s %s | %s %s\n", LevelName(level), timeText, message,
               errorText.c_str());
  std::fflush(stream_);
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
