// Text in a named character set, converted to UTF-8: what a table's code
// page holds, for the tools that show a table or take its data elsewhere.
//
// Character sets are named as the table reader names them: "CP437",
// "CP1252", "CP932", "MACINTOSH", "MAC-CYRILLIC", "UTF-8", and on POSIX
// whatever else the system's conversion library knows. One implementation
// per platform is chosen at build time: text_conversion_posix.cc (iconv)
// or text_conversion_windows.cc (the system's code page conversion, which
// knows the sets by number: "CP852" is code page 852).
//
// A converter refuses bytes that are not text in its set instead of
// replacing them (on Windows, a byte a single-byte set leaves undefined
// converts as the system maps it). A converter is used by one thread at a time; separate
// converters may be used on separate threads. Not part of the engine.
#ifndef KEST_PLATFORM_TEXT_CONVERSION_H_
#define KEST_PLATFORM_TEXT_CONVERSION_H_

#include <memory>
#include <string>
#include <string_view>

namespace kest::platform {

class TextConverter {
 public:
  virtual ~TextConverter() = default;

  // False (and `utf8` unspecified) when `bytes` holds a sequence that is
  // not a character of the set, or one cut off at the end.
  virtual bool ToUtf8(std::string_view bytes, std::string* utf8) = 0;
};

// A converter from `characterSet` (letter case ignored); nullptr when this
// system has no conversion for it.
std::unique_ptr<TextConverter> OpenTextConverter(const std::string& characterSet);

}  // namespace kest::platform

#endif  // KEST_PLATFORM_TEXT_CONVERSION_H_
