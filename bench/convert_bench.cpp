// Text-to-factor and text-to-number conversion of a million-row column with
// 100,000 distinct values. Run: ./build/bench/convert_bench
#include <benchmark/benchmark.h>

#include <cstdio>

#include "core/convert.h"
#include "core/dataset.h"

namespace trovadex {
namespace {

constexpr int32_t kRows = 1000000;
constexpr int32_t kDistinct = 100000;

// A fresh Dataset with one text column; value i is the (i * 7919 mod
// kDistinct)-th label, so labels recur in scattered order.
Column* MakeTextColumn(bool numeric) {
  ResetState();
  Dataset* d = CreateDataset();
  d->rowCount = kRows;
  CreateRows(d);
  Column* c = AddColumnWithValues(d, ColumnKind::Text, "id", kRows);
  char buf[32];
  for (int32_t i = 0; i < kRows; ++i) {
    int32_t k = static_cast<int32_t>((static_cast<int64_t>(i) * 7919) % kDistinct);
    if (numeric)
      std::snprintf(buf, sizeof buf, "%d.%02d", k / 7, k % 100);
    else
      std::snprintf(buf, sizeof buf, "Plot %06d", k);
    SetText(c, i, buf);
  }
  return c;
}

void BM_TextToFactor(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    Column* c = MakeTextColumn(false);
    state.ResumeTiming();
    bool ok = TextToFactor(c, state.range(0) != 0, true);
    benchmark::DoNotOptimize(ok);
    if (!ok || c->labelCount != kDistinct) state.SkipWithError("conversion failed");
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_TextToFactor)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_TextToVariate(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    Column* c = MakeTextColumn(true);
    state.ResumeTiming();
    bool ok = TextToVariate(c);
    benchmark::DoNotOptimize(ok);
    if (!ok) state.SkipWithError("conversion failed");
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  if (CloseWarningsFile()) state.SkipWithError("unexpected warnings");
}
BENCHMARK(BM_TextToVariate)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trovadex

BENCHMARK_MAIN();
