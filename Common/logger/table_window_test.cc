#include "Common/logger/table_window.h"

#include <gtest/gtest.h>

#include <string>

#include "Common/raised_code.h"
#include "tests/fault_env.h"
#include "tests/test_support.h"

namespace kest {
namespace {

using testing::TempDir;

// 100 bytes "0123456789" ten times, read through a window of 16.
struct Windowed {
  TempDir dir;
  std::string path = dir.file("t.dbf");
  std::string bytes;
  std::unique_ptr<LLFile> file;
  std::unique_ptr<TableWindow> window;
  explicit Windowed(platform::Env* env = platform::Env::Default()) {
    for (int i = 0; i < 100; ++i) bytes.push_back(static_cast<char>('0' + i % 10));
    testing::writeFile(path, bytes);
    file = std::make_unique<LLFile>(path.c_str(), env);
    window = std::make_unique<TableWindow>(file.get(), 16);
  }
  std::string read(uint64_t at, size_t count, size_t* got = nullptr) {
    std::string out(count, '?');
    size_t n = window->read(at, count, reinterpret_cast<uint8_t*>(out.data()));
    if (got != nullptr) *got = n;
    return out;
  }
};

TEST(TableWindow, ServesWhatTheTableHoldsAndZerosPastItsEnd) {
  struct Case {
    uint64_t at;
    size_t count, got;
  } cases[] = {
      {0, 10, 10}, {12, 10, 10},  // across a block's end
      {30, 8, 8},  {20, 4, 4},    // back inside the block, then before it
      {95, 10, 5}, {98, 1, 1},    // the table's end
      {100, 4, 0}, {uint64_t{1} << 33, 4, 0},
      {3, 40, 40},  // larger than the block
  };
  Windowed w;
  for (const Case& c : cases) {
    size_t got = 0;
    std::string out = w.read(c.at, c.count, &got);
    EXPECT_EQ(got, c.got) << c.at;
    std::string expected = c.got != 0 ? w.bytes.substr(c.at, c.got) : "";
    expected.resize(c.count, '\0');
    EXPECT_EQ(out, expected) << c.at;
  }
}

TEST(TableWindow, APassThatForgetsSeesTheTableAsItIsNow) {
#ifdef _WIN32
  GTEST_SKIP() << "the case rewrites the table while it is open, which Windows' file "
                  "sharing refuses";
#endif
  Windowed w;
  EXPECT_EQ(w.read(0, 4), "0123");
  testing::writeFile(w.path, std::string(100, 'x'));
  EXPECT_EQ(w.read(2, 4), "2345");  // the same pass: the block read before
  w.window->forget();
  EXPECT_EQ(w.read(2, 4), "xxxx");
}

TEST(TableWindow, ARefusedReadRaisesTheLLFileCode) {
  testing::FaultEnv faults;
  Windowed w(&faults);
  faults.FailAt(testing::FaultKind::kRead, 1);
  EXPECT_THROW(w.read(0, 4), RaisedCode);
  EXPECT_EQ(w.read(0, 4), "0123");  // the failed fill left nothing behind
}

}  // namespace
}  // namespace kest
