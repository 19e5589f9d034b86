// The built program and the files around a run: an old output survives any
// failure, the temporary file is never someone else's, only regular files are
// read or replaced, and concurrent or interrupted runs leave no mixture.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

extern char** environ;

namespace trovadex {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The program run by the shell after `prefix` (limits), bounded by `timeout`.
test::RunResult RunLimited(const std::string& prefix, const std::vector<std::string>& args,
                           const std::string& workdir) {
  std::string cmd = "cd " + Quote(workdir) + " && " + prefix + " timeout 10 " + Quote(test::BinaryPath());
  for (const std::string& a : args) cmd += " " + Quote(a);
  cmd += " 2>&1 </dev/null";
  test::RunResult result;
  FILE* pipe = popen(cmd.c_str(), "r");
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  int status = pclose(pipe);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

std::string Csv(int rows, const std::string& tag) {
  std::string text = "id,tag\n";
  for (int r = 1; r <= rows; ++r) text += std::to_string(r) + "," + tag + "\n";
  return text;
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

bool AnyTemporary(const fs::path& dir) {
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.path().extension() == ".$$$") return true;
  }
  return false;
}

using Files = std::function<void(const fs::path&)>;

struct Case {
  const char* what;
  Files setUp;
  std::vector<std::string> args;
  std::string prefix;  // shell limits before the program
  int exitCode;
  std::string output;
  // Besides these: the input unchanged, a failed run's old output kept, no temporary left.
  Files check = nullptr;
};

TEST(SafeOutput, FailuresAndOddFilesLeaveTheUsersFilesAlone) {
  const std::string trial = test::ReadFile(test::SourceDir() + "/examples/trial.csv");
  const std::string old = "old output\r\n\x01\x02";
  std::string refused(200, '\0');  // a SAS 7/8 data set: always detected, always refused
  refused.replace(12, 4, "\xC2\xEA\x81\x60").replace(84, 8, "SAS FILE");
  const std::string notWritten = " Output file not written! (No valid records?).\n Reason: ";
  auto converted = [](const std::string& name) {
    return [name](const fs::path& d) { EXPECT_EQ(Count(test::ReadFile((d / name).string()), "Avalon"), 2u); };
  };

  const Case cases[] = {
      {"failed read", [&](const fs::path& d) { test::WriteFile((d / "in.sas7bdat").string(), refused); },
       {"in.sas7bdat", "out.crv"}, "", 5,
       "Sorry, SAS Version 7/8 files not yet supported.\n Error: No valid data in input file in.sas7bdat!\n"},
      {"failed write (file size limit)",
       [](const fs::path& d) { test::WriteFile((d / "big.csv").string(), Csv(5000, "x")); }, {"big.csv", "out.crv"},
       "trap '' XFSZ; ulimit -f 4;", 6, notWritten + "File too large\n"},
      {"a user's file named like the temporary",
       [](const fs::path& d) { test::WriteFile((d / "out.$$$").string(), "mine"); }, {"trial.csv", "out.crv"}, "", 6,
       "Error: Temporary file out.$$$ exists (another conversion may be writing it); remove it and try again.\n",
       [](const fs::path& d) { EXPECT_EQ(test::ReadFile((d / "out.$$$").string()), "mine"); }},
      {"FIFO as input", [](const fs::path& d) { mkfifo((d / "in.csv").c_str(), 0600); }, {"in.csv", "out.crv"}, "",
       2, "Error: Input File in.csv not found!\n Reason: is not a regular file\n"},
      {"directory as input", [](const fs::path& d) { fs::create_directory(d / "in.csv"); }, {"in.csv", "out.crv"},
       "", 2, "Error: Input File in.csv not found!\n Reason: is a directory\n"},
      {"character device as input", nullptr, {"/dev/null", "out.crv"}, "", 2,
       "Error: Input File /dev/null not found!\n Reason: is not a regular file\n"},
      {"empty input", [](const fs::path& d) { test::WriteFile((d / "in.csv").string(), ""); }, {"in.csv", "out.crv"},
       "", 2, "Error: Input File in.csv not found!\n Reason: is empty\n"},
      {"FIFO as output", [](const fs::path& d) { mkfifo((d / "fifo.crv").c_str(), 0600); }, {"trial.csv", "fifo.crv"},
       "", 6, "Error: Output fifo.crv is not a regular file.\n",
       [](const fs::path& d) { EXPECT_TRUE(fs::is_fifo(d / "fifo.crv")); }},
      {"directory as output", [](const fs::path& d) { fs::create_directories(d / "dir.crv/in"); },
       {"trial.csv", "dir.crv"}, "", 6, "Error: Output dir.crv is not a regular file.\n",
       [](const fs::path& d) { EXPECT_TRUE(fs::is_directory(d / "dir.crv/in")); }},
      {"missing output directory", nullptr, {"trial.csv", "no/out.crv"}, "", 6,
       notWritten + "No such file or directory\n"},
      {"symbolic link as output",
       [&](const fs::path& d) {
         fs::create_directory(d / "real");
         test::WriteFile((d / "real/target.crv").string(), old);
         fs::create_symlink("real/target.crv", d / "link.crv");
       },
       {"trial.csv", "link.crv"}, "", 0, " 6 records transferred.\n",
       [&](const fs::path& d) {
         EXPECT_EQ(fs::read_symlink(d / "link.crv"), "real/target.crv");
         converted("real/target.crv")(d);
       }},
      {"permissions of the old output", [](const fs::path& d) { fs::permissions(d / "out.crv", fs::perms(0640)); },
       {"trial.csv", "out.crv"}, "", 0, " 6 records transferred.\n",
       [&](const fs::path& d) {
         EXPECT_EQ(fs::status(d / "out.crv").permissions(), fs::perms(0640));
         converted("out.crv")(d);
       }},
      {"symbolic link to the input", [](const fs::path& d) { fs::create_symlink("trial.csv", d / "link.csv"); },
       {"trial.csv", "link.csv"}, "", 6, "Error: Output File link.csv is the same as the input file!\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    test::WriteFile(dir / "trial.csv", trial);
    test::WriteFile(dir / "out.crv", old);
    if (c.setUp) c.setUp(dir.path());
    const Clock::time_point start = Clock::now();
    test::RunResult r = RunLimited(c.prefix, c.args, dir.path().string());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.output, c.output);
    if (c.check) c.check(dir.path());
    EXPECT_EQ(test::ReadFile(dir / "trial.csv"), trial);
    if (c.exitCode != 0) {
      EXPECT_EQ(test::ReadFile(dir / "out.crv"), old);
    }
    if (!fs::exists(dir.path() / "out.$$$")) {
      EXPECT_FALSE(AnyTemporary(dir.path()));
    }
  }
}

// Eight conversions at once into one output, then into outputs of one stem
// (which share the temporary name): every output is one input's whole table.
TEST(SafeOutput, ConcurrentRunsLeaveWholeUnmixedOutputs) {
  constexpr int kRuns = 8;
  constexpr int kRows = 30000;
  const std::vector<std::string> sameOutput(kRuns, "same.csv");
  const std::vector<std::string> sameStem = {"stem.csv", "stem.tab", "stem.txt", "stem.out",
                                             "stem.dat", "stem.prn", "stem.crv", "stem.lst"};
  for (const auto* outputs : {&sameOutput, &sameStem}) {
    test::TempDir dir;
    std::string script = "cd " + Quote(dir.path().string()) + " || exit 1; ";
    for (int k = 0; k < kRuns; ++k) {
      test::WriteFile(dir / ("in" + std::to_string(k) + ".csv"), Csv(kRows, "T" + std::to_string(k) + "x"));
      script += "( " + Quote(test::BinaryPath()) + " in" + std::to_string(k) + ".csv " + (*outputs)[k] +
                " >log" + std::to_string(k) + " 2>&1; echo $? >rc" + std::to_string(k) + " ) & ";
    }
    script += "wait";
    ASSERT_EQ(std::system(script.c_str()), 0);
    int succeeded = 0;
    for (int k = 0; k < kRuns; ++k) {
      const std::string rc = test::ReadFile(dir / ("rc" + std::to_string(k)));
      const std::string log = test::ReadFile(dir / ("log" + std::to_string(k)));
      if (rc == "0\n") {
        ++succeeded;
      } else {
        EXPECT_EQ(rc, "6\n") << log;
        EXPECT_NE(log.find("Error: Temporary file"), std::string::npos) << log;
      }
    }
    EXPECT_GE(succeeded, 1);
    for (const std::string& name : *outputs) {
      if (!fs::exists(dir.path() / name)) continue;
      const std::string text = test::ReadFile(dir / name);
      int owners = 0;
      for (int k = 0; k < kRuns; ++k) {
        std::size_t n = Count(text, "T" + std::to_string(k) + "x");
        if (n == 0) continue;
        ++owners;
        EXPECT_EQ(n, static_cast<std::size_t>(kRows)) << name;
      }
      EXPECT_EQ(owners, 1) << name;
    }
    EXPECT_FALSE(AnyTemporary(dir.path()));
  }
}

// SIGTERM while the output is being written: the partial temporary goes and
// the old output is as it was.
TEST(SafeOutput, TerminatedRunLeavesNoTemporaryAndTheOldOutput) {
  test::TempDir dir;
  std::string csv = "a,b,c\n";
  for (int r = 0; r < 2000000; ++r) csv += std::to_string(r) + "," + std::to_string(r % 977) + ".25,t\n";
  test::WriteFile(dir / "big.csv", csv);
  test::WriteFile(dir / "out.csv", "old");
  const std::string binary = test::BinaryPath();
  const std::string input = dir / "big.csv";
  const std::string output = dir / "out.csv";
  char* argv[] = {const_cast<char*>(binary.c_str()), const_cast<char*>(input.c_str()),
                  const_cast<char*>(output.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Wait until the writer has put bytes into the temporary file.
  const fs::path temporary = dir.path() / "out.$$$";
  const Clock::time_point start = Clock::now();
  std::error_code error;
  while (Clock::now() - start < std::chrono::seconds(20) &&
         !(fs::exists(temporary, error) && fs::file_size(temporary, error) > 0 && !error)) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before the signal";
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_EQ(test::ReadFile(output), "old");
}

}  // namespace
}  // namespace trovadex
