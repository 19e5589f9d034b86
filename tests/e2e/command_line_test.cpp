// The command line as users try it first: help, version, unknown options,
// and the progress line that long runs show on a terminal.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace trovadex {
namespace {

using test::RunTrovadex;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(CommandLine, HelpVersionAndUnknownOptions) {
  test::TempDir dir;
  const std::string usage = RunTrovadex({}, dir.path().string()).output;
  for (const char* help : {"-h", "--help"}) {
    test::RunResult r = RunTrovadex({help}, dir.path().string());
    EXPECT_EQ(r.exitCode, 0) << help;
    EXPECT_EQ(r.output, usage) << help;
  }
  test::RunResult r = RunTrovadex({"--version"}, dir.path().string());
  EXPECT_EQ(r.exitCode, 0);
  ASSERT_EQ(r.output.rfind("trovadex ", 0), 0u) << r.output;
  EXPECT_EQ(r.output.find('\n'), r.output.size() - 1) << r.output;

  r = RunTrovadex({"--frobnicate"}, dir.path().string());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "Error: unknown option --frobnicate\nRun \"trovadex --help\" for the usage.\n");
  // None of these touched a file, not even an old warnings file.
  test::WriteFile(dir / "TxtToNum.ERR", "old");
  RunTrovadex({"--frobnicate/k"}, dir.path().string());
  EXPECT_EQ(test::ReadFile(dir / "TxtToNum.ERR"), "old");

  // Files of those names are still converted.
  test::WriteFile(dir / "--help", "a,b\n1,2\n");
  test::WriteFile(dir / "--data", "a,b\n1,2\n");
  for (const auto& args : {std::vector<std::string>{"./--help", "out.csv"}, {"--help", "out.csv"}, {"--data"}}) {
    r = RunTrovadex(args, dir.path().string());
    EXPECT_EQ(r.exitCode, 0) << args[0] << r.output;
    EXPECT_TRUE(Contains(r.output, " 1 records transferred.\n")) << r.output;
  }
}

// The program under a pseudo-terminal (script from util-linux).
std::string OnTerminal(const std::string& command, const std::string& workdir) {
  std::string cmd = "cd '" + workdir + "' && TROVADEX_PROGRESS_BYTES=1 script -qec \"" + command + "\" /dev/null 2>&1";
  std::string output;
  FILE* pipe = popen(cmd.c_str(), "r");
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  return output;
}

TEST(CommandLine, ProgressLineOnTerminalsOnly) {
  if (std::system("script -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1)";
  test::TempDir dir;
  // 300 columns: writing a Corvist spreadsheet keeps 250, and the reader
  // warns while its progress line is shown.
  std::string csv;
  for (int row = 0; row < 3; ++row) {
    for (int c = 0; c < 300; ++c) csv += (c ? "," : "") + std::to_string(row * 1000 + c);
    csv += "\n";
  }
  test::WriteFile(dir / "wide.csv", csv);
  const std::string program = test::BinaryPath();
  std::string shown = OnTerminal(program + " wide.csv out.crs", dir.path().string());
  const std::string line = "\rReading wide.csv: ";
  ASSERT_TRUE(Contains(shown, line)) << shown;
  EXPECT_TRUE(Contains(shown, "% (")) << shown;
  // Cleared (blanks over the line, back to its start) before the warning and
  // before the closing count.
  const std::size_t width = shown.find(')', shown.find(line)) - shown.find(line);
  const std::string clear = "\r" + std::string(width, ' ') + "\r";
  EXPECT_TRUE(Contains(shown, clear + "Warning Columns above 250 NOT transfered!")) << shown;
  EXPECT_EQ(shown.find("Reading", shown.find("Warning")), std::string::npos) << shown;

  // Without a terminal: exactly the plain messages.
  test::RunResult plain = RunTrovadex({"wide.csv", "plain.crs"}, dir.path().string());
  EXPECT_EQ(plain.output, "Warning Columns above 250 NOT transfered!\n 3 records transferred.\n");
}

}  // namespace
}  // namespace trovadex
