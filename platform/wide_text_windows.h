// Narrow text to UTF-16 for the Windows wide entry points; shared by the
// Windows platform files, included after <windows.h>.
#ifndef KEST_PLATFORM_WIDE_TEXT_WINDOWS_H_
#define KEST_PLATFORM_WIDE_TEXT_WINDOWS_H_

#include <string>

namespace kest::platform::internal {

// `text` read in `codePage`; empty when it is empty or cannot be converted.
inline std::wstring Widen(UINT codePage, const std::string& text) {
  if (text.empty()) return std::wstring();
  int units = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(units), L'\0');
  ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        units);
  return wide;
}

}  // namespace kest::platform::internal

#endif  // KEST_PLATFORM_WIDE_TEXT_WINDOWS_H_
