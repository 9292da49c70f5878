#include <windows.h>

#include <cctype>
#include <charconv>
#include <vector>

#include "platform/text_conversion.h"

namespace kest::platform {
namespace {

struct NamedCodePage {
  const char* name;
  UINT number;
};
// The names the table reader uses that are not "CP" and a number, and the
// common spellings a user may type.
constexpr NamedCodePage kNamed[] = {
    {"MACINTOSH", 10000},  {"MAC", 10000},        {"MACROMAN", 10000},
    {"MAC-CYRILLIC", 10007}, {"MACCYRILLIC", 10007}, {"UTF-8", CP_UTF8},
    {"UTF8", CP_UTF8},     {"ASCII", 20127},      {"US-ASCII", 20127},
    {"LATIN1", 28591},     {"KOI8-R", 20866},     {"KOI8-U", 21866},
    {"SHIFT_JIS", 932},    {"SJIS", 932},         {"GBK", 936},
    {"BIG5", 950},         {"EUC-KR", 949},
};

// Code pages the system converts only without the flag that refuses
// invalid input.
bool takesNoFlags(UINT codePage) {
  return (codePage >= 50220 && codePage <= 50229) || codePage == 52936 || codePage == 54936 ||
         (codePage >= 57002 && codePage <= 57011) || codePage == 65000 || codePage == 42;
}

// The number behind "CP1252", "WINDOWS-1252", "IBM850", "ISO-8859-2" or
// a bare number; 0 when the name is none of these.
UINT codePageNumber(const std::string& name) {
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const NamedCodePage& named : kNamed) {
    if (upper == named.name) return named.number;
  }
  auto numberAfter = [&](std::string_view prefix) -> UINT {
    if (upper.compare(0, prefix.size(), prefix) != 0) return 0;
    const char* first = upper.data() + prefix.size();
    const char* last = upper.data() + upper.size();
    unsigned number = 0;
    auto [end, error] = std::from_chars(first, last, number);
    return error == std::errc() && end == last && first != last && number <= 65535 ? number : 0;
  };
  if (UINT part = numberAfter("ISO-8859-"); part >= 1 && part <= 15) return 28590 + part;
  for (std::string_view prefix : {"CP", "WINDOWS-", "IBM", ""}) {
    if (UINT number = numberAfter(prefix); number != 0) return number;
  }
  return 0;
}

class CodePageConverter : public TextConverter {
 public:
  explicit CodePageConverter(UINT codePage) : codePage_(codePage) {}

  bool ToUtf8(std::string_view bytes, std::string* utf8) override {
    utf8->clear();
    if (bytes.empty()) return true;
    // The conversions count in a signed int.
    if (bytes.size() > 0x3FFFFFFF) return false;
    const DWORD flags = takesNoFlags(codePage_) ? 0 : MB_ERR_INVALID_CHARS;
    const int length = static_cast<int>(bytes.size());
    int units = ::MultiByteToWideChar(codePage_, flags, bytes.data(), length, nullptr, 0);
    if (units <= 0) return false;
    wide_.resize(static_cast<size_t>(units));
    if (::MultiByteToWideChar(codePage_, flags, bytes.data(), length, wide_.data(), units) !=
        units) {
      return false;
    }
    int size = ::WideCharToMultiByte(CP_UTF8, 0, wide_.data(), units, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return false;
    utf8->resize(static_cast<size_t>(size));
    return ::WideCharToMultiByte(CP_UTF8, 0, wide_.data(), units, utf8->data(), size, nullptr,
                                 nullptr) == size;
  }

 private:
  UINT codePage_;
  std::vector<wchar_t> wide_;
};

}  // namespace

std::unique_ptr<TextConverter> OpenTextConverter(const std::string& characterSet) {
  UINT codePage = codePageNumber(characterSet);
  if (codePage == 0 || !::IsValidCodePage(codePage)) return nullptr;
  return std::make_unique<CodePageConverter>(codePage);
}

}  // namespace kest::platform
