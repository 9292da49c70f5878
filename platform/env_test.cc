// The cases every Env must pass, run against the one this build has.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/env_test_system.h"
#include "tests/test_support.h"

namespace kest::platform {
namespace {

using kest::testing::exists;
using kest::testing::readFile;
using kest::testing::TempDir;
using kest::testing::writeFile;
using testing::MakeFolderLink;

Env* env() { return Env::Default(); }

std::unique_ptr<ReadableFile> Open(const std::string& path) {
  std::unique_ptr<ReadableFile> file;
  env()->OpenReadOnly(path, &file);
  return file;
}

std::unique_ptr<WritableFile> Create(const std::string& path) {
  std::unique_ptr<WritableFile> file;
  env()->CreateNew(path, &file);
  return file;
}

TEST(EnvFiles, OpenReadOnlyServesFilesOnly) {
  TempDir dir;
  writeFile(dir.file("t.dbf"), "0123456789");
  std::unique_ptr<ReadableFile> file = Open(dir.file("t.dbf"));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), 10u);
  char buffer[8] = {};
  size_t got = 99;
  EXPECT_TRUE(file->ReadAt(6, buffer, 8, &got));
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_TRUE(file->ReadAt(10, buffer, 8, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(file->ReadAt(100, buffer, 8, &got));
  EXPECT_EQ(got, 0u);
  // Reading is shared with other readers.
  EXPECT_NE(Open(dir.file("t.dbf")), nullptr);

  std::unique_ptr<ReadableFile> none;
  Status absent = env()->OpenReadOnly(dir.file("absent"), &none);
  EXPECT_FALSE(absent);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(absent.code(), testing::NotFoundCode());
  EXPECT_FALSE(absent.text().empty());
  Status folder = env()->OpenReadOnly(dir.path(), &none);
  EXPECT_FALSE(folder);
  EXPECT_EQ(folder.code(), testing::OpenedFolderCode());
}

TEST(EnvFiles, CreateNewAndCopyNeverOverwrite) {
  TempDir dir;
  writeFile(dir.file("a"), "original");
  EXPECT_EQ(Create(dir.file("a")), nullptr);
  EXPECT_FALSE(env()->CopyNoOverwrite(dir.file("a"), dir.file("a")));
  EXPECT_EQ(readFile(dir.file("a")), "original");

  std::unique_ptr<WritableFile> out = Create(dir.file("b"));
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(out->Append("hello", 5));
  EXPECT_TRUE(out->WriteAt(0, "J", 1));
  EXPECT_TRUE(out->Append("!", 1));
  EXPECT_EQ(out->Position(), 6u);
  EXPECT_TRUE(out->Sync());
  EXPECT_TRUE(out->Close());
  EXPECT_FALSE(out->Close());
  EXPECT_FALSE(out->Append("x", 1));
  EXPECT_FALSE(out->Sync());
  EXPECT_EQ(readFile(dir.file("b")), "Jello!");

  EXPECT_TRUE(env()->CopyNoOverwrite(dir.file("a"), dir.file("c")));
  EXPECT_EQ(readFile(dir.file("c")), "original");
  EXPECT_FALSE(env()->CopyNoOverwrite(dir.file("b"), dir.file("c")));
  EXPECT_EQ(readFile(dir.file("c")), "original");
  EXPECT_FALSE(env()->CopyNoOverwrite(dir.file("absent"), dir.file("d")));
  EXPECT_FALSE(exists(dir.file("d")));
}

// Many megabytes in pieces of every size, a patch among them: the file
// holds each byte where it was put, however the writes were handed on.
TEST(EnvFiles, LargeWritesArriveWhole) {
  TempDir dir;
  std::unique_ptr<WritableFile> out = Create(dir.file("large"));
  ASSERT_NE(out, nullptr);
  std::string expected;
  uint32_t seed = 1;
  for (size_t piece : {size_t{1}, size_t{77}, size_t{4096}, size_t{5} << 20, size_t{5} << 20,
                       size_t{9} << 20}) {
    std::string bytes(piece, '\0');
    for (char& byte : bytes) byte = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
    ASSERT_TRUE(out->Append(bytes.data(), bytes.size()));
    expected += bytes;
  }
  ASSERT_TRUE(out->WriteAt(5, "patch", 5));
  expected.replace(5, 5, "patch");
  EXPECT_EQ(out->Position(), expected.size());
  EXPECT_TRUE(out->Sync());
  EXPECT_TRUE(out->Close());
  EXPECT_TRUE(readFile(dir.file("large")) == expected);
}

TEST(EnvFiles, ACopyThatFailsHalfwayLeavesNoTarget) {
  TempDir dir;
  writeFile(dir.file("a"), "original");
  kest::testing::ReadFailingEnv failing(4);
  Status copied = failing.CopyNoOverwrite(dir.file("a"), dir.file("b"));
  EXPECT_FALSE(copied);
  EXPECT_EQ(copied.code(), kest::testing::ReadFailingEnv::kCode);
  EXPECT_FALSE(exists(dir.file("b")));
  // A target that was there before is someone else's and stays.
  writeFile(dir.file("c"), "theirs");
  EXPECT_FALSE(failing.CopyNoOverwrite(dir.file("a"), dir.file("c")));
  EXPECT_EQ(readFile(dir.file("c")), "theirs");
}

TEST(EnvFiles, RenameNoReplaceNeverReplaces) {
  TempDir dir;
  writeFile(dir.file("a"), "first");
  writeFile(dir.file("b"), "second");
  Status refused = env()->RenameNoReplace(dir.file("a"), dir.file("b"));
  EXPECT_FALSE(refused);
  EXPECT_FALSE(refused.text().empty());
  EXPECT_EQ(readFile(dir.file("a")), "first");
  EXPECT_EQ(readFile(dir.file("b")), "second");

  EXPECT_TRUE(env()->RenameNoReplace(dir.file("a"), dir.file("c")));
  EXPECT_FALSE(exists(dir.file("a")));
  EXPECT_EQ(readFile(dir.file("c")), "first");
  EXPECT_FALSE(env()->RenameNoReplace(dir.file("absent"), dir.file("d")));
  EXPECT_FALSE(exists(dir.file("d")));

  EXPECT_TRUE(env()->SyncFolder(dir.path()));
}

TEST(EnvFiles, AppendingKeepsWhatTheFileHeldAndCreatesAMissingOne) {
  TempDir dir;
  writeFile(dir.file("old.log"), "kept\n");
  for (const char* name : {"old.log", "new.log"}) {
    std::unique_ptr<AppendingFile> log;
    ASSERT_TRUE(env()->OpenAppending(dir.file(name), &log)) << name;
    EXPECT_TRUE(log->Append("one\n", 4));
    // Written through at once: another reader sees it before the close.
    EXPECT_EQ(readFile(dir.file(name)).substr(readFile(dir.file(name)).size() - 4), "one\n");
    EXPECT_TRUE(log->Append("two\n", 4));
  }
  EXPECT_EQ(readFile(dir.file("old.log")), "kept\none\ntwo\n");
  EXPECT_EQ(readFile(dir.file("new.log")), "one\ntwo\n");

  std::unique_ptr<AppendingFile> log;
  EXPECT_FALSE(env()->OpenAppending(dir.path(), &log));
  EXPECT_FALSE(env()->OpenAppending(dir.file("no/such/folder/x.log"), &log));
  EXPECT_EQ(log, nullptr);
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

// A table deep in its folders: every call on a path takes it whole, past
// the 259 characters that bound the Windows ANSI calls. The TempDir cannot
// remove what lies that deep on every system, so the test clears it itself.
TEST(EnvFolders, PathsLongerThan259CharactersWork) {
  TempDir dir;
  std::vector<std::string> folders;
  std::string deep = dir.path();
  while (deep.size() < 320) {
    deep += "/" + std::string(50, 'd');
    ASSERT_TRUE(env()->CreateFolder(deep)) << deep.size();
    folders.push_back(deep);
  }
  const std::string table = deep + "/calls.dbf", copy = deep + "/copy.dbf";
  const std::string moved = deep + "/moved.dbf", private_ = deep + "/private";
  std::unique_ptr<WritableFile> out = Create(table);
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(out->Append("records", 7));
  EXPECT_TRUE(out->Close());

  std::unique_ptr<ReadableFile> in = Open(table);
  ASSERT_NE(in, nullptr);
  char buffer[7] = {};
  size_t got = 0;
  EXPECT_TRUE(in->ReadAt(0, buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(buffer, got), "records");
  in.reset();
  EXPECT_EQ(env()->KindOf(table), EntryKind::kFile);
  EXPECT_EQ(env()->KindOf(deep), EntryKind::kFolder);
  EXPECT_TRUE(env()->SameFile(table, deep + "/./calls.dbf"));
  EXPECT_TRUE(env()->CopyNoOverwrite(table, copy));
  EXPECT_TRUE(env()->RenameNoReplace(copy, moved));
  EXPECT_FALSE(env()->RenameNoReplace(moved, table));
  std::unique_ptr<AppendingFile> log;
  EXPECT_TRUE(env()->OpenAppending(deep + "/run.log", &log));
  log.reset();
  EXPECT_TRUE(env()->CreatePrivateFolder(private_));
  EXPECT_TRUE(env()->IsOwnFolder(private_));

  std::vector<DirEntry> entries;
  ASSERT_TRUE(env()->ListFolder(deep, "*", &entries));
  std::vector<std::string> names;
  for (const DirEntry& e : entries) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"calls.dbf", "moved.dbf", "private", "run.log"}));

  EXPECT_TRUE(env()->RemoveFolder(private_));
  for (const std::string& name : {table, moved, deep + "/run.log"}) {
    EXPECT_TRUE(env()->RemoveFile(name)) << name;
  }
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    EXPECT_TRUE(env()->RemoveFolder(*folder)) << folder->size();
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
      // Not longer_name.dbfx, which a system's own matching could find
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
}

TEST(EnvFolders, DeletionsRemoveALinkItselfAndNeverWhatItPointsTo) {
  TempDir dir;
  ASSERT_TRUE(env()->CreateFolder(dir.file("target")));
  writeFile(dir.file("target/keep"), "x");
  if (MakeFolderLink(dir.file("link"), dir.file("target"))) {
    EXPECT_FALSE(env()->RemoveFolder(dir.file("link")));
    EXPECT_TRUE(env()->RemoveFile(dir.file("link")));
    EXPECT_FALSE(exists(dir.file("link")));
    EXPECT_TRUE(exists(dir.file("target/keep")));
  }
  EXPECT_FALSE(env()->RemoveFolder(dir.file("target")));  // not empty
  EXPECT_FALSE(env()->RemoveFile(dir.file("target")));
  EXPECT_TRUE(env()->RemoveFile(dir.file("target/keep")));
  EXPECT_TRUE(env()->RemoveFolder(dir.file("target")));
  EXPECT_FALSE(exists(dir.file("target")));
}

TEST(EnvFolders, PrivateFoldersAreTheUsersOwn) {
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
}

TEST(EnvMachine, QueriesAboutThisProcess) {
  std::string temp, cwd, host, exe;
  ASSERT_TRUE(env()->TempPath(&temp));
  EXPECT_EQ(temp.back(), testing::TempPathSeparator());
  EXPECT_TRUE(env()->CurrentFolder(&cwd));
  EXPECT_TRUE(env()->ComputerName(&host));
  EXPECT_FALSE(host.empty());
  EXPECT_TRUE(env()->ExecutablePath(&exe));
  EXPECT_EQ(env()->ProcessId(), testing::SystemProcessId());

  TempDir dir;
  std::unique_ptr<Library> library;
  Status absent = env()->OpenLibrary(dir.file("absent.lib"), &library);
  EXPECT_FALSE(absent);
  EXPECT_NE(absent.code(), 0u);
  EXPECT_EQ(library, nullptr);
}

// A started thread has run its body once Join returns, and destroying one
// that nobody joined waits for it as well.
TEST(EnvMachine, ThreadsRunTheirBodyAndAreJoined) {
  EXPECT_GE(env()->ProcessorCount(), 1u);
  for (bool joinFirst : {true, false}) {
    int ran = 0;
    std::unique_ptr<Thread> thread;
    ASSERT_TRUE(env()->StartThread([&ran] { ++ran; }, &thread));
    ASSERT_NE(thread, nullptr);
    if (joinFirst) {
      thread->Join();
      thread->Join();  // a second join does nothing
    }
    thread.reset();
    EXPECT_EQ(ran, 1) << (joinFirst ? "joined" : "destroyed");
  }
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
}

TEST(EnvErrors, TextsOfCodesEndWithoutALineBreak) {
  std::string text;
  ASSERT_TRUE(env()->ErrorMessage(testing::NotFoundCode(), &text));
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), '\n');
  EXPECT_NE(text.back(), '\r');
  EXPECT_NE(text.back(), ' ');
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
  EXPECT_EQ(env()->NarrowFromUtf16(lone, 3), "a?b");
  EXPECT_EQ(env()->NarrowFromUtf16(ascii, 0), "");
}

TEST(EnvIdentity, SameFileSeesThroughSpellings) {
  TempDir dir;
  writeFile(dir.file("orders.dbf"), "x");
  writeFile(dir.file("other.dbf"), "x");
  EXPECT_TRUE(env()->SameFile(dir.file("orders.dbf"), dir.path() + "/./orders.dbf"));
  EXPECT_TRUE(env()->SameFile(dir.path(), dir.path() + "/"));
  EXPECT_FALSE(env()->SameFile(dir.file("orders.dbf"), dir.file("other.dbf")));
  EXPECT_FALSE(env()->SameFile(dir.file("orders.dbf"), dir.file("absent")));
  // An open reader does not keep the question from being asked.
  std::unique_ptr<ReadableFile> open = Open(dir.file("orders.dbf"));
  ASSERT_NE(open, nullptr);
  EXPECT_TRUE(env()->SameFile(dir.file("orders.dbf"), dir.file("orders.dbf")));
}

}  // namespace
}  // namespace kest::platform
