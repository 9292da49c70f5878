// The classic path, pinned: a few fixed runs of FileRecover through the
// built engine library, each recorded as its return code, every callback
// in order, the log with what differs from machine to machine and minute
// to minute replaced by placeholders, and the size, record count and hash
// of every file written. The records live in tests/golden/<case>.txt, made
// from the engine as it stood when the run's behaviour was settled; any
// change that moves one byte of them fails here.
//
// After a change that is meant to move them, make them afresh and review
// the difference like code:
//   KEST_UPDATE_GOLDEN=1 ctest --test-dir build -R ClassicPath
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/engine_loader.h"
#include "tests/source_guard.h"
#include "tests/table_builder.h"
#include "tests/table_reader.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace kest::testing {
namespace {

// What a host hears: "status <text>" and "progress <percent>" in order.
struct Recorder {
  std::vector<std::string> events;
  char breakByte = 0;
  std::string breakAt;  // the event on which the host sets its break byte

  void Add(std::string event) {
    if (event == breakAt) breakByte = 1;
    events.push_back(std::move(event));
  }
  static int32_t KEST_CALL Status(const char* text, void* user) {
    static_cast<Recorder*>(user)->Add(std::string("status ") + text);
    return 0;
  }
  static int32_t KEST_CALL Progress(const char* text, int32_t percent, void* user) {
    static_cast<Recorder*>(user)->Add("progress " + std::to_string(percent) +
                                      (*text != '\0' ? std::string(" ") + text : ""));
    return 0;
  }
};

uint64_t Fnv1a(const std::string& bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

// What the record check writes for each field and record: pinned by a
// hash per run of such lines, to keep the golden files small.
bool IsRecordCheckLine(const std::string& level, const std::string& message) {
  static const char* const kPrefixes[] = {
      "Character field, value is", "Integer field, value is", "Memo field, value is",
      "Date field, value is", "Numeric field, value is", "Boolean field invalid",
      "Invalid field value is:", "Memo page number is too big", "Month is invalid",
      "Day is invalid", "Year is invalid", "Data is invalid",
      "Symbol at this position is invalid", "Symbol value", "The field length is not 8 chars",
      "This record is not valid by one of its field values"};
  if (level == "DEBUG") return true;
  for (const char* prefix : kPrefixes) {
    if (message.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// The log as it would read on any machine at any time: the time column
// and the answers of the machine-info block become placeholders, and so do
// the paths of this run's folders and the date in a results folder name.
// A message that holds a line break (a memo value) is kept as one line.
std::vector<std::string> NormalizedLog(const std::string& text,
                                       const std::vector<std::pair<std::string, std::string>>& paths) {
  static const std::regex kLine(R"(^ *([A-Z]+) [^|]*\| ([\s\S]*)$)");
  static const std::regex kFolderDate(R"(Recovered (.*) \d{1,2}-[A-Z][a-z]{2}-\d\d \d\d\.\d\d)");
  static const std::regex kValue(R"(^(\S+|Today is) \[[\s\S]*\] $)");
  std::vector<std::pair<std::string, std::string>> entries;  // level, message
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_match(line, m, kLine)) {
      entries.push_back({m[1], m[2]});
    } else if (!entries.empty()) {
      entries.back().second += "\\n" + line;
    } else {
      entries.push_back({"??", line});
    }
  }
  std::vector<std::string> lines;
  bool machineBlock = false;
  std::string run;  // the record-check lines not yet written
  size_t runLines = 0;
  auto endRun = [&] {
    if (runLines == 0) return;
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(run)));
    lines.push_back("(" + std::to_string(runLines) + " record check lines, fnv1a64 " + hash + ")");
    run.clear();
    runLines = 0;
  };
  for (auto [level, message] : entries) {
    for (const auto& [path, name] : paths) {
      for (size_t at; (at = message.find(path)) != std::string::npos;) {
        message.replace(at, path.size(), name);
      }
    }
    message = std::regex_replace(message, kFolderDate, "Recovered $1 <d-Mon-yy hh.mm>");
    if (message.find("LOGGER MACHINE INFO") != std::string::npos) machineBlock = true;
    if (machineBlock && message.find("VERSION INFO") != std::string::npos) machineBlock = false;
    if (machineBlock) message = std::regex_replace(message, kValue, "$1 [<value>] ");
    std::string normalized = level + " | " + message;
    if (IsRecordCheckLine(level, message)) {
      run += normalized + "\n";
      ++runLines;
      continue;
    }
    endRun();
    lines.push_back(normalized);
  }
  endRun();
  return lines;
}

struct GoldenCase {
  const char* name;
  // Puts the table into `folder` and returns its path.
  std::function<std::string(const std::string& folder)> table;
  const char* breakAt = "";
};

std::string CopyInto(const std::string& from, const std::string& folder) {
  std::string to = (fs::path(folder) / fs::path(from).filename()).string();
  fs::copy_file(from, to);
  fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
  return to;
}

const GoldenCase kCases[] = {
    // Header cut away: the worst-case method rebuilds all 16 records.
    {"worst_case_wins",
     [](const std::string& folder) {
       return CopyInto(std::string(KEST_SOURCE_DIR) + "/samples/calls.dbf", folder);
     }},
    // A sound table with its memo companion: kept whole, memo copied.
    {"best_case_wins",
     [](const std::string& folder) {
       CopyInto(testData("foxprodb/calls.FPT"), folder);
       return CopyInto(testData("foxprodb/calls.dbf"), folder);
     }},
    {"nothing_found",
     [](const std::string& folder) {
       std::string path = folder + "/empty.dbf";
       TableBuilder().field("NAME", 'C', 10).write(path);
       return path;
     }},
    {"user_break_in_worst_case",
     [](const std::string& folder) {
       return CopyInto(std::string(KEST_SOURCE_DIR) + "/samples/calls.dbf", folder);
     },
     "status Pass 3: trying worst-case recovery method..."},
    {"source_missing", [](const std::string& folder) { return folder + "/absent.dbf"; }},
};

void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

class ClassicPath : public ::testing::TestWithParam<GoldenCase> {};

// How the run is asked for: FileRecover, or FileRecoverEx with what a host
// of the classic interface would hand it.
enum class Entry { kFileRecover, kExWithoutOptions, kExWithNoFlag };

std::string Record(const GoldenCase& c, Entry entry = Entry::kFileRecover) {
  const EngineExports& engine = EngineLibrary::Built().exports();
  TempDir source, output, logs;
  std::string table = c.table(source.path());
  SourceGuard guard(table);
  std::string log = logs.file("run.log");

  Recorder host;
  host.breakAt = c.breakAt;
  engine.setBreakFlag(&host.breakByte);
  int32_t code = 0;
  if (entry == Entry::kFileRecover) {
    code = engine.fileRecover(table.c_str(), output.path().c_str(), 0, &Recorder::Status,
                              &Recorder::Progress, &host, log.c_str());
  } else {
    KestRecoverOptions none{sizeof(KestRecoverOptions), 0};
    KestRecoverReport report{};
    report.size = sizeof report;
    code = engine.fileRecoverEx(table.c_str(), output.path().c_str(), 0, &Recorder::Status,
                                &Recorder::Progress, &host, log.c_str(),
                                entry == Entry::kExWithNoFlag ? &none : nullptr, &report);
  }
  static char idle = 0;
  engine.setBreakFlag(&idle);

  std::ostringstream out;
  out << "code " << code << "\n";
  for (const std::string& e : host.events) out << e << "\n";
  out << "-- log\n";
  std::string tmp;
  const char* root = std::getenv("BRENMOORTMP");
  std::vector<std::pair<std::string, std::string>> paths = {
      {output.path(), "<output>"}, {source.path(), "<source>"}, {logs.path(), "<logs>"}};
  if (root != nullptr) paths.push_back({root, "<tmp>"});
  for (const std::string& line : NormalizedLog(readFile(log), paths)) out << line << "\n";
  out << "-- files\n";
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(output.path())) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    std::string name = fs::relative(file, output.path()).string();
    name = std::regex_replace(name, std::regex(R"( \d{1,2}-[A-Z][a-z]{2}-\d\d \d\d\.\d\d)"),
                              " <d-Mon-yy hh.mm>");
    if (fs::is_directory(file)) {
      out << name << "/\n";
      continue;
    }
    std::string bytes = readFile(file.string());
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(bytes)));
    out << name << " " << bytes.size() << " bytes fnv1a64 " << hash;
    std::string ext = file.extension().string();
    if (ext == ".dbf" || ext == ".DBF") {
      TableImage image = TableImage::FromBytes(bytes);
      std::string why;
      out << " records " << image.header.recordCount() << (image.whole(&why) ? "" : " NOT WHOLE: " + why);
    }
    out << "\n";
  }
  return out.str();
}

TEST_P(ClassicPath, MatchesItsGoldenRecord) {
#ifdef _WIN32
  GTEST_SKIP() << "the golden records hold the Linux build's machine-info block";
#endif
  ASSERT_TRUE(EngineLibrary::Built().exports().complete())
      << "cannot load " << EngineLibrary::BuiltPath();
  ASSERT_EQ(EngineLibrary::Built().exports().loadValcore(), 0);
  const GoldenCase& c = GetParam();
  std::string actual = Record(c);
  std::string golden = std::string(KEST_SOURCE_DIR) + "/tests/golden/" + c.name + ".txt";
  const char* update = std::getenv("KEST_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    writeFile(golden, actual);
    GTEST_SKIP() << "wrote " << golden;
  }
  ASSERT_TRUE(exists(golden)) << golden << " is missing; KEST_UPDATE_GOLDEN=1 makes it";
  std::string expected = readFile(golden);
  if (actual == expected) return;
  // The first line that differs, then the whole record for the review.
  std::istringstream a(actual), e(expected);
  std::string la, le;
  for (int n = 1;; ++n) {
    bool ga = static_cast<bool>(std::getline(a, la)), ge = static_cast<bool>(std::getline(e, le));
    if (!ga && !ge) break;
    if (!ga || !ge || la != le) {
      ADD_FAILURE() << c.name << ": line " << n << " differs\n  golden: " << (ge ? le : "<end>")
                    << "\n  now:    " << (ga ? la : "<end>") << "\nthe run now records:\n"
                    << actual;
      break;
    }
  }
}

// A host of the classic interface that moves to FileRecoverEx without
// asking for an extension gets FileRecover, byte for byte.
TEST_P(ClassicPath, FileRecoverExWithoutExtensionsIsFileRecover) {
  ASSERT_NE(EngineLibrary::Built().exports().fileRecoverEx, nullptr);
  ASSERT_EQ(EngineLibrary::Built().exports().loadValcore(), 0);
  const GoldenCase& c = GetParam();
  std::string classic = Record(c);
  EXPECT_EQ(Record(c, Entry::kExWithoutOptions), classic);
  EXPECT_EQ(Record(c, Entry::kExWithNoFlag), classic);
}

INSTANTIATE_TEST_SUITE_P(FileRecover, ClassicPath, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<GoldenCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kest::testing
