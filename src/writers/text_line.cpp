#include "writers/text_line.h"

namespace trovadex {

void AppendTextLine(std::string& out, std::string_view line, std::size_t maxLength, bool commaBreaks) {
  if (line.empty()) return;
  if (maxLength == 0) {
    out.append(line);
    out.append("\r\n");
    return;
  }
  const char breakChar = commaBreaks ? ',' : ' ';
  while (line.size() > maxLength) {
    std::string_view piece = line.substr(0, maxLength);
    std::size_t cut = piece.rfind(breakChar);
    std::size_t take = (cut == std::string_view::npos) ? maxLength : cut + 1;
    out.append(line.substr(0, take));
    out.append("\r\n");
    line.remove_prefix(take);
  }
  if (!line.empty()) {
    out.append(line);
    out.append("\r\n");
  }
}

int16_t WriteTextLine(std::string_view line, std::size_t maxLength, bool commaBreaks, std::FILE* file) {
  if (!file) return 0;
  std::string bytes;
  AppendTextLine(bytes, line, maxLength, commaBreaks);
  if (bytes.empty()) return 1;
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() ? 1 : 0;
}

}  // namespace trovadex
