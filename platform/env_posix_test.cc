// What only the POSIX Env does: FIFOs, dangling links, modes and owners,
// the machine folders it lacks, errno.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/env_test_system.h"
#include "tests/test_support.h"

namespace kest::platform {

namespace testing {

uint32_t NotFoundCode() { return ENOENT; }
uint32_t OpenedFolderCode() { return EISDIR; }
char TempPathSeparator() { return '/'; }
bool MakeFolderLink(const std::string& link, const std::string& target) {
  return ::symlink(target.c_str(), link.c_str()) == 0;
}
uint32_t SystemProcessId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace testing

namespace {

using kest::testing::TempDir;
using kest::testing::writeFile;

Env* env() { return Env::Default(); }

TEST(EnvPosix, AFifoIsRefusedRatherThanWaitedFor) {
  TempDir dir;
  // A FIFO would block a reading open until someone writes to it.
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  std::unique_ptr<ReadableFile> file;
  EXPECT_FALSE(env()->OpenReadOnly(dir.file("fifo"), &file));
  EXPECT_EQ(file, nullptr);
}

TEST(EnvPosix, KindsOfDanglingLinksAndOfWhatCannotBeTold) {
  TempDir dir;
  writeFile(dir.file("file"), "x");
  ASSERT_EQ(::symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);
  EXPECT_EQ(env()->KindOf(dir.file("dangling")), EntryKind::kLink);
  // Below a file nothing can stand.
  EXPECT_EQ(env()->KindOf(dir.file("file/below")), EntryKind::kMissing);
  // A name longer than any the file system holds is not known to be absent.
  EXPECT_EQ(env()->KindOf(dir.file(std::string(300, 'n'))), EntryKind::kUnknown);
  EXPECT_FALSE(IsPresent(EntryKind::kUnknown));

  std::vector<DirEntry> entries;
  ASSERT_TRUE(env()->ListFolder(dir.path(), "*.*", &entries));
  ASSERT_EQ(entries.size(), 2u);
  for (const DirEntry& e : entries) {
    EXPECT_EQ(e.kind, e.name == "file" ? EntryKind::kFile : EntryKind::kLink) << e.name;
  }
}

TEST(EnvPosix, PrivateFoldersAreNobodyElsesToEnter) {
  TempDir dir;
  mode_t old = ::umask(0);
  bool made = env()->CreatePrivateFolder(dir.file("private")).ok();
  ::umask(old);
  ASSERT_TRUE(made);
  struct stat st;
  ASSERT_EQ(::lstat(dir.file("private").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::mkdir(dir.file("foreign").c_str(), 0700), 0);
  if (::chown(dir.file("foreign").c_str(), 4242, 4242) == 0) {
    EXPECT_FALSE(env()->IsOwnFolder(dir.file("foreign")));
  }
}

TEST(EnvPosix, NoMachineFoldersAndAFolderSyncThatAsks) {
  std::string text = "unchanged";
  EXPECT_FALSE(env()->MachineFolderPath(MachineFolder::kSystemLibraries, &text));
  EXPECT_FALSE(env()->MachineFolderPath(MachineFolder::kSystemRoot, &text));
  EXPECT_EQ(text, "unchanged");
  TempDir dir;
  Status absent = env()->SyncFolder(dir.file("absent"));
  EXPECT_FALSE(absent);
  EXPECT_EQ(absent.code(), static_cast<uint32_t>(ENOENT));
}

TEST(EnvPosix, ThreadErrorCodeIsErrno) {
  errno = ENOENT;
  EXPECT_EQ(env()->ThreadErrorCode(), static_cast<uint32_t>(ENOENT));
  std::string text;
  EXPECT_TRUE(env()->ErrorMessage(ENOENT, &text));
  EXPECT_FALSE(text.empty());
  errno = 0;
}

TEST(EnvPosix, AByteOrderMarkMakesUtf16) {
  const unsigned char bom[] = {0xFF, 0xFE, 'A', 0};
  EXPECT_TRUE(env()->LooksLikeUtf16(bom, sizeof bom));
  const char hello[] = "H\0e\0l\0l\0o\0";
  EXPECT_TRUE(env()->LooksLikeUtf16(hello, sizeof hello - 1));
}

}  // namespace
}  // namespace kest::platform
