// dbfrecover as a user or a script meets it: the built program is run as a
// child process against the scripted stand-in engine (testdata/), and its
// exit status, stdout and stderr are checked. Every test also checks that
// the tables it handed over are byte for byte as they were.
//
// A Windows test process cannot give its child a pseudo-terminal, a pipe
// reader that goes away, or a Ctrl-C; those cases say so and skip there.
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/engine_library.h"
#include "platform/path.h"
#include "tests/child_process.h"
#include "tests/engine_loader.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace kest::testing {
namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

using Outcome = ChildOutcome;

// dbfrecover joins the paths it shows with the system's separator.
const std::string kSep(1, platform::kSeparator);

constexpr char kNoTerminal[] = "a Windows test cannot give its child a pseudo-terminal";
constexpr char kNoInterrupt[] = "a Windows test process cannot send its child a Ctrl-C";
// Neither '"', a tab nor an escape byte may stand in a Windows file name.
constexpr char kNoOddNames[] = "Windows file names cannot hold quotes or control bytes";

// A started dbfrecover; wait() gives its exit status (128 + signal for a
// killed child), and fails the test for a child still running after
// `seconds`.
class Child : public ChildProcess {
 public:
  using ChildProcess::ChildProcess;
  int wait(double seconds = 60) { return ChildProcess::wait(seconds).status; }
};

bool waitForFile(const std::string& path, double seconds = 20) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A flat JSON object as --json writes it: keys to values, strings unescaped
// (\uXXXX kept as written), numbers and null as written. nullopt when the
// line is not such an object.
std::optional<std::map<std::string, std::string>> parseJsonLine(const std::string& line) {
  std::map<std::string, std::string> object;
  size_t i = 0;
  auto parseString = [&](std::string* value) {
    if (i >= line.size() || line[i] != '"') return false;
    for (++i; i < line.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(line[i]);
      if (c == '"') {
        ++i;
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        *value += static_cast<char>(c);
        continue;
      }
      if (++i >= line.size()) return false;
      switch (line[i]) {
        case '"': *value += '"'; break;
        case '\\': *value += '\\'; break;
        case '/': *value += '/'; break;
        case 'n': *value += '\n'; break;
        case 't': *value += '\t'; break;
        case 'r': *value += '\r'; break;
        case 'b': *value += '\b'; break;
        case 'f': *value += '\f'; break;
        case 'u':
          if (i + 4 >= line.size()) return false;
          for (int k = 1; k <= 4; ++k) {
            if (!isxdigit(static_cast<unsigned char>(line[i + k]))) return false;
          }
          *value += "\\u" + line.substr(i + 1, 4);
          i += 4;
          break;
        default:
          return false;
      }
    }
    return false;
  };
  auto put = [&](const std::string& key, const std::string& value) {
    if (object.count(key)) return false;
    object[key] = value;
    return true;
  };
  std::function<bool(const std::string&)> parseObject = [&](const std::string& prefix) {
    if (i >= line.size() || line[i++] != '{') return false;
    while (i < line.size() && line[i] != '}') {
      std::string key, value;
      if (!parseString(&key) || i >= line.size() || line[i++] != ':') return false;
      key = prefix + key;
      if (i < line.size() && line[i] == '"') {
        if (!parseString(&value) || !put(key, value)) return false;
      } else if (i < line.size() && line[i] == '{') {
        if (!put(key, "{}") || !parseObject(key + ".")) return false;
      } else if (i < line.size() && line[i] == '[') {
        ++i;
        if (!put(key, "[]")) return false;
        for (int n = 0; i < line.size() && line[i] != ']'; ++n) {
          std::string item;
          if (!parseString(&item) || !put(key + "." + std::to_string(n), item)) return false;
          if (i < line.size() && line[i] == ',') ++i;
        }
        if (i >= line.size()) return false;
        ++i;
      } else {
        size_t end = line.find_first_of(",}", i);
        if (end == std::string::npos) return false;
        value = line.substr(i, end - i);
        bool number = !value.empty() && value.find_first_not_of("-0123456789") == std::string::npos;
        if ((!number && value != "null") || !put(key, value)) return false;
        i = end;
      }
      if (i < line.size() && line[i] == ',') ++i;
    }
    if (i >= line.size()) return false;
    ++i;
    return true;
  };
  if (line.empty() || !parseObject("") || i != line.size()) return std::nullopt;
  return object;
}

bool hasControlBytes(const std::string& text) {
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\n') || u == 0x7F) return true;
  }
  return false;
}

class DbfRecoverTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& [path, bytes] : sources_) {
      EXPECT_EQ(readFile(path), bytes) << path << " was changed";
    }
  }

  // A table to hand over (the fake engine never reads it; only its name and
  // its bytes matter), remembered for the unchanged-check.
  std::string table(const std::string& name, const std::string& folder = "") {
    std::string dir = folder.empty() ? dir_.path() : folder;
    std::string path = (fs::path(dir) / name).string();
    std::string bytes = "table image of " + name;
    writeFile(path, bytes);
    sources_[path] = bytes;
    return path;
  }

  std::string output() {
    std::string path = dir_.file("out");
    fs::create_directories(path);
    return path;
  }

  Env fakeEnv(const std::string& script) {
    return {{"KEST_ENGINE", KEST_FAKE_ENGINE},
            {"FAKE_ENGINE_SCRIPT", script},
            {"FAKE_ENGINE_TRACE", trace()},
            {"FAKE_ENGINE_READY", ready()},
            {"FAKE_ENGINE_ENTRY", entries()}};
  }

  std::string entries() const { return dir_.file("engine.entries"); }

  std::string trace() const { return dir_.file("engine.trace"); }
  std::string ready() const { return dir_.file("engine.ready"); }
  std::vector<std::string> engineCalls() const { return splitLines(readFile(trace())); }

  // stdout and stderr go to dir_'s files "stdout" and "stderr" unless
  // descriptors are given; the engine's variables are the test's alone.
  Child start(const std::vector<std::string>& args, const Env& env, const std::string& cwd = "",
              int errFd = -1, int outFd = -1) {
    ChildOptions options;
    options.set = env;
    options.unset = {"KEST_ENGINE", "FAKE_ENGINE_SCRIPT", "FAKE_ENGINE_TRACE",
                     "FAKE_ENGINE_READY", "FAKE_ENGINE_ENTRY",
                     "VALCORE_LANGUAGE"};
    options.cwd = cwd;
    options.stdoutPath = dir_.file("stdout");
    options.stderrPath = dir_.file("stderr");
    options.stdoutFd = outFd;
    options.stderrFd = errFd;
    std::vector<std::string> argv = {program_};
    argv.insert(argv.end(), args.begin(), args.end());
    return Child(argv, options);
  }

#ifndef _WIN32
  // Runs dbfrecover with stderr on a pseudo-terminal of `columns` columns
  // (0: the terminal does not say) and returns what it showed there.
  std::string runOnTerminal(const std::vector<std::string>& args, const Env& env, int columns,
                            int* status) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      ADD_FAILURE() << "no pseudo-terminal";
      return "";
    }
    int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    ioctl(terminal, TIOCSWINSZ, &size);
    Child child = start(args, env, "", terminal);
    close(terminal);
    // Drain the terminal while the child writes, or it would block on a
    // full buffer.
    std::string shown;
    fcntl(master, F_SETFL, O_NONBLOCK);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      char buffer[4096];
      ssize_t got = read(master, buffer, sizeof buffer);
      if (got > 0) {
        shown.append(buffer, static_cast<size_t>(got));
        continue;
      }
      if (child.ended()) {
        *status = child.wait();
        while ((got = read(master, buffer, sizeof buffer)) > 0) {
          shown.append(buffer, static_cast<size_t>(got));
        }
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "dbfrecover did not end";  // `child` kills it as it goes
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(master);
    return shown;
  }

#endif

  Outcome run(const std::vector<std::string>& args, const Env& env, const std::string& cwd = "") {
    return start(args, env, cwd).ChildProcess::wait();
  }

  Outcome runFake(const std::string& script, std::vector<std::string> args) {
    return run(args, fakeEnv(script));
  }

  TempDir dir_;
  std::map<std::string, std::string> sources_;
  std::string program_ = KEST_DBFRECOVER;
};

TEST_F(DbfRecoverTest, ExitStatusPerReturnCode) {
  struct Case {
    const char* script;
    int status;
    const char* says;  // on stdout for a written table, on stderr otherwise
  } cases[] = {
      {"best:3", 0, "orders.dbf: recovered by the best-case method, 3 records"},
      {"worst:5", 0, "orders.dbf: recovered by the worst-case method, 5 records"},
      {"code:-3", 3, "orders.dbf: Nothing to recover"},
      {"code:-4", 4, "orders.dbf: Cannot read the table"},
      {"code:-5", 5, "orders.dbf: Cannot create the result"},
      {"code:-2", 6, "orders.dbf: Internal failure"},
      {"code:-1000", 130, "orders.dbf: Stopped by the user"},
      {"code:-77", 6, "orders.dbf: The engine returned the unknown code -77"},
  };
  std::string source = table("orders.dbf");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    TempDir out;
    Outcome outcome = runFake(c.script, {"-o", out.path(), source});
    EXPECT_EQ(outcome.status, c.status);
    const std::string& stream = c.status == 0 ? outcome.out : outcome.err;
    EXPECT_NE(stream.find(c.says), std::string::npos) << stream;
  }
}

TEST_F(DbfRecoverTest, WrittenResultNamesTheNewFolderAndTable) {
  std::string out = output();
  // A results folder of an earlier run must not be taken for this one.
  fs::create_directory(fs::path(out) / "Recovered orders.dbf 1-Jan-00 00.00");
  std::string source = table("orders.dbf");

  Outcome outcome = runFake("worst:12", {"--classic", "--output", out, source});

  ASSERT_EQ(outcome.status, 0) << outcome.err;
  std::vector<std::string> lines = splitLines(outcome.out);
  ASSERT_EQ(lines.size(), 3u) << outcome.out;
  EXPECT_EQ(lines[0], source + ": recovered by the worst-case method, 12 records");
  const std::string folderLabel = "  results folder: ";
  const std::string tableLabel = "  result table:   ";
  ASSERT_EQ(lines[1].rfind(folderLabel, 0), 0u);
  std::string folder = lines[1].substr(folderLabel.size());
  EXPECT_EQ(fs::path(folder).parent_path(), fs::path(out));
  EXPECT_EQ(fs::path(folder).filename().string().rfind("Recovered orders.dbf ", 0), 0u);
  EXPECT_NE(folder, out + kSep + "Recovered orders.dbf 1-Jan-00 00.00");
  EXPECT_EQ(lines[2], tableLabel + folder + kSep + "RECOVERED.DBF");
  EXPECT_TRUE(fs::is_regular_file(folder + "/RECOVERED.DBF"));
}

TEST_F(DbfRecoverTest, ThoroughByDefaultClassicOnRequest) {
  const std::string kNote = "dbfrecover: the engine library has no thorough recovery";
  const std::string kReport =
      "  passed over:    2 deleted records, 1 failed the value check\n"
      "  repaired:       record count 40 corrected to 3 from the file size\n";
  struct Case {
    std::vector<std::string> args;
    std::string engine;
    const char* entry;  // how the engine was called
    bool note;          // the word that the engine cannot do better
    bool thorough;      // the report is shown
  } cases[] = {
      {{}, KEST_FAKE_ENGINE, "FileRecoverEx 3fff", false, true},
      // No options is the classic run itself, with the report of a write
      // that failed.
      {{"--classic"}, KEST_FAKE_ENGINE, "FileRecoverEx null", false, false},
      {{}, KEST_FAKE_ENGINE_CLASSIC_ONLY, "FileRecover", true, false},
      {{"--classic"}, KEST_FAKE_ENGINE_CLASSIC_ONLY, "FileRecover", false, false},
  };
  std::string source = table("orders.dbf");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry + std::string(c.note ? " with note" : ""));
    fs::remove(entries());
    TempDir out;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", out.path(), source});
    Env env = fakeEnv("best:3");
    env[0].second = c.engine;
    Outcome outcome = run(args, env);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(readFile(entries()), std::string(c.entry) + "\n");
    EXPECT_EQ(outcome.err.find(kNote) != std::string::npos, c.note) << outcome.err;
    EXPECT_EQ(outcome.out.find(kReport) != std::string::npos, c.thorough) << outcome.out;
    EXPECT_EQ(outcome.out.find("passed over") != std::string::npos, c.thorough) << outcome.out;
  }
}

TEST_F(DbfRecoverTest, JsonResultCarriesTheModeAndTheReport) {
  std::string source = table("orders.dbf");
  for (bool classic : {false, true}) {
    SCOPED_TRACE(classic ? "classic" : "thorough");
    TempDir out;
    std::vector<std::string> args = {"--json", "-o", out.path(), source};
    if (classic) args.insert(args.begin(), "--classic");
    Outcome outcome = runFake("worst:4", args);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    std::optional<std::map<std::string, std::string>> result =
        parseJsonLine(splitLines(outcome.out).back());
    ASSERT_TRUE(result) << outcome.out;
    std::map<std::string, std::string> expected = {
        {"mode", "thorough"}, {"report.method", "worst-case"}, {"report.records", "4"},
        {"report.deleted", "2"}, {"report.jammed", "0"}, {"report.invalid", "1"},
        {"report.cutOff", "0"}, {"report.repairCount", "1"},
        {"report.repairs.0", "record count 40 corrected to 4 from the file size"}};
    if (classic) expected = {{"mode", "classic"}, {"report", "null"}};
    for (const auto& [key, value] : expected) EXPECT_EQ((*result)[key], value) << key;
    EXPECT_EQ((*result)["records"], "4");
  }
}

TEST_F(DbfRecoverTest, WorstStatusOverSeveralTables) {
  struct Case {
    const char* script;
    int status;
    size_t runs;  // FileRecover calls made
  } cases[] = {
      {"best:1,worst:2,best:3", 0, 3},
      {"best:1,code:-3,best:3", 3, 3},
      {"code:-3,code:-4,best:1", 4, 3},
      {"code:-4,code:-5,code:-3", 5, 3},
      {"code:-5,code:-2,best:1", 6, 3},
      {"code:-2,code:-3,code:-4", 6, 3},
      // A user break ends the batch: the tables after it are not run.
      {"best:1,code:-1000,best:1", 130, 2},
      {"code:-1000,code:-2,code:-5", 130, 1},
  };
  std::vector<std::string> tables = {table("a.dbf"), table("b.dbf"), table("c.dbf")};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    fs::remove(trace());
    TempDir out;
    std::vector<std::string> args = {"-o", out.path()};
    args.insert(args.end(), tables.begin(), tables.end());
    Outcome outcome = runFake(c.script, args);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(engineCalls().size(), c.runs);
    if (c.runs < tables.size()) {
      EXPECT_NE(outcome.err.find(tables.back() + ": Not run: stopped by the user."),
                std::string::npos)
          << outcome.err;
    }
  }
}

TEST_F(DbfRecoverTest, SeveralTablesEachGetTheirOwnFolder) {
  std::string out = output();
  std::string a = table("a.dbf"), b = table("b.DBF"), c = table("c.dbf");

  Outcome outcome = runFake("best:2,worst:3,best:4", {"-o", out, a, b, c});

  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find(a + ": recovered by the best-case method, 2 records"), std::string::npos);
  EXPECT_NE(outcome.out.find(b + ": recovered by the worst-case method, 3 records"), std::string::npos);
  EXPECT_NE(outcome.out.find(c + ": recovered by the best-case method, 4 records"), std::string::npos);
  EXPECT_NE(outcome.out.find(kSep + "Recovered b.DBF "), std::string::npos);
  std::vector<std::string> calls = engineCalls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0], a + "|" + out + "|-|set");
  EXPECT_EQ(calls[1], b + "|" + out + "|-|set");
  EXPECT_EQ(calls[2], c + "|" + out + "|-|set");
  size_t folders = 0;
  for (const auto& entry : fs::directory_iterator(out)) folders += entry.is_directory();
  EXPECT_EQ(folders, 3u);
}

TEST_F(DbfRecoverTest, OutputFolderDefaultsToTheCurrentFolder) {
  std::string source = table("orders.dbf");
  Outcome outcome = run({source}, fakeEnv("best:1"), dir_.path());
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_EQ(engineCalls().size(), 1u);
  EXPECT_EQ(engineCalls()[0], source + "|.|-|set");
  EXPECT_NE(outcome.out.find("  results folder: ." + kSep + "Recovered orders.dbf "),
            std::string::npos)
      << outcome.out;
}

TEST_F(DbfRecoverTest, JsonReportsEveryCallbackAndAResultPerTable) {
  std::string out = output();
  std::string a = table("a.dbf"), b = table("b.dbf");

  Outcome outcome = runFake("best:7,code:-4", {"--json", "-o", out, a, b});

  EXPECT_EQ(outcome.status, 4);
  EXPECT_EQ(outcome.err, "");
  std::vector<std::map<std::string, std::string>> events;
  for (const std::string& line : splitLines(outcome.out)) {
    std::optional<std::map<std::string, std::string>> event = parseJsonLine(line);
    ASSERT_TRUE(event) << "not a JSON object: " << line;
    events.push_back(*event);
  }
  // What the stand-in sends for a written table, then for an unreadable one.
  std::vector<std::string> expected = {
      "a.dbf start", "a.dbf progress 0", "a.dbf status Pass 1: initializing...",
      "a.dbf status done", "a.dbf progress 5",
      "a.dbf status Pass 2: trying best-case recovery method...", "a.dbf progress 10",
      "a.dbf progress 20", "a.dbf status done",
      "a.dbf status Pass 3: trying worst-case recovery method...", "a.dbf progress 25",
      "a.dbf progress 35", "a.dbf progress 45", "a.dbf progress 55", "a.dbf progress 65",
      "a.dbf status done", "a.dbf status Pass 4: writing results...", "a.dbf progress 70",
      "a.dbf progress 95", "a.dbf status done", "a.dbf progress 100", "a.dbf result written",
      "b.dbf start", "b.dbf progress 0", "b.dbf status Pass 1: initializing...",
      "b.dbf status done", "b.dbf progress 5",
      "b.dbf status Pass 2: trying best-case recovery method...", "b.dbf result unreadable"};
  std::vector<std::string> seen;
  for (auto& event : events) {
    std::string line = fs::path(event["table"]).filename().string() + " " + event["type"];
    if (event["type"] == "status") line += " " + event["text"];
    if (event["type"] == "progress") line += " " + event["percent"];
    if (event["type"] == "result") line += " " + event["outcome"];
    seen.push_back(line);
  }
  EXPECT_EQ(seen, expected);

  ASSERT_EQ(events.size(), expected.size());
  auto& written = events[21];
  EXPECT_EQ(written["table"], a);
  EXPECT_EQ(written["code"], "0");
  EXPECT_EQ(written["exit"], "0");
  EXPECT_EQ(written["method"], "best-case");
  EXPECT_EQ(written["records"], "7");
  EXPECT_EQ(fs::path(written["folder"]).parent_path(), fs::path(out));
  EXPECT_EQ(written["file"], written["folder"] + kSep + "a.dbf");
  EXPECT_TRUE(fs::is_regular_file(written["file"]));
  auto& failed = events.back();
  EXPECT_EQ(failed["table"], b);
  EXPECT_EQ(failed["code"], "-4");
  EXPECT_EQ(failed["exit"], "4");
  EXPECT_EQ(failed["message"].rfind("Cannot read the table", 0), 0u);
}

TEST_F(DbfRecoverTest, JsonEscapesTextsAndNamesFromTheEngineAndTheDisk) {
#ifdef _WIN32
  GTEST_SKIP() << kNoOddNames;
#endif
  std::string out = output();
  std::string source = table("we\"ird\tna me \xe9.dbf");

  Outcome outcome = runFake("odd", {"--json", "-o", out, source});

  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_FALSE(hasControlBytes(outcome.out));
  bool sawOdd = false;
  for (const std::string& line : splitLines(outcome.out)) {
    std::optional<std::map<std::string, std::string>> event = parseJsonLine(line);
    ASSERT_TRUE(event) << "not a JSON object: " << line;
    EXPECT_EQ((*event)["table"], dir_.path() + "/we\"ird\tna me \\ufffd.dbf");
    if ((*event)["text"].rfind("quote", 0) == 0) {
      sawOdd = true;
      EXPECT_EQ((*event)["text"],
                "quote \" backslash \\ tab \t newline \n escape \\u001b[2J bell \\u0007 byte "
                "\\ufffd end");
    }
  }
  EXPECT_TRUE(sawOdd) << outcome.out;
}

TEST_F(DbfRecoverTest, ReaderThatGoesAwayDoesNotStopTheRuns) {
#ifdef _WIN32
  GTEST_SKIP() << "a Windows test cannot hand its child the end of a pipe";
#else
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  close(pipeEnds[0]);
  std::string out = output();
  std::string a = table("a.dbf"), b = table("b.dbf");

  Child child = start({"--json", "-o", out, a, b}, fakeEnv("best:1,worst:2"), "", -1, pipeEnds[1]);
  close(pipeEnds[1]);

  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(engineCalls().size(), 2u);
#endif
}

TEST_F(DbfRecoverTest, PlainOutputOffATerminalHasNoControlCharacters) {
#ifdef _WIN32
  GTEST_SKIP() << kNoOddNames;
#endif
  std::string out = output();
  std::string source = table("es\x1b[2Jcape.dbf");

  Outcome outcome = runFake("odd,code:-4", {"-o", out, source, source});

  EXPECT_EQ(outcome.status, 4);
  EXPECT_FALSE(hasControlBytes(outcome.err)) << outcome.err;
  EXPECT_FALSE(hasControlBytes(outcome.out)) << outcome.out;
  std::vector<std::string> err = splitLines(outcome.err);
  std::string shown = dir_.path() + "/es?[2Jcape.dbf";
  std::vector<std::string> expected = {
      "Recovering " + shown,
      "Pass 1: initializing... done",
      "Pass 2: trying best-case recovery method... done",
      "quote \" backslash \\ tab ? newline ? escape ?[2J bell ? byte ? end",
      "Pass 3: trying worst-case recovery method... done",
      "Pass 4: writing results... done",
      "Recovering " + shown,
      "Pass 1: initializing... done",
      "Pass 2: trying best-case recovery method...",
      shown + ": Cannot read the table: it is missing, or it cannot be opened or read.",
  };
  EXPECT_EQ(err, expected);
  EXPECT_NE(outcome.out.find(shown + ": recovered by the best-case method, 1 records"),
            std::string::npos)
      << outcome.out;
}

TEST_F(DbfRecoverTest, TerminalGetsALiveProgressBar) {
#ifdef _WIN32
  GTEST_SKIP() << kNoTerminal;
#else
  std::string source = table("orders.dbf");
  int status = -1;
  std::string shown = runOnTerminal({"-o", output(), source}, fakeEnv("worst:2"), 0, &status);

  EXPECT_EQ(status, 0);
  EXPECT_NE(shown.find("\r\033[KPass 3: trying worst-case recovery method... [#######.............] 35%"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("\r\033[KPass 4: writing results... done\r\n"), std::string::npos) << shown;
#endif
}

TEST_F(DbfRecoverTest, ProgressBarLineNeverWrapsOnANarrowTerminal) {
#ifdef _WIN32
  GTEST_SKIP() << kNoTerminal;
#else
  std::string source = table("orders.dbf");
  int status = -1;
  std::string shown = runOnTerminal({"-o", output(), source}, fakeEnv("worst:2"), 40, &status);

  EXPECT_EQ(status, 0);
  // Every redraw: from "\r\033[K" to the next control character.
  size_t redraws = 0;
  for (size_t at = shown.find("\r\033[K"); at != std::string::npos;
       at = shown.find("\r\033[K", at + 1)) {
    size_t begin = at + 4;
    size_t end = shown.find_first_of("\r\n", begin);
    std::string line = shown.substr(begin, end - begin);
    if (line.find('%') == std::string::npos) continue;  // a finished Pass line
    ++redraws;
    EXPECT_LE(line.size(), 39u) << line;
  }
  EXPECT_GT(redraws, 10u);
  EXPECT_NE(shown.find("\r\033[KPass 3: tryi [#######.............] 35%"),
            std::string::npos)
      << shown;
#endif
}

TEST_F(DbfRecoverTest, QuietReportsFailuresOnly) {
  std::string source = table("orders.dbf");
  Outcome written = runFake("best:1", {"-q", "-o", output(), source});
  EXPECT_EQ(written.status, 0);
  EXPECT_EQ(written.out, "");
  EXPECT_EQ(written.err, "");

  Outcome failed = runFake("code:-3", {"--quiet", "-o", output(), source});
  EXPECT_EQ(failed.status, 3);
  EXPECT_EQ(failed.out, "");
  EXPECT_EQ(failed.err, source + ": Nothing to recover: neither method found a record worth keeping.\n");
}

TEST_F(DbfRecoverTest, UsageErrorsRunNothing) {
  std::string source = table("orders.dbf");
  std::string out = output();
  struct Case {
    std::vector<std::string> args;
    const char* problem;
  } cases[] = {
      {{}, "no table given"},
      {{"-o", out}, "no table given"},
      {{"--bogus", source}, "unknown option '--bogus'"},
      {{"-x", source}, "unknown option '-x'"},
      {{"-qx", source}, "unknown option '-x'"},
      {{source, "-o"}, "option '-o' needs an argument"},
      {{source, "--output"}, "option '--output' needs an argument"},
      {{source, "-l"}, "option '-l' needs an argument"},
      {{"--json=yes", source}, "unknown option '--json=yes'"},
      {{"-o", dir_.file("missing"), source}, "is not an existing folder"},
      {{"-o", source, source}, "is not an existing folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem);
    Outcome outcome = runFake("best:1", c.args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err.find(c.problem), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("Usage: dbfrecover [options] TABLE.dbf..."), std::string::npos);
    EXPECT_FALSE(exists(trace())) << "the engine was called";
  }
}

TEST_F(DbfRecoverTest, HelpAndVersion) {
  Outcome help = runFake("best:1", {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: dbfrecover [options] TABLE.dbf...\n", 0), 0u);
  for (const char* word :
       {"--output", "--log", "--quiet", "--json", "--classic", "KEST_ENGINE", "130"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  Outcome version = runFake("best:1", {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("dbfrecover ", 0), 0u);
  EXPECT_FALSE(exists(trace()));
}

#ifdef _WIN32
// The Windows build has no web page; it says why instead of failing oddly.
TEST_F(DbfRecoverTest, ServeSaysWhyItIsNotPartOfTheBuild) {
  Outcome serve = runFake("best:1", {"serve"});
  EXPECT_EQ(serve.status, 2);
  EXPECT_EQ(serve.out, "");
  EXPECT_EQ(serve.err.rfind("dbfrecover serve: not part of this build: ", 0), 0u) << serve.err;
  EXPECT_FALSE(exists(trace()));
}
#endif

TEST_F(DbfRecoverTest, LogFileThatWouldWriteIntoATableIsRefused) {
  std::string data = dir_.file("data");
  fs::create_directories(data);
  std::string orders = table("orders.dbf", data);
  std::string memo = table("ORDERS.FPT", data);
  std::string other = table("other.dbf", data);
  // Links are made where the system makes them (wine makes no symbolic ones).
  std::error_code ec;
  fs::create_hard_link(orders, dir_.file("hardlink.log"), ec);
  fs::create_symlink(memo, dir_.file("symlink.log"), ec);
#ifdef _WIN32
  // Names apart in letter case only are one: orders.fpt is the memo.
  const std::string fptHit = data + kSep + "ORDERS.FPT";
#else
  const std::string fptHit = data + kSep + "orders.fpt";
#endif
  struct Case {
    std::string log;
    std::string hits;
  } cases[] = {
      {orders, orders},
      {data + "/../data/orders.dbf", orders},  // another spelling
      {dir_.file("hardlink.log"), orders},
      {dir_.file("symlink.log"), memo},
      {memo, memo},
      {data + "/orders.fpt", fptHit},  // would become a companion
      {data + "/Orders.DBT", data + kSep + "Orders.DBT"},
      {other, other},  // the second table of the batch
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log);
    bool link = c.log == dir_.file("hardlink.log") || c.log == dir_.file("symlink.log");
    if (link && !exists(c.log)) continue;
    Outcome outcome = runFake("best:1", {"-l", c.log, "-o", output(), orders, other});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("log file '" + c.log + "' would write into '" + c.hits + "'"),
              std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.err.find("Usage: dbfrecover"), std::string::npos);
    EXPECT_FALSE(exists(trace())) << "the engine was called";
  }
  if (fptHit != memo) {
    EXPECT_FALSE(exists(data + "/orders.fpt"));
  }
  EXPECT_FALSE(exists(data + "/Orders.DBT"));
}

TEST_F(DbfRecoverTest, LogFileIsHandedToEveryRun) {
  std::string data = dir_.file("data");
  fs::create_directories(data);
  std::string orders = table("orders.dbf", data);
  table("orders.fpt", data);
  // Names near a companion's, which are no companions.
  for (const std::string& log :
       {data + "/orders.log", data + "/orders.fpt.log", data + "/other.fpt", dir_.file("orders.fpt")}) {
    SCOPED_TRACE(log);
    fs::remove(trace());
    TempDir out;
    Outcome outcome = runFake("best:1,code:-3", {"--log", log, "-o", out.path(), orders, orders});
    EXPECT_EQ(outcome.status, 3) << outcome.err;
    std::vector<std::string> calls = engineCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1], orders + "|" + out.path() + "|" + log + "|set");
    EXPECT_EQ(readFile(log), std::string("  INFO | In FileRecover()\n") + "  INFO | In FileRecover()\n");
    fs::remove(log);
  }
}

TEST_F(DbfRecoverTest, EngineThatCannotBeLoaded) {
  std::string source = table("orders.dbf");
  std::string notALibrary = dir_.file(moduleFileName("kestdll"));
  writeFile(notALibrary, "not a shared library");
  struct Case {
    std::string engine;
  } cases[] = {{dir_.file("missing.so")}, {notALibrary}, {KEST_FAKE_ENGINE_WITHOUT_EXPORTS}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.engine);
    Outcome outcome = run({"-o", output(), source}, {{"KEST_ENGINE", c.engine}});
    EXPECT_EQ(outcome.status, 7);
    EXPECT_EQ(outcome.err.rfind("dbfrecover: cannot load the engine library: " + c.engine, 0), 0u)
        << outcome.err;
  }
}

TEST(EngineFolderTest, InstalledFolderIsResolvedByItsWords) {
  const std::string s = kSep;
  struct Case {
    std::string folder, relative, resolved;
  } cases[] = {
      {s + "usr" + s + "bin" + s, "../lib/kest", s + "usr" + s + "lib" + s + "kest" + s},
      {s + "opt" + s + "bin" + s, "", s + "opt" + s + "bin" + s},
      {s + "bin" + s, "../..", ""},  // above the root: no folder
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host::resolveFolder(c.folder, c.relative), c.resolved) << c.relative;
  }
}

TEST_F(DbfRecoverTest, InstalledTreeFindsItsEngineFromAnyFolder) {
  // The program and the engine where an install puts them, started from
  // elsewhere without KEST_ENGINE; then without the engine.
  fs::create_directories(dir_.file("tree") + kSep + "bin");
  // As the program will see its own folder: through any link on the way.
  std::string bin = fs::canonical(dir_.file("tree") + kSep + "bin").string() + kSep;
  std::string engineFolder = host::resolveFolder(bin, host::kInstalledEngineFolder);
  fs::create_directories(engineFolder);
  program_ = bin + fs::path(KEST_DBFRECOVER).filename().string();
  fs::copy_file(KEST_DBFRECOVER, program_);
  std::string engine = engineFolder + moduleFileName("kestdll");
  fs::copy_file(KEST_FAKE_ENGINE, engine);
  std::string elsewhere = dir_.file("elsewhere");
  fs::create_directories(elsewhere);
  Env env = fakeEnv("best:1");
  env.erase(env.begin());  // KEST_ENGINE
  std::string source = table("orders.dbf");

  Outcome found = run({"-q", "-o", output(), source}, env, elsewhere);
  EXPECT_EQ(found.status, 0) << found.err;

  fs::remove(engine);
  Outcome missing = run({"-q", "-o", output(), source}, env, elsewhere);
  EXPECT_EQ(missing.status, 7);
#ifndef _WIN32
  // (Under wine the program's own path may be spelt otherwise than ours.)
  std::string folders = bin == engineFolder ? bin : bin + " and " + engineFolder;
  EXPECT_NE(missing.err.find("It is looked for in " + folders + ", or where KEST_ENGINE"),
            std::string::npos)
      << missing.err;
#endif
}

TEST_F(DbfRecoverTest, EngineThatIsNotReadySaysWhyForEveryTable) {
  std::string a = table("a.dbf"), b = table("b.dbf");
  std::string why = "Recovery engine not ready: the host-services library could not be bound.";

  Outcome plain = runFake("notready", {"-o", output(), a, b});
  EXPECT_EQ(plain.status, 6);
  EXPECT_EQ(plain.err, "Recovering " + a + "\n" + a + ": " + why + "\n" + "Recovering " + b +
                           "\n" + b + ": " + why + "\n");

  Outcome quiet = runFake("notready", {"-q", "-o", output(), a});
  EXPECT_EQ(quiet.status, 6);
  EXPECT_EQ(quiet.err, a + ": " + why + "\n");

  Outcome json = runFake("notready", {"--json", "-o", output(), a});
  EXPECT_EQ(json.status, 6);
  std::vector<std::string> lines = splitLines(json.out);
  ASSERT_EQ(lines.size(), 3u) << json.out;
  EXPECT_EQ((*parseJsonLine(lines[1]))["text"], why.substr(0, why.size() - 1));
  EXPECT_EQ((*parseJsonLine(lines[2]))["message"], why);
}

TEST_F(DbfRecoverTest, FirstCtrlCSetsTheBreakByte) {
  if (!kChildrenTakeInterrupts) GTEST_SKIP() << kNoInterrupt;
  std::string a = table("a.dbf"), b = table("b.dbf");
  Child child = start({"-o", output(), a, b}, fakeEnv("wait,best:1"));
  ASSERT_TRUE(waitForFile(ready()));
  ASSERT_TRUE(child.interrupt());
  EXPECT_EQ(child.wait(), 130);
  std::string err = readFile(dir_.file("stderr"));
  EXPECT_NE(err.find("press Ctrl-C again to quit at once"), std::string::npos) << err;
  EXPECT_NE(err.find(a + ": Stopped by the user; no result was written."), std::string::npos) << err;
  EXPECT_NE(err.find(b + ": Not run: stopped by the user."), std::string::npos) << err;
  EXPECT_EQ(engineCalls().size(), 1u);
}

TEST_F(DbfRecoverTest, CtrlCWhileTheResultIsWrittenIsAUserBreak) {
  if (!kChildrenTakeInterrupts) GTEST_SKIP() << kNoInterrupt;
  std::string a = table("a.dbf"), b = table("b.dbf");
  std::string out = output();
  Child child = start({"--json", "-o", out, a, b}, fakeEnv("writing,best:1"));
  ASSERT_TRUE(waitForFile(ready()));
  ASSERT_TRUE(child.interrupt());
  EXPECT_EQ(child.wait(), 130);
  std::vector<std::string> lines = splitLines(readFile(dir_.file("stdout")));
  ASSERT_GE(lines.size(), 2u);
  std::map<std::string, std::string> stopped = *parseJsonLine(lines[lines.size() - 2]);
  EXPECT_EQ(stopped["code"], "-2");
  EXPECT_EQ(stopped["exit"], "130");
  EXPECT_EQ(stopped["outcome"], "user-break");
  EXPECT_EQ(fs::path(stopped["folder"]).parent_path(), fs::path(out));
  // The engine takes its partial table back: nothing is left that could
  // pass for a result.
  EXPECT_EQ(stopped["message"], "Stopped by the user while the result was being written. "
                                "The results folder " + stopped["folder"] + " is left empty.");
  EXPECT_EQ((*parseJsonLine(lines.back()))["outcome"], "not-run");
  EXPECT_EQ(engineCalls().size(), 1u);
}

TEST_F(DbfRecoverTest, AResultNotWrittenWholeSaysWhyAndWhatIsLeft) {
  std::string a = table("a.dbf");
  std::string out = output();
  Outcome plain = runFake("full", {"-o", out, a});
  EXPECT_EQ(plain.status, 8);
  std::string folder = (*fs::directory_iterator(out)).path().string();
  EXPECT_EQ(plain.err.substr(plain.err.find(a + ": ")),
            a + ": The result could not be written whole: No space left on device. "
                "The results folder " + folder + " is left empty.\n");

  TempDir other;
  Outcome json = runFake("full", {"--json", "-o", other.path(), a});
  EXPECT_EQ(json.status, 8);
  std::map<std::string, std::string> result = *parseJsonLine(splitLines(json.out).back());
  EXPECT_EQ(result["outcome"], "not-written");
  EXPECT_EQ(result["exit"], "8");
}

TEST_F(DbfRecoverTest, SecondCtrlCEndsTheProcessAtOnce) {
  if (!kChildrenTakeInterrupts) GTEST_SKIP() << kNoInterrupt;
  std::string source = table("orders.dbf");
  // The stand-in ignores the break byte for 30 s.
  Child child = start({"--json", "-o", output(), source}, fakeEnv("deaf"));
  ASSERT_TRUE(waitForFile(ready()));
  ASSERT_TRUE(child.interrupt());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(child.interrupt());
  EXPECT_EQ(child.wait(10), 130);
  // No result line: the run never returned.
  EXPECT_EQ(readFile(dir_.file("stdout")).find("\"type\":\"result\""), std::string::npos);
}

#ifdef KEST_REAL_ENGINE
// The same program with the engine library built beside it.
class DbfRecoverWithEngineTest : public DbfRecoverTest {};

TEST_F(DbfRecoverWithEngineTest, BundledSampleIsRebuiltRecordForRecord) {
  std::string source = dir_.file("calls.dbf");
  fs::copy_file(std::string(KEST_SOURCE_DIR) + "/samples/calls.dbf", source);
  sources_[source] = readFile(source);
  std::string out = output();

  std::string log = dir_.file("run.log");
  Outcome outcome = run({"--classic", "-o", out, "-l", log, source}, {});

  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(readFile(log).find("In FileRecover()"), std::string::npos);
  std::vector<std::string> lines = splitLines(outcome.out);
  ASSERT_EQ(lines.size(), 3u) << outcome.out;
  EXPECT_EQ(lines[0], source + ": recovered by the worst-case method, 16 records");
  std::string folder = lines[1].substr(lines[1].find(": ") + 2);
  EXPECT_EQ(fs::path(folder).filename().string().rfind("Recovered calls.dbf ", 0), 0u) << folder;
  std::string result = readFile(folder + "/RECOVERED.DBF");
  // The records of the undamaged table, byte for byte, after the invented
  // header (its length at bytes 8..9).
  const size_t kRecordLength = 283, kRecords = 16, kOriginalHeader = 488;
  std::string original = readFile(testData("foxprodb/calls.dbf"));
  ASSERT_GE(result.size(), 12u);
  size_t headerLength = static_cast<unsigned char>(result[8]) |
                        static_cast<unsigned char>(result[9]) << 8;
  ASSERT_GE(result.size(), headerLength + kRecords * kRecordLength);
  EXPECT_TRUE(result.compare(headerLength, kRecords * kRecordLength, original, kOriginalHeader,
                             kRecords * kRecordLength) == 0);
}

TEST_F(DbfRecoverWithEngineTest, AFullDiskIsToldAndLeavesNoTable) {
#ifdef _WIN32
  GTEST_SKIP() << "a small disk is made by mounting a tmpfs, which Windows has not";
#else
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  TempDir disk;
  if (mount("tmpfs", disk.path().c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk.path()};
  // One page left: the header goes out, the records do not.
  writeFile(disk.file("filler"), std::string(1024 * 1024 - 4096, 'x'));
  std::string source = copyTestData("dbase_31.dbf", dir_);
  sources_[source] = readFile(source);
  std::string log = dir_.file("run.log");

  Outcome outcome = run({"-o", disk.path(), "-l", log, source}, {});

  EXPECT_EQ(outcome.status, 8);
  std::string told = source + ": The result could not be written whole: No space left on "
                              "device. The results folder " + disk.path() + "/Recovered ";
  EXPECT_NE(outcome.err.find(told), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find(" is left empty.\n"), std::string::npos) << outcome.err;
  EXPECT_NE(readFile(log).find("failed: No space left on device"), std::string::npos);
#endif
}

TEST_F(DbfRecoverWithEngineTest, HealthyTableIsKeptByTheBestCaseMethod) {
  std::string source = copyTestData("dbase_31.dbf", dir_);
  sources_[source] = readFile(source);
  std::string out = output();

  Outcome outcome = run({"--json", "-o", out, source}, {});

  ASSERT_EQ(outcome.status, 0) << outcome.err;
  std::optional<std::map<std::string, std::string>> result =
      parseJsonLine(splitLines(outcome.out).back());
  ASSERT_TRUE(result);
  EXPECT_EQ((*result)["method"], "best-case");
  EXPECT_EQ((*result)["file"], (*result)["folder"] + kSep + "dbase_31.dbf");
  EXPECT_EQ((*result)["records"], "77");
}

TEST_F(DbfRecoverWithEngineTest, ThoroughRunCorrectsAnInflatedCountAndSaysSo) {
  std::string source = copyTestData("dbase_31.dbf", dir_);
  std::string bytes = readFile(source);
  bytes[4] = static_cast<char>(0xE8);  // 1000 records, far beyond the file
  bytes[5] = 0x03;
  writeFile(source, bytes);
  sources_[source] = bytes;

  Outcome thorough = run({"-o", output(), source}, {});
  ASSERT_EQ(thorough.status, 0) << thorough.err;
  EXPECT_NE(thorough.out.find(source + ": recovered by the best-case method, 77 records"),
            std::string::npos)
      << thorough.out;
  EXPECT_NE(thorough.out.find("  repaired:       record count 1000 corrected to 77 from the "
                              "file size\n"),
            std::string::npos)
      << thorough.out;

  // The classic run trusts the count and finds no record by it.
  Outcome classic = run({"--classic", "--json", "-o", output(), source}, {});
  std::optional<std::map<std::string, std::string>> result =
      parseJsonLine(splitLines(classic.out).back());
  ASSERT_TRUE(result) << classic.out;
  EXPECT_NE((*result)["method"], "best-case");
  EXPECT_EQ((*result)["mode"], "classic");
}

TEST_F(DbfRecoverWithEngineTest, EngineWithoutItsHostServicesLibraryRefusesEveryTable) {
  // dbfrecover and the engine alone in a folder: libvalcore.so is neither
  // beside the program nor beside the engine.
  std::string bin = dir_.file("bin");
  fs::create_directories(bin);
  program_ = bin + "/" + fs::path(KEST_DBFRECOVER).filename().string();
  fs::copy_file(KEST_DBFRECOVER, program_);
  fs::copy_file(KEST_REAL_ENGINE, bin + "/" + moduleFileName("kestdll"));
  fs::permissions(program_, fs::perms::owner_exec, fs::perm_options::add);
  std::string source = copyTestData("dbase_31.dbf", dir_);
  sources_[source] = readFile(source);
  std::string out = output();

  Outcome outcome = run({"-q", "-o", out, source, source}, {});

  EXPECT_EQ(outcome.status, 6);
  std::vector<std::string> lines = splitLines(outcome.err);
  ASSERT_EQ(lines.size(), 2u) << outcome.err;
  for (const std::string& line : lines) {
    EXPECT_EQ(line.rfind(source + ": Recovery engine not ready: ", 0), 0u) << line;
  }
  EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(DbfRecoverWithEngineTest, LocalizedStageTextsComeInTheUsersCharacterSet) {
  std::string source = dir_.file("calls.dbf");
  fs::copy_file(std::string(KEST_SOURCE_DIR) + "/samples/calls.dbf", source);
  sources_[source] = readFile(source);
  struct Case {
    const char* locale;
    const char* done;
#ifdef _WIN32
  // The locale has no say: the texts come in the ANSI code page, which
  // has the letter, and output off a console is UTF-8.
  } cases[] = {{"C.UTF-8", "termin\xc3\xa9"}, {"C", "termin\xc3\xa9"}};
#else
  } cases[] = {{"C.UTF-8", "termin\xc3\xa9"}, {"C", "termin?"}};
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    TempDir out;
    Outcome outcome = run({"-o", out.path(), source},
                          {{"VALCORE_LANGUAGE", "fr"}, {"LC_ALL", c.locale}});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find(std::string("Passe 1: initialisation... ") + c.done + "\n"),
              std::string::npos)
        << outcome.err;
  }
}

TEST_F(DbfRecoverWithEngineTest, CtrlCStopsTheEngineInTheMiddleOfALargeTable) {
  if (!kChildrenTakeInterrupts) GTEST_SKIP() << kNoInterrupt;
  // 32 Mi records of 8 bytes that the header vouches for, all of them
  // zero (a sparse file): the best-case scan polls the break byte before
  // each one and would take long to get through them.
  const uint32_t kRecords = 32u << 20, kRecordLength = 8;
  std::string header(33, '\0');
  header[0] = 0x03;
  for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<char>(kRecords >> (8 * i));
  header[8] = 33;
  header[10] = kRecordLength;
  header[32] = 0x0D;
  std::string source = dir_.file("large.dbf");
  writeFile(source, header);
  fs::resize_file(source, header.size() + uint64_t{kRecords} * kRecordLength);
  auto size = fs::file_size(source);
  auto written = fs::last_write_time(source);

  Child child = start({"--json", "-o", output(), source}, {});
  // Stop it once the best-case scan is under way.
  std::string stdoutPath = dir_.file("stdout");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (readFile(stdoutPath).find("\"percent\":10}") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(child.interrupt());
  EXPECT_EQ(child.wait(), 130);
  std::vector<std::string> lines = splitLines(readFile(stdoutPath));
  ASSERT_FALSE(lines.empty());
  std::optional<std::map<std::string, std::string>> result = parseJsonLine(lines.back());
  ASSERT_TRUE(result);
  EXPECT_EQ((*result)["code"], "-1000");
  EXPECT_EQ((*result)["outcome"], "user-break");
  // Too large to keep a copy of; nothing may have written to it.
  EXPECT_EQ(fs::file_size(source), size);
  EXPECT_EQ(fs::last_write_time(source), written);
  std::ifstream in(source, std::ios::binary);
  std::string start(header.size(), '\0');
  in.read(start.data(), static_cast<std::streamsize>(start.size()));
  EXPECT_EQ(start, header);
}
#endif  // KEST_REAL_ENGINE

}  // namespace
}  // namespace kest::testing
