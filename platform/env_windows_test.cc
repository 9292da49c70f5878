#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>
// Env has members of these names; see env_windows.cc.
#undef DeleteFile
#undef LoadLibrary

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/env.h"
#include "tests/test_support.h"

namespace kest::platform {
namespace {

using kest::testing::exists;
using kest::testing::readFile;
using kest::testing::TempDir;
using kest::testing::writeFile;

Env* env() { return Env::Default(); }

std::string Win(const std::string& path) {
  std::string p = path;
  for (char& c : p) c = c == '/' ? '\\' : c;
  return p;
}

// A link to a folder, where the system lets this process make one (a
// symbolic link needs a privilege or developer mode; wine answers success
// and makes nothing).
bool MakeFolderLink(const std::string& link, const std::string& target) {
  ::CreateSymbolicLinkA(Win(link).c_str(), Win(target).c_str(),
                        SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  DWORD attributes = ::GetFileAttributesA(link.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Wine keeps no access lists on a file system without extended attributes.
bool UnderWine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(EnvFiles, OpenReadOnlyServesDiskFilesOnly) {
  TempDir dir;
  writeFile(dir.file("t.dbf"), "0123456789");
  std::unique_ptr<ReadableFile> file = env()->OpenReadOnly(dir.file("t.dbf"));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), 10u);
  char buffer[8] = {};
  EXPECT_EQ(file->ReadAt(6, buffer, 8), 4);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(file->ReadAt(10, buffer, 8), 0);
  EXPECT_EQ(file->ReadAt(100, buffer, 8), 0);
  // Reading is shared with other readers.
  EXPECT_NE(env()->OpenReadOnly(dir.file("t.dbf")), nullptr);

  EXPECT_EQ(env()->OpenReadOnly(dir.file("absent")), nullptr);
  EXPECT_EQ(env()->LastErrorCode(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(env()->OpenReadOnly(dir.path()), nullptr);
  EXPECT_EQ(env()->LastErrorCode(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  // A device opens like a file but has no size, and a read could wait.
  EXPECT_EQ(env()->OpenReadOnly("NUL"), nullptr);
}

TEST(EnvFiles, CreateNewAndCopyNeverOverwrite) {
  TempDir dir;
  writeFile(dir.file("a"), "original");
  EXPECT_EQ(env()->CreateNew(dir.file("a")), nullptr);
  EXPECT_FALSE(env()->CopyNoOverwrite(dir.file("a"), dir.file("a")));
  EXPECT_EQ(readFile(dir.file("a")), "original");

  std::unique_ptr<WritableFile> out = env()->CreateNew(dir.file("b"));
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(out->Append("hello", 5));
  EXPECT_TRUE(out->WriteAt(0, "J", 1));
  EXPECT_TRUE(out->Append("!", 1));
  EXPECT_EQ(out->Position(), 6u);
  EXPECT_TRUE(out->Close());
  EXPECT_FALSE(out->Close());
  EXPECT_FALSE(out->Append("x", 1));
  EXPECT_EQ(readFile(dir.file("b")), "Jello!");
  EXPECT_NE(::GetFileAttributesA(dir.file("b").c_str()) & FILE_ATTRIBUTE_ARCHIVE, 0u);

  EXPECT_TRUE(env()->CopyNoOverwrite(dir.file("a"), dir.file("c")));
  EXPECT_EQ(readFile(dir.file("c")), "original");
  EXPECT_FALSE(env()->CopyNoOverwrite(dir.file("b"), dir.file("c")));
  EXPECT_EQ(readFile(dir.file("c")), "original");
  EXPECT_FALSE(env()->CopyNoOverwrite(dir.file("absent"), dir.file("d")));
  EXPECT_FALSE(exists(dir.file("d")));
}

TEST(EnvFolders, KindsAndListingsSeeTheEntryItself) {
  TempDir dir;
  writeFile(dir.file("file"), "x");
  ASSERT_TRUE(env()->CreateFolder(dir.file("folder")));
  EXPECT_FALSE(env()->CreateFolder(dir.file("folder")));
  bool links = MakeFolderLink(dir.file("link"), dir.file("folder"));
  struct {
    const char* name;
    EntryKind kind;
  } cases[] = {{"file", EntryKind::kFile},
               {"folder", EntryKind::kFolder},
               {"link", EntryKind::kLink},
               {"absent", EntryKind::kMissing}};
  for (const auto& c : cases) {
    if (c.kind == EntryKind::kLink && !links) continue;
    EXPECT_EQ(env()->KindOf(dir.file(c.name)), c.kind) << c.name;
  }

  std::vector<DirEntry> entries;
  ASSERT_TRUE(env()->ListFolder(dir.path(), "*", &entries));
  EXPECT_EQ(entries.size(), links ? 3u : 2u);
  for (const DirEntry& e : entries) {
    for (const auto& c : cases) {
      if (e.name == c.name) {
        EXPECT_EQ(e.kind, c.kind) << c.name;
      }
    }
  }
}

TEST(EnvFolders, ListingMatchesPatternsAsOnEverySystem) {
  TempDir dir;
  for (const char* name : {"tmp_12_a.dat", "TMP_7.DAT", "tmp_9.txt", "orders.dbf", "ORDERS.FPT",
                           "noext", "longer_name.dbfx"}) {
    writeFile(dir.file(name), "x");
  }
  struct {
    const char* pattern;
    size_t count;
  } cases[] = {
      {"tmp_*.dat", 2},
      {"orders.*", 2},
      // Names without a dot too, as on the systems the tables come from.
      {"*.*", 7},
      {"noext.*", 1},
      // Not longer_name.dbfx, which the system's own matching would find
      // through its 8.3 alias LONGER~1.DBF.
      {"*.dbf", 1},
      {"*", 7},
      {"nothing*", 0},
  };
  for (const auto& c : cases) {
    std::vector<DirEntry> entries{{"stale", EntryKind::kFile}};
    EXPECT_TRUE(env()->ListFolder(dir.path(), c.pattern, &entries));
    EXPECT_EQ(entries.size(), c.count) << c.pattern;
  }
  std::vector<DirEntry> entries;
  EXPECT_FALSE(env()->ListFolder(dir.file("absent"), "*.*", &entries));
  EXPECT_FALSE(env()->ListFolder(dir.file("noext"), "*.*", &entries));
  ASSERT_TRUE(env()->CreateFolder(dir.file("empty")));
  EXPECT_TRUE(env()->ListFolder(dir.file("empty"), "*.*", &entries));
  EXPECT_TRUE(entries.empty());

  // A bare drive is the current folder on that drive, as in "D:orders.dbf".
  char previous[MAX_PATH] = {};
  char full[MAX_PATH] = {};
  ASSERT_NE(::GetCurrentDirectoryA(MAX_PATH, previous), 0u);
  ASSERT_NE(::GetFullPathNameA(dir.path().c_str(), MAX_PATH, full, nullptr), 0u);
  ASSERT_EQ(full[1], ':');
  ASSERT_TRUE(::SetCurrentDirectoryA(full));
  EXPECT_TRUE(env()->ListFolder(std::string(full, 2), "orders.*", &entries));
  EXPECT_EQ(entries.size(), 2u);
  ::SetCurrentDirectoryA(previous);
}

TEST(EnvFolders, DeletionsRemoveALinkItselfAndNeverWhatItPointsTo) {
  TempDir dir;
  ASSERT_TRUE(env()->CreateFolder(dir.file("target")));
  writeFile(dir.file("target/keep"), "x");
  if (MakeFolderLink(dir.file("link"), dir.file("target"))) {
    EXPECT_FALSE(env()->RemoveFolder(dir.file("link")));
    EXPECT_TRUE(env()->DeleteFile(dir.file("link")));
    EXPECT_FALSE(exists(dir.file("link")));
    EXPECT_TRUE(exists(dir.file("target/keep")));
  }
  EXPECT_FALSE(env()->RemoveFolder(dir.file("target")));  // not empty
  EXPECT_FALSE(env()->DeleteFile(dir.file("target")));
  EXPECT_TRUE(env()->DeleteFile(dir.file("target/keep")));
  EXPECT_TRUE(env()->RemoveFolder(dir.file("target")));
  EXPECT_FALSE(exists(dir.file("target")));
}

TEST(EnvFolders, PrivateFoldersAreTheUsersOwnAndNobodyElsesToEnter) {
  TempDir dir;
  ASSERT_TRUE(env()->CreatePrivateFolder(dir.file("private")));
  EXPECT_FALSE(env()->CreatePrivateFolder(dir.file("private")));
  EXPECT_TRUE(env()->IsOwnFolder(dir.file("private")));
  writeFile(dir.file("file"), "x");
  EXPECT_FALSE(env()->IsOwnFolder(dir.file("file")));
  EXPECT_FALSE(env()->IsOwnFolder(dir.file("absent")));
  if (MakeFolderLink(dir.file("link"), dir.file("private"))) {
    EXPECT_FALSE(env()->IsOwnFolder(dir.file("link")));
  }

  // One entry, for the user, inherited by what is made inside, and nothing
  // taken over from the parent.
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

TEST(EnvMachine, QueriesAnswerWithTheSystemsFolders) {
  std::string temp, cwd, system, windows, host, exe, module;
  ASSERT_TRUE(env()->TempPath(&temp));
  EXPECT_EQ(temp.back(), '\\');
  EXPECT_TRUE(env()->CurrentFolder(&cwd));
  EXPECT_TRUE(env()->SystemFolder(&system));
  EXPECT_TRUE(env()->WindowsFolder(&windows));
  EXPECT_EQ(system.rfind(windows, 0), 0u) << system << " is not inside " << windows;
  EXPECT_TRUE(env()->ComputerName(&host));
  EXPECT_FALSE(host.empty());
  EXPECT_EQ(env()->ProcessId(), ::GetCurrentProcessId());

  ASSERT_TRUE(env()->ExecutablePath(&exe));
  ASSERT_GT(exe.size(), 4u);
  EXPECT_EQ(exe.substr(exe.size() - 4), ".exe");
  // This function lives in the test program itself.
  ASSERT_TRUE(env()->ModulePath(reinterpret_cast<const void*>(&env), &module));
  EXPECT_EQ(module, exe);
}

TEST(EnvMachine, VariablesThatAreEmptyLongOrUnset) {
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

TEST(EnvMachine, LibrariesAndTheirExports) {
  std::unique_ptr<Library> kernel = env()->LoadLibrary("kernel32.dll");
  ASSERT_NE(kernel, nullptr);
  EXPECT_NE(kernel->Symbol("GetCurrentProcessId"), nullptr);
  EXPECT_EQ(kernel->Symbol("NoSuchExport"), nullptr);
  TempDir dir;
  EXPECT_EQ(env()->LoadLibrary(dir.file("absent.dll")), nullptr);
  EXPECT_NE(env()->LastErrorCode(), 0u);
}

TEST(EnvMachine, ClockReadings) {
  CivilTime utc = env()->UtcNow();
  EXPECT_GE(utc.year, 2020);
  EXPECT_GE(utc.month, 1);
  EXPECT_LE(utc.month, 12);
  EXPECT_LT(utc.millisecond, 1000);
  CivilTime local = env()->LocalTime(env()->NowSeconds());
  EXPECT_GE(local.year, 2020);
  EXPECT_EQ(local.millisecond, 0);
  // Before 1970 the runtime has no answer; no date comes back.
  EXPECT_EQ(env()->LocalTime(-100000).month, 0);
}

TEST(EnvErrors, LastErrorCodeAndItsText) {
  env()->SetLastErrorCode(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(env()->LastErrorCode(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  std::string text;
  ASSERT_TRUE(env()->ErrorMessage(ERROR_FILE_NOT_FOUND, &text));
  ASSERT_FALSE(text.empty());
  // Without the line break the system ends its texts with.
  EXPECT_NE(text.back(), '\n');
  EXPECT_NE(text.back(), '\r');
  EXPECT_NE(text.back(), ' ');
  text = "unchanged";
  EXPECT_FALSE(env()->ErrorMessage(0x2000FFFFu, &text));
  EXPECT_EQ(text, "unchanged");
  env()->SetLastErrorCode(0);
}

TEST(EnvText, Utf16GuessAndNarrowing) {
  const char utf16[] = "H\0e\0l\0l\0o\0 \0w\0o\0r\0l\0d\0";
  const char narrow[] = "Hello world!";
  EXPECT_TRUE(env()->LooksLikeUtf16(utf16, sizeof utf16 - 1));
  EXPECT_FALSE(env()->LooksLikeUtf16(narrow, sizeof narrow - 1));
  EXPECT_FALSE(env()->LooksLikeUtf16(utf16, 1));

  const uint16_t ascii[] = {'P', 'a', 's', 's'};
  EXPECT_EQ(env()->NarrowFromUtf16(ascii, 4), "Pass");
  const uint16_t lone[] = {'a', 0xD800, 'b', 0xDC00};
  EXPECT_EQ(env()->NarrowFromUtf16(lone, 4), "a?b?");
  EXPECT_EQ(env()->NarrowFromUtf16(ascii, 0), "");
  if (::GetACP() == 1252) {
    // A character the code page lacks is '?', never a look-alike ('A' for
    // A with macron, '/' for the fraction slash).
    const uint16_t missing[] = {0x0100, 0x2044, 0x00E9};
    EXPECT_EQ(env()->NarrowFromUtf16(missing, 3), "??\xE9");
  }
}

TEST(EnvIdentity, SameFileSeesThroughSpellings) {
  TempDir dir;
  writeFile(dir.file("orders.dbf"), "x");
  writeFile(dir.file("other.dbf"), "x");
  std::string folder = Win(dir.path());
  EXPECT_TRUE(env()->SameFile(dir.file("orders.dbf"), folder + "\\.\\ORDERS.DBF"));
  EXPECT_TRUE(env()->SameFile(dir.path(), folder + "\\"));
  EXPECT_FALSE(env()->SameFile(dir.file("orders.dbf"), dir.file("other.dbf")));
  EXPECT_FALSE(env()->SameFile(dir.file("orders.dbf"), dir.file("absent")));
  // An open reader does not keep the question from being asked.
  std::unique_ptr<ReadableFile> open = env()->OpenReadOnly(dir.file("orders.dbf"));
  ASSERT_NE(open, nullptr);
  EXPECT_TRUE(env()->SameFile(dir.file("orders.dbf"), dir.file("orders.dbf")));
}

}  // namespace
}  // namespace kest::platform
