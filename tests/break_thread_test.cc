// The host's break byte set from another thread while a large table is
// scanned, as a host's interface thread does: the run ends with the user
// break and writes nothing. Built under ThreadSanitizer as well
// (-DKEST_TSAN=ON), where a read of the byte that is not atomic is a
// finding.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "kestdll/recovery_run.h"
#include "kestdll/run_state.h"
#include "tests/table_builder.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace kest::testing {
namespace {

struct Moment {
  const char* name;
  int32_t percent;  // the host breaks once the run has reported this
  uint32_t flags;   // the run's extensions; 0 for the classic run
};

const Moment kMoments[] = {
    {"best_case_scan", 10, 0},
    {"worst_case_search", 25, 0},
    {"thorough_best_case_scan", 10, kAllRecoveryFlags},
    {"thorough_worst_case_search", 25, kAllRecoveryFlags},
};

void PrintTo(const Moment& m, std::ostream* os) { *os << m.name; }

// The host's callback holds the run at `breakAt` until the other thread
// has set the byte, so that the break arrives in the middle of the scan
// however the threads are scheduled. The flags between the threads are
// relaxed: they order nothing, so a read of the byte by the run that is not
// atomic still races with the store under ThreadSanitizer.
struct Host {
  int32_t breakAt;
  std::atomic<bool> reached{false};
  std::atomic<bool> stored{false};
  std::atomic<bool> finished{false};  // a run that never reported breakAt

  static int32_t KEST_CALL Progress(const char*, int32_t percent, void* user) {
    auto* host = static_cast<Host*>(user);
    if (percent == host->breakAt && !host->reached.load(std::memory_order_relaxed)) {
      host->reached.store(true, std::memory_order_relaxed);
      while (!host->stored.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
    return 0;
  }
};

// About 10 MB of records: long enough to scan that the break arrives
// during the scan, not after it.
const std::string& LargeTable() {
  static const std::string bytes = [] {
    TableBuilder table;
    table.field("NAME", 'C', 40).field("QTY", 'N', 8);
    for (int i = 0; i < 200000; ++i) table.record("record " + std::to_string(i));
    return table.bytes();
  }();
  return bytes;
}

class BreakFromAnotherThread : public ::testing::TestWithParam<Moment> {};

// One run with the host's other thread waiting for `percent` to break.
int32_t RunWithBreakAt(const std::string& table, const std::string& output, int32_t percent,
                       uint32_t flags) {
  char breakByte = 0;
  runState().breakFlag = &breakByte;
  Host host{percent};
  std::thread breaker([&] {
    while (!host.reached.load(std::memory_order_relaxed) && !host.finished.load())
      std::this_thread::yield();
    if (!host.reached.load(std::memory_order_relaxed)) return;
    std::atomic_ref<char>(breakByte).store(1, std::memory_order_relaxed);
    host.stored.store(true, std::memory_order_relaxed);
  });
  int32_t code = recoverFile(table.c_str(), output.c_str(), nullptr, &Host::Progress, &host,
                             nullptr, RecoveryOptions{flags}, nullptr);
  host.finished.store(true);
  breaker.join();
  runState().breakFlag = nullptr;
  return code;
}

TEST_P(BreakFromAnotherThread, EndsTheRunWithTheUserBreak) {
  TempDir dir;
  std::string table = dir.file("large.dbf");
  writeFile(table, LargeTable());
  TempDir out;
  EXPECT_EQ(RunWithBreakAt(table, out.path(), GetParam().percent, GetParam().flags),
            KEST_USER_BREAK);
  EXPECT_TRUE(fs::is_empty(out.path()));
}

INSTANTIATE_TEST_SUITE_P(FileRecover, BreakFromAnotherThread, ::testing::ValuesIn(kMoments),
                         [](const ::testing::TestParamInfo<Moment>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kest::testing
