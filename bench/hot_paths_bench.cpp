// The inner loops of the text conversions: number reading (TextToNumber, the
// delimited reader), number printing (FormatNumber, the text writers' number
// text, FormatCorvistNumber) and the Corvist line buffer (WriteWrapped).
// Text-to-factor on 1,000,000 values is in convert_bench.cpp.
// Build with -DTROVADEX_BENCH=ON; run ./build/bench/hot_paths_bench.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/convert.h"
#include "core/corvist_text.h"
#include "core/dataset.h"
#include "core/format.h"
#include "readers/readers.h"
#include "writers/number_text.h"

namespace trovadex {
namespace {

constexpr int kValues = 1000000;

// A mix like the benchmark table's numeric columns: whole numbers, two and
// four decimals, 1 to 17 significant digits, and full 17-digit fractions.
const std::vector<double>& Values() {
  static const std::vector<double> values = [] {
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> v;
    v.reserve(kValues);
    char text[64];
    for (int i = 0; i < kValues; ++i) {
      switch (i % 5) {
        case 0: v.push_back(static_cast<double>(rng() % 1000000)); break;
        case 1: v.push_back(std::round((20 + 180 * unit(rng)) * 100) / 100); break;
        case 2: v.push_back(std::round((unit(rng) - 0.5) * 2000000) / 10000); break;
        case 3:
          std::snprintf(text, sizeof text, "%.*g", 1 + i % 17, unit(rng) * std::pow(10.0, static_cast<int>(rng() % 9) - 3));
          v.push_back(std::strtod(text, nullptr));
          break;
        default: v.push_back(unit(rng)); break;
      }
    }
    return v;
  }();
  return values;
}

const std::vector<std::string>& Texts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t;
    t.reserve(kValues);
    char buffer[kNumberTextSize];
    for (double v : Values()) {
      FormatShortestG(buffer, v, 1);
      t.emplace_back(buffer);
    }
    return t;
  }();
  return texts;
}

void BM_TextToNumber(benchmark::State& state) {
  ResetState();
  const std::vector<std::string>& texts = Texts();
  for (auto _ : state) {
    double sum = 0;
    bool doubtful = false;
    for (const std::string& t : texts) sum += TextToNumber(t, kMissingValue, &doubtful);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_TextToNumber)->Unit(benchmark::kMillisecond);

void BM_ParseDecimal(benchmark::State& state) {
  const std::vector<std::string>& texts = Texts();
  for (auto _ : state) {
    double sum = 0;
    for (const std::string& t : texts) sum += ParseDecimal(t.data(), t.data() + t.size(), nullptr, nullptr);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_ParseDecimal)->Unit(benchmark::kMillisecond);

// The whole delimited reader (field scan, kinds, number reading, text
// storage) on a 100,000-row, 10-column comma file in the page cache.
void BM_ReadDelimitedText(benchmark::State& state) {
  const std::string path = "/tmp/trovadex-hot-paths.csv";
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
      state.SkipWithError("cannot write the input file");
      return;
    }
    std::fputs("id,height,value,name,city,count,delta,code,ratio,note\n", f);
    const std::vector<std::string>& t = Texts();
    for (int r = 0; r < 100000; ++r) {
      std::fprintf(f, "%d,%s,%s,Ann Bob,\"Zurich, CH\",%d,%s,A1,%s,lot %07d\n", r + 1, t[5 * r + 1].c_str(),
                   t[5 * r + 3].c_str(), r % 500, t[5 * r + 2].c_str(), t[5 * r + 4].c_str(), r * 7919 % 9999991);
    }
    std::fclose(f);
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::fseek(f, 0, SEEK_END);
  const long bytes = std::ftell(f);
  std::fclose(f);
  for (auto _ : state) {
    state.PauseTiming();
    ResetState();
    InitOptions();
    state.ResumeTiming();
    if (!ReadDelimitedText(path.c_str())) state.SkipWithError("read failed");
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  std::remove(path.c_str());
}
BENCHMARK(BM_ReadDelimitedText)->Unit(benchmark::kMillisecond);

void BM_FormatNumber(benchmark::State& state) {
  const std::vector<double>& values = Values();
  char out[kNumberTextSize];
  for (auto _ : state) {
    long total = 0;
    for (double v : values) total += FormatNumber(out, v, 1, -1, kMissingValue);
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_FormatNumber)->Unit(benchmark::kMillisecond);

void BM_FastFormatNumber(benchmark::State& state) {
  const std::vector<double>& values = Values();
  char out[kNumberTextSize];
  for (auto _ : state) {
    long total = 0;
    for (double v : values) total += FastFormatNumber(out, v, 1, -1, kMissingValue);
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_FastFormatNumber)->Unit(benchmark::kMillisecond);

void BM_FormatCorvistNumber(benchmark::State& state) {
  const std::vector<double>& values = Values();
  char out[kCorvistNumberSize];
  for (auto _ : state) {
    long total = 0;
    for (double v : values) total += FormatCorvistNumber(out, v, kMissingValue, false);
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_FormatCorvistNumber)->Unit(benchmark::kMillisecond);

// A million data-mode values through the line buffer to /dev/null.
void BM_WriteWrapped(benchmark::State& state) {
  const std::vector<std::string>& texts = Texts();
  std::FILE* sink = std::fopen("/dev/null", "wb");
  if (!sink) {
    state.SkipWithError("no /dev/null");
    return;
  }
  std::string piece;
  for (auto _ : state) {
    ResetState();
    for (const std::string& t : texts) {
      piece.assign(t);
      piece += ' ';
      WriteWrapped(piece, false, false, sink);
    }
    WriteWrapped(":\n", false, true, sink);
  }
  std::fclose(sink);
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_WriteWrapped)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trovadex

BENCHMARK_MAIN();
