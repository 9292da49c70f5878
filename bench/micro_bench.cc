// Micro-benchmarks of the inner loops a run spends its time in: the record
// check (logging off, as in a run without a log) and the worst-case layout
// scoring over the full sample window, for the classic lengths and for the
// whole-table search's.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bench/table_generator.h"
#include "dbf/dbf_format.h"
#include "dbf/record_check.h"
#include "worst_case/layout_search.h"
#include "worst_case/whole_table_layout.h"

namespace {

using kest::bench::TableShape;

std::vector<kest::FieldPlace> placesOf(const TableShape& shape) {
  std::string head = kest::bench::makeHeaderPart(shape);
  std::vector<kest::DbfFieldDescriptor> fields;
  for (size_t at = 32; at + 32 <= head.size() && head[at] != '\x0d'; at += 32) {
    kest::DbfFieldDescriptor d;
    std::memcpy(d.bytes, head.data() + at, 32);
    fields.push_back(d);
  }
  return kest::placeFields(fields, nullptr);
}

void BM_CheckRecord(benchmark::State& state) {
  TableShape shape;
  shape.memo = state.range(0) != 0;
  std::vector<kest::FieldPlace> places = placesOf(shape);
  std::vector<std::string> records;
  for (uint64_t i = 0; i < 1024; ++i) records.push_back(kest::bench::makeRecord(shape, i, 8));
  size_t next = 0;
  for (auto _ : state) {
    std::string& record = records[next++ & 1023];
    benchmark::DoNotOptimize(kest::checkRecord(reinterpret_cast<uint8_t*>(record.data()),
                                               record.size(), places, shape.memo, 1 << 20));
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(records[0].size()));
}
BENCHMARK(BM_CheckRecord)->Arg(0)->Arg(1);

// The same records judged through a plan made once, as a scan judges them.
void BM_CheckRecordPlanned(benchmark::State& state) {
  TableShape shape;
  shape.memo = state.range(0) != 0;
  std::vector<std::string> records;
  for (uint64_t i = 0; i < 1024; ++i) records.push_back(kest::bench::makeRecord(shape, i, 8));
  const kest::RecordCheckPlan plan(placesOf(shape), records[0].size());
  size_t next = 0;
  for (auto _ : state) {
    std::string& record = records[next++ & 1023];
    benchmark::DoNotOptimize(
        kest::checkRecord(reinterpret_cast<uint8_t*>(record.data()), plan, shape.memo, 1 << 20));
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(records[0].size()));
}
BENCHMARK(BM_CheckRecordPlanned)->Arg(0)->Arg(1);

void BM_ScoreRecordLengths(benchmark::State& state) {
  TableShape shape;
  std::string window = kest::bench::makeHeaderPart(shape);
  for (uint64_t i = 0; window.size() < kest::kSampleWindowSize; ++i) {
    window += kest::bench::makeRecord(shape, i, 0);
  }
  window.resize(kest::kSampleWindowSize);
  std::fill(window.begin(), window.begin() + 512, '\0');  // the header lost
  const auto* bytes = reinterpret_cast<const uint8_t*>(window.data());
  for (auto _ : state) {
    kest::RecordLengthScores scores =
        kest::scoreRecordLengths(bytes, kest::kSampleWindowSize, {});
    benchmark::DoNotOptimize(scores);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kest::kSampleWindowSize));
}
BENCHMARK(BM_ScoreRecordLengths)->Unit(benchmark::kMillisecond);

// The whole-table search scores each of its windows for lengths up to
// kMaxWholeTableLength.
void BM_ScoreLongRecordLengths(benchmark::State& state) {
  TableShape shape;
  std::string window;
  for (uint64_t i = 0; window.size() < kest::kSampleWindowSize; ++i) {
    window += kest::bench::makeRecord(shape, i, 0);
  }
  window.resize(kest::kSampleWindowSize);
  const auto* bytes = reinterpret_cast<const uint8_t*>(window.data());
  for (auto _ : state) {
    std::vector<uint32_t> scores = kest::scoreRecordLengthsUpTo(
        bytes, kest::kSampleWindowSize, kest::kMaxWholeTableLength, {});
    benchmark::DoNotOptimize(scores);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kest::kSampleWindowSize));
}
BENCHMARK(BM_ScoreLongRecordLengths)->Unit(benchmark::kMillisecond);

// The whole-table search over a large table: its eight windows, their
// candidates shared between two threads where there are two. Wall time.
void BM_ScoreSample(benchmark::State& state) {
  TableShape shape;
  std::string records;
  for (uint64_t i = 0; records.size() < kest::kWholeTableWindows * kest::kSampleWindowSize; ++i) {
    records += kest::bench::makeRecord(shape, i, 0);
  }
  kest::TableSample sample;
  for (uint32_t w = 0; w < kest::kWholeTableWindows; ++w) {
    const char* bytes = records.data() + w * kest::kSampleWindowSize;
    sample.windows.push_back({w * kest::kSampleWindowSize,
                              std::vector<uint8_t>(bytes, bytes + kest::kSampleWindowSize)});
  }
  for (auto _ : state) {
    std::vector<uint32_t> scores = kest::scoreSample(sample, {});
    benchmark::DoNotOptimize(scores);
  }
}
BENCHMARK(BM_ScoreSample)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
