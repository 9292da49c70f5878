#include "Common/logger/logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace kest {
namespace {

using testing::FakeEnv;
using testing::LogCapture;
using testing::TempDir;

// A Logger without workspace on a fake clock, logging into a file of its own.
class LoggerTest : public ::testing::Test {
 protected:
  LoggerTest() : path_(dir_.file("run.log")), logger_(&env_, false) {}

  // Opens the log and forgets the machine-info block it starts with.
  void Open() {
    logger_.SetLogFile(path_.c_str());
    Mark();
  }
  void Mark() { mark_ = Lines().size(); }

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::string text = testing::readFile(path_);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }
  std::vector<std::string> NewLines() const {
    std::vector<std::string> all = Lines();
    return std::vector<std::string>(all.begin() + static_cast<long>(mark_), all.end());
  }
  std::string OnlyNewLine() const {
    std::vector<std::string> lines = NewLines();
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? std::string() : lines.back();
  }

  TempDir dir_;
  FakeEnv env_;
  std::string path_;
  Logger logger_;
  size_t mark_ = 0;
};

TEST_F(LoggerTest, LinesHaveTheLevelPaddedToSixColumnsAndEndInOneLineFeed) {
  Open();
  logger_.Info("plain");
  logger_.DebugNumber("Record", 7);
  logger_.Error("broken");
  logger_.AssertReport(false, "A.F. Exp [!\"x\"] File [f] Line ", 12);
  logger_.WriteLine(kLevelAll, "threshold level");
  std::vector<std::string> lines = NewLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "  INFO  | plain ");
  EXPECT_EQ(lines[1], " DEBUG  | Record [7] ");
  EXPECT_EQ(lines[2], " ERROR  | broken ");
  EXPECT_EQ(lines[3], "ASSERT  | A.F. Exp [!\"x\"] File [f] Line  [12] ");
  EXPECT_EQ(lines[4], "   ALL  | threshold level ");
  EXPECT_EQ(testing::readFile(path_).find('\r'), std::string::npos);
}

TEST_F(LoggerTest, TimeStampAtMostOnceInTwoSeconds) {
  const int64_t start = env_.now;  // the Logger was made at this second
  Open();
  struct {
    int64_t at;
    const char* timeColumn;
  } cases[] = {
      {start, ""},
      {start + 1, ""},
      {start + 2, "09:05:05"},
      {start + 3, ""},
      {start + 4, "09:05:07"},
      {start + 4, ""},
      {start - 60, ""},  // a clock stepping back stamps nothing
      {start + 7, "09:05:10"},
  };
  for (const auto& c : cases) {
    env_.now = c.at;
    Mark();
    logger_.Info("m");
    EXPECT_EQ(OnlyNewLine(), std::string("  INFO ") + c.timeColumn + " | m ") << c.at - start;
  }
}

TEST_F(LoggerTest, TextAndNumberForms) {
  Open();
  logger_.InfoString("Log file name:", "x.log");
  logger_.InfoString("Absent", nullptr);
  logger_.InfoString("Empty", "");
  logger_.InfoNumber("Negative", -5);
  logger_.ErrorString("Bad", nullptr);
  logger_.ErrorNumber("Code", -1000);
  std::vector<std::string> lines = NewLines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "  INFO  | Log file name: [x.log] ");
  EXPECT_EQ(lines[1], "  INFO  | Absent [null] ");
  EXPECT_EQ(lines[2], "  INFO  | Empty [] ");
  EXPECT_EQ(lines[3], "  INFO  | Negative [-5] ");
  EXPECT_EQ(lines[4], " ERROR  | Bad [null] ");
  EXPECT_EQ(lines[5], " ERROR  | Code [-1000] ");
}

TEST_F(LoggerTest, NullMessagesAndFormatsAreDropped) {
  Open();
  logger_.Info(nullptr);
  logger_.Error(nullptr);
  logger_.InfoString(nullptr, "t");
  logger_.ErrorString(nullptr, nullptr);
  logger_.InfoNumber(nullptr, 1);
  logger_.DebugNumber(nullptr, 1);
  logger_.ErrorNumber(nullptr, 1);
  logger_.AssertReport(false, nullptr, 1);
  logger_.ErrorFormat(nullptr);
  logger_.WriteLine(kLevelInfo, nullptr);
  EXPECT_TRUE(NewLines().empty());
}

TEST_F(LoggerTest, ComposedMessagesAreCutButPlainOnesWrittenWhole) {
  Open();
  const std::string longText(5000, 'x');
  const std::string prefix = "  INFO  | ";
  logger_.InfoString("m", longText.c_str());
  EXPECT_EQ(OnlyNewLine(), prefix + ("m [" + longText).substr(0, 4095) + " ");
  Mark();
  logger_.ErrorNumber(longText.c_str(), 1);
  EXPECT_EQ(OnlyNewLine(), " ERROR  | " + longText.substr(0, 4095) + " ");
  Mark();
  const std::string huge(20000, 'y');
  logger_.ErrorFormat("%s%d", huge.c_str(), 42);
  EXPECT_EQ(OnlyNewLine(), " ERROR  | " + huge.substr(0, 16383) + " ");
  Mark();
  logger_.ErrorFormat("EmptyFolder: r.d. 0x%08x", 0x91u);
  EXPECT_EQ(OnlyNewLine(), " ERROR  | EmptyFolder: r.d. 0x00000091 ");
  Mark();
  logger_.Info(huge.c_str());
  EXPECT_EQ(OnlyNewLine(), prefix + huge + " ");
}

TEST_F(LoggerTest, AssertLinesCarryTheSystemTextOfTheLastError) {
  Open();
  env_.errorTexts[5] = "Access is denied.\r\n";
  env_.errorTexts[6] = "first\nsecond";
  env_.errorTexts[7] = std::string(2000, 'z');
  struct {
    uint32_t code;
    int32_t level;
    std::string line;
  } cases[] = {
      {5, kLevelAssert, "ASSERT  | m [1] {0x00000005| Access is denied.}"},
      {6, kLevelAssert, "ASSERT  | m [1] {0x00000006| first}"},
      {0x1234, kLevelAssert, "ASSERT  | m [1] {0x00001234| <FormatMessage fail>}"},
      {0, kLevelAssert, "ASSERT  | m [1] "},
      {5, kLevelError, " ERROR  | m [1] "},
      {5, kLevelInfo, "  INFO  | m [1] "},
  };
  for (const auto& c : cases) {
    Mark();
    env_.lastError = c.code;
    if (c.level == kLevelAssert) logger_.AssertReport(false, "m", 1);
    if (c.level == kLevelError) logger_.ErrorNumber("m", 1);
    if (c.level == kLevelInfo) logger_.InfoNumber("m", 1);
    EXPECT_EQ(OnlyNewLine(), c.line);
    EXPECT_EQ(env_.lastError, c.code) << "logging keeps the caller's last error";
  }

  // A system text of 2000 characters is cut to 1023, and the column, built
  // in a buffer of the same size, to 1023 as well.
  Mark();
  env_.lastError = 7;
  logger_.AssertReport(false, "m", 1);
  std::string line = OnlyNewLine();
  std::string column = line.substr(line.find("{0x"));
  EXPECT_EQ(column.size(), 1023u);
  EXPECT_EQ(column, "{0x00000007| " + std::string(1023 - 13, 'z'));

  Mark();
  logger_.AssertReport(true, "m", 1);
  EXPECT_TRUE(NewLines().empty());
}

TEST_F(LoggerTest, CheckStringPtrReportsOnlyAnAbsentString) {
  Open();
  logger_.CheckStringPtr("name", "A.F. String invalid [name] File [f] Line ", 1115);
  EXPECT_TRUE(NewLines().empty());
  logger_.CheckStringPtr(nullptr, "A.F. String invalid [name] File [f] Line ", 1115);
  EXPECT_EQ(OnlyNewLine(), " ERROR  | A.F. String invalid [name] File [f] Line  [1115] ");
}

TEST_F(LoggerTest, StatesOfEnableDisableAndSetLogFile) {
  // Without a log file nothing is written and Enable cannot switch it on.
  logger_.Enable();
  EXPECT_FALSE(logger_.IsEnabledFor(kLevelInfo));
  logger_.Info("dropped");
  EXPECT_FALSE(testing::exists(path_));

  Open();
  EXPECT_TRUE(logger_.IsEnabledFor(kLevelDebug));
  logger_.Disable();
  EXPECT_FALSE(logger_.IsEnabledFor(kLevelAssert));
  logger_.Info("disabled");
  logger_.ErrorFormat("disabled %d", 1);
  logger_.AssertReport(false, "disabled", 1);
  EXPECT_TRUE(NewLines().empty());
  logger_.Enable();
  logger_.Info("enabled again");
  EXPECT_EQ(OnlyNewLine(), "  INFO  | enabled again ");

  // An empty name and a file that cannot be opened leave no log.
  logger_.SetLogFile("");
  EXPECT_FALSE(logger_.HasLogFile());
  logger_.SetLogFile(dir_.file("no/such/folder/x.log").c_str());
  EXPECT_FALSE(logger_.HasLogFile());
  logger_.SetLogFile(dir_.path().c_str());  // a folder
  EXPECT_FALSE(logger_.HasLogFile());
  Mark();
  logger_.Info("nowhere");
  EXPECT_TRUE(NewLines().empty());
}

TEST_F(LoggerTest, SettingALogFileAppendsAndWritesTheMachineBlockEachTime) {
  testing::writeFile(path_, "earlier run\n");
  logger_.SetLogFile(path_.c_str());
  logger_.Info("first");
  logger_.Disable();
  logger_.SetLogFile(path_.c_str());  // enables again
  logger_.Info("second");
  std::vector<std::string> lines = Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "earlier run");
  size_t titles = 0;
  for (const std::string& l : lines) {
    titles += l == "  INFO  | ============== LOGGER MACHINE INFO ================= ";
  }
  EXPECT_EQ(titles, 2u);
  EXPECT_EQ(lines[lines.size() - 1], "  INFO  | second ");
}

// A log the system will not open, or whose every write it refuses.
class FailingLogEnv : public platform::EnvWrapper {
 public:
  explicit FailingLogEnv(bool failOpen)
      : EnvWrapper(platform::Env::Default()), failOpen_(failOpen) {}
  platform::Status OpenAppending(const std::string& path,
                                 std::unique_ptr<platform::AppendingFile>* file) override {
    if (failOpen_) return platform::Status::Failure(13, "Permission denied");
    platform::Status status = target()->OpenAppending(path, file);
    if (status) *file = std::make_unique<Refusing>();
    return status;
  }

 private:
  struct Refusing : platform::AppendingFile {
    platform::Status Append(const void*, size_t) override {
      return platform::Status::Failure(28, "No space left on device");
    }
  };
  bool failOpen_;
};

TEST(LoggerLogFile, ALogThatCannotBeOpenedOrWrittenIsDroppedQuietly) {
  for (bool failOpen : {true, false}) {
    TempDir dir;
    FailingLogEnv env(failOpen);
    Logger logger(&env, false);
    logger.SetLogFile(dir.file("run.log").c_str());
    EXPECT_EQ(logger.HasLogFile(), !failOpen);
    EXPECT_EQ(logger.IsEnabledFor(kLevelInfo), !failOpen);
    logger.Info("dropped");
    logger.AssertReport(false, "dropped", 1);
    EXPECT_EQ(testing::exists(dir.file("run.log")), !failOpen);
    if (!failOpen) {
      EXPECT_EQ(testing::readFile(dir.file("run.log")), "");
    }
  }
}

// The messages of a fresh log: its machine-info block.
std::vector<std::string> MachineBlock(FakeEnv* env, std::string* firstLine = nullptr) {
  TempDir dir;
  Logger logger(env, false);
  logger.SetLogFile(dir.file("m.log").c_str());
  if (firstLine != nullptr) *firstLine = testing::logLines(dir.file("m.log")).at(0);
  return testing::logMessages(dir.file("m.log"));
}

// The machine-info block: labels of its lines, in order.
std::vector<std::string> MachineBlockLabels(const std::vector<std::string>& messages) {
  std::vector<std::string> labels;
  for (const std::string& m : messages) labels.push_back(m.substr(0, m.find(" [")));
  return labels;
}

TEST(MachineInfo, FourteenLinesWithBrenmoortmpThirteenWithout) {
  const std::string frame(52, '=');
  for (bool withVariable : {true, false}) {
    FakeEnv env;
    env.now = FakeEnv::At(9, 5, 3);
    env.systemFolder = "C:\\WINDOWS\\system32";
    env.windowsFolder = "C:\\WINDOWS";
    env.currentFolder = "/work";
    if (withVariable) {
      env.variables["BRENMOORTMP"] = "/scratch";
    } else {
      env.unsetVariables.insert("BRENMOORTMP");
    }
    std::string firstLine;
    std::vector<std::string> messages = MachineBlock(&env, &firstLine);
    ASSERT_EQ(messages.size(), withVariable ? 14u : 13u);
    std::vector<std::string> expected = {
        " ",
        frame,
        "============== LOGGER MACHINE INFO =================",
        frame,
        "__DATE__",
        "__TIME__",
        "Today is",
        "GetCurrentDirectory",
        "GetSystemDirectory",
        "GetWindowsDirectory",
        "GetTempPath",
        "%%BRENMOORTMP%%",
        "GetComputerName",
        frame};
    if (!withVariable) expected.erase(expected.begin() + 11);
    EXPECT_EQ(MachineBlockLabels(messages), expected);
    EXPECT_EQ(firstLine, "  INFO  |   ");
    EXPECT_EQ(messages[6], "Today is [19.10.2010 09:05:03]");
    EXPECT_EQ(messages[7], "GetCurrentDirectory [/work]");
    EXPECT_EQ(messages[9], "GetWindowsDirectory [C:\\WINDOWS]");
    if (withVariable) {
      EXPECT_EQ(messages[11], "%%BRENMOORTMP%% [/scratch]");
    }
    EXPECT_TRUE(std::regex_match(messages[4], std::regex(R"(__DATE__ \[[A-Z][a-z]{2} [ 0-9]\d \d{4}\])")))
        << messages[4];
    EXPECT_TRUE(std::regex_match(messages[5], std::regex(R"(__TIME__ \[\d\d:\d\d:\d\d\])")))
        << messages[5];
  }
}

TEST(MachineInfo, FailedOrEmptyQueriesLeaveTheirLineOut) {
  FakeEnv env;
  env.variables["BRENMOORTMP"] = "";  // set but empty reads as no answer
  env.failTempPath = true;
  env.currentFolder = "";
  // POSIX has no system or Windows folder to show; on Windows they answer
  // empty here.
  env.systemFolder = "";
  env.windowsFolder = "";
  std::vector<std::string> labels = MachineBlockLabels(MachineBlock(&env));
  for (const char* absent : {"GetCurrentDirectory", "GetSystemDirectory", "GetWindowsDirectory",
                             "GetTempPath", "%%BRENMOORTMP%%"}) {
    EXPECT_EQ(std::count(labels.begin(), labels.end(), absent), 0) << absent;
  }
  EXPECT_EQ(labels.size(), 9u);
}

TEST(MachineInfo, AnAnswerTooLongForTheQueryBufferShowsOnlyItsOwnText) {
  FakeEnv env;
  env.currentFolder = std::string(6000, 'd');
  for (const std::string& m : MachineBlock(&env)) {
    if (m.rfind("GetCurrentDirectory [", 0) != 0) continue;
    std::string shown = m.substr(std::string("GetCurrentDirectory [").size());
    EXPECT_EQ(shown.find_first_not_of('d'), std::string::npos);
    EXPECT_EQ(m.size(), 4095u);
    return;
  }
  ADD_FAILURE() << "no GetCurrentDirectory line";
}

TEST(VersionInfo, FramesAroundTheTitle) {
  LogCapture log;
  log.logger().WriteVersionInfo();
  const std::string frame(52, '=');
  EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                frame, "============== VERSION INFO ========================",
                                frame, frame}));
}

TEST(LogCaptureSupport, InstallsItsLoggerAndShowsWhatFollowsTheMachineBlock) {
  LogCapture log;
  Log().InfoString("Through Log():", "yes");
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Through Log(): [yes]"});
}

}  // namespace
}  // namespace kest
