#include "test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace trovadex::test {

void StateTest::SetUp() {
  ResetState();
  State().interceptFatal = true;
  InitOptions();
}

void StateTest::TearDown() {
  ResetState();
  State().interceptFatal = true;
}

TempDir::TempDir() {
  std::random_device rd;
  std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path p = base / ("trovadex-test-" + std::to_string(rd()));
    if (std::filesystem::create_directory(p)) {
      path_ = p;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

static std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

int RunCommand(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::array<char, 4096> buf;
  std::size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) output->append(buf.data(), n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

RunResult RunTrovadex(const std::vector<std::string>& args, const std::string& workdir) {
  std::string cmd = "cd " + ShellQuote(workdir) + " && " + ShellQuote(BinaryPath());
  for (const std::string& a : args) cmd += " " + ShellQuote(a);
  cmd += " 2>&1 </dev/null";
  RunResult result;
  result.exitCode = RunCommand(cmd, &result.output);
  return result;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string SharedDir() {
  // ../shared beside the tree where it is (it may hold newer cases), else the
  // copy that travels with the tree in tests/data/shared.
  for (const std::filesystem::path& p :
       {std::filesystem::path(TROVADEX_SHARED_DIR), std::filesystem::path(TROVADEX_SOURCE_DIR) / "tests/data/shared"}) {
    if (std::filesystem::is_directory(p / "corpus") || std::filesystem::is_directory(p / "corpus-public"))
      return std::filesystem::canonical(p).string();
  }
  return "";
}

std::string SourceDir() { return TROVADEX_SOURCE_DIR; }
std::string BinaryPath() { return TROVADEX_BINARY; }

}  // namespace trovadex::test
