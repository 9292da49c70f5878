// The temp workspace against the real file system: the product temp
// folder, the numbering, and links planted where it deletes. Where this
// system cannot make a link (wine), the planted-link parts say so and are
// left out; another user's folder can be planted only by root on POSIX.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "Common/logger/logger.h"
#include "platform/path.h"
#include "tests/test_support.h"

namespace kest {
namespace {

using testing::exists;
using testing::FakeEnv;
using testing::TempDir;
using testing::writeFile;

namespace fs = std::filesystem;

// The engine joins what it composes with the system's separator.
const std::string kSep(1, platform::kSeparator);

void MakeFolder(const std::string& path) {
  std::error_code ec;
  ASSERT_TRUE(fs::create_directory(path, ec)) << path << ": " << ec.message();
}
// Links cannot be planted everywhere; the parts that plant one ask first.
constexpr char kNoLinks[] = "this system makes no symbolic links here";
bool LinksCanBeMade() {
  static const bool can = [] {
    TempDir dir;
    return testing::makeFolderLink(dir.path(), dir.file("probe"));
  }();
  return can;
}
void MakeLink(const std::string& target, const std::string& link) {
  ASSERT_TRUE(testing::makeFolderLink(target, link)) << link;
}
bool IsFolder(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(fs::symlink_status(path, ec));
}
bool IsEmptyFolder(const std::string& path) {
  std::error_code ec;
  return IsFolder(path) && fs::is_empty(path, ec);
}
size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// A folder that someone else pointed a link at: its files must survive
// whatever the workspace does with the link.
struct Victim {
  TempDir dir;
  Victim() {
    writeFile(dir.file("precious.txt"), "keep");
    writeFile(dir.file("tmp_3.dat"), "keep");
    fs::create_directory(dir.file("sub"));
    writeFile(dir.file("sub/deep.txt"), "keep");
  }
  bool intact() const {
    return testing::readFile(dir.file("precious.txt")) == "keep" &&
           testing::readFile(dir.file("tmp_3.dat")) == "keep" &&
           testing::readFile(dir.file("sub/deep.txt")) == "keep";
  }
};

// A Logger whose temp root is a private scratch folder.
class Workspace : public ::testing::Test {
 protected:
  Workspace() { env_.variables["BRENMOORTMP"] = root_.path(); }

  std::string Product() const { return root_.file("tmp_err"); }
  std::unique_ptr<Logger> Make() { return std::make_unique<Logger>(&env_); }
  // The name the fake clock and process id give to `number`.
  std::string NameFor(uint32_t number) const {
    return Product() + kSep + "tmp_" + std::to_string(number / 100) + kSep + "tmp_4321_" +
           std::to_string(number) + "_2010_10_19_9_513_42.dat";
  }
  // Logs into a file outside the workspace; returns its path.
  std::string LogTo(Logger& logger) {
    std::string path = logDir_.file("w.log");
    logger.SetLogFile(path.c_str());
    return path;
  }

  TempDir root_;
  TempDir logDir_;
  FakeEnv env_;
};

TEST_F(Workspace, AFreshRootGetsAPrivateProductFolderAndNumbersFromOne) {
  std::unique_ptr<Logger> logger = Make();
  ASSERT_TRUE(logger->workspace().workspaceReady()) << logger->workspace().workspaceFailure();
  EXPECT_EQ(logger->workspace().productTempFolder(), Product());
  EXPECT_TRUE(env_.IsOwnFolder(Product()));
#ifndef _WIN32
  EXPECT_EQ(fs::status(Product()).permissions(), fs::perms::owner_all);
#endif
  EXPECT_EQ(logger->workspace().nextTempNumber(), 1u);
  EXPECT_EQ(logger->workspace().tempNameCapacity(), 1024u);
  EXPECT_EQ(logger->workspace().tempNameCount(), 0u);

  const char* first = logger->workspace().NewTempFileName();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, NameFor(1));
  EXPECT_TRUE(IsFolder(Product() + "/tmp_0"));
  EXPECT_FALSE(exists(first)) << "the caller creates the file";

  // Minute 51 and second 3 read 513 as well.
  env_.utc.minute = 51;
  env_.utc.second = 3;
  EXPECT_EQ(std::string(logger->workspace().NewTempFileName()), NameFor(2));
  EXPECT_EQ(logger->workspace().tempNameCount(), 2u);
  EXPECT_EQ(logger->workspace().nextTempNumber(), 3u);
}

TEST_F(Workspace, OldTempFilesDirectlyInsideAreDeletedAndNumberingGoesOn) {
  struct {
    std::vector<std::string> old;
    uint32_t next;
  } cases[] = {
      {{"tmp_12_a.dat", "tmp_7.dat"}, 13},
      {{}, 1},
      {{"tmp_abc.dat"}, 1},
      {{"TMP_20.DAT", "tmp_.dat"}, 21},
      {{"tmp_99999999999.dat"}, 2147483648u},
  };
  for (const auto& c : cases) {
    TempDir root;
    env_.variables["BRENMOORTMP"] = root.path();
    std::string product = root.file("tmp_err");
    MakeFolder(product);
    for (const std::string& name : c.old) writeFile(product + "/" + name, "old");
    writeFile(product + "/keep.txt", "x");
    writeFile(product + "/tmp_9.txt", "x");
    MakeFolder(product + "/tmp_0");
    writeFile(product + "/tmp_0/tmp_50.dat", "x");  // only direct entries count

    std::unique_ptr<Logger> logger = Make();
    ASSERT_TRUE(logger->workspace().workspaceReady()) << logger->workspace().workspaceFailure();
    EXPECT_EQ(logger->workspace().nextTempNumber(), c.next) << (c.old.empty() ? "" : c.old[0]);
    for (const std::string& name : c.old) EXPECT_FALSE(exists(product + "/" + name)) << name;
    EXPECT_TRUE(exists(product + "/keep.txt"));
    EXPECT_TRUE(exists(product + "/tmp_9.txt"));
    EXPECT_TRUE(exists(product + "/tmp_0/tmp_50.dat"));
  }
}

TEST_F(Workspace, OldEntriesThatAreFoldersGoOnlyWhenEmpty) {
  MakeFolder(Product());
  MakeFolder(Product() + "/tmp_30.dat");
  MakeFolder(Product() + "/tmp_40.dat");
  writeFile(Product() + "/tmp_40.dat/inside", "x");
  std::unique_ptr<Logger> logger = Make();
  EXPECT_EQ(logger->workspace().nextTempNumber(), 41u);
  EXPECT_FALSE(exists(Product() + "/tmp_30.dat"));
  EXPECT_TRUE(exists(Product() + "/tmp_40.dat/inside"));
}

TEST_F(Workspace, SubfoldersArePreparedAtNumbersEndingIn00And01) {
  MakeFolder(Product());
  writeFile(Product() + "/tmp_12.dat", "old");
  std::unique_ptr<Logger> logger = Make();
  ASSERT_EQ(logger->workspace().nextTempNumber(), 13u);

  // 13 to 99 point into tmp_0, which nobody prepared.
  while (logger->workspace().nextTempNumber() < 100) {
    ASSERT_NE(logger->workspace().NewTempFileName(), nullptr);
  }
  EXPECT_FALSE(exists(Product() + "/tmp_0"));

  EXPECT_EQ(std::string(logger->workspace().NewTempFileName()), NameFor(100));
  EXPECT_TRUE(IsFolder(Product() + "/tmp_1"));
  writeFile(NameFor(100), "log of run 100");
  logger->workspace().NewTempFileName();  // 101: tmp_1 is in use and stays
  EXPECT_EQ(testing::readFile(NameFor(100)), "log of run 100");

  // A file where subfolder tmp_2 goes is replaced by the folder; a link
  // where tmp_3 goes is removed itself and replaced by a folder.
  Victim victim;
  writeFile(Product() + "/tmp_2", "in the way");
  if (LinksCanBeMade()) MakeLink(victim.dir.path(), Product() + "/tmp_3");
  while (logger->workspace().nextTempNumber() <= 300) logger->workspace().NewTempFileName();
  EXPECT_TRUE(IsFolder(Product() + "/tmp_2"));
  EXPECT_TRUE(IsFolder(Product() + "/tmp_3"));
  EXPECT_TRUE(victim.intact());
}

TEST_F(Workspace, The1025thNameGrowsTheNameStorageBy1024) {
  std::unique_ptr<Logger> logger = Make();
  for (int i = 0; i < 1024; ++i) ASSERT_NE(logger->workspace().NewTempFileName(), nullptr);
  EXPECT_EQ(logger->workspace().tempNameCapacity(), 1024u);
  std::string log = LogTo(*logger);
  size_t before = testing::logMessages(log).size();

  ASSERT_NE(logger->workspace().NewTempFileName(), nullptr);
  EXPECT_EQ(logger->workspace().tempNameCapacity(), 2048u);
  EXPECT_EQ(logger->workspace().tempNameCount(), 1025u);
  std::vector<std::string> messages = testing::logMessages(log);
  std::vector<std::string> grown(messages.begin() + static_cast<long>(before), messages.end());
  EXPECT_EQ(grown, (std::vector<std::string>{"Size of storage expired, doing realloc",
                                             "Previous size was [1024]",
                                             "New size will be [2048]", "Realloc OK",
                                             "Temp space ready"}));
}

TEST_F(Workspace, WhateverStandsAtANewTempNameIsCleared) {
  std::unique_ptr<Logger> logger = Make();
  std::string log = LogTo(*logger);
  MakeFolder(Product() + "/tmp_0");

  // 1: a folder with nested content.
  MakeFolder(NameFor(1));
  writeFile(NameFor(1) + "/a", "x");
  MakeFolder(NameFor(1) + "/sub");
  writeFile(NameFor(1) + "/sub/b", "x");
  // 2: a file. 3: a link to someone's folder.
  writeFile(NameFor(2), "x");
  Victim victim;
  if (LinksCanBeMade()) MakeLink(victim.dir.path(), NameFor(3));

  for (uint32_t n = 1; n <= 3; ++n) {
    EXPECT_EQ(std::string(logger->workspace().NewTempFileName()), NameFor(n));
    EXPECT_FALSE(exists(NameFor(n))) << n;
  }
  EXPECT_TRUE(victim.intact());

  // 4: a file that cannot be deleted is reported.
  writeFile(NameFor(4), "x");
  env_.failDeleteFile = true;
  logger->workspace().NewTempFileName();
  EXPECT_EQ(Count(testing::logMessages(log), "Failed to delete temp file: [" + NameFor(4) + "]"),
            1u);
}

TEST_F(Workspace, EmptyFolderDeletesDepthFirstAndKeepsTheFolder) {
  for (const char* trailing : {"", "/"}) {
    TempDir dir;
    writeFile(dir.file("a.txt"), "x");
    writeFile(dir.file("noext"), "x");
    MakeFolder(dir.file("sub"));
    writeFile(dir.file("sub/b.txt"), "x");
    MakeFolder(dir.file("sub/deeper"));
    writeFile(dir.file("sub/deeper/c"), "x");
    testing::LogCapture log(&env_);
    std::string path = dir.path() + trailing;
    log.logger().workspace().EmptyFolder(path.c_str());
    EXPECT_TRUE(IsEmptyFolder(dir.path())) << trailing;
    EXPECT_TRUE(log.contains("Emptying folder [" + path + "]"));
    std::string sub = path + (*trailing != '\0' ? "" : kSep) + "sub";
    EXPECT_TRUE(log.contains("Emptying folder [" + sub + "]"));
    EXPECT_TRUE(log.contains("Emptying folder [" + sub + kSep + "deeper" + "]"));
  }
}

TEST_F(Workspace, EmptyFolderOnNothingToEmpty) {
  testing::LogCapture log(&env_);
  size_t before = log.messages().size();
  log.logger().workspace().EmptyFolder(root_.file("missing").c_str());
  log.logger().workspace().EmptyFolder(nullptr);
  std::vector<std::string> messages = log.messages();
  EXPECT_EQ(std::vector<std::string>(messages.begin() + static_cast<long>(before), messages.end()),
            (std::vector<std::string>{"Emptying folder [" + root_.file("missing") + "]",
                                      "Emptying folder [null]", "EmptyFolder: invalid ptr"}));
}

// Tests run as root, where a read-only folder does not stop a deletion, so
// the failures come from the fake.
TEST_F(Workspace, EmptyFolderReportsEachEntryItCannotRemove) {
  writeFile(root_.file("one"), "x");
  writeFile(root_.file("two.txt"), "x");
  env_.failDeleteFile = true;
  env_.failureCode = 5;
  {
    testing::LogCapture log(&env_);
    log.logger().workspace().EmptyFolder(root_.path().c_str());
    EXPECT_EQ(log.count("EmptyFolder: d.f. 0x00000005"), 2u);
  }
  env_.failDeleteFile = false;
  testing::TempDir dir;
  MakeFolder(dir.file("sub1"));
  MakeFolder(dir.file("sub2"));
  writeFile(dir.file("sub2/x"), "x");
  env_.failRemoveFolder = true;
  env_.failureCode = 0x91;
  testing::LogCapture log(&env_);
  log.logger().workspace().EmptyFolder(dir.path().c_str());
  EXPECT_EQ(log.count("EmptyFolder: r.d. 0x00000091"), 2u);
  EXPECT_FALSE(exists(dir.file("sub2/x")));
}

TEST_F(Workspace, PlantedLinksAreRemovedNeverEntered) {
  if (!LinksCanBeMade()) GTEST_SKIP() << kNoLinks;
  Victim victim;
  testing::LogCapture log(&env_);

  // Inside a folder being emptied.
  TempDir dir;
  MakeLink(victim.dir.path(), dir.file("link"));
  log.logger().workspace().EmptyFolder(dir.path().c_str());
  EXPECT_FALSE(exists(dir.file("link")));
  EXPECT_TRUE(victim.intact());

  // Handed to EmptyFolder itself, with and without a trailing separator.
  MakeLink(victim.dir.path(), dir.file("link"));
  log.logger().workspace().EmptyFolder(dir.file("link").c_str());
  log.logger().workspace().EmptyFolder((dir.file("link") + "/").c_str());
  EXPECT_TRUE(victim.intact());

  // Among the old temp files of the product temp folder.
  MakeFolder(Product());
  MakeLink(victim.dir.path(), Product() + "/tmp_5.dat");
  std::unique_ptr<Logger> logger = Make();
  EXPECT_EQ(logger->workspace().nextTempNumber(), 6u);
  EXPECT_FALSE(exists(Product() + "/tmp_5.dat"));
  EXPECT_TRUE(victim.intact());

  // Put in place of a handed-out name before unload.
  std::string name = logger->workspace().NewTempFileName();
  MakeFolder(Product() + "/tmp_0");
  MakeLink(victim.dir.path(), name);
  logger.reset();
  EXPECT_FALSE(exists(name));
  EXPECT_TRUE(victim.intact());
}

TEST_F(Workspace, AProductFolderThatIsNotTheUsersOwnIsRefused) {
  Victim victim;
  // Each planting answers false when this machine cannot make it.
  struct {
    const char* what;
    bool (*plant)(const std::string& product, const std::string& victim);
  } cases[] = {
      {"a link to another folder",
       [](const std::string& p, const std::string& v) { return testing::makeFolderLink(v, p); }},
      {"a file",
       [](const std::string& p, const std::string&) {
         writeFile(p, "x");
         return true;
       }},
      {"another user's folder",
       [](const std::string& p, const std::string&) {
#ifdef _WIN32
         (void)p;
         return false;  // the test has no other user to own it
#else
         return ::mkdir(p.c_str(), 0700) == 0 && ::chown(p.c_str(), 4242, 4242) == 0;
#endif
       }},
  };
  for (const auto& c : cases) {
    TempDir root;
    env_.variables["BRENMOORTMP"] = root.path();
    std::string product = root.file("tmp_err");
    if (!c.plant(product, victim.dir.path())) {
      std::printf("skipped: cannot plant %s here\n", c.what);
      continue;
    }
    std::unique_ptr<Logger> logger;
    ASSERT_NO_THROW(logger = Make()) << c.what;
    EXPECT_FALSE(logger->workspace().workspaceReady()) << c.what;
    EXPECT_NE(logger->workspace().workspaceFailure().find(product), std::string::npos) << c.what;
    EXPECT_NE(logger->workspace().workspaceFailure().find("BRENMOORTMP"), std::string::npos)
        << c.what;
    EXPECT_EQ(logger->workspace().NewTempFileName(), nullptr) << c.what;
    logger.reset();
    EXPECT_TRUE(victim.intact()) << c.what;
    EXPECT_TRUE(exists(product)) << c.what;
  }
}

TEST_F(Workspace, AFailedSetUpLeavesTheLoggerWorking) {
  // A temp root that is a file: the product temp folder cannot be made.
  writeFile(root_.file("plain"), "x");
  env_.variables["BRENMOORTMP"] = root_.file("plain");
  std::unique_ptr<Logger> logger;
  ASSERT_NO_THROW(logger = Make());
  EXPECT_FALSE(logger->workspace().workspaceReady());
  EXPECT_NE(logger->workspace().workspaceFailure().find("could not be created"), std::string::npos)
      << logger->workspace().workspaceFailure();
  EXPECT_NE(logger->workspace().workspaceFailure().find(root_.file("plain") + kSep + "tmp_err"),
            std::string::npos);
  EXPECT_EQ(logger->workspace().NewTempFileName(), nullptr);
  std::string log = LogTo(*logger);
  logger->Info("still logging");
  EXPECT_EQ(Count(testing::logMessages(log), "still logging"), 1u);

  // No temp root at all.
  env_.unsetVariables.insert("BRENMOORTMP");
  env_.failTempPath = true;
  logger = Make();
  EXPECT_FALSE(logger->workspace().workspaceReady());
  EXPECT_NE(logger->workspace().workspaceFailure().find("BRENMOORTMP"), std::string::npos);
}

TEST_F(Workspace, WhereTheTempRootComesFrom) {
  TempDir system;
  env_.tempPath = system.path() + kSep;
  struct {
    const char* what;
    bool set;
    std::string value;
    std::string product;
  } cases[] = {
      {"named", true, root_.path(), root_.path() + kSep + "tmp_err"},
      {"with one trailing separator", true, root_.path() + kSep, root_.path() + kSep + "tmp_err"},
      // The system's answer keeps its trailing separator.
      {"missing folder", true, root_.file("nowhere"), system.path() + kSep + kSep + "tmp_err"},
      {"empty", true, "", system.path() + kSep + "tmp_err"},
      {"unset", false, "", system.path() + kSep + "tmp_err"},
      {"too long", true, std::string(6000, 'r'), system.path() + kSep + "tmp_err"},
  };
  for (const auto& c : cases) {
    if (c.set) {
      env_.variables["BRENMOORTMP"] = c.value;
      env_.unsetVariables.clear();
    } else {
      env_.unsetVariables.insert("BRENMOORTMP");
    }
    std::unique_ptr<Logger> logger = Make();
    EXPECT_TRUE(logger->workspace().workspaceReady())
        << c.what << ": " << logger->workspace().workspaceFailure();
    EXPECT_EQ(logger->workspace().productTempFolder(), c.product) << c.what;
  }
}

TEST_F(Workspace, DeleteTempFilesRemovesWhatWasHandedOut) {
  std::unique_ptr<Logger> logger = Make();
  std::string asFile = logger->workspace().NewTempFileName();
  std::string asFolder = logger->workspace().NewTempFileName();
  std::string neverMade = logger->workspace().NewTempFileName();
  std::string undeletable = logger->workspace().NewTempFileName();
  writeFile(asFile, "log");
  MakeFolder(asFolder);
  writeFile(asFolder + "/inside", "x");
  writeFile(undeletable, "log");
  std::string stem = asFile.substr(0, asFile.size() - 4);  // without ".dat"
  MakeFolder(stem);
  std::string log = LogTo(*logger);

  env_.failDeleteFile = false;
  logger->workspace().DeleteTempFiles();
  std::vector<std::string> messages = testing::logMessages(log);
  EXPECT_FALSE(exists(asFile));
  EXPECT_FALSE(exists(asFolder));
  EXPECT_FALSE(exists(undeletable));
  EXPECT_FALSE(exists(stem));
  EXPECT_EQ(Count(messages, "Temp file deleted"), 2u);
  EXPECT_EQ(Count(messages, "Cannot delete temp file: [" + neverMade + "]"), 1u);

  writeFile(undeletable, "log");
  env_.failDeleteFile = true;
  logger->workspace().DeleteTempFiles();
  EXPECT_EQ(Count(testing::logMessages(log), "Failed to delete temp file: [" + undeletable + "]"),
            1u);
  env_.failDeleteFile = false;
}

TEST_F(Workspace, UnloadRemovesTheProductFolderOnlyWhenItMadeItAndNothingElseRemains) {
  {  // made here, used, emptied: gone
    std::unique_ptr<Logger> logger = Make();
    writeFile(logger->workspace().NewTempFileName(), "log");
    logger.reset();
    EXPECT_FALSE(exists(Product()));
  }
  {  // made here, but another file lies in the subfolder: all stays
    std::unique_ptr<Logger> logger = Make();
    writeFile(logger->workspace().NewTempFileName(), "log");
    writeFile(Product() + "/tmp_0/foreign.dat", "x");
    logger.reset();
    EXPECT_TRUE(exists(Product() + "/tmp_0/foreign.dat"));
    EXPECT_TRUE(IsFolder(Product()));
  }
  {  // found already there: stays, even when empty at the end
    TempDir root;
    env_.variables["BRENMOORTMP"] = root.path();
    MakeFolder(root.file("tmp_err"));
    std::unique_ptr<Logger> logger = Make();
    writeFile(logger->workspace().NewTempFileName(), "log");
    logger.reset();
    EXPECT_TRUE(IsFolder(root.file("tmp_err")));
  }
}

TEST_F(Workspace, AProductFolderReplacedAfterSetUpIsLeftAlone) {
  if (!LinksCanBeMade()) GTEST_SKIP() << kNoLinks;
  std::unique_ptr<Logger> logger = Make();
  std::string name = logger->workspace().NewTempFileName();
  writeFile(name, "log");
  fs::rename(Product(), root_.file("moved"));
  Victim victim;
  MakeFolder(victim.dir.file("tmp_0"));
  writeFile(victim.dir.file(name.substr(Product().size() + 1)), "keep");
  MakeLink(victim.dir.path(), Product());

  EXPECT_EQ(logger->workspace().NewTempFileName(), nullptr);
  logger.reset();
  EXPECT_TRUE(victim.intact());
  EXPECT_TRUE(exists(victim.dir.file(name.substr(Product().size() + 1))));
}

}  // namespace
}  // namespace kest
