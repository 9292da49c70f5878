// The engine through its C interface, as a host sees it: the library is
// loaded at run time from the build's bin folder and every callback is
// recorded. Cases that need a fresh load, or a host executable somewhere
// else, run the engine_probe host in a process of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kestdll/include/kestdll.h"
#include "kestdll/result_placement.h"
#include "kestdll/testing_host.h"
#include "platform/path.h"
#include "tests/child_process.h"
#include "tests/engine_loader.h"
#include "tests/source_guard.h"
#include "tests/table_builder.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace kest {
namespace {

using testing::TableBuilder;
using testing::TempDir;
using testing::TestHost;
using testing::progress;
using testing::status;

using testing::SourceGuard;

const std::string kBinDir = KEST_BIN_DIR;
const std::string kEngine = testing::EngineLibrary::BuiltPath();
const std::string kHostServices = testing::moduleFileName("valcore");

// The same file, however the system spells its path: the engine names the
// host-services library by the path the system gives its own module
// (Windows: a drive letter and backslashes).
std::string Spelled(const std::string& path) {
#ifdef _WIN32
  return fs::weakly_canonical(fs::path(path)).make_preferred().string();
#else
  return path;
#endif
}

// The engine's exports, from the one load the tests of this process share.
const testing::EngineExports& Engine() { return testing::EngineLibrary::Built().exports(); }

// --- tables ---------------------------------------------------------------------

// A sound table of `count` live records, small enough that the worst-case
// method (which needs 2,048 bytes) finds nothing: the best case wins.
void WriteSoundTable(const std::string& path, int count) {
  TableBuilder table;
  table.field("NAME", 'C', 12).field("QTY", 'N', 5).field("SINCE", 'D', 8);
  for (int i = 0; i < count; ++i) {
    char body[40];
    std::snprintf(body, sizeof body, "%-12s%5d2019%02d%02d", ("item" + std::to_string(i)).c_str(),
                  i, 1 + i % 12, 1 + i % 28);
    table.record(body);
  }
  table.write(path);
}

// A sound table of `count` records whose header the best-case method
// cannot trust (record length zero), big enough for the worst-case method.
void WriteDamagedHeaderTable(const std::string& path, int count) {
  TableBuilder table;
  table.field("NAME", 'C', 20).field("CITY", 'C', 14).field("QTY", 'N', 6);
  for (int i = 0; i < count; ++i) {
    char body[64];
    std::snprintf(body, sizeof body, "%-20s%-14s%6d", ("customer " + std::to_string(i)).c_str(),
                  (i % 2 ? "Springfield" : "Shelbyville"), i * 7);
    table.record(body);
  }
  std::string bytes = table.bytes();
  // Record count and record length read as zero: the header declares no
  // record at all.
  for (int i = 4; i < 8; ++i) bytes[i] = 0;
  bytes[10] = bytes[11] = 0;
  testing::writeFile(path, bytes);
}

// --- the host -------------------------------------------------------------------

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Engine().complete()) << "cannot load " << kEngine;
    // Ready when both the workspace and the host-services library are.
    ASSERT_EQ(Engine().loadValcore(), 0);
    Engine().setBreakFlag(&host_.breakByte);
    table_ = source_.file("orders.dbf");
  }
  void TearDown() override {
    static char idle = 0;
    Engine().setBreakFlag(&idle);
  }
  // Remembers the source folder's files, to be found unchanged at the end.
  void Freeze() { guard_.emplace(SourceGuard::WholeFolder{source_.path()}); }

  int32_t Run(const char* log = nullptr) {
    return Engine().fileRecover(table_.c_str(), output_.path().c_str(), 0,
                                &TestHost::Status, &TestHost::Progress, &host_, log);
  }
  std::vector<std::string> Results() { return testing::entries(output_.path()); }
  std::string ResultFolder() {
    std::vector<std::string> names = Results();
    return names.size() == 1 ? output_.file(names[0]) : std::string();
  }

  TempDir source_, output_;
  std::string table_;
  TestHost host_;
  std::optional<SourceGuard> guard_;
};

TEST_F(EngineTest, VersionQueriesAnswerZero) {
  EXPECT_EQ(Engine().getDllVersion(), 0);
  EXPECT_EQ(Engine().isEnvReady(), 0);
  WriteSoundTable(table_, 3);
  Freeze();
  Run();
  EXPECT_EQ(Engine().getDllVersion(), 0);
  EXPECT_EQ(Engine().isEnvReady(), 0);
}

TEST_F(EngineTest, BestCaseWin) {
  WriteSoundTable(table_, 40);
  testing::writeFile(source_.file("orders.FPT"), std::string(512, '\0'));
  Freeze();
  EXPECT_EQ(Run(), KEST_OK);
  EXPECT_EQ(host_.events, testing::bestCaseWinEvents());
  EXPECT_EQ(host_.wrongCalls, 0);
  std::string folder = ResultFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(fs::path(folder).filename().string().rfind("Recovered orders.dbf ", 0), 0u);
  EXPECT_EQ(testing::entries(folder), (std::vector<std::string>{"orders.FPT", "orders.dbf"}));
  EXPECT_EQ(testing::readFile(folder + "/orders.FPT"), std::string(512, '\0'));
  std::string result = testing::readFile(folder + "/orders.dbf");
  ASSERT_GE(result.size(), 8u);
  EXPECT_EQ(static_cast<uint8_t>(result[4]), 40);  // the record count
}

TEST_F(EngineTest, WorstCaseWin) {
  WriteDamagedHeaderTable(table_, 120);
  Freeze();
  EXPECT_EQ(Run(), KEST_OK);
  EXPECT_EQ(host_.mainEvents(), testing::worstCaseWinEvents());
  std::vector<int32_t> own = host_.worstCaseProgress();
  ASSERT_GE(own.size(), 2u);
  EXPECT_EQ(std::vector<int32_t>(own.end() - 2, own.end()), (std::vector<int32_t>{80, 85}));
  for (size_t i = 1; i + 2 < own.size(); ++i) EXPECT_NE(own[i], own[i - 1]);
  std::string folder = ResultFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(testing::entries(folder), std::vector<std::string>{"RECOVERED.DBF"});
}

TEST_F(EngineTest, HealthyTableWithLongRecordsComesBackUnchanged) {
  // 590-byte records: beyond the lengths the worst-case search tries, so
  // its count must not decide.
  table_ = testing::copyTestData("dbase_03.dbf", source_);
  Freeze();
  TempDir logs;
  std::string log = logs.file("run.log");
  EXPECT_EQ(Run(log.c_str()), KEST_OK);
  std::string folder = ResultFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(testing::entries(folder), std::vector<std::string>{"dbase_03.dbf"});
  EXPECT_EQ(testing::readFile(folder + "/dbase_03.dbf"), testing::readFile(table_));
  std::vector<std::string> logged = testing::logMessages(log);
  auto choice =
      std::find(logged.begin(), logged.end(), "Determine which method was more successful");
  ASSERT_LT(choice + 1, logged.end());
  EXPECT_EQ(choice[1], "Best-case record length is beyond the worst-case search range [590]");
}

TEST_F(EngineTest, NothingToRecover) {
  TableBuilder().field("NAME", 'C', 10).write(table_);
  Freeze();
  EXPECT_EQ(Run(), KEST_NOTHING);
  EXPECT_EQ(host_.events, testing::nothingFoundEvents());
  EXPECT_TRUE(Results().empty());
}

TEST_F(EngineTest, MissingSource) {
  EXPECT_EQ(Run(), KEST_SOURCE_UNREADABLE);
  ASSERT_FALSE(host_.events.empty());
  EXPECT_EQ(host_.events.back(), status("Pass 2: trying best-case recovery method..."));
  EXPECT_TRUE(Results().empty());
}

TEST_F(EngineTest, ExistingResultsFolder) {
  WriteSoundTable(table_, 5);
  Freeze();
  // A clock one minute ahead names the folder of a run that crosses into
  // the next minute.
  testing::FixedClockEnv ahead(platform::Env::Default()->NowSeconds() + 60);
  for (platform::Env* env : {platform::Env::Default(), static_cast<platform::Env*>(&ahead)}) {
    fs::create_directory(makeResultFolderName(table_.c_str(), output_.path().c_str(), env));
  }
  std::vector<std::string> made = Results();
  EXPECT_EQ(Run(), KEST_CANNOT_CREATE);
  EXPECT_EQ(host_.events.back(), progress(70));
  EXPECT_EQ(Results(), made);
  for (const std::string& name : made) EXPECT_TRUE(testing::entries(output_.file(name)).empty());
}

TEST_F(EngineTest, SecondRunInTheSameMinuteFindsItsFolderTaken) {
  WriteSoundTable(table_, 5);
  Freeze();
  std::vector<int32_t> codes;
  // Two runs that straddle a minute boundary both succeed; a third then
  // shares the second's minute.
  for (int i = 0; i < 3; ++i) codes.push_back(Run());
  EXPECT_EQ(codes[0], KEST_OK);
  EXPECT_TRUE(codes[1] == KEST_CANNOT_CREATE || codes[2] == KEST_CANNOT_CREATE);
}

TEST_F(EngineTest, ResultPathThatDoesNotFitIsRefused) {
  WriteSoundTable(table_, 5);
  Freeze();
  // An output folder that leaves the results folder name (at most 38
  // characters for this table) room, but not the table inside it.
  std::string deep = output_.path();
  while (deep.size() < 215) deep += "/" + std::string(std::min<size_t>(40, 215 - deep.size()), 'd');
  fs::create_directories(deep);
  TempDir logs;
  std::string log = logs.file("run.log");
  EXPECT_EQ(Engine().fileRecover(table_.c_str(), deep.c_str(), 0, &TestHost::Status,
                                 &TestHost::Progress, &host_, log.c_str()),
            KEST_CANNOT_CREATE);
  EXPECT_TRUE(testing::entries(deep).empty());
  EXPECT_NE(testing::readFile(log).find("Result path does not fit in 259 characters:"),
            std::string::npos);
}

TEST_F(EngineTest, BreakDuringBestCaseScan) {
  WriteSoundTable(table_, 40);
  Freeze();
  host_.onEvent = [&](const std::string& e) {
    if (e == progress(10)) host_.breakByte = 1;
  };
  EXPECT_EQ(Run(), KEST_USER_BREAK);
  EXPECT_EQ(host_.events.back(), progress(10));
  EXPECT_TRUE(Results().empty());
}

TEST_F(EngineTest, BreakDuringWorstCaseScan) {
  WriteDamagedHeaderTable(table_, 120);
  Freeze();
  host_.onEvent = [&](const std::string& e) {
    if (e == progress(25)) host_.breakByte = 1;
  };
  EXPECT_EQ(Run(), KEST_USER_BREAK);
  EXPECT_EQ(host_.events.back(), progress(25));
  EXPECT_TRUE(Results().empty());
}

TEST_F(EngineTest, BreakWhileWriting) {
  WriteSoundTable(table_, 40);
  Freeze();
  host_.onEvent = [&](const std::string& e) {
    if (e == progress(70)) host_.breakByte = 1;
  };
  EXPECT_EQ(Run(), KEST_INTERNAL);
  std::vector<std::string> tail(host_.events.end() - 4, host_.events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{progress(70), progress(95), status("done"),
                                            progress(100)}));
}

TEST_F(EngineTest, NullCallbacksGiveTheSameCodes) {
  WriteSoundTable(table_, 8);
  Freeze();
  TempDir second;
  EXPECT_EQ(Engine().fileRecover(table_.c_str(), second.path().c_str(), 0, nullptr,
                                 nullptr, nullptr, nullptr),
            Run());
  EXPECT_EQ(testing::entries(second.path()).size(), 1u);
  EXPECT_EQ(Engine().fileRecover(source_.file("absent.dbf").c_str(),
                                 second.path().c_str(), 0, nullptr, nullptr, nullptr,
                                 nullptr),
            KEST_SOURCE_UNREADABLE);
}

TEST_F(EngineTest, WithAndWithoutLogFile) {
  WriteSoundTable(table_, 8);
  Freeze();
  TempDir logs, second;
  std::string log = logs.file("run.log");
  EXPECT_EQ(Run(log.c_str()), KEST_OK);
  std::string logged = testing::readFile(log);
  for (const char* line : {"In FileRecover()", "Starting recovery",
                           "Determine which method was more successful",
                           "Writing to disk complete", "FileRecover() exiting"}) {
    EXPECT_NE(logged.find(std::string("| ") + line + " "), std::string::npos) << line;
  }
  TestHost quiet;
  Engine().setBreakFlag(&quiet.breakByte);
  EXPECT_EQ(Engine().fileRecover(table_.c_str(), second.path().c_str(), 0,
                                 &TestHost::Status, &TestHost::Progress, &quiet, nullptr),
            KEST_OK);
  EXPECT_EQ(quiet.events, host_.events);
  EXPECT_EQ(testing::readFile(log), logged);
  EXPECT_EQ(testing::entries(logs.path()), std::vector<std::string>{"run.log"});
}

TEST_F(EngineTest, LogFileNamedLikeTheTableIsRefused) {
  WriteSoundTable(table_, 8);
  testing::writeFile(source_.file("orders.fpt"), std::string(512, '\0'));
  Freeze();
  for (const std::string& log : {table_, source_.file("orders.fpt"), source_.file("ORDERS.DBT")}) {
    TempDir output;
    EXPECT_EQ(Engine().fileRecover(table_.c_str(), output.path().c_str(), 0, nullptr,
                                   nullptr, nullptr, log.c_str()),
              KEST_OK)
        << log;
    EXPECT_TRUE(guard_->unchanged()) << log;
  }
}

// --- fresh loads in a process of their own ------------------------------------

const std::string kProbe = KEST_PROBE_PATH;

struct ProbeRun {
  int exitCode = -1;
  std::vector<std::string> lines;
  bool has(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  std::vector<std::string> statuses() const {
    std::vector<std::string> result;
    for (const std::string& l : lines) {
      if (l.rfind("status ", 0) == 0) result.push_back(l.substr(7));
    }
    return result;
  }
};

// Runs `probe` with `args`, the environment variables `env` added.
ProbeRun RunProbe(const std::string& probe, const std::vector<std::string>& args,
                  const std::vector<std::pair<std::string, std::string>>& env = {}) {
  std::vector<std::string> argv = {probe};
  argv.insert(argv.end(), args.begin(), args.end());
  testing::ChildOptions options;
  options.set = env;
  testing::ChildOutcome outcome = testing::runChild(argv, options);
  ProbeRun run;
  run.exitCode = outcome.status;
  run.lines = testing::splitLines(outcome.out);
  return run;
}

class FreshLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_ = source_.file("orders.dbf");
    WriteSoundTable(table_, 6);
    testing::writeFile(source_.file("orders.fpt"), std::string(512, '\0'));
    guard_.emplace(SourceGuard::WholeFolder{source_.path()});
  }
  std::vector<std::string> RunArgs(const std::string& log = "-") {
    return {"run", table_, output_.path(), log};
  }
  ProbeRun Probe(const std::string& engine, std::vector<std::string> commands,
                 const std::vector<std::pair<std::string, std::string>>& env = {}) {
    commands.insert(commands.begin(), engine);
    return RunProbe(kProbe, commands, env);
  }
  // The engine library alone in a folder of its own.
  std::string IsolatedEngine() {
    std::string engine = isolated_.file(fs::path(kEngine).filename().string());
    fs::copy_file(kEngine, engine);
    return engine;
  }

  TempDir source_, output_, isolated_;
  std::string table_;
  std::optional<SourceGuard> guard_;
};

TEST_F(FreshLoadTest, FoundBesideTheEngineWhenTheHostHasNone) {
  // The probe lives outside bin/, so only the engine's folder has the library.
  ProbeRun run = Probe(kEngine, RunArgs());
  EXPECT_TRUE(run.has("result 0"));
  EXPECT_TRUE(run.has("unloaded"));
  EXPECT_EQ(run.exitCode, 0);
}

TEST_F(FreshLoadTest, BreakFlagNotHandedOverIsLoggedOnce) {
  TempDir logs;
  std::string log = logs.file("run.log");
  TempDir second;
  ProbeRun run = Probe(kEngine, {"run", table_, output_.path(), log, "run", table_,
                                 second.path(), log});
  EXPECT_EQ(std::count(run.lines.begin(), run.lines.end(), "result 0"), 2);
  std::string logged = testing::readFile(log);
  auto count = [&](const std::string& text) {
    size_t n = 0;
    for (size_t at = logged.find(text); at != std::string::npos; at = logged.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("| Breakflag was not initialized. "), 1u);
  EXPECT_EQ(count("| Breakflag initialized manually. User Break will not be available. "), 1u);
  EXPECT_EQ(count("| Starting recovery "), 2u);
}

TEST_F(FreshLoadTest, EnglishByDefault) {
  ProbeRun run = Probe(kEngine, RunArgs());
  std::vector<std::string> statuses = run.statuses();
  ASSERT_GE(statuses.size(), 3u);
  EXPECT_EQ(statuses[0], "Pass 1: initializing...");
  EXPECT_EQ(statuses[1], "done");
  EXPECT_EQ(statuses[2], "Pass 2: trying best-case recovery method...");
}

TEST_F(FreshLoadTest, GermanTextsFromTheHostServicesLibrary) {
  ProbeRun run = Probe(kEngine, RunArgs(), {{"VALCORE_LANGUAGE", "de"}});
  EXPECT_EQ(run.statuses(),
            (std::vector<std::string>{"Durchgang 1: Initialisierung...", "fertig",
                                      "Durchgang 2: Best-Case-Wiederherstellung wird versucht...",
                                      "fertig",
                                      "Durchgang 3: Worst-Case-Wiederherstellung wird versucht...",
                                      "fertig", "Durchgang 4: Ergebnisse werden geschrieben...",
                                      "fertig"}));
  EXPECT_TRUE(run.has("result 0"));
}

#ifndef _WIN32
TEST_F(FreshLoadTest, FrenchTextsFollowTheCodePage) {
  ProbeRun utf8 = Probe(kEngine, {"locale", "load", "run", table_, output_.path(), "-"},
                        {{"VALCORE_LANGUAGE", "fr"}, {"LC_ALL", "C.UTF-8"}});
  ASSERT_GE(utf8.statuses().size(), 2u);
  EXPECT_EQ(utf8.statuses()[0], "Passe 1: initialisation...");
  EXPECT_EQ(utf8.statuses()[1], "terminé");
  // Without a locale the process has plain ASCII: what cannot be shown
  // arrives as '?', the rest as it is.
  TempDir second;
  ProbeRun ascii = Probe(kEngine, {"run", table_, second.path(), "-"},
                         {{"VALCORE_LANGUAGE", "fr"}, {"LC_ALL", "C.UTF-8"}});
  ASSERT_GE(ascii.statuses().size(), 2u);
  EXPECT_EQ(ascii.statuses()[1], "termin?");
}
#else
// Windows texts are in the ANSI code page whatever the environment says,
// with or without the probe's taking of the locale.
TEST_F(FreshLoadTest, FrenchTextsFollowTheCodePage) {
  const uint16_t done[] = {u't', u'e', u'r', u'm', u'i', u'n', 0xE9};
  const std::string expected = platform::Env::Default()->NarrowFromUtf16(done, 7);
  for (bool locale : {true, false}) {
    TempDir output;
    std::vector<std::string> commands = {"run", table_, output.path(), "-"};
    if (locale) commands.insert(commands.begin(), {"locale", "load"});
    ProbeRun run = Probe(kEngine, commands, {{"VALCORE_LANGUAGE", "fr"}, {"LC_ALL", "C.UTF-8"}});
    ASSERT_GE(run.statuses().size(), 2u) << locale;
    EXPECT_EQ(run.statuses()[0], "Passe 1: initialisation...");
    EXPECT_EQ(run.statuses()[1], expected) << locale;
  }
}
#endif

TEST_F(FreshLoadTest, MissingHostServicesLibraryKeepsTheEngineLoadedButRefusing) {
  std::string engine = IsolatedEngine();
  std::string hostServices = isolated_.file(kHostServices);
  ProbeRun run = Probe(engine, {"setbreak", "run", table_, output_.path(), "-", "load", "copy",
                                kBinDir + "/" + kHostServices, hostServices,
                                "load", "run", table_, output_.path(), "-"});
  ASSERT_GE(run.lines.size(), 5u);
  EXPECT_EQ(run.lines[0], "status Recovery engine not ready: the host-services library could "
                          "not be bound (cannot load " + Spelled(hostServices) + ")");
  EXPECT_EQ(run.lines[1], "result -2");
  EXPECT_EQ(run.lines[2], "load -1");
  EXPECT_EQ(run.lines[3], "load 0");
  EXPECT_TRUE(run.has("result 0"));
  EXPECT_EQ(run.lines.back(), "unloaded");
  EXPECT_EQ(run.exitCode, 0);
}

TEST_F(FreshLoadTest, IncompleteHostServicesLibraryFailsTheBinding) {
  std::string engine = IsolatedEngine();
  fs::copy_file(kBinDir + "/../test_libs/incomplete/" + kHostServices,
                isolated_.file(kHostServices));
  ProbeRun run = Probe(engine, RunArgs());
  ASSERT_EQ(run.lines.size(), 3u);
  EXPECT_EQ(run.lines[0], "status Recovery engine not ready: the host-services library could "
                          "not be bound (" + Spelled(isolated_.file(kHostServices)) +
                          " has no entry point SaveProfileString)");
  EXPECT_EQ(run.lines[1], "result -2");
  EXPECT_TRUE(testing::entries(output_.path()).empty());
}

TEST_F(FreshLoadTest, TheHostsFolderComesFirst) {
  // A host beside an incomplete library, an engine beside a sound one.
  TempDir hostFolder;
  std::string probe = hostFolder.file(fs::path(kProbe).filename().string());
  fs::copy_file(kProbe, probe);
  fs::copy_file(kBinDir + "/../test_libs/incomplete/" + kHostServices,
                hostFolder.file(kHostServices));
  ProbeRun run = RunProbe(probe, {kEngine, "run", table_, output_.path(), "-"});
  EXPECT_TRUE(run.has("result -2"));
  ASSERT_FALSE(run.statuses().empty());
  EXPECT_NE(run.statuses()[0].find(Spelled(hostFolder.file(kHostServices))), std::string::npos)
      << run.statuses()[0];
}

}  // namespace
}  // namespace kest
