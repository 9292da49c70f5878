#include "kestdll/host_services.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Common/raised_code.h"
#include "kestdll/run_state.h"
#include "tests/test_support.h"

namespace kest {
namespace {

// What the fake host-services library answers, and what it was asked.
struct FakeHost {
  // Texts by id: narrow, or UTF-16LE when `wide` is set.
  std::map<int32_t, std::string> narrow;
  std::map<int32_t, std::u16string> wide;
  // Bytes written as they are, with the length reported for them.
  std::map<int32_t, std::pair<std::string, int32_t>> raw;
  std::vector<std::string> calls;
};
FakeHost* host = nullptr;

int32_t FakeGetString(int32_t group, int32_t id, void* buffer, int32_t* textLength) {
  host->calls.push_back("GetString " + std::to_string(group) + " " + std::to_string(id));
  auto* bytes = static_cast<unsigned char*>(buffer);
  if (auto it = host->narrow.find(id); it != host->narrow.end()) {
    std::memcpy(bytes, it->second.c_str(), it->second.size() + 1);
    *textLength = static_cast<int32_t>(it->second.size());
  } else if (auto w = host->wide.find(id); w != host->wide.end()) {
    size_t i = 0;
    for (char16_t unit : w->second) {
      bytes[i++] = static_cast<unsigned char>(unit & 0xFF);
      bytes[i++] = static_cast<unsigned char>(unit >> 8);
    }
    bytes[i] = bytes[i + 1] = 0;
    *textLength = static_cast<int32_t>(i);
  } else if (auto r = host->raw.find(id); r != host->raw.end()) {
    std::memcpy(bytes, r->second.first.data(), r->second.first.size());
    *textLength = r->second.second;
  }
  return 0;
}

int32_t FakeInitialize(int32_t code) {
  host->calls.push_back("Initialize " + std::to_string(code));
  return 0;
}

int32_t FakeUnused() { return 0; }

class FakeLibrary : public platform::Library {
 public:
  explicit FakeLibrary(std::set<std::string> missing) : missing_(std::move(missing)) {}
  void* Symbol(const char* name) override {
    if (missing_.count(name) != 0) return nullptr;
    if (std::strcmp(name, "GetString") == 0) return reinterpret_cast<void*>(&FakeGetString);
    if (std::strcmp(name, "Initialize") == 0) return reinterpret_cast<void*>(&FakeInitialize);
    return reinterpret_cast<void*>(&FakeUnused);
  }

 private:
  std::set<std::string> missing_;
};

// A machine on which the host runs from /host/bin and the engine was loaded
// from /engine/lib; only the files in `present` exist.
class FakeMachine : public platform::EnvWrapper {
 public:
  FakeMachine() : EnvWrapper(platform::Env::Default()) {}

  bool ExecutablePath(std::string* path) override {
    *path = executable;
    return !executable.empty();
  }
  bool ModulePath(const void*, std::string* path) override {
    *path = engine;
    return !engine.empty();
  }
  platform::EntryKind KindOf(const std::string& path) override {
    return present.count(path) != 0 ? platform::EntryKind::kFile
                                    : platform::EntryKind::kMissing;
  }
  platform::Status OpenLibrary(const std::string& path,
                               std::unique_ptr<platform::Library>* library) override {
    loaded.push_back(path);
    if (present.count(path) == 0) return platform::Status::Failure(2, "absent");
    *library = std::make_unique<FakeLibrary>(missingEntries);
    return platform::Status();
  }
  std::string NarrowFromUtf16(const uint16_t* text, size_t units) override {
    if (unrepresentable) return std::string(units, '?');
    return EnvWrapper::NarrowFromUtf16(text, units);
  }

  // Where the queries say the host and the engine are; empty: unknown.
  std::string executable = "/host/bin/dbfhost";
  std::string engine = "/engine/lib/libkestdll.so";
  std::set<std::string> present;
  std::set<std::string> missingEntries;
  std::vector<std::string> loaded;
  bool unrepresentable = false;
};

const std::string kBesideHost = std::string("/host/bin/") + kHostServicesLibraryName;
const std::string kBesideEngine = std::string("/engine/lib/") + kHostServicesLibraryName;

class ValcoreLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRunState();
    host = &fake_;
    machine_.present = {kBesideHost};
  }
  void TearDown() override {
    host = nullptr;
    resetRunState();
  }
  // Binds; returns the raised code, or 0.
  int BindCode(ValcoreLibrary& library) {
    try {
      library.Bind();
      return 0;
    } catch (const RaisedCode& raised) {
      return raised.code;
    }
  }
  std::string Text(int id) { return runState().stageText[id]; }
  std::vector<std::string> DefaultTexts() {
    return {"done", "initializing", "trying best-case recovery method",
            "trying worst-case recovery method", "writing results", "Pass"};
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (int id = kStageDone; id <= kStagePass; ++id) texts.push_back(Text(id));
    return texts;
  }

  FakeHost fake_;
  FakeMachine machine_;
};

TEST_F(ValcoreLibraryTest, IsLookedForBesideTheHostFirst) {
  machine_.present.insert(kBesideEngine);
  ValcoreLibrary library(&machine_);
  EXPECT_EQ(BindCode(library), 0);
  EXPECT_EQ(machine_.loaded, std::vector<std::string>{kBesideHost});
  EXPECT_TRUE(library.bound());
}

TEST_F(ValcoreLibraryTest, IsLookedForBesideTheEngineWhenTheHostHasNone) {
  machine_.present = {kBesideEngine};
  ValcoreLibrary library(&machine_);
  EXPECT_EQ(BindCode(library), 0);
  EXPECT_EQ(machine_.loaded, std::vector<std::string>{kBesideEngine});
}

TEST_F(ValcoreLibraryTest, OnlyTheHostsAndTheEnginesFoldersAreSearched) {
  // Without a known folder nothing is loaded: neither from the current
  // folder nor through the system's search path.
  struct Case {
    std::string executable, engine;
    std::vector<std::string> loaded;
  };
  const std::string bare = kHostServicesLibraryName;
  const Case cases[] = {
      {"", "", {}},
      {"dbfhost", "libkestdll.so", {}},
      {"", "/engine/lib/libkestdll.so", {kBesideEngine}},
      {"/host/bin/dbfhost", "", {kBesideHost}},
  };
  for (const Case& c : cases) {
    machine_.present = {bare, "./" + bare};
    machine_.executable = c.executable;
    machine_.engine = c.engine;
    machine_.loaded.clear();
    ValcoreLibrary library(&machine_);
    EXPECT_EQ(BindCode(library), kBindingFailed) << c.executable << " " << c.engine;
    EXPECT_EQ(machine_.loaded, c.loaded) << c.executable << " " << c.engine;
    if (c.loaded.empty()) {
      EXPECT_EQ(library.failure(),
                "neither the host's nor the engine's folder is known to look for " + bare);
    }
  }
}

TEST_F(ValcoreLibraryTest, MissingLibraryFailsTheBinding) {
  machine_.present.clear();
  ValcoreLibrary library(&machine_);
  EXPECT_EQ(BindCode(library), kBindingFailed);
  EXPECT_FALSE(library.bound());
  EXPECT_EQ(library.failure(), "cannot load " + kBesideEngine);
  EXPECT_TRUE(fake_.calls.empty());
  EXPECT_EQ(Texts(), DefaultTexts());
}

TEST_F(ValcoreLibraryTest, AnyMissingEntryPointFailsTheBinding) {
  for (const char* name : kHostServicesEntryNames) {
    fake_.calls.clear();
    machine_.missingEntries = {name};
    fake_.narrow[1] = "fertig";
    ValcoreLibrary library(&machine_);
    EXPECT_EQ(BindCode(library), kBindingFailed) << name;
    EXPECT_EQ(library.failure(), kBesideHost + " has no entry point " + name);
    EXPECT_TRUE(fake_.calls.empty()) << name;
    EXPECT_EQ(Texts(), DefaultTexts());
  }
}

TEST_F(ValcoreLibraryTest, AsksForTheTextsInOrderThenInitializes) {
  ValcoreLibrary library(&machine_);
  ASSERT_EQ(BindCode(library), 0);
  EXPECT_EQ(fake_.calls,
            (std::vector<std::string>{"GetString 13 2", "GetString 13 1", "GetString 13 3",
                                      "GetString 13 4", "GetString 13 5", "GetString 13 6",
                                      "Initialize 269"}));
  EXPECT_EQ(Texts(), DefaultTexts());  // nothing supplied
}

TEST_F(ValcoreLibraryTest, TakesNarrowAndWideTexts) {
  fake_.narrow[1] = "fertig";
  fake_.wide[6] = u"Durchgang";
  fake_.wide[2] = u"Initialisierung";
  ValcoreLibrary library(&machine_);
  ASSERT_EQ(BindCode(library), 0);
  EXPECT_EQ(Text(kStageDone), "fertig");
  EXPECT_EQ(Text(kStagePass), "Durchgang");
  EXPECT_EQ(Text(kStageInitializing), "Initialisierung");
  EXPECT_EQ(Text(kStageBestCase), "trying best-case recovery method");
}

TEST_F(ValcoreLibraryTest, UnrepresentableTextKeepsTheDefault) {
#ifdef _WIN32
  GTEST_SKIP() << "Wine's ANSI code page follows the Unix locale, in which this text is "
                  "representable";
#endif
  fake_.wide[5] = u"\u0417\u0430\u043f\u0438\u0441\u044c \u0434\u0430\u043d\u043d\u044b\u0445";
  machine_.unrepresentable = true;
  ValcoreLibrary library(&machine_);
  ASSERT_EQ(BindCode(library), 0);
  EXPECT_EQ(Text(kStageWriting), "writing results");
}

TEST_F(ValcoreLibraryTest, UnterminatedNarrowTextIsCutTo255) {
  fake_.raw[4] = {std::string(256, 'x'), 256};
  ValcoreLibrary library(&machine_);
  ASSERT_EQ(BindCode(library), 0);
  EXPECT_EQ(Text(kStageWorstCase), std::string(255, 'x'));
}

TEST_F(ValcoreLibraryTest, BindingAgainReplacesTheTexts) {
  ValcoreLibrary library(&machine_);
  fake_.narrow[1] = "fertig";
  ASSERT_EQ(BindCode(library), 0);
  fake_.narrow[1] = "klaar";
  ASSERT_EQ(BindCode(library), 0);
  EXPECT_EQ(Text(kStageDone), "klaar");
}

// --- narrowHostText -----------------------------------------------------------

std::string Utf16(const std::u16string& text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

struct Buffer {
  char bytes[kStageTextSize] = {};
  explicit Buffer(const std::string& content) {
    std::memcpy(bytes, content.data(), std::min(content.size(), sizeof bytes));
  }
  std::string Text() const { return std::string(bytes, strnlen(bytes, sizeof bytes)); }
};

TEST(NarrowHostText, TableOfTexts) {
  FakeMachine machine;
  struct Case {
    std::string bytes;
    int32_t length;
    HostText found;
    std::string text;
  };
  const Case cases[] = {
      {"done", 4, HostText::kNarrow, "done"},
      {"done", 0, HostText::kNarrow, "done"},
      {"done", -7, HostText::kNarrow, "done"},
      {Utf16(u"fertig"), 12, HostText::kConverted, "fertig"},
      // The reported size decides how much is converted.
      {Utf16(u"fertig"), 6, HostText::kConverted, "fer"},
      // A size beyond the buffer is taken as the buffer.
      {Utf16(u"fertig"), 100000, HostText::kConverted, "fertig"},
  };
  for (const Case& c : cases) {
    Buffer buffer(c.bytes);
    EXPECT_EQ(narrowHostText(buffer.bytes, c.length, &machine), c.found) << c.text;
    EXPECT_EQ(buffer.Text(), c.text);
  }
}

TEST(NarrowHostText, UnrepresentableTextStaysUntouched) {
#ifdef _WIN32
  GTEST_SKIP() << "Wine's ANSI code page follows the Unix locale, in which this text is "
                  "representable";
#endif
  FakeMachine machine;
  machine.unrepresentable = true;
  std::string wide = Utf16(u"\u041f\u0440\u043e\u0445\u043e\u0434 1");
  Buffer buffer(wide);
  EXPECT_EQ(narrowHostText(buffer.bytes, static_cast<int32_t>(wide.size()), &machine),
            HostText::kUnrepresentable);
  EXPECT_EQ(std::string(buffer.bytes, wide.size()), wide);
}

TEST(NarrowHostText, ConversionThatFillsTheBufferIsCutTo255) {
  // A code page that needs three bytes for each unit.
  class Widening : public FakeMachine {
   public:
    std::string NarrowFromUtf16(const uint16_t*, size_t units) override {
      return std::string(3 * units, 'w');
    }
  } widening;
  std::string wide = Utf16(std::u16string(127, u'a'));
  Buffer buffer(wide);
  EXPECT_EQ(narrowHostText(buffer.bytes, 254, &widening), HostText::kConverted);
  EXPECT_EQ(buffer.Text(), std::string(255, 'w'));
  EXPECT_EQ(buffer.bytes[255], '\0');
}

}  // namespace
}  // namespace kest
