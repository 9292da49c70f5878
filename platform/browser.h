// Showing an address in the user's web browser.
#ifndef KEST_PLATFORM_BROWSER_H_
#define KEST_PLATFORM_BROWSER_H_

#include <string>

namespace kest::platform {

// Asks the desktop to open `url` in the user's browser, without waiting for
// it (xdg-open on POSIX desktops). False when that could not even be
// started; a browser that fails later goes unnoticed.
bool OpenInBrowser(const std::string& url);

}  // namespace kest::platform

#endif  // KEST_PLATFORM_BROWSER_H_
