#include "core/progress.h"

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace trovadex {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kLabelLength = 60;
constexpr int64_t kLongestInterval = int64_t{1} << 24;

bool active = false;
std::string label;
Clock::time_point lastCheck;
Clock::time_point lastDraw;
// Characters of the line now on the terminal (read by ClearProgress, which
// a signal handler may run).
volatile std::sig_atomic_t shownLength = 0;

// Messages go to standard output through stdio. When that is the same
// terminal, a message must not land on the end of a shown progress line:
// while a phase runs, standard output is a line-buffered stream whose every
// write clears the line first, so that no message anywhere has to know
// (the C library lets `stdout` be set like any variable).
FILE* plainOutput = nullptr;

void WriteAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, bytes, size);
    if (n <= 0) return;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
}

ssize_t WriteThrough(void*, const char* bytes, std::size_t size) {
  ClearProgress();
  WriteAll(STDOUT_FILENO, bytes, size);
  return static_cast<ssize_t>(size);
}

void GuardOutput() {
  if (plainOutput != nullptr || !::isatty(STDOUT_FILENO)) return;
  cookie_io_functions_t io{};
  io.write = WriteThrough;
  FILE* guarded = ::fopencookie(nullptr, "w", io);
  if (guarded == nullptr) return;
  std::setvbuf(guarded, nullptr, _IOLBF, BUFSIZ);
  std::fflush(stdout);
  plainOutput = stdout;
  stdout = guarded;
}

void UnguardOutput() {
  if (plainOutput == nullptr) return;
  std::fflush(stdout);
  FILE* guarded = stdout;
  stdout = plainOutput;
  plainOutput = nullptr;
  std::fclose(guarded);
}

void Draw(int64_t done, int64_t rows) {
  const int64_t total = progressLine.total;
  const int64_t percent = total > 0 && done > 0 ? std::min<int64_t>(100, done * 100 / total) : 0;
  char text[160];
  int n = rows >= 0 ? std::snprintf(text + 1, sizeof text - 1, "%s: %d%% (%lld rows)", label.c_str(),
                                    static_cast<int>(percent), static_cast<long long>(rows))
                    : std::snprintf(text + 1, sizeof text - 1, "%s: %d%%", label.c_str(),
                                    static_cast<int>(percent));
  if (n < 0) return;
  std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 2);
  text[0] = '\r';
  // Blanks over the end of a longer earlier line.
  const std::size_t shown = static_cast<std::size_t>(shownLength);
  std::string line(text, length + 1);
  if (shown > length) line.append(shown - length, ' ');
  std::fflush(stdout);
  WriteAll(STDERR_FILENO, line.data(), line.size());
  shownLength = static_cast<std::sig_atomic_t>(std::max(length, shown));
}

}  // namespace

bool ProgressWanted() { return ::isatty(STDERR_FILENO) == 1; }

int64_t ProgressInputThreshold() {
  int64_t threshold = int64_t{64} << 20;
  if (const char* text = std::getenv("TROVADEX_PROGRESS_BYTES")) {
    char* end = nullptr;
    long long value = std::strtoll(text, &end, 10);
    if (end != text && value >= 0 && value < threshold) threshold = value;
  }
  return threshold;
}

void BeginProgress(std::string_view name, int64_t total) {
  EndProgress();
  if (total <= 0 || !ProgressWanted()) return;
  label.assign(name.substr(0, kLabelLength));
  active = true;
  progressLine.total = total;
  progressLine.interval = 1;
  progressLine.countdown = 1;
  lastCheck = Clock::now();
  lastDraw = lastCheck - std::chrono::seconds(1);  // the first report draws
  GuardOutput();
}

void EndProgress() {
  ClearProgress();
  UnguardOutput();
  active = false;
  progressLine = ProgressLine{};
}

void ClearProgress() {
  const std::sig_atomic_t shown = shownLength;
  if (shown <= 0) return;
  shownLength = 0;
  char blanks[200];
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(shown), sizeof blanks - 2);
  blanks[0] = '\r';
  std::memset(blanks + 1, ' ', n);
  blanks[n + 1] = '\r';
  WriteAll(STDERR_FILENO, blanks, n + 2);
}

void CheckStepProgress() {
  // The calls since the last look are the interval set at that look.
  progressLine.steps += progressLine.interval;
  CheckProgress(progressLine.steps, -1);
}

void CheckProgress(int64_t done, int64_t rows) {
  if (!active) {
    progressLine.countdown = INT64_MAX;
    return;
  }
  const Clock::time_point now = Clock::now();
  const auto sinceCheck = now - lastCheck;
  lastCheck = now;
  // About one look at the clock every 10 ms, however fast the calls come.
  if (sinceCheck < std::chrono::milliseconds(5)) {
    progressLine.interval = std::min(progressLine.interval * 2, kLongestInterval);
  } else if (sinceCheck > std::chrono::milliseconds(20) && progressLine.interval > 1) {
    progressLine.interval /= 2;
  }
  progressLine.countdown = progressLine.interval;
  if (now - lastDraw < std::chrono::milliseconds(100)) return;
  lastDraw = now;
  Draw(done, rows);
}

}  // namespace trovadex
