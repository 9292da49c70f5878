// Input that is no table, and places a result cannot go, handed to the
// built engine and to dbfrecover as a user would hand them over.
//
// Each case pins the engine's code, dbfrecover's exit status and sentence,
// and the ERROR lines of the log; and everywhere: the run leaves nothing in
// the output folder, nothing of the table or the output folder open, and
// the table as it was.
//
// The classic log writes an ERROR line only for the faults it detects
// itself (a table of 4 GiB or more, a result path that does not fit);
// a table it cannot open and a results folder it cannot make show as
// INFO lines, and those stay as they are. kNoErrorLine names those cases,
// and the test holds that no ERROR line appears there, so that the day one
// does the case is moved, not forgotten. A run with extensions (the
// thorough one, as dbfrecover makes it) writes the classic ERROR lines and,
// last, exactly one that names the cause and the path it concerns; its
// report and dbfrecover's sentence carry the same words.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/child_process.h"
#include "tests/engine_loader.h"
#include "tests/source_guard.h"
#include "tests/table_reader.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace kest::testing {
namespace {

constexpr const char* kNoErrorLine = nullptr;

#ifdef _WIN32
constexpr bool kWritersShutOutOfAnOpenTable = true;
// Permission bits become the read-only attribute, which neither keeps a
// reader out of a file nor a writer out of a folder; only an access list
// would, and the test has no second user to deny.
const char kNoPermissionBits[] = "Windows has no permission bits that keep this user out";
#else
constexpr bool kWritersShutOutOfAnOpenTable = false;
#endif

bool RunningAsRoot() {
  std::string status = readFile("/proc/self/status");
  size_t uid = status.find("\nUid:");
  return uid != std::string::npos && status.compare(uid + 5, 3, "\t0\t") == 0;
}

// Where a case's table and output folder are.
struct Scene {
  const TempDir& dir;
  std::string table;
  std::string output;
  // Only a user other than root is kept out by permissions: the case
  // runs dbfrecover as `nobody` when the test runs as root.
  bool unprivileged = false;
  std::string skip;  // why the case cannot be made here
};

// Which path the cause names: the table, or the output folder (itself or
// something inside it).
enum class About { kTable, kOutput };

struct BadInput {
  std::string name;
  std::function<void(Scene&)> make;
  int32_t code;
  int hostStatus;
  const char* hostSays;   // the start of dbfrecover's sentence after "<table>: "
  const char* errorLine;  // the ERROR message the classic log must hold, or kNoErrorLine
  std::string cause;      // the start of the cause a run with extensions names
  About about;
};

void PrintTo(const BadInput& c, std::ostream* os) { *os << c.name; }

const char kCannotRead[] = "Cannot read the table";
const char kNothing[] = "Nothing to recover";
const char kCannotCreate[] = "Cannot create the result";
const char kNotAFolder[] = "";  // dbfrecover refuses before any run (usage)
const char kTooLong[] = "Result path does not fit in 259 characters:";
const char kOver4GiB[] = "LLFile: error: 32 bit function used to access >2GB file";
const char kNotRegular[] = "the table is not a regular file (a device, a pipe or a socket)";
const char kResultPathTooLong[] =
    "the output folder and the table's name make the result path longer than 259 characters";

std::string SampleTable(Scene& s, const std::string& name = "calls.dbf") {
  copyTestData("foxprodb/calls.FPT", s.dir);
  std::string copied = copyTestData("foxprodb/calls.dbf", s.dir);
  std::string table = s.dir.file(name);
  if (table != copied) {
    fs::rename(copied, table);
    fs::rename(s.dir.file("calls.FPT"), fs::path(table).replace_extension(".FPT"));
  }
  return table;
}

std::string Output(Scene& s) {
  std::string output = s.dir.file("out");
  fs::create_directory(output);
  return output;
}

void Made(Scene& s, const std::vector<std::string>& argv) {
  if (!runsCleanly(argv)) s.skip = "cannot make it: " + argv[0] + " failed";
}

std::vector<BadInput> Cases() {
  std::vector<BadInput> cases = {
      {"empty_file",
       [](Scene& s) {
         s.table = s.dir.file("t.dbf");
         writeFile(s.table, "");
         s.output = Output(s);
       },
       KEST_NOTHING, 3, kNothing, kNoErrorLine,
       "the table is empty", About::kTable},
      {"sparse_4_GiB",
       [](Scene& s) {
         s.table = SampleTable(s);
         fs::resize_file(s.table, (uint64_t{1} << 32) + 4096);
         s.output = Output(s);
       },
       KEST_SOURCE_UNREADABLE, 4, kCannotRead, kOver4GiB,
       "the table is 4 GiB or larger", About::kTable},
      {"folder",
       [](Scene& s) {
         s.table = s.dir.file("t.dbf");
         fs::create_directory(s.table);
         s.output = Output(s);
       },
       KEST_SOURCE_UNREADABLE, 4, kCannotRead, kNoErrorLine,
       "the table is a folder, not a file", About::kTable},
      {"fifo",
       [](Scene& s) {
         s.table = s.dir.file("t.dbf");
         Made(s, {"mkfifo", s.table});
         s.output = Output(s);
       },
       KEST_SOURCE_UNREADABLE, 4, kCannotRead, kNoErrorLine,
       kNotRegular, About::kTable},
      {"socket",
       [](Scene& s) {
         s.table = s.dir.file("t.dbf");
         Made(s, {"python3", "-c",
                  "import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])",
                  s.table});
         s.output = Output(s);
       },
       KEST_SOURCE_UNREADABLE, 4, kCannotRead, kNoErrorLine,
       kNotRegular, About::kTable},
      {"dev_zero", [](Scene& s) { s.table = "/dev/zero", s.output = Output(s); },
       KEST_SOURCE_UNREADABLE, 4, kCannotRead, kNoErrorLine,
       kNotRegular, About::kTable},
      {"dev_urandom", [](Scene& s) { s.table = "/dev/urandom", s.output = Output(s); },
       KEST_SOURCE_UNREADABLE, 4, kCannotRead, kNoErrorLine,
       kNotRegular, About::kTable},
      {"missing_table",
       [](Scene& s) { s.table = s.dir.file("absent.dbf"), s.output = Output(s); },
       KEST_SOURCE_UNREADABLE, 4, kCannotRead, kNoErrorLine,
       "the table does not exist", About::kTable},
      {"no_read_permission",
       [](Scene& s) {
#ifdef _WIN32
         s.skip = kNoPermissionBits;
         return;
#endif
         s.table = SampleTable(s);
         fs::permissions(s.table, fs::perms::none);
         s.output = Output(s);
         s.unprivileged = true;
       },
       KEST_SOURCE_UNREADABLE, 4, kCannotRead, kNoErrorLine,
       "the table cannot be opened (Permission denied)", About::kTable},
      {"table_name_longer_than_the_buffers",
       [](Scene& s) {
         s.table = SampleTable(s, std::string(240, 'n') + ".dbf");
         s.output = Output(s);
       },
       KEST_CANNOT_CREATE, 5, kCannotCreate, kTooLong,
       kResultPathTooLong, About::kOutput},
      {"output_folder_longer_than_the_buffers",
       [](Scene& s) {
         s.table = SampleTable(s);
         fs::path deep = s.dir.path();
         while (deep.string().size() < 300) deep /= std::string(60, 'o');
         fs::create_directories(deep);
         s.output = deep.string();
       },
       KEST_CANNOT_CREATE, 5, kCannotCreate, kTooLong,
       kResultPathTooLong, About::kOutput},
      {"output_folder_missing",
       [](Scene& s) { s.table = SampleTable(s), s.output = s.dir.file("absent"); },
       KEST_CANNOT_CREATE, 2, kNotAFolder, kNoErrorLine,
       "the output folder does not exist", About::kOutput},
      {"output_folder_is_a_file",
       [](Scene& s) {
         s.table = SampleTable(s);
         s.output = s.dir.file("out");
         writeFile(s.output, "x");
       },
       KEST_CANNOT_CREATE, 2, kNotAFolder, kNoErrorLine,
       "the output folder is not a folder", About::kOutput},
      {"output_folder_read_only",
       [](Scene& s) {
#ifdef _WIN32
         s.skip = kNoPermissionBits;
         return;
#endif
         s.table = SampleTable(s);
         s.output = Output(s);
         fs::permissions(s.output, fs::perms::owner_read | fs::perms::owner_exec |
                                       fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
         s.unprivileged = true;
       },
       KEST_CANNOT_CREATE, 5, kCannotCreate, kNoErrorLine,
       "the results folder cannot be made (Permission denied)", About::kOutput},
  };
  // A table cut off inside its header: every length from 1 to 31 bytes.
  for (int n = 1; n < 32; ++n) {
    cases.push_back({"header_cut_to_" + std::to_string(n) + "_bytes",
                     [n](Scene& s) {
                       s.table = s.dir.file("t.dbf");
                       writeFile(s.table, readFile(testData("foxprodb/calls.dbf")).substr(0, n));
                       s.output = Output(s);
                     },
                     KEST_NOTHING, 3, kNothing, kNoErrorLine,
                     "the table holds only " + std::to_string(n) + (n == 1 ? " byte" : " bytes") +
                         ", fewer than its 32-byte header",
                     About::kTable});
  }
  return cases;
}

// The descriptors of this process that reach into `folder`.
std::vector<std::string> OpenBelow(const std::string& folder) {
  std::vector<std::string> open;
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec)) {
    std::string target = fs::read_symlink(fd.path(), ec).string();
    if (!ec && target.rfind(folder, 0) == 0) open.push_back(target);
  }
  return open;
}

std::set<std::string> Listing(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(folder, ec)) {
    names.insert(entry.path().string());
  }
  return names;
}

class BadInputs : public ::testing::TestWithParam<BadInput> {
 protected:
  // A host hands the engine its break byte before any run.
  static void SetUpTestSuite() {
    static char breakByte = 0;
    EngineLibrary::Built().exports().setBreakFlag(&breakByte);
  }

  // The ERROR lines of `log`, after checking that the run wrote one.
  static std::vector<std::string> Errors(const std::string& log) {
    std::vector<std::string> messages = logMessages(log);
    EXPECT_NE(std::find(messages.begin(), messages.end(), "In FileRecover()"), messages.end())
        << "the run wrote no log to " << log;
    return logErrors(log);
  }

  void CheckClassicErrors(const std::vector<std::string>& errors) {
    const char* expected = GetParam().errorLine;
    if (expected == kNoErrorLine) {
      EXPECT_TRUE(errors.empty()) << "an ERROR line where the classic log had none: "
                                  << errors.front();
      return;
    }
    bool found = std::any_of(errors.begin(), errors.end(), [&](const std::string& m) {
      return m.rfind(expected, 0) == 0;
    });
    std::string all;
    for (const std::string& m : errors) all += "\n  " + m;
    EXPECT_TRUE(found) << "no ERROR line \"" << expected << "\" among:" << all;
  }

  void CheckClassicLog(const std::string& log) { CheckClassicErrors(Errors(log)); }

  // The classic ERROR lines, then one naming the cause and its path.
  void CheckNamedCause(const std::string& log, const Scene& scene) {
    std::vector<std::string> errors = Errors(log);
    const BadInput& c = GetParam();
    ASSERT_FALSE(errors.empty()) << "no ERROR line names the cause " << c.cause;
    std::string named = errors.back();
    errors.pop_back();
    EXPECT_EQ(named.rfind(c.cause, 0), 0u) << named;
    for (const std::string& m : errors) EXPECT_NE(m.rfind(c.cause, 0), 0u) << "twice: " << m;
    std::string path = named.substr(std::min(named.find(": "), named.size()));
    if (c.about == About::kTable) {
      EXPECT_EQ(path, ": " + scene.table) << named;
    } else {
      EXPECT_EQ(path.rfind(": " + scene.output, 0), 0u) << named;
    }
    CheckClassicErrors(errors);
  }

  TempDir dir_, logs_;
};

TEST_P(BadInputs, RefusedWithItsCodeAndSentenceLeavingNothing) {
  const BadInput& c = GetParam();
  Scene scene{dir_, "", "", false, ""};
  c.make(scene);
  if (!scene.skip.empty()) GTEST_SKIP() << scene.skip;
  // A 4 GiB table is not read into memory to be compared afterwards.
  std::unique_ptr<SourceGuard> guard;
  if (fs::is_regular_file(scene.table) && fs::file_size(scene.table) < (uint64_t{1} << 30)) {
    guard = std::make_unique<SourceGuard>(scene.table);
  }
  bool asNobody = scene.unprivileged && RunningAsRoot();
  std::set<std::string> before = Listing(scene.output);

  if (!asNobody) {
    const EngineExports& engine = EngineLibrary::Built().exports();
    std::string log = logs_.file("engine.log");
    int32_t code = engine.fileRecover(scene.table.c_str(), scene.output.c_str(), 0, nullptr,
                                      nullptr, nullptr, log.c_str());
    EXPECT_EQ(code, c.code);
    CheckClassicLog(log);
    EXPECT_EQ(OpenBelow(dir_.path()), std::vector<std::string>{});
    EXPECT_EQ(Listing(scene.output), before);

    std::string thoroughLog = logs_.file("thorough.log");
    KestRecoverOptions thorough{sizeof thorough, KEST_THOROUGH};
    KestRecoverReport report{};
    report.size = sizeof report;
    code = engine.fileRecoverEx(scene.table.c_str(), scene.output.c_str(), 0, nullptr, nullptr,
                                nullptr, thoroughLog.c_str(), &thorough, &report);
    EXPECT_EQ(code, c.code);
    CheckNamedCause(thoroughLog, scene);
    EXPECT_EQ(std::string(report.failure).rfind(c.cause, 0), 0u) << report.failure;
    EXPECT_EQ(OpenBelow(dir_.path()), std::vector<std::string>{});
    EXPECT_EQ(Listing(scene.output), before);
  }

  // dbfrecover, as `nobody` where permissions must keep the run out. The
  // engine's temp workspace and the log then go where that user may write.
  std::vector<std::string> argv;
  ChildOptions options;
  std::string log = logs_.file("host.log");
  if (asNobody) {
    fs::permissions(logs_.path(), fs::perms::all);
    std::string workspace = logs_.file("tmp");
    fs::create_directory(workspace);
    fs::permissions(workspace, fs::perms::all);
    options.set = {{"BRENMOORTMP", workspace}};
    argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  }
  for (const std::string& arg : {std::string(KEST_BIN_DIR) + "/dbfrecover", std::string("-q"),
                                 std::string("-o"), scene.output, std::string("-l"), log,
                                 std::string("--"), scene.table}) {
    argv.push_back(arg);
  }
  ChildOutcome host = runChild(argv, options);
  EXPECT_EQ(host.status, c.hostStatus) << host.err;
  if (*c.hostSays != '\0') {
    // The sentence gives the cause in the engine's words.
    EXPECT_EQ(host.err.rfind(scene.table + ": " + c.hostSays + ": " + c.cause, 0), 0u) << host.err;
    CheckNamedCause(log, scene);
    EXPECT_EQ(host.err.find('\n'), host.err.size() - 1) << "one line: " << host.err;
  } else {
    EXPECT_EQ(host.err.rfind("dbfrecover: output folder '" + scene.output +
                                 "' is not an existing folder\n",
                             0),
              0u)
        << host.err;
  }
  EXPECT_EQ(Listing(scene.output), before);
}

INSTANTIATE_TEST_SUITE_P(FileRecover, BadInputs, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<BadInput>& info) {
                           return info.param.name;
                         });

// A table deep in its folders, its path longer than the engine's 260-byte
// buffers: it is read by its whole path, and the result (whose path fits)
// is written.
TEST(DeepTable, IsRecoveredByItsWholePath) {
  static char breakByte = 0;
  const EngineExports& engine = EngineLibrary::Built().exports();
  engine.setBreakFlag(&breakByte);
  TempDir dir;
  fs::path deep = dir.path();
  while (deep.string().size() < 300) deep /= std::string(60, 'd');
  fs::create_directories(deep);
  fs::copy_file(testData("foxprodb/calls.dbf"), deep / "calls.dbf");
  fs::copy_file(testData("foxprodb/calls.FPT"), deep / "calls.FPT");
  std::string table = (deep / "calls.dbf").string();
  SourceGuard guard(table);
  for (bool thorough : {false, true}) {
    SCOPED_TRACE(thorough ? "thorough" : "classic");
    TempDir out;
    KestRecoverOptions options{sizeof options, KEST_THOROUGH};
    ASSERT_EQ(thorough ? engine.fileRecoverEx(table.c_str(), out.path().c_str(), 0, nullptr,
                                              nullptr, nullptr, nullptr, &options, nullptr)
                       : engine.fileRecover(table.c_str(), out.path().c_str(), 0, nullptr,
                                            nullptr, nullptr, nullptr),
              0);
    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(out.path())) folders.push_back(entry.path());
    ASSERT_EQ(folders.size(), 1u);
    std::string why;
    EXPECT_TRUE(TableImage::Read((folders[0] / "calls.dbf").string()).whole(&why)) << why;
    EXPECT_EQ(readFile((folders[0] / "calls.FPT").string()),
              readFile(testData("foxprodb/calls.FPT")));
  }
}

// A table that changes between the passes of a run: the size was taken
// when the table was opened, and the records are read again to be written.
struct Change {
  const char* name;
  const char* table;  // below testdata/, or "sample" for samples/calls.dbf
  int32_t atProgress;   // 20: between the two scans; 70: before the result is written
  bool grows;           // the records once more after the last; else cut in half
};

const Change kChanges[] = {
    {"best_case_grows_between_the_scans", "foxprodb/calls.dbf", 20, true},
    {"best_case_shrinks_between_the_scans", "foxprodb/calls.dbf", 20, false},
    {"best_case_grows_before_writing", "foxprodb/calls.dbf", 70, true},
    {"best_case_shrinks_before_writing", "foxprodb/calls.dbf", 70, false},
    {"worst_case_grows_before_writing", "sample", 70, true},
    {"worst_case_shrinks_before_writing", "sample", 70, false},
};

void PrintTo(const Change& c, std::ostream* os) { *os << c.name; }

struct Changer {
  const Change* change;
  std::string table;
  bool done = false;
  bool changed = false;  // the table took the change

  static int32_t KEST_CALL Progress(const char*, int32_t percent, void* user) {
    auto* self = static_cast<Changer*>(user);
    if (percent != self->change->atProgress || self->done) return 0;
    self->done = true;
    std::string bytes = readFile(self->table);
    TableImage image = TableImage::FromBytes(bytes);
    size_t records = std::min<size_t>(image.header.headerLength(), bytes.size());
    std::string after = self->change->grows
                            ? bytes.substr(0, bytes.size() - 1) + bytes.substr(records)
                            : bytes.substr(0, records + (bytes.size() - records) / 2);
    std::error_code ec;
    if (self->change->grows) {
      writeFile(self->table, after);
    } else {
      fs::resize_file(self->table, after.size(), ec);
    }
    self->changed = readFile(self->table) == after;
    return 0;
  }
};

class ChangingTables : public ::testing::TestWithParam<Change> {
 protected:
  static void SetUpTestSuite() {
    static char breakByte = 0;
    EngineLibrary::Built().exports().setBreakFlag(&breakByte);
  }
};

TEST_P(ChangingTables, ResultIsWholeOrTheRunFails) {
  for (bool thorough : {false, true}) {
    SCOPED_TRACE(thorough ? "thorough" : "classic");
    TempDir dir, out;
    Changer changer{&GetParam(), "", false};
    if (std::string(GetParam().table) == "sample") {
      changer.table = dir.file("calls.dbf");
      fs::copy_file(std::string(KEST_SOURCE_DIR) + "/samples/calls.dbf", changer.table);
    } else {
      copyTestData("foxprodb/calls.FPT", dir);
      changer.table = copyTestData(GetParam().table, dir);
    }
    const EngineExports& engine = EngineLibrary::Built().exports();
    KestRecoverOptions options{sizeof options, KEST_THOROUGH};
    int32_t code =
        thorough ? engine.fileRecoverEx(changer.table.c_str(), out.path().c_str(), 0, nullptr,
                                        &Changer::Progress, &changer, nullptr, &options, nullptr)
                 : engine.fileRecover(changer.table.c_str(), out.path().c_str(), 0, nullptr,
                                      &Changer::Progress, &changer, nullptr);
    ASSERT_TRUE(changer.done);
    // Windows shuts writers out of a table the engine has open.
    EXPECT_EQ(changer.changed, !kWritersShutOutOfAnOpenTable);
    EXPECT_EQ(code, 0);
    for (const auto& folder : fs::directory_iterator(out.path())) {
      for (const auto& entry : fs::directory_iterator(folder.path())) {
        std::string ext = entry.path().extension().string();
        if (ext != ".dbf" && ext != ".DBF") continue;
        std::string why;
        EXPECT_TRUE(TableImage::Read(entry.path().string()).whole(&why)) << why;
      }
    }
    EXPECT_EQ(OpenBelow(dir.path()), std::vector<std::string>{});
  }
}

INSTANTIATE_TEST_SUITE_P(FileRecover, ChangingTables, ::testing::ValuesIn(kChanges),
                         [](const ::testing::TestParamInfo<Change>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kest::testing
