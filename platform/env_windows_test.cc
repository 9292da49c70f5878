// What only the Windows Env does: devices, drive letters, letter case,
// access lists, the archive attribute, the machine folders, FormatMessage.
#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/env_test_system.h"
#include "tests/test_support.h"

namespace kest::platform {

namespace {

std::string Win(const std::string& path) {
  std::string p = path;
  for (char& c : p) c = c == '/' ? '\\' : c;
  return p;
}

// Wine keeps no access lists on a file system without extended attributes.
bool UnderWine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

namespace testing {

uint32_t NotFoundCode() { return ERROR_FILE_NOT_FOUND; }
uint32_t OpenedFolderCode() { return ERROR_ACCESS_DENIED; }
char TempPathSeparator() { return '\\'; }
// A symbolic link needs a privilege or developer mode; wine answers
// success and makes nothing.
bool MakeFolderLink(const std::string& link, const std::string& target) {
  ::CreateSymbolicLinkA(Win(link).c_str(), Win(target).c_str(),
                        SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  DWORD attributes = ::GetFileAttributesA(link.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}
uint32_t SystemProcessId() { return ::GetCurrentProcessId(); }

}  // namespace testing

namespace {

using kest::testing::TempDir;
using kest::testing::writeFile;

Env* env() { return Env::Default(); }

TEST(EnvWindows, ADeviceIsRefusedAndResultsAreArchived) {
  // A device opens like a file but has no size, and a read could wait.
  std::unique_ptr<ReadableFile> device;
  EXPECT_FALSE(env()->OpenReadOnly("NUL", &device));
  EXPECT_EQ(device, nullptr);
  // And it is told from a file: its attributes alone would make it one.
  EXPECT_EQ(env()->KindOf("NUL"), EntryKind::kOther);

  TempDir dir;
  std::unique_ptr<WritableFile> out;
  ASSERT_TRUE(env()->CreateNew(dir.file("b"), &out));
  EXPECT_TRUE(out->Close());
  EXPECT_NE(::GetFileAttributesA(dir.file("b").c_str()) & FILE_ATTRIBUTE_ARCHIVE, 0u);
}

TEST(EnvWindows, ABareDriveIsTheCurrentFolderOnThatDrive) {
  TempDir dir;
  writeFile(dir.file("orders.dbf"), "x");
  writeFile(dir.file("ORDERS.FPT"), "x");
  // As in "D:orders.dbf".
  char previous[MAX_PATH] = {};
  char full[MAX_PATH] = {};
  ASSERT_NE(::GetCurrentDirectoryA(MAX_PATH, previous), 0u);
  ASSERT_NE(::GetFullPathNameA(dir.path().c_str(), MAX_PATH, full, nullptr), 0u);
  ASSERT_EQ(full[1], ':');
  ASSERT_TRUE(::SetCurrentDirectoryA(full));
  std::vector<DirEntry> entries;
  EXPECT_TRUE(env()->ListFolder(std::string(full, 2), "orders.*", &entries));
  EXPECT_EQ(entries.size(), 2u);
  ::SetCurrentDirectoryA(previous);
}

// One entry, for the user, inherited by what is made inside, and nothing
// taken over from the parent.
TEST(EnvWindows, PrivateFoldersLetInTheUserAlone) {
  TempDir dir;
  ASSERT_TRUE(env()->CreatePrivateFolder(dir.file("private")));
  if (UnderWine()) GTEST_SKIP() << "no access lists to read back";
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(::GetNamedSecurityInfoA(dir.file("private").c_str(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                    &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(dacl, nullptr);
  EXPECT_EQ(dacl->AceCount, 1);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_NE(control & SE_DACL_PROTECTED, 0);
  ::LocalFree(descriptor);
}

TEST(EnvWindows, MachineFoldersAndModules) {
  std::string system, root, exe, module;
  EXPECT_TRUE(env()->MachineFolderPath(MachineFolder::kSystemLibraries, &system));
  EXPECT_TRUE(env()->MachineFolderPath(MachineFolder::kSystemRoot, &root));
  EXPECT_EQ(system.rfind(root, 0), 0u) << system << " is not inside " << root;
  // Folder entries are the file system's to keep; nothing is asked.
  TempDir dir;
  EXPECT_TRUE(env()->SyncFolder(dir.file("absent")));

  ASSERT_TRUE(env()->ExecutablePath(&exe));
  ASSERT_GT(exe.size(), 4u);
  EXPECT_EQ(exe.substr(exe.size() - 4), ".exe");
  // This function lives in the test program itself.
  ASSERT_TRUE(env()->ModulePath(reinterpret_cast<const void*>(&env), &module));
  EXPECT_EQ(module, exe);

  std::unique_ptr<Library> kernel;
  ASSERT_TRUE(env()->OpenLibrary("kernel32.dll", &kernel));
  EXPECT_NE(kernel->Symbol("GetCurrentProcessId"), nullptr);
  EXPECT_EQ(kernel->Symbol("NoSuchExport"), nullptr);
}

TEST(EnvWindows, VariablesThatAreEmptyLongOrUnset) {
  std::string longValue(1000, 'v');
  ASSERT_TRUE(::SetEnvironmentVariableA("KEST_TEST_EMPTY", ""));
  ASSERT_TRUE(::SetEnvironmentVariableA("KEST_TEST_LONG", longValue.c_str()));
  ::SetEnvironmentVariableA("KEST_TEST_UNSET", nullptr);
  std::string value = "unchanged";
  EXPECT_TRUE(env()->GetVariable("KEST_TEST_EMPTY", &value));
  EXPECT_EQ(value, "");
  EXPECT_TRUE(env()->GetVariable("KEST_TEST_LONG", &value));
  EXPECT_EQ(value, longValue);
  value = "unchanged";
  EXPECT_FALSE(env()->GetVariable("KEST_TEST_UNSET", &value));
  EXPECT_EQ(value, "unchanged");
  ::SetEnvironmentVariableA("KEST_TEST_EMPTY", nullptr);
  ::SetEnvironmentVariableA("KEST_TEST_LONG", nullptr);
}

TEST(EnvWindows, TheRuntimeHasNoDateBefore1970) {
  EXPECT_EQ(env()->LocalTime(-100000).month, 0);
}

TEST(EnvWindows, ThreadErrorCodeAndFormatMessageTexts) {
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(env()->ThreadErrorCode(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  std::string text = "unchanged";
  EXPECT_FALSE(env()->ErrorMessage(0x2000FFFFu, &text));
  EXPECT_EQ(text, "unchanged");
  ::SetLastError(0);
}

TEST(EnvWindows, NarrowingNeverPicksALookAlike) {
  const uint16_t ascii[] = {'P', 'a', 's', 's'};
  EXPECT_EQ(env()->NarrowFromUtf16(ascii, 4), "Pass");
  if (::GetACP() == 1252) {
    // A character the code page lacks is '?', never a look-alike ('A' for
    // A with macron, '/' for the fraction slash).
    const uint16_t missing[] = {0x0100, 0x2044, 0x00E9};
    EXPECT_EQ(env()->NarrowFromUtf16(missing, 3), "??\xE9");
  }
}

TEST(EnvWindows, SameFileIgnoresLetterCaseAndSeparators) {
  TempDir dir;
  writeFile(dir.file("orders.dbf"), "x");
  std::string folder = Win(dir.path());
  EXPECT_TRUE(env()->SameFile(dir.file("orders.dbf"), folder + "\\.\\ORDERS.DBF"));
  EXPECT_TRUE(env()->SameFile(dir.path(), folder + "\\"));
}

}  // namespace
}  // namespace kest::platform
