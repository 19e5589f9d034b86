#include "readers/matrix_input.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace trovadex {

namespace {
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
}  // namespace

double MatrixNumber(double x) {
  if (!std::isfinite(x) || !(x > kMissingValue)) return kMissingValue;
  return x > kNumberCap ? kNumberCap : x;
}

int MatrixDigits(double x) {
  if (x == 0 || !(x > kMissingValue)) return 0;
  const double a = std::fabs(x);
  if (a >= 1e-10 && a <= 1e10) return std::abs(static_cast<int>(std::log10(a))) + 1;
  return 12;
}

void SetMatrixWidth(Column* column, int estimate, int widest) {
  int width = std::max(estimate, static_cast<int>(column->name.size()) + 2);
  column->width = std::clamp(width, 3, widest);
}

std::string FileStem(const char* path) {
  std::string_view p(path ? path : "");
  std::size_t slash = p.find_last_of("\\/:");
  if (slash != std::string_view::npos) p.remove_prefix(slash + 1);
  std::string stem(p.substr(0, kNameLength));
  std::size_t dot = stem.rfind('.');
  if (dot != std::string::npos) stem.resize(dot);
  return stem;
}

BlockInput::~BlockInput() {
  if (file) std::fclose(file);
}

bool BlockInput::Open(const char* path) {
  file = path ? std::fopen(path, "rb") : nullptr;
  if (!file) return false;
  if (fseeko(file, 0, SEEK_END) != 0) return false;
  const long long n = static_cast<long long>(ftello(file));
  if (n < 0 || fseeko(file, 0, SEEK_SET) != 0) return false;
  size = n;
  return true;
}

bool BlockInput::Read(void* out, std::size_t n) {
  if (static_cast<int64_t>(n) > Remaining()) return false;
  char* to = static_cast<char*>(out);
  while (n > 0) {
    if (begin == end) {
      // A small file gets a buffer of its own size, not a whole block.
      if (buffer.empty()) LargeResize(buffer, static_cast<std::size_t>(std::min<int64_t>(kBlockBytes, size)));
      const std::size_t want = static_cast<std::size_t>(std::min<int64_t>(buffer.size(), Remaining()));
      const std::size_t got = std::fread(buffer.data(), 1, want, file);
      if (got == 0) return false;  // the file shrank or cannot be read
      begin = 0;
      end = got;
    }
    const std::size_t take = std::min(n, end - begin);
    std::memcpy(to, buffer.data() + begin, take);
    begin += take;
    position += static_cast<int64_t>(take);
    to += take;
    n -= take;
  }
  return true;
}

bool BlockInput::Skip(int64_t n) { return n >= 0 && n <= Remaining() && Seek(position + n); }

bool BlockInput::Seek(int64_t offset) {
  if (offset < 0 || offset > size) return false;
  const int64_t bufferStart = position - static_cast<int64_t>(begin);
  if (offset >= bufferStart && offset <= bufferStart + static_cast<int64_t>(end)) {
    begin = static_cast<std::size_t>(offset - bufferStart);
  } else {
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
    begin = end = 0;
  }
  position = offset;
  return true;
}

bool BlockInput::Close() {
  if (!file) return false;
  const bool ok = !std::ferror(file);
  const bool closed = std::fclose(file) == 0;
  file = nullptr;
  return ok && closed;
}

}  // namespace trovadex
