// Formatting throughput of the per-frame text forms: lines per second.
#include <benchmark/benchmark.h>

#include "NCanUtils.h"

namespace {

KCanFrame SampleFrame(int len) {
  KCanFrame f;
  f.mCounter = 123456;
  f.mDays = 9837;
  f.mMs = 50709123;
  f.mId = 0x18DB33F1u | KCanFrame::cExtendedFlag;
  f.mLen = len;
  for (int i = 0; i < 8; ++i)
    f.mData[i] = static_cast<unsigned char>(0x31 + 17 * i);
  return f;
}

void BM_TraceLine(benchmark::State& state) {
  KCanFrame f = SampleFrame(static_cast<int>(state.range(0)));
  char line[cLineSize];
  for (auto _ : state) {
    NCanUtils::FormatFrame(f, false, line);
    benchmark::DoNotOptimize(line);
    ++f.mCounter;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceLine)->Arg(8)->Arg(0);

void BM_CsvLine(benchmark::State& state) {
  KCanFrame f = SampleFrame(static_cast<int>(state.range(0)));
  char line[cLineSize];
  for (auto _ : state) {
    NCanUtils::FormatFrame(f, true, line);
    benchmark::DoNotOptimize(line);
    ++f.mCounter;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CsvLine)->Arg(8)->Arg(0);

// The candump log line of the log file (written besides the trace line of
// the console): at most the cost of the trace line.
void BM_CandumpLine(benchmark::State& state) {
  KCanFrame f = SampleFrame(static_cast<int>(state.range(0)));
  char line[cLineSize];
  for (auto _ : state) {
    NCanUtils::FormatCandump(f, "ttyUSB0", line);
    benchmark::DoNotOptimize(line);
    ++f.mMs;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CandumpLine)->Arg(8)->Arg(0);

void BM_SqlInsert(benchmark::State& state) {
  KCanFrame f = SampleFrame(static_cast<int>(state.range(0)));
  char line[cLineSize];
  for (auto _ : state) {
    f.FormMySqlInsert(line);
    benchmark::DoNotOptimize(line);
    ++f.mCounter;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SqlInsert)->Arg(8)->Arg(0);

void BM_HttpVariables(benchmark::State& state) {
  KCanFrame f = SampleFrame(8);
  char line[cLineSize];
  for (auto _ : state) {
    f.FormHttpVariables(line);
    benchmark::DoNotOptimize(line);
    ++f.mCounter;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HttpVariables);

} // namespace

BENCHMARK_MAIN();
