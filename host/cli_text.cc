#include "host/cli_text.h"

#include <cstdio>

#include "kestdll/include/kestdll.h"

namespace kest::host {

int exitStatusForCode(int32_t code) {
  switch (code) {
    case KEST_OK:
      return kExitOk;
    case KEST_NOTHING:
      return kExitNothing;
    case KEST_SOURCE_UNREADABLE:
      return kExitUnreadable;
    case KEST_CANNOT_CREATE:
      return kExitCannotCreate;
    case KEST_USER_BREAK:
      return kExitUserBreak;
    default:
      return kExitInternal;
  }
}

int exitSeverity(int status) {
  switch (status) {
    case kExitOk:
      return 0;
    case kExitNothing:
      return 1;
    case kExitUnreadable:
      return 2;
    case kExitCannotCreate:
      return 3;
    case kExitInternal:
      return 4;
    case kExitNotWritten:
      return 5;
    case kExitNoEngine:
      return 6;
    case kExitUsage:
      return 7;
    case kExitUserBreak:
      return 8;
    default:
      return 4;
  }
}

int worseExitStatus(int a, int b) { return exitSeverity(b) > exitSeverity(a) ? b : a; }

const char* outcomeName(int32_t code) {
  switch (code) {
    case KEST_OK:
      return "written";
    case KEST_NOTHING:
      return "nothing-to-recover";
    case KEST_SOURCE_UNREADABLE:
      return "unreadable";
    case KEST_CANNOT_CREATE:
      return "cannot-create";
    case KEST_USER_BREAK:
      return "user-break";
    default:
      return "internal-failure";
  }
}

namespace {

// A failure sentence: what failed, then the general words for why.
struct FailureWords {
  int32_t code;
  const char* head;
  const char* why;  // with its leading separator
};

const FailureWords kFailureWords[] = {
    {KEST_NOTHING, "Nothing to recover", ": neither method found a record worth keeping."},
    {KEST_SOURCE_UNREADABLE, "Cannot read the table",
     ": it is missing, or it cannot be opened or read."},
    {KEST_CANNOT_CREATE, "Cannot create the result",
     ": the output folder is missing or not writable, or a results folder of the same name "
     "exists already (runs on one table within the same minute share a name)."},
    {KEST_USER_BREAK, "Stopped by the user", "; no result was written."},
    {KEST_INTERNAL, "Internal failure in the engine", "; the diagnostic log (-l) tells more."},
};

const FailureWords* failureWords(int32_t code) {
  for (const FailureWords& words : kFailureWords) {
    if (words.code == code) return &words;
  }
  return nullptr;
}

}  // namespace

std::string failureSentence(int32_t code) {
  if (const FailureWords* words = failureWords(code)) {
    return std::string(words->head) + words->why;
  }
  return "The engine returned the unknown code " + std::to_string(code) +
         "; treated as an internal failure.";
}

std::string failureSentence(int32_t code, const std::string& cause) {
  const FailureWords* words = failureWords(code);
  if (cause.empty() || words == nullptr || code == KEST_USER_BREAK) return failureSentence(code);
  return std::string(words->head) + ": " + cause + ".";
}

namespace {

// Length of the well-formed UTF-8 sequence at `text[i]`, or 0 when the
// bytes there are not one (stray continuation bytes, overlong forms,
// surrogates, values above U+10FFFF, cut sequences).
size_t utf8SequenceLength(std::string_view text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c == '\n') {
      out += "\\n";
      ++i;
    } else if (c == '\t') {
      out += "\\t";
      ++i;
    } else if (c == '\r') {
      out += "\\r";
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
      ++i;
    } else if (size_t length = utf8SequenceLength(text, i); length > 0) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out += "\\ufffd";
      ++i;
    }
  }
  out += '"';
  return out;
}

std::string plainText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = utf8SequenceLength(text, i);
    // U+0080..U+009F (C2 80..C2 9F) are the C1 controls: CSI among them.
    bool control = c < 0x20 || c == 0x7F ||
                   (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
    if (length == 0 || control) {
      out += '?';
      i += length == 0 ? 1 : length;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string cutToFit(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace kest::host
