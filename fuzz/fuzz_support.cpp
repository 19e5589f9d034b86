#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

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
