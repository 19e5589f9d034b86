// Identifier names: blank trimming, default names, the missing-cell test,
// legal Corvist identifiers and unique column names.

#include "core/names.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_set>

namespace trovadex {

namespace {

// Writes the trimmed text into `dest` (room for maxLength bytes); returns
// the length. A text of blanks only gives an empty result.
std::size_t TrimInto(char* dest, std::string_view source, std::size_t maxLength) {
  std::size_t i = 0;
  const std::size_t n = source.size();
  while (i < n && source[i] == ' ') ++i;
  std::size_t length = 0;
  bool pendingBlank = false;
  for (; i < n && length < maxLength; ++i) {
    char c = source[i];
    if (c == ' ') {
      pendingBlank = true;
      continue;
    }
    if (pendingBlank) {
      dest[length++] = ' ';
      pendingBlank = false;
      if (length >= maxLength) break;
    }
    dest[length++] = c;
  }
  while (length > 0 && dest[length - 1] == ' ') --length;
  return length;
}

inline bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsLegalChar(char c) {
  return IsLetter(c) || IsDigit(c) || c == '%' || c == '_' || c == '[' || c == ']';
}
inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

std::string TrimText(std::string_view source, std::size_t maxLength) {
  std::string result(std::min(maxLength, source.size()), '\0');
  result.resize(TrimInto(result.data(), source, result.size()));
  return result;
}

std::string MakeDefaultName(long number) {
  Options* options = CurrentOptions();
  if (number <= 0) number = ++options->defaultNameCounter;
  char buf[64];
  if (options->suffixedNames) {
    std::snprintf(buf, sizeof buf, "%.8s[%ld]", options->namePrefix.c_str(), number);
  } else {
    std::snprintf(buf, sizeof buf, "%.6s%ld", options->namePrefix.c_str(), number);
  }
  return buf;
}

bool IsMissingText(std::string_view text) {
  char buf[kTextLength];
  std::size_t n = TrimInto(buf, text, kTextLength);
  if (n == 0) return true;
  const std::string& missing = State().missingText;
  if (missing.empty() || buf[0] != missing[0]) return false;
  return EqualIgnoringCase(std::string_view(buf, n), missing);
}

void LegalName(std::string& name) {
  // 1. Trim; nothing left gives a default name.
  name = TrimText(name, name.size());
  if (name.size() > kNameLength) name.assign(CutText(name, kNameLength, CutKind::Name));
  if (name.empty()) {
    name = MakeDefaultName(0);
    return;
  }
  // 2. A name must start with a letter, "_" or "%".
  const bool needsPrefix = !(IsLetter(name[0]) || name[0] == '_' || name[0] == '%');
  if (name.size() > kNameLength) name.resize(kNameLength);
  const bool endedInUnderscore = name.back() == '_';

  // 3. Illegal characters become "_". An apostrophe stays inside a bracket
  // suffix (right after "[" or right before "]"), and every later one too.
  bool keptApostrophe = false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c == '\'') {
      bool keep = i > 0 && (keptApostrophe || (i + 1 < name.size() && name[i + 1] == ']') ||
                            name[i - 1] == '[');
      if (keep) {
        keptApostrophe = true;
      } else {
        name[i] = '_';
      }
    } else if (!IsLegalChar(c)) {
      name[i] = '_';
    }
  }

  // 5. The prefix.
  if (needsPrefix) {
    name.insert(name.begin(), '%');
    if (name.size() > kNameLength) name.assign(CutText(name, kNameLength, CutKind::Name));
  }

  // 6. Runs of "_" become one.
  {
    std::string collapsed;
    collapsed.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
      if (i > 0 && name[i] == '_' && !collapsed.empty() && collapsed.back() == '_') continue;
      collapsed.push_back(name[i]);
    }
    name.swap(collapsed);
  }

  // 7. A final "_" that the name did not have goes.
  if (name.size() >= 2 && !endedInUnderscore && name.back() == '_') name.pop_back();

  // 8. A quoted bracket suffix becomes a numbered one.
  if (keptApostrophe) {
    std::size_t first = name.find('\'');
    std::size_t count = static_cast<std::size_t>(std::count(name.begin(), name.end(), '\''));
    if (first != std::string::npos && (first < 37 || count >= 2)) {
      long number = ++State().quotedSuffixCounter;
      name.resize(first);
      name += std::to_string(number);
      name += ']';
      if (name.size() > kNameLength) name.resize(kNameLength);
    }
  }

  // 9. Brackets in order, in pairs, the name ending at "]".
  {
    std::size_t open = name.find('[');
    std::size_t close = name.find(']');
    if (open == std::string::npos) {
      std::replace(name.begin(), name.end(), ']', '_');
    } else if (close == std::string::npos) {
      if (name.size() < kNameLength) {
        name.push_back(']');
      } else {
        name[open] = '_';
      }
    } else if (close == open + 1 || open == close + 1) {
      std::size_t first = std::min(open, close);
      name.erase(first, 2);
    } else {
      if (close < open) {
        std::swap(name[open], name[close]);
        close = open;
      }
      name.resize(close + 1);
    }
  }

  // 10. The inside of the bracket: quoted, or a number.
  if (std::size_t open = name.find('['); open != std::string::npos) {
    std::size_t close = name.find(']', open + 1);
    if (close == std::string::npos) {
      name.resize(open);
    } else {
      name.resize(close + 1);
      std::string inside = name.substr(open + 1, close - open - 1);
      if (!inside.empty() && inside[0] == '\'') {
        if (name[close - 1] != '\'' && close - 1 < 37) name.insert(close, 1, '\'');
      } else {
        std::string digits;
        for (char c : inside) {
          if (IsDigit(c)) digits.push_back(c);
        }
        if (digits.empty()) {
          long& counter = State().bracketCounter;
          if (counter < 1 || counter > 99) counter = 1;
          digits = std::to_string(counter);
          counter = counter >= 99 ? 1 : counter + 1;
        }
        name.resize(open + 1);
        name += digits;
        name += ']';
      }
      if (name.size() > kNameLength) {
        // Too long a suffix: keep the name without it.
        name.resize(open);
      }
    }
  }

  // 11.
  if (name == "_") name = MakeDefaultName(0);
}

bool IsLegalName(std::string_view name) {
  if (name.empty() || name.size() > kNameLength) return false;
  if (!(IsLetter(name[0]) || name[0] == '_' || name[0] == '%')) return false;
  auto plain = [](char c) { return IsLetter(c) || IsDigit(c) || c == '_' || c == '%'; };
  std::size_t i = 1;
  while (i < name.size() && plain(name[i])) ++i;
  if (i == name.size()) return true;
  if (name[i] != '[' || name.back() != ']') return false;
  std::string_view inside = name.substr(i + 1, name.size() - i - 2);
  if (inside.size() >= 2 && inside.front() == '\'' && inside.back() == '\'') inside = inside.substr(1, inside.size() - 2);
  else if (!std::all_of(inside.begin(), inside.end(), IsDigit)) return false;
  return !inside.empty() && std::all_of(inside.begin(), inside.end(), plain);
}

void MakeNamesUnique(Dataset* dataset) {
  if (dataset == nullptr || dataset->shape != DatasetShape::Columns) return;
  constexpr std::size_t kBaseLength = 32;
  std::unordered_set<std::string> taken;
  struct Rename {
    Column* column;
    std::string finalName;
  };
  std::vector<Rename> renames;
  for (Column* column = dataset->firstColumn; column; column = column->next) {
    if (column->kind == ColumnKind::RowIndex) continue;
    const std::string& full = column->name;
    std::size_t bracket = full.find('[');
    std::string base = full.substr(0, std::min(bracket == std::string::npos ? full.size() : bracket,
                                               kBaseLength));
    std::string suffix = bracket == std::string::npos ? std::string() : full.substr(bracket);
    std::string candidate = base + suffix;
    for (long k = 1; taken.count(candidate) != 0; ++k) {
      std::size_t keep = k < 10 ? 31 : (k < 100 ? 30 : 29);
      // The whole name stays within the identifier length.
      std::size_t numberLength = std::to_string(k).size();
      if (keep + numberLength + suffix.size() > kNameLength) {
        keep = kNameLength > numberLength + suffix.size() ? kNameLength - numberLength - suffix.size()
                                                          : 0;
      }
      candidate = base.substr(0, std::min(keep, base.size())) + std::to_string(k) + suffix;
    }
    taken.insert(candidate);
    if (candidate != full) renames.push_back({column, std::move(candidate)});
  }
  for (Rename& r : renames) {
    Column* column = r.column;
    const std::string& oldName = column->name;
    std::string& description = column->description;
    if (description.empty()) {
      CopyLimited(description, oldName, kNameLength);
    } else if (description.size() < kNameLength &&
               static_cast<long>(oldName.size()) > 42 - static_cast<long>(description.size())) {
      // A note made here, not a value of the file: shortened without
      // counting a cut.
      std::string combined = oldName + ": " + description;
      description.assign(Utf8Prefix(combined, kNameLength));
    }
    column->name = std::move(r.finalName);
  }
}

}  // namespace trovadex
