// Helpers shared by the tests: a fresh process-wide state, temporary
// directories, running the built program, and the shared corpus paths.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/dataset.h"

namespace trovadex::test {

// Resets the process-wide state and turns fatal exits into FatalExitError.
class StateTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// A fresh empty directory, removed at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The fixture of one reader's tests: a temporary directory, and Read(path)
// running the reader with what it prints kept in `output`.
template <int16_t (*Reader)(const char*)>
class ReaderTest : public StateTest {
 protected:
  TempDir dir;
  std::string output;

  int16_t Read(const std::string& path) {
    SetCurrentDataset(nullptr);
    testing::internal::CaptureStdout();
    const int16_t ok = Reader(path.c_str());
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
};

struct RunResult {
  int exitCode = -1;       // the process's exit code; -1 when killed by a signal
  std::string output;      // standard output and standard error together
};

// Runs a shell command; its standard output goes to `output`. Returns the
// exit status (-1 when it did not end normally).
int RunCommand(const std::string& command, std::string* output);

// Runs the built trovadex binary with `args` in `workdir`.
RunResult RunTrovadex(const std::vector<std::string>& args, const std::string& workdir);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// ../shared beside the source tree, else tests/data/shared; empty when neither.
std::string SharedDir();
std::string SourceDir();
std::string BinaryPath();

// Skips the current test when the shared corpus is absent.
#define TROVADEX_NEED_SHARED()                                           \
  do {                                                                   \
    if (::trovadex::test::SharedDir().empty()) GTEST_SKIP() << "no ../shared"; \
  } while (0)

}  // namespace trovadex::test
