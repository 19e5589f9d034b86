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

// A fresh Dataset with one text column of `rows` values; value i is the
// (i * 7919 mod distinct)-th label, so labels recur in scattered order.
Column* MakeTextColumn(bool numeric, int32_t rows = kRows, int32_t distinct = kDistinct) {
  ResetState();
  Dataset* d = CreateDataset();
  d->rowCount = rows;
  CreateRows(d);
  Column* c = AddColumnWithValues(d, ColumnKind::Text, "id", rows);
  char buf[32];
  for (int32_t i = 0; i < rows; ++i) {
    int32_t k = static_cast<int32_t>((static_cast<int64_t>(i) * 7919) % distinct);
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

// Scaling: rows and distinct labels grow together (one label per ten rows);
// the time per row must stay flat.
void BM_TextToFactorScaling(benchmark::State& state) {
  const int32_t rows = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    Column* c = MakeTextColumn(false, rows, rows / 10);
    state.ResumeTiming();
    bool ok = TextToFactor(c, true, true);
    benchmark::DoNotOptimize(ok);
    if (!ok) state.SkipWithError("conversion failed");
  }
  state.SetItemsProcessed(state.iterations() * rows);
}
BENCHMARK(BM_TextToFactorScaling)->Arg(250000)->Arg(1000000)->Arg(3000000)->Unit(benchmark::kMillisecond);

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
