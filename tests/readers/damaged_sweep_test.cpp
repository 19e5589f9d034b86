// Truncation and corruption sweep: every real corpus file of every built
// reader, cut at every length up to 4 KB and at 200 longer lengths, and with
// 200 single bytes changed, goes through the reader in-process. Each must
// come back (success or failure) or end through the fatal-exit path, without
// a memory fault and within a time bound. Under the sanitizers any bad read or
// undefined behaviour ends the test binary with a report.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "readers/damaged_support.h"
#include "writers/writers.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define TROVADEX_SWEEP_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TROVADEX_SWEEP_CHECKED 1
#endif
#endif
#if !defined(TROVADEX_SWEEP_CHECKED) && !defined(NDEBUG)
#define TROVADEX_SWEEP_CHECKED 1
#endif

namespace trovadex {
namespace {

namespace fs = std::filesystem;
using test::SweepEntry;

constexpr std::size_t kEveryPrefixUpTo = 4096;
constexpr int kLongerPrefixes = 200;
constexpr int kCorruptions = 200;
#ifdef TROVADEX_SWEEP_CHECKED
// Sanitizer and debug builds run slowly and on loaded machines: the bound
// only catches a reader that loops.
constexpr double kSecondsBound = 20.0;
// Files per reader in these builds (spread over the sorted list), so the
// sweep stays within a couple of minutes; TROVADEX_SWEEP_ALL=1 takes all.
constexpr std::size_t kCheckedFileLimit = 12;
#else
constexpr double kSecondsBound = 1.0;
#endif

std::vector<char> Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The corpus inputs of a reader, sorted by path.
std::vector<fs::path> CorpusFiles(const SweepEntry& entry) {
  std::vector<fs::path> files;
  fs::path shared = test::SharedDir();
  for (const std::string& folder : entry.folders) {
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(shared / folder, ec)) {
      if (!item.is_regular_file()) continue;
      std::string ending = Lower(item.path().extension().string());
      if (std::find(entry.endings.begin(), entry.endings.end(), ending) != entry.endings.end())
        files.push_back(item.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Spreadsheet files written by the program's writer (every version of it)
// from the delimited corpus, into `dir`.
std::vector<fs::path> WrittenCorvistSpreadsheets(const std::vector<fs::path>& sources, const fs::path& dir) {
  std::vector<fs::path> made;
  test::QuietStdout quiet;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    for (int version = 1; version <= 3; ++version) {
      if (version < 3 && i % 3 != 0) continue;
      ResetState();
      State().interceptFatal = true;
      InitOptions();
      State().interceptFatal = true;
      State().spreadsheetVersion = version;
      fs::path out = dir / (sources[i].stem().string() + ".v" + std::to_string(version) + ".crs");
      try {
        if (ReadDelimitedText(sources[i].c_str()) && CurrentDataset() &&
            WriteCorvistSpreadsheet(CurrentDataset(), out.c_str()))
          made.push_back(out);
      } catch (const FatalExitError&) {
      }
    }
  }
  ResetState();
  State().interceptFatal = true;
  return made;
}

// Files the entry's writer makes from the delimited text corpus, into `dir`.
std::vector<fs::path> WrittenByWriter(const SweepEntry& entry, const std::vector<fs::path>& sources,
                                      const fs::path& dir) {
  std::vector<fs::path> made;
  test::QuietStdout quiet;
  for (const fs::path& source : sources) {
    ResetState();
    State().interceptFatal = true;
    InitOptions();
    State().interceptFatal = true;
    fs::path out = dir / (source.stem().string() + entry.writtenEnding);
    try {
      if (ReadDelimitedText(source.c_str()) && CurrentDataset() && entry.writer(CurrentDataset(), out.c_str()))
        made.push_back(out);
    } catch (const FatalExitError&) {
    }
  }
  ResetState();
  State().interceptFatal = true;
  return made;
}

// Spreads a long list down to `limit` files over its whole length.
[[maybe_unused]] std::vector<fs::path> Thin(std::vector<fs::path> files, std::size_t limit) {
  if (files.size() <= limit) return files;
  std::vector<fs::path> some;
  for (std::size_t i = 0; i < limit; ++i) some.push_back(files[i * files.size() / limit]);
  return some;
}

uint32_t NameSeed(const std::string& name) {
  uint32_t h = 2166136261u;
  for (unsigned char c : name) h = (h ^ c) * 16777619u;
  return h;
}

// A private directory to read from: the damaged copy takes the original's
// name, beside unchanged copies of its companion files (memo files, ...).
class Scratch {
 public:
  Scratch() {
    std::string pattern = (test::ScratchBase() / "trovadex-sweep-XXXXXX").string();
    if (char* made = mkdtemp(pattern.data())) dir_ = made;
    previous_ = fs::current_path();
    // Side files (the warnings file) land here, not in the build tree.
    if (!dir_.empty()) fs::current_path(dir_);
  }
  ~Scratch() {
    std::error_code ec;
    fs::current_path(previous_, ec);
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  const fs::path& dir() const { return dir_; }

 private:
  fs::path dir_;
  fs::path previous_;
};

void CopyCompanions(const fs::path& original, const fs::path& dir) {
  std::error_code ec;
  for (const auto& item : fs::directory_iterator(original.parent_path(), ec)) {
    const fs::path& p = item.path();
    if (p == original || p.stem() != original.stem()) continue;
    std::string ending = Lower(p.extension().string());
    if (ending == ".json" || ending == ".md") continue;
    fs::copy_file(p, dir / p.filename(), fs::copy_options::overwrite_existing, ec);
  }
}

struct SweepStats {
  long runs = 0;
  long fatalExits = 0;
  long successes = 0;
  double slowest = 0;
  std::string slowestCase;
};

class DamagedSweep : public ::testing::TestWithParam<SweepEntry> {};

TEST_P(DamagedSweep, TruncatedAndCorruptedCorpusFiles) {
  TROVADEX_NEED_SHARED();
  const SweepEntry& entry = GetParam();
  Scratch scratch;
  ASSERT_FALSE(scratch.dir().empty());
  test::TempDir made;
  std::vector<fs::path> files = CorpusFiles(entry);
  if (entry.madeByWriter) files = WrittenCorvistSpreadsheets(files, made.path());
  if (entry.writer) files = WrittenByWriter(entry, files, made.path());
#ifdef TROVADEX_SWEEP_CHECKED
  if (!std::getenv("TROVADEX_SWEEP_ALL")) files = Thin(files, kCheckedFileLimit);
#endif
  if (files.empty()) GTEST_SKIP() << "no corpus files for " << entry.name;

  SweepStats stats;
  test::QuietStdout quiet;

  for (const fs::path& original : files) {
    const std::vector<char> bytes = Slurp(original);
    const std::string name = original.filename().string();
    const std::string path = (scratch.dir() / original.filename()).string();
    CopyCompanions(original, scratch.dir());
    std::mt19937 random(NameSeed(name));

    auto run = [&](const char* data, std::size_t size, const std::string& what) {
      ASSERT_TRUE(test::WriteBytes(path, data, size)) << path;
      test::ReaderOutcome outcome = test::RunReaderOnce(entry.reader, path);
      ++stats.runs;
      if (outcome.fatalCode != 0) {
        ++stats.fatalExits;
        EXPECT_TRUE(outcome.fatalCode >= 7 && outcome.fatalCode <= 15)
            << name << " " << what << ": fatal exit code " << outcome.fatalCode;
      }
      if (outcome.result != 0) ++stats.successes;
      if (outcome.seconds > stats.slowest) {
        stats.slowest = outcome.seconds;
        stats.slowestCase = name + " " + what;
      }
      EXPECT_LE(outcome.seconds, kSecondsBound) << name << " " << what;
    };

    // Every prefix up to 4 KB, then a sample of longer ones.
    std::size_t shortLimit = std::min(bytes.size(), kEveryPrefixUpTo);
    for (std::size_t n = 0; n <= shortLimit; ++n) {
      run(bytes.data(), n, "cut at " + std::to_string(n));
      if (HasFatalFailure()) return;
    }
    if (bytes.size() > kEveryPrefixUpTo + 1) {
      std::uniform_int_distribution<std::size_t> length(kEveryPrefixUpTo + 1, bytes.size() - 1);
      for (int i = 0; i < kLongerPrefixes; ++i) {
        std::size_t n = length(random);
        run(bytes.data(), n, "cut at " + std::to_string(n));
        if (HasFatalFailure()) return;
      }
    }

    // Single changed bytes: half in the header region, half anywhere.
    if (!bytes.empty()) {
      std::vector<char> damaged = bytes;
      for (int i = 0; i < kCorruptions; ++i) {
        std::size_t span = i % 2 == 0 ? std::min<std::size_t>(bytes.size(), 1024) : bytes.size();
        std::size_t at = random() % span;
        unsigned char flip = static_cast<unsigned char>(1 + random() % 255);
        damaged[at] = static_cast<char>(bytes[at] ^ flip);
        std::ostringstream what;
        what << "byte " << at << " xor " << static_cast<int>(flip);
        run(damaged.data(), damaged.size(), what.str());
        damaged[at] = bytes[at];
        if (HasFatalFailure()) return;
      }
    }
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(scratch.dir(), ec)) fs::remove_all(item.path(), ec);
  }
  RecordProperty("runs", static_cast<int>(stats.runs));
  std::ostringstream summary;
  summary << entry.name << ": " << files.size() << " files, " << stats.runs << " runs, "
          << stats.successes << " read, " << stats.fatalExits << " fatal exits, slowest "
          << stats.slowest << " s (" << stats.slowestCase << ")";
  RecordProperty("summary", summary.str());
  std::fprintf(stderr, "%s\n", summary.str().c_str());
}

std::string EntryName(const ::testing::TestParamInfo<SweepEntry>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Readers, DamagedSweep, ::testing::ValuesIn(test::SweepEntries()), EntryName);

}  // namespace
}  // namespace trovadex
