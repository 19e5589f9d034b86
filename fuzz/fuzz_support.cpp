#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace trovadex::fuzz {

namespace {

std::string& WorkDir() {
  static std::string dir;
  return dir;
}

void RemoveWorkDir() {
  if (WorkDir().empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(WorkDir(), ec);
}

}  // namespace

namespace {

// `path` made absolute against `base`; unchanged when already absolute.
std::string Absolute(const std::string& path, const std::string& base) {
  if (path.empty() || path[0] == '/') return path;
  return base + "/" + path;
}

// The fuzzer's arguments with their paths made absolute: plain arguments
// (corpus folders and input files) and the values of the flags that name
// files or folders.
void AbsoluteArguments(int* argc, char*** argv) {
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  std::string base = std::filesystem::current_path().string();
  static const char* const kPathFlags[] = {"-artifact_prefix=", "-exact_artifact_path=", "-dict=",
                                           "-features_dir=", "-merge_control_file=", "-seed_inputs=",
                                           "-data_flow_trace=", "-focus_function_file="};
  texts.clear();
  bool artifactPrefix = false;
  for (int i = 0; i < *argc; ++i) {
    std::string arg = (*argv)[i];
    if (i == 0) {
      texts.push_back(arg);
      continue;
    }
    if (arg.empty() || arg[0] != '-') {
      texts.push_back(Absolute(arg, base));
      continue;
    }
    for (const char* flag : kPathFlags) {
      std::string f = flag;
      if (arg.compare(0, f.size(), f) == 0) {
        if (f == "-artifact_prefix=" || f == "-exact_artifact_path=") artifactPrefix = true;
        arg = f + Absolute(arg.substr(f.size()), base);
        break;
      }
    }
    texts.push_back(arg);
  }
  // Crashing inputs land where the fuzzer was started, not in the
  // temporary directory (removed at exit). Later flags win over this one.
  if (!artifactPrefix) texts.insert(texts.begin() + 1, "-artifact_prefix=" + base + "/");
  pointers.clear();
  for (std::string& t : texts) pointers.push_back(t.data());
  pointers.push_back(nullptr);
  *argc = static_cast<int>(texts.size());
  *argv = pointers.data();
}

}  // namespace

void Initialize(int* argc, char*** argv) {
  if (argc && argv) AbsoluteArguments(argc, argv);
  Initialize();
}

void Initialize() {
  if (!WorkDir().empty()) return;
  if (!std::getenv("TROVADEX_FUZZ_VERBOSE")) {
    if (!std::freopen("/dev/null", "w", stdout)) std::fclose(stdout);
  }
  // A memory file system when there is one: every input is written to a file.
  std::string base = std::filesystem::temp_directory_path().string();
  if (const char* dir = std::getenv("TROVADEX_FUZZ_TMP")) {
    base = dir;
  } else if (access("/dev/shm", W_OK) == 0) {
    base = "/dev/shm";
  }
  base += "/trovadex-fuzz-XXXXXX";
  if (char* made = mkdtemp(base.data())) {
    WorkDir() = made;
    if (chdir(made) != 0) {
      std::fprintf(stderr, "cannot enter %s\n", made);
      std::abort();
    }
    std::atexit(RemoveWorkDir);
    // Temporary files of embedded streams go here too.
    setenv("TMP", made, 1);
    setenv("TEMP", made, 1);
  } else {
    std::fprintf(stderr, "cannot make a temporary directory\n");
    std::abort();
  }
}

std::string InputPath(const char* ending) {
  Initialize();
  return WorkDir() + "/input" + ending;
}

// Overwrites in place and cuts to length: truncating a file to zero and
// writing it again makes some file systems flush it to disk every time.
bool WriteInput(const std::string& path, const uint8_t* data, std::size_t size) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
  if (fd < 0) return false;
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < size) {
    ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  if (ok && ftruncate(fd, static_cast<off_t>(size)) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  return ok;
}

void BeginInput() {
  ResetState();
  State().interceptFatal = true;
  InitOptions();
  State().interceptFatal = true;
  // The column limit of the Corvist outputs, the largest a run uses.
  State().columnLimit = 2048;
}

void EndInput() {
  ResetState();
  std::fflush(stdout);
}

}  // namespace trovadex::fuzz
