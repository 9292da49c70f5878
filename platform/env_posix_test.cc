#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

TEST(EnvFiles, OpenReadOnlyServesFilesOnly) {
  TempDir dir;
  writeFile(dir.file("t.dbf"), "0123456789");
  std::unique_ptr<ReadableFile> file = env()->OpenReadOnly(dir.file("t.dbf"));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), 10u);
  char buffer[8] = {};
  EXPECT_EQ(file->ReadAt(6, buffer, 8), 4);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(file->ReadAt(100, buffer, 8), 0);

  EXPECT_EQ(env()->OpenReadOnly(dir.file("absent")), nullptr);
  EXPECT_EQ(env()->LastErrorCode(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(env()->OpenReadOnly(dir.path()), nullptr);
  EXPECT_EQ(env()->LastErrorCode(), static_cast<uint32_t>(EISDIR));
  // A FIFO would block a reading open until someone writes to it.
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_EQ(env()->OpenReadOnly(dir.file("fifo")), nullptr);
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
  EXPECT_EQ(out->Position(), 5u);
  EXPECT_TRUE(out->Close());
  EXPECT_FALSE(out->Close());
  EXPECT_EQ(readFile(dir.file("b")), "Jello");

  EXPECT_TRUE(env()->CopyNoOverwrite(dir.file("a"), dir.file("c")));
  EXPECT_EQ(readFile(dir.file("c")), "original");
  EXPECT_FALSE(env()->CopyNoOverwrite(dir.file("b"), dir.file("c")));
  EXPECT_EQ(readFile(dir.file("c")), "original");
  EXPECT_FALSE(env()->CopyNoOverwrite(dir.file("absent"), dir.file("d")));
  EXPECT_FALSE(exists(dir.file("d")));
}

TEST(EnvFolders, KindsAreThoseOfTheEntryItselfNotOfWhatALinkPointsTo) {
  TempDir dir;
  writeFile(dir.file("file"), "x");
  ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(dir.file("folder").c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);
  struct {
    const char* name;
    EntryKind kind;
  } cases[] = {{"file", EntryKind::kFile},
               {"folder", EntryKind::kFolder},
               {"link", EntryKind::kLink},
               {"dangling", EntryKind::kLink},
               {"absent", EntryKind::kMissing}};
  for (const auto& c : cases) EXPECT_EQ(env()->KindOf(dir.file(c.name)), c.kind) << c.name;

  std::vector<DirEntry> entries;
  ASSERT_TRUE(env()->ListFolder(dir.path(), "*.*", &entries));
  ASSERT_EQ(entries.size(), 4u);
  for (const DirEntry& e : entries) {
    for (const auto& c : cases) {
      if (e.name == c.name) {
        EXPECT_EQ(e.kind, c.kind) << c.name;
      }
    }
  }
}

TEST(EnvFolders, ListingMatchesPatternsWithoutRegardToCase) {
  TempDir dir;
  for (const char* name : {"tmp_12_a.dat", "TMP_7.DAT", "tmp_9.txt", "orders.dbf", "ORDERS.FPT"}) {
    writeFile(dir.file(name), "x");
  }
  struct {
    const char* pattern;
    size_t count;
  } cases[] = {{"tmp_*.dat", 2}, {"orders.*", 2}, {"*.*", 5}, {"nothing*", 0}};
  for (const auto& c : cases) {
    std::vector<DirEntry> entries{{"stale", EntryKind::kFile}};
    EXPECT_TRUE(env()->ListFolder(dir.path(), c.pattern, &entries));
    EXPECT_EQ(entries.size(), c.count) << c.pattern;
  }
  std::vector<DirEntry> entries;
  EXPECT_FALSE(env()->ListFolder(dir.file("absent"), "*.*", &entries));
}

TEST(EnvFolders, DeletionsRemoveALinkItselfAndNeverWhatItPointsTo) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("target").c_str(), 0700), 0);
  writeFile(dir.file("target/keep"), "x");
  ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);

  EXPECT_FALSE(env()->RemoveFolder(dir.file("link")));
  EXPECT_FALSE(env()->RemoveFolder(dir.file("target")));  // not empty
  EXPECT_TRUE(env()->DeleteFile(dir.file("link")));
  EXPECT_FALSE(exists(dir.file("link")));
  EXPECT_TRUE(exists(dir.file("target/keep")));
  EXPECT_FALSE(env()->DeleteFile(dir.file("target")));
  EXPECT_TRUE(env()->DeleteFile(dir.file("target/keep")));
  EXPECT_TRUE(env()->RemoveFolder(dir.file("target")));
}

TEST(EnvFolders, PrivateFoldersAreTheUsersOwnAndNobodyElsesToEnter) {
  TempDir dir;
  mode_t old = ::umask(0);
  bool made = env()->CreatePrivateFolder(dir.file("private"));
  ::umask(old);
  ASSERT_TRUE(made);
  struct stat st;
  ASSERT_EQ(::lstat(dir.file("private").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(env()->CreatePrivateFolder(dir.file("private")));

  ASSERT_EQ(::symlink(dir.file("private").c_str(), dir.file("link").c_str()), 0);
  writeFile(dir.file("file"), "x");
  EXPECT_TRUE(env()->IsOwnFolder(dir.file("private")));
  EXPECT_FALSE(env()->IsOwnFolder(dir.file("link")));
  EXPECT_FALSE(env()->IsOwnFolder(dir.file("file")));
  EXPECT_FALSE(env()->IsOwnFolder(dir.file("absent")));
  ASSERT_EQ(::mkdir(dir.file("foreign").c_str(), 0700), 0);
  if (::chown(dir.file("foreign").c_str(), 4242, 4242) == 0) {
    EXPECT_FALSE(env()->IsOwnFolder(dir.file("foreign")));
  }
}

TEST(EnvMachine, QueriesWithoutAPosixCounterpartAnswerFalse) {
  std::string text = "unchanged";
  EXPECT_FALSE(env()->SystemFolder(&text));
  EXPECT_FALSE(env()->WindowsFolder(&text));
  EXPECT_EQ(text, "unchanged");

  std::string temp;
  ASSERT_TRUE(env()->TempPath(&temp));
  EXPECT_EQ(temp.back(), '/');
  std::string cwd, host, exe;
  EXPECT_TRUE(env()->CurrentFolder(&cwd));
  EXPECT_TRUE(env()->ComputerName(&host));
  EXPECT_FALSE(host.empty());
  EXPECT_TRUE(env()->ExecutablePath(&exe));
  EXPECT_EQ(env()->ProcessId(), static_cast<uint32_t>(::getpid()));
}

TEST(EnvErrors, LastErrorCodeAndItsText) {
  env()->SetLastErrorCode(ENOENT);
  EXPECT_EQ(env()->LastErrorCode(), static_cast<uint32_t>(ENOENT));
  std::string text;
  EXPECT_TRUE(env()->ErrorMessage(ENOENT, &text));
  EXPECT_FALSE(text.empty());
  env()->SetLastErrorCode(0);
}

TEST(EnvText, Utf16GuessAndNarrowing) {
  const char utf16[] = "H\0e\0l\0l\0o\0";
  const char narrow[] = "Hello world!";
  const unsigned char bom[] = {0xFF, 0xFE, 'A', 0};
  EXPECT_TRUE(env()->LooksLikeUtf16(utf16, sizeof utf16 - 1));
  EXPECT_FALSE(env()->LooksLikeUtf16(narrow, sizeof narrow - 1));
  EXPECT_TRUE(env()->LooksLikeUtf16(bom, sizeof bom));
  EXPECT_FALSE(env()->LooksLikeUtf16(utf16, 1));

  const uint16_t ascii[] = {'P', 'a', 's', 's'};
  EXPECT_EQ(env()->NarrowFromUtf16(ascii, 4), "Pass");
  const uint16_t lone[] = {'a', 0xD800, 'b'};
  EXPECT_EQ(env()->NarrowFromUtf16(lone, 3), "a?b");
}

}  // namespace
}  // namespace kest::platform
