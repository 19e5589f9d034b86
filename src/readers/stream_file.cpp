#include "readers/stream_file.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/dataset.h"

namespace trovadex {

namespace {
// Bytes read from the file at a time (more when one request needs more).
constexpr std::size_t kReadBlock = std::size_t{1} << 20;
}  // namespace

StreamFile::~StreamFile() {
  if (file) std::fclose(file);
}

bool StreamFile::Open(const char* path) {
  file = std::fopen(path, "rb");
  if (!file) return false;
  if (fseeko(file, 0, SEEK_END) != 0) return false;
  long long at = static_cast<long long>(ftello(file));
  if (at < 0 || fseeko(file, 0, SEEK_SET) != 0) return false;
  size = at;
  offset = 0;
  return true;
}

bool StreamFile::Seek(int64_t at) {
  at = std::clamp<int64_t>(at, 0, size);
  if (fseeko(file, static_cast<off_t>(at), SEEK_SET) != 0) {
    failed = true;
    return false;
  }
  offset = at;
  begin = end = 0;
  return true;
}

std::size_t StreamFile::Fill(std::size_t count) {
  if (end - begin >= count || failed || !file) return end - begin;
  if (begin > 0) {
    std::memmove(buffer.data(), buffer.data() + begin, end - begin);
    end -= begin;
    begin = 0;
  }
  // Bytes of the file not yet in the buffer.
  const int64_t unread = size - (offset + static_cast<int64_t>(end));
  if (unread <= 0) return end;
  // At least a block more than the buffer holds, so that a request that
  // grows a little at a time (a long line) does not read a little at a time.
  const int64_t want = std::min<int64_t>(static_cast<int64_t>(std::max(count, end + kReadBlock)),
                                         static_cast<int64_t>(end) + unread);
  if (buffer.size() < static_cast<std::size_t>(want)) LargeResize(buffer, static_cast<std::size_t>(want));
  const std::size_t asked = static_cast<std::size_t>(want) - end;
  const std::size_t got = std::fread(buffer.data() + end, 1, asked, file);
  end += got;
  if (got < asked) {
    if (std::ferror(file))
      failed = true;
    else
      size = offset + static_cast<int64_t>(end);  // the file shrank after its size was taken
  }
  return end;
}

bool StreamFile::Need(std::size_t count) { return Fill(count) >= count; }

std::string FindCompanionFile(const std::string& stem, std::string_view given,
                              std::string_view upper, const std::string& after) {
  std::string matched(upper);
  std::string lower(upper);
  for (std::size_t i = 0; i < lower.size(); ++i) {
    lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[i])));
    if (i < given.size() && std::islower(static_cast<unsigned char>(given[i]))) matched[i] = lower[i];
  }
  for (const std::string& ending : {std::string(upper), matched, lower}) {
    std::string name = stem + ending + after;
    if (std::FILE* f = std::fopen(name.c_str(), "rb")) {
      std::fclose(f);
      return name;
    }
  }
  return {};
}

}  // namespace trovadex
