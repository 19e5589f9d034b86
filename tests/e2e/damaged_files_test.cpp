// Regression inputs under tests/data/damaged/<reader>/: each once crashed a
// reader or upset a sanitizer. Each goes through its reader in-process and
// through the program, which must end with a clean exit code: 0 when the
// damage left something readable, 2-6 for a refused input, 7-15 for the
// fatal exits; never a signal or a sanitizer's report.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "readers/damaged_support.h"
#include "test_support.h"

namespace trovadex {
namespace {

namespace fs = std::filesystem;

struct DamagedFile {
  std::string reader;
  fs::path path;
};

std::vector<DamagedFile> DamagedFiles() {
  std::vector<DamagedFile> files;
  fs::path root = fs::path(test::SourceDir()) / "tests" / "data" / "damaged";
  std::error_code ec;
  for (const auto& folder : fs::directory_iterator(root, ec)) {
    if (!folder.is_directory()) continue;
    for (const auto& item : fs::directory_iterator(folder.path(), ec)) {
      if (item.is_regular_file()) files.push_back({folder.path().filename().string(), item.path()});
    }
  }
  std::sort(files.begin(), files.end(),
            [](const DamagedFile& a, const DamagedFile& b) { return a.path < b.path; });
  return files;
}

bool CleanExit(int code) { return code == 0 || (code >= 2 && code <= 15); }

bool SanitizerSpoke(const std::string& output) {
  return output.find("Sanitizer") != std::string::npos ||
         output.find("runtime error:") != std::string::npos;
}

TEST(DamagedFiles, EveryReaderFolderHasAReader) {
  for (const DamagedFile& f : DamagedFiles())
    EXPECT_NE(test::FindSweepEntry(f.reader), nullptr) << f.path;
}

TEST(DamagedFiles, ReadInProcessWithoutFault) {
  std::vector<DamagedFile> files = DamagedFiles();
  ASSERT_FALSE(files.empty());
  test::QuietStdout quiet;
  for (const DamagedFile& f : files) {
    const test::SweepEntry* entry = test::FindSweepEntry(f.reader);
    if (!entry) continue;
    test::TempDir dir;
    fs::path copy = dir.path() / f.path.filename();
    fs::copy_file(f.path, copy);
    test::ReaderOutcome outcome = test::RunReaderOnce(entry->reader, copy.string());
    if (outcome.fatalCode != 0) {
      EXPECT_GE(outcome.fatalCode, 7) << f.path;
      EXPECT_LE(outcome.fatalCode, 15) << f.path;
    }
  }
}

TEST(DamagedFiles, ProgramEndsCleanly) {
  for (const DamagedFile& f : DamagedFiles()) {
    test::TempDir dir;
    fs::path copy = dir.path() / f.path.filename();
    fs::copy_file(f.path, copy);
    test::RunResult run = test::RunTrovadex({copy.filename().string(), "out.crv"}, dir.path().string());
    EXPECT_TRUE(CleanExit(run.exitCode)) << f.path << " exit " << run.exitCode << "\n" << run.output;
    EXPECT_FALSE(SanitizerSpoke(run.output)) << f.path << "\n" << run.output;
  }
}

}  // namespace
}  // namespace trovadex
