// What the shared Env cases ask of the system they run on; each system's
// test file answers it beside its own cases.
#ifndef KEST_PLATFORM_ENV_TEST_SYSTEM_H_
#define KEST_PLATFORM_ENV_TEST_SYSTEM_H_

#include <cstdint>
#include <string>

namespace kest::platform::testing {

// The system's codes for a missing file and for a folder opened as a file.
uint32_t NotFoundCode();
uint32_t OpenedFolderCode();
// The separator the system's temp path ends in.
char TempPathSeparator();
// Makes `link` a link to the folder `target`; false where this process
// cannot make one.
bool MakeFolderLink(const std::string& link, const std::string& target);
// The process id as the system reports it.
uint32_t SystemProcessId();

}  // namespace kest::platform::testing

#endif  // KEST_PLATFORM_ENV_TEST_SYSTEM_H_
