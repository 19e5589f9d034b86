#include "driver/options.h"

#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstdio>

#include "core/dataset.h"
#include "core/format.h"

namespace trovadex {

namespace {

constexpr std::size_t kMissingTextLength = 80;

bool IsDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Position of the first occurrence of `option` at or after `from`.
std::size_t FindOption(const std::string& argument, std::size_t from, std::string_view option) {
  if (from > argument.size()) return std::string::npos;
  return argument.find(option, from);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits from `pos`; stops at the first non-digit. Saturates.
long ReadDigits(const std::string& text, std::size_t& pos) {
  long value = 0;
  while (pos < text.size() && IsDigit(text[pos])) {
    int digit = text[pos] - '0';
    value = value > (LONG_MAX - digit) / 10 ? LONG_MAX : value * 10 + digit;
    ++pos;
  }
  return value;
}

// A decimal integer as strtol reads one (blanks, sign, digits); 0 when none.
long ReadInteger(const std::string& text, std::size_t pos) {
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  long value = ReadDigits(text, pos);
  return negative ? -value : value;
}

// End of an option's value: the next "/" after `from`, or the end.
std::size_t ValueEnd(const std::string& text, std::size_t from) {
  std::size_t slash = text.find('/', from);
  return slash == std::string::npos ? text.size() : slash;
}

// Finds a plain two-character switch and removes it; true when present.
bool TakeSwitch(std::string& argument, std::size_t from, std::string_view option) {
  std::size_t pos = FindOption(argument, from, option);
  if (pos == std::string::npos) return false;
  argument.erase(pos, option.size());
  return true;
}

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool EndsWithIgnoreCase(std::string_view text, std::string_view ending) {
  if (text.size() < ending.size()) return false;
  std::string_view tail = text.substr(text.size() - ending.size());
  for (std::size_t i = 0; i < ending.size(); ++i) {
    if (Lower(tail[i]) != Lower(ending[i])) return false;
  }
  return true;
}

}  // namespace

std::size_t LeadingDirectoryLength(const std::string& argument) {
  for (std::size_t slash = argument.rfind('/'); slash != std::string::npos;
       slash = slash == 0 ? std::string::npos : argument.rfind('/', slash - 1)) {
    std::string directory = slash == 0 ? std::string("/") : argument.substr(0, slash);
    if (IsDirectory(directory)) return slash + 1;
  }
  return 0;
}

std::string CopyArgument(std::string_view argument) {
  std::string text(argument);
  if (!text.empty() && text[0] == '"') {
    text.erase(0, 1);
    std::size_t closing = text.find('"');
    if (closing != std::string::npos) text.erase(closing, 1);
  }
  return text;
}

std::string ParseInputOptions(std::string argument) {
  RunState& state = State();
  Options* options = CurrentOptions();
  const std::size_t from = LeadingDirectoryLength(argument);

  // "/m[=]v1,v2,v3": Instat missing codes, "*" standing for the missing value.
  if (std::size_t pos = FindOption(argument, from, "/m"); pos != std::string::npos) {
    std::size_t p = pos + 2;
    if (p < argument.size() && argument[p] == '=') ++p;
    std::size_t end = p;
    int count = 0;
    while (count < 3 && p <= argument.size()) {
      double value;
      if (p < argument.size() && argument[p] == '*') {
        value = kMissingValue;
        ++p;
      } else {
        const char* start = argument.c_str() + p;
        const char* stop = start;
        bool rangeError = false;
        value = ParseDecimal(start, argument.c_str() + argument.size(), &stop, &rangeError);
        if (stop == start) break;
        p += static_cast<std::size_t>(stop - start);
      }
      state.instatMissing[count++] = value;
      end = p;
      if (p < argument.size() && argument[p] == ',') {
        ++p;
      } else {
        break;
      }
    }
    state.instatMissingCount = count;
    argument.erase(pos, end - pos);
  }
  if (TakeSwitch(argument, from, "/f")) state.instatFactorMode = true;
  if (TakeSwitch(argument, from, "/k")) options->compressBlanks = 0;
  if (std::size_t pos = FindOption(argument, from, "/l"); pos != std::string::npos) {
    state.rangeLayoutInput = true;
    std::size_t p = pos + 2;
    if (p < argument.size() && argument[p] == '=') {
      ++p;
      state.rangeOccurrence = ReadDigits(argument, p);
    }
    argument.erase(pos, p - pos);
  }
  bool noNames = TakeSwitch(argument, from, "/n");
  bool namesRow = TakeSwitch(argument, from, "/y");
  if (noNames) {
    state.namesRowMode = NamesRowMode::Absent;
  } else if (namesRow) {
    state.namesRowMode = NamesRowMode::Present;
  }
  if (std::size_t pos = FindOption(argument, from, "/t"); pos != std::string::npos) {
    std::size_t length = 2;
    if (pos + 2 < argument.size() && argument[pos + 2] == '=') {
      length = 3;
      if (pos + 3 < argument.size() && IsDigit(argument[pos + 3])) {
        int digit = argument[pos + 3] - '0';
        state.textToNumberMode = digit > 3 ? 4 : digit;
        length = 4;
      }
    }
    argument.erase(pos, length);
  }
  if (TakeSwitch(argument, from, "/w")) state.listSheets = true;
  if (TakeSwitch(argument, from, "/i")) options->ignoreUserMissing = 1;
  if (TakeSwitch(argument, from, "/v")) state.readNamesFile = true;
  if (std::size_t pos = FindOption(argument, from, "/x="); pos != std::string::npos) {
    std::size_t end = ValueEnd(argument, pos + 3);
    state.missingText = argument.substr(pos + 3, std::min(end - (pos + 3), kMissingTextLength));
    argument.erase(pos, end - pos);
  }
  if (std::size_t pos = FindOption(argument, from, "/p="); pos != std::string::npos) {
    state.pointerName = argument.substr(pos + 3);
    argument.erase(pos);
  }
  return argument;
}

std::string ParseOutputOptions(std::string argument) {
  RunState& state = State();
  Options* options = CurrentOptions();
  const std::size_t from = LeadingDirectoryLength(argument);

  if (TakeSwitch(argument, from, "/*")) state.noClosingCommand = true;
  if (TakeSwitch(argument, from, "/b")) state.endWithEndbreak = true;
  if (std::size_t pos = FindOption(argument, from, "/l="); pos != std::string::npos) {
    state.metadataLayoutOutput = true;
    state.metadataLayoutValue = ReadInteger(argument, pos + 3);
    argument.erase(pos, ValueEnd(argument, pos + 3) - pos);
  }
  if (TakeSwitch(argument, from, "/p")) state.writeNamesFile = true;
  if (TakeSwitch(argument, from, "/q")) state.echoOnReading = false;
  if (TakeSwitch(argument, from, "/s")) options->suffixedNames = 1;
  options->sortLabels = TakeSwitch(argument, from, "/u") ? 0 : 1;
  options->quoteText = TakeSwitch(argument, from, "/-") ? 0 : 1;
  if (TakeSwitch(argument, from, "/c")) state.splitColour = false;
  if (std::size_t pos = FindOption(argument, from, "/v="); pos != std::string::npos) {
    long version = ReadInteger(argument, pos + 3);
    if (version < 1) version = 3;
    state.spreadsheetVersion = version <= 1 ? 1 : version == 2 ? 2 : 3;
    argument.erase(pos, ValueEnd(argument, pos + 3) - pos);
  }
  return argument;
}

OutputChoice ChooseOutput(std::string_view path) {
  struct Ending {
    const char* text;
    int kind;
    int32_t limit;
  };
  static constexpr Ending kEndings[] = {
      {".html", 31, 2048}, {".crs", 1, 250},   {".dbf", 3, 511},   {".crv", 4, 2048},
      {".xls", 5, 255},    {".csv", 6, 2048},  {".wq1", 8, 255},   {".sdd", 14, 2048},
      {".wor", 15, 224},   {".fmt", 18, 2048}, {".mat", 20, 2048}, {".tpt", 28, 2048},
      {".tab", 29, 2048},  {".rtf", 30, 2048}, {".htm", 31, 2048},
      // The usual ending of SAS transport files besides ".tpt".
      {".xpt", 28, 2048},
  };
  OutputChoice choice;
  for (const Ending& ending : kEndings) {
    if (EndsWithIgnoreCase(path, ending.text)) {
      choice.kind = ending.kind;
      choice.columnLimit = ending.limit;
      choice.comma = std::string_view(ending.text) == ".csv";
      choice.tab = ending.kind == 29;
      return choice;
    }
  }
  return choice;
}

std::string ReplaceExtension(std::string_view path, std::string_view extension) {
  std::size_t slash = path.rfind('/');
  std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
  std::size_t dot = path.rfind('.');
  std::string result(path);
  if (dot != std::string_view::npos && dot >= nameStart) result.erase(dot);
  result += extension;
  return result;
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a.size() == b.size()) {
    bool equal = true;
    for (std::size_t i = 0; i < a.size() && equal; ++i) equal = Lower(a[i]) == Lower(b[i]);
    if (equal) return true;
  }
  struct stat first, second;
  if (::stat(a.c_str(), &first) != 0 || ::stat(b.c_str(), &second) != 0) return false;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool RemoveRegularFile(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return std::remove(path.c_str()) == 0;
}

}  // namespace trovadex
