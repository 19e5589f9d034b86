// Column kind conversions, the tolerant text-to-number reader and its
// warnings file, factor level collection, calendar ordering of labels and
// level reordering.
#include "core/convert.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <numeric>

#include "core/columns.h"
#include "core/format.h"
#include "core/names.h"

namespace trovadex {

namespace {

// Level and label collections grow 20 entries at a time; a collection whose
// storage would pass this many bytes makes the conversion fail.
constexpr int64_t kCollectionByteLimit = 16000000;
constexpr int64_t kCollectionStep = 20;
constexpr int64_t kLevelEntryBytes = 8;   // one double
constexpr int64_t kLabelEntryBytes = 41;  // one label slot (40 characters + NUL)

bool CollectionTooLarge(int64_t entries, int64_t entryBytes) {
  int64_t steps = (entries + kCollectionStep - 1) / kCollectionStep;
  return steps * kCollectionStep * entryBytes > kCollectionByteLimit;
}

double MissingOf(const Column* column) {
  return column && column->dataset ? column->dataset->missingValue : kMissingValue;
}

const Options& OptionsOf(const Column* column) {
  return column && column->dataset ? column->dataset->options : State().options;
}

bool SortLabelsOn(const Column* column) { return OptionsOf(column).sortLabels != 0; }

bool IsLocked(const Column* column) {
  return column->locked || (column->dataset && column->dataset->locked);
}

// Kinds that behave as an ordinary numeric column.
bool IsPlainVariateKind(ColumnKind kind) {
  return kind == ColumnKind::Variate || kind == ColumnKind::Numeric6 ||
         kind == ColumnKind::Numeric22;
}

// The column's main list holds all valueCount values of the expected storage.
bool HasNumbers(const Column* column) {
  return column->valueCount > 0 && column->numbers.size() >= column->valueCount;
}
bool HasTexts(const Column* column) {
  return column->valueCount > 0 && column->texts.size() >= column->valueCount;
}

// The integer part of v when it lies in the 32-bit range.
bool IntegerPart(double v, int64_t* out) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return false;
  *out = static_cast<int64_t>(v);
  return true;
}

void MakeDateSettingsCurrent(const Column* column) {
  if (column->valueFormat == 5) {
    SetCurrentDateBase(column->dateBase);
    SetCurrentDateRepresentation(column->dateRepresentation);
  }
}

inline unsigned char Lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

bool SameText(std::string_view a, std::string_view b, bool caseInsensitive) {
  if (a.size() != b.size()) return false;
  if (std::memcmp(a.data(), b.data(), a.size()) == 0) return true;
  if (!caseInsensitive) return false;
  for (std::size_t k = 0; k < a.size(); ++k)
    if (Lower(static_cast<unsigned char>(a[k])) != Lower(static_cast<unsigned char>(b[k])))
      return false;
  return true;
}

// Byte order, or byte order after folding letters to lower case.
int CompareText(std::string_view a, std::string_view b, bool caseInsensitive) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t k = 0; k < n; ++k) {
    unsigned char ca = static_cast<unsigned char>(a[k]);
    unsigned char cb = static_cast<unsigned char>(b[k]);
    if (caseInsensitive) {
      ca = Lower(ca);
      cb = Lower(cb);
    }
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

inline uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

uint32_t HashText(std::string_view text, bool caseInsensitive) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (caseInsensitive) u = Lower(u);
    h = (h ^ u) * 0x100000001b3ULL;
  }
  return static_cast<uint32_t>(Mix(h));
}

uint32_t HashNumber(double v) {
  if (v == 0) v = 0;  // -0 and +0 are the same level
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return static_cast<uint32_t>(Mix(bits));
}

// Open-addressing index of entry numbers beside an ordered entry table: the
// table keeps the order of first appearance, the index finds an entry in
// constant expected time. Each slot keeps the entry's hash so that probing
// rarely touches the table and growing needs no rehashing of the entries.
struct EntryIndex {
  struct Slot {
    int32_t entry = -1;  // -1: free
    uint32_t hash = 0;
  };
  std::vector<Slot> slots;
  std::size_t mask = 0;
  std::size_t count = 0;

  EntryIndex() : slots(64), mask(63) {}

  template <class Same>
  int32_t Find(uint32_t hash, Same same) const {
    for (std::size_t s = hash & mask;; s = (s + 1) & mask) {
      const Slot& slot = slots[s];
      if (slot.entry < 0) return -1;
      if (slot.hash == hash && same(slot.entry)) return slot.entry;
    }
  }

  // Registers `entry`, known not to be present yet.
  void Add(uint32_t hash, int32_t entry) {
    if ((count + 1) * 2 > slots.size()) {
      std::vector<Slot> old(slots.size() * 2);
      old.swap(slots);
      mask = slots.size() - 1;
      for (const Slot& slot : old)
        if (slot.entry >= 0) Place(slot);
    }
    Place(Slot{entry, hash});
    ++count;
  }

  void Place(const Slot& slot) {
    std::size_t s = slot.hash & mask;
    while (slots[s].entry >= 0) s = (s + 1) & mask;
    slots[s] = slot;
  }
};

// Labels collected in order of first appearance, in fixed 41-byte slots.
struct LabelTable {
  std::vector<char> bytes;
  std::vector<uint8_t> lengths;

  std::size_t size() const { return lengths.size(); }
  std::string_view Get(std::size_t i) const {
    return std::string_view(bytes.data() + i * kLabelEntryBytes, lengths[i]);
  }
  void Add(std::string_view key) {
    std::size_t at = bytes.size();
    bytes.resize(at + kLabelEntryBytes, '\0');
    std::memcpy(bytes.data() + at, key.data(), key.size());
    lengths.push_back(static_cast<uint8_t>(key.size()));
  }
};

// The factor key of one text value: trimmed and collapsed over 90 characters
// with `compress`, then at most 40 characters; `cut` tells whether the
// label limit shortened it. `scratch` holds the trimmed text when trimming
// changed it.
std::string_view FactorKey(std::string_view value, bool compress, std::string& scratch, bool& cut) {
  std::string_view key = value;
  if (compress) {
    if (key.size() > static_cast<std::size_t>(kTextLength)) key = key.substr(0, kTextLength);
    bool clean = key.empty() || (key.front() != ' ' && key.back() != ' ' &&
                                 key.find("  ") == std::string_view::npos);
    if (!clean) {
      scratch = TrimText(key, kTextLength);
      key = scratch;
    }
  }
  cut = key.size() > static_cast<std::size_t>(kLabelLength);
  if (cut) key = Utf8Prefix(key, kLabelLength);
  return key;
}

// ---------------------------------------------------------------- calendar families

struct FamilyEntries {
  std::string_view entries[16];
  int count = 0;
  std::size_t testLength = 0;
  std::size_t orderLength = 0;
};

const char* const kCompassPoints[16] = {"N", "NNE", "NE", "NEE", "E", "SEE", "SE", "SSE",
                                        "S", "SSW", "SW", "SWW", "W", "NWW", "NW", "NNW"};

FamilyEntries EntriesOf(LabelFamily family, const Column* column) {
  FamilyEntries f;
  const Options& options = OptionsOf(column);
  switch (family) {
    case LabelFamily::Compass:
      for (int i = 0; i < 16; ++i) f.entries[i] = kCompassPoints[i];
      f.count = 16;
      f.testLength = 5;
      f.orderLength = 3;
      break;
    case LabelFamily::Weekdays:
      // Weekday names live in the process-wide record only.
      for (int i = 0; i < 7; ++i) f.entries[i] = State().options.dayNames[i + 1];
      f.count = 7;
      f.testLength = 3;
      f.orderLength = 3;
      break;
    case LabelFamily::MonthNames:
      for (int i = 0; i < 12; ++i) f.entries[i] = options.monthNames[i + 1];
      f.count = 12;
      f.testLength = 4;
      f.orderLength = 12;
      break;
    case LabelFamily::MonthAbbreviations:
      for (int i = 0; i < 12; ++i) f.entries[i] = options.monthAbbreviations[i + 1];
      f.count = 12;
      f.testLength = 3;
      f.orderLength = 3;
      break;
  }
  return f;
}

// Case-insensitive comparison of at most n characters that stops at the end
// of the shorter text: equal when the first n characters agree or both texts
// end together before n.
bool MatchesEntry(std::string_view label, std::string_view entry, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    unsigned char a = k < label.size() ? Lower(static_cast<unsigned char>(label[k])) : 0;
    unsigned char b = k < entry.size() ? Lower(static_cast<unsigned char>(entry[k])) : 0;
    if (a != b) return false;
    if (a == 0) return true;
  }
  return true;
}

int FirstMatch(const FamilyEntries& f, std::string_view label, std::size_t n) {
  for (int e = 0; e < f.count; ++e)
    if (MatchesEntry(label, f.entries[e], n)) return e;
  return -1;
}

int32_t LabelsToConsider(const Column* column) {
  return std::max<int32_t>(0, std::min(column->levelCount, column->labelCount));
}

// Text of the level-th level value (1-based), formatted with the column's
// number format; false when there is no such value.
bool LevelValueText(Column* column, long level, char* out, int* length) {
  if (level < 1 || level > column->levelValueCount || level > column->levelValues.size())
    return false;
  MakeDateSettingsCurrent(column);
  *length = FormatNumber(out, column->levelValues.Get(level - 1), column->valueFormat,
                         column->decimals, MissingOf(column));
  return true;
}

void ClearFactorLists(Column* column) {
  FreeValues(column, kLevelValueList);
  FreeValues(column, kLabelList);
  column->longestLabel = 0;
  column->factorDisplay = 0;
}

}  // namespace

// ---------------------------------------------------------------- text to number

double TextToNumber(std::string_view text, double fallback, bool* doubtful) {
  bool ignored = false;
  if (!doubtful) doubtful = &ignored;
  *doubtful = false;
  if (std::size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  if (text.empty()) return fallback;

  int mode = State().textToNumberMode;
  if (mode < 0 || mode > 4) mode = 3;

  char buf[kTextLength + 1];
  std::size_t n = std::min(text.size(), static_cast<std::size_t>(kTextLength));
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';

  int changes = 0;
  if (mode >= 1) {
    // A comma (and in most modes ':', ';', '<', '>') is a decimal point
    // unless a point follows it somewhere later.
    std::size_t lastDot = std::string_view::npos;
    for (std::size_t k = 0; k < n; ++k)
      if (buf[k] == '.') lastDot = k;
    auto separator = [&](std::size_t k) {
      buf[k] = (lastDot != std::string_view::npos && lastDot > k) ? ' ' : '.';
      ++changes;
    };
    for (std::size_t k = 0; k < n; ++k) {
      switch (buf[k]) {
        case '!': case '"': case '#': case '$': case '%': case '&': case '\'':
        case '(': case ')': case '/': case '?': case '[': case ']':
          buf[k] = ' ';
          ++changes;
          break;
        case ',':
          separator(k);
          break;
        case ':': case ';': case '<': case '>':
          if (mode != 2) separator(k);
          break;
        case '@':
          if (mode != 2) {
            buf[k] = '0';
            ++changes;
          }
          break;
        case 'O': case 'o':
          buf[k] = '0';
          ++changes;
          break;
        case 'I': case 'i': case 'L': case 'l':
          buf[k] = '1';
          ++changes;
          break;
        case 'S': case 's':
          if (mode != 2) {
            buf[k] = '5';
            ++changes;
          }
          break;
        case 'Z': case 'z':
          if (mode != 2) {
            buf[k] = '2';
            ++changes;
          }
          break;
        default:
          break;
      }
    }
  }

  if (mode == 4) {
    // Keep only what can belong to a number.
    bool dot = false, exponent = false;
    bool plusBefore = false, minusBefore = false, plusAfter = false, minusAfter = false;
    std::size_t out = 0;
    for (std::size_t k = 0; k < n; ++k) {
      char c = buf[k];
      bool keep = false;
      if (c >= '0' && c <= '9') {
        keep = true;
      } else if (c == '.') {
        keep = !dot;
        dot = true;
      } else if (c == '+') {
        bool& seen = exponent ? plusAfter : plusBefore;
        keep = !seen;
        seen = true;
      } else if (c == '-') {
        bool& seen = exponent ? minusAfter : minusBefore;
        keep = !seen;
        seen = true;
      } else if ((c == 'e' || c == 'E') && !exponent) {
        keep = true;
        exponent = true;
      } else if ((c == 'd' || c == 'D') && !exponent) {
        c = 'e';
        keep = true;
        exponent = true;
      }
      if (keep)
        buf[out++] = c;
      else
        ++changes;
    }
    n = out;
    buf[n] = '\0';
  }

  const char* end = buf;
  bool rangeError = false;
  double value = ParseDecimal(buf, buf + n, &end, &rangeError);

  bool error = end == buf || rangeError || std::isnan(value);
  if (!error && mode <= 3 && std::count(buf, buf + n, '.') >= 2) error = true;
  bool atEnd = end >= buf + n;
  bool spaceOrEnd = atEnd || *end == ' ';
  if (!error && mode == 0 && !atEnd) error = true;
  if (!error && mode == 2 && !spaceOrEnd) error = true;
  if (!error && mode == 1 && (!spaceOrEnd || changes >= 2)) error = true;

  if (error) {
    *doubtful = true;
    return fallback;
  }
  if (value > kNumberCap) {
    value = kNumberCap;
    *doubtful = true;
  }
  if (value < fallback) {
    value = fallback;
    *doubtful = true;
  }
  if (changes > 0) *doubtful = true;
  return value;
}

// ---------------------------------------------------------------- warnings file

void WriteConversionWarning(std::string_view columnName, long row, const char* cell,
                            std::string_view text, double value, bool valueMissing) {
  RunState& s = State();
  if (s.warningsFileFailed) return;
  if (!s.warningsFile) {
    if (s.warningsFileOpened) {
      // Closed early: keep what was written and carry on after it.
      s.warningsFile = std::fopen(kWarningsFileName, "ab");
    } else {
      s.warningsFile = std::fopen(kWarningsFileName, "wb");
      if (s.warningsFile) {
        std::fputs("Text to Number Conversion Warnings\n \n", s.warningsFile);
        s.warningsFileOpened = true;
      }
    }
    if (!s.warningsFile) {
      s.warningsFileFailed = true;
      return;
    }
  }
  int nameLength = static_cast<int>(std::min<std::size_t>(columnName.size(), 1000));
  int textLength = static_cast<int>(std::min<std::size_t>(text.size(), 1000));
  std::fprintf(s.warningsFile, "Column %.*s Row %4li", nameLength, columnName.data(), row);
  if (cell) std::fprintf(s.warningsFile, " (From Cell %s)", cell);
  if (valueMissing)
    std::fprintf(s.warningsFile, ": %.*s read as *\n", textLength, text.data());
  else
    std::fprintf(s.warningsFile, ": %.*s read as %.12g\n", textLength, text.data(), value);
}

bool CloseWarningsFile() {
  RunState& s = State();
  if (s.warningsFile) {
    std::fclose(s.warningsFile);
    s.warningsFile = nullptr;
  }
  return s.warningsFileOpened;
}

// ---------------------------------------------------------------- conversions

bool TextToVariate(Column* column) {
  if (!column || column->kind != ColumnKind::Text || !HasTexts(column)) return false;
  const int64_t n = column->valueCount;
  const double missing = MissingOf(column);
  NumberList numbers;
  numbers.Resize(n, missing);
  for (int64_t i = 0; i < n; ++i) {
    std::string_view text = column->texts.Get(i);
    if (text.empty()) continue;
    bool doubtful = false;
    double v = TextToNumber(text, missing, &doubtful);
    if (std::isnan(v)) v = missing;
    numbers.Set(i, v);
    if (doubtful)
      WriteConversionWarning(column->name, static_cast<long>(i + 1), nullptr, text, v,
                             !(v > missing));
  }
  column->texts.Clear();
  column->numbers = std::move(numbers);
  column->levelCount = 0;
  column->decimals = -1;
  column->maxTextLength = 25;
  column->valueFormat = 1;
  column->kind = ColumnKind::Variate;
  MarkColumnChanged(column);
  return true;
}

bool VariateToText(Column* column) {
  if (!column || !IsPlainVariateKind(column->kind) || !HasNumbers(column)) return false;
  const int64_t n = column->valueCount;
  const double missing = MissingOf(column);
  MakeDateSettingsCurrent(column);
  TextList texts;
  texts.maxLength = kTextLength;
  texts.Resize(n);
  char buf[kNumberTextSize];
  int32_t longest = 0;
  for (int64_t i = 0; i < n; ++i) {
    double v = column->numbers.Get(i);
    if (!(v > missing)) continue;
    int length = FormatNumber(buf, v, column->valueFormat, column->decimals, missing);
    texts.Set(i, std::string_view(buf, static_cast<std::size_t>(length)));
    longest = std::max<int32_t>(longest, static_cast<int32_t>(texts.Get(i).size()));
  }
  column->numbers.Clear();
  column->texts = std::move(texts);
  column->levelCount = longest;
  column->kind = ColumnKind::Text;
  column->valueFormat = 4;
  column->maxTextLength = 91;
  MarkColumnChanged(column);
  return true;
}

bool FactorToText(Column* column) {
  if (!column || column->kind != ColumnKind::Factor || !HasNumbers(column)) return false;
  const int64_t n = column->valueCount;
  const double missing = MissingOf(column);
  MakeDateSettingsCurrent(column);
  TextList texts;
  texts.maxLength = kTextLength;
  texts.Resize(n);
  char buf[kNumberTextSize];
  int32_t longest = 0;
  for (int64_t i = 0; i < n; ++i) {
    double v = column->numbers.Get(i);
    if (!(v > missing)) continue;
    int64_t level = 0;
    bool valid = IntegerPart(v, &level);
    std::string_view text;
    int length = 0;
    switch (column->factorDisplay) {
      case 1:
        if (!valid || !LevelValueText(column, static_cast<long>(level), buf, &length))
          length = FormatNumber(buf, missing, column->valueFormat, column->decimals, missing);
        text = std::string_view(buf, static_cast<std::size_t>(length));
        break;
      case 2:
        if (valid && level >= 1 && level <= column->labelCount && level <= column->labels.size())
          text = column->labels.Get(level - 1).substr(0, kLabelLength);
        break;
      default:
        length = FormatNumber(buf, v, column->valueFormat, column->decimals, missing);
        text = std::string_view(buf, static_cast<std::size_t>(length));
        break;
    }
    if (text.empty()) continue;
    texts.Set(i, text);
    longest = std::max<int32_t>(longest, static_cast<int32_t>(texts.Get(i).size()));
  }
  ClearFactorLists(column);
  column->numbers.Clear();
  column->texts = std::move(texts);
  column->kind = ColumnKind::Text;
  column->valueFormat = 4;
  column->maxTextLength = 91;
  column->levelCount = longest;
  MarkColumnChanged(column);
  return true;
}

bool FactorToVariate(Column* column, bool useLevelValues) {
  if (!column || column->kind != ColumnKind::Factor || !HasNumbers(column)) return false;
  const int64_t n = column->valueCount;
  const double missing = MissingOf(column);
  const bool byValues = useLevelValues && column->levelValueCount > 0;
  const int64_t bound =
      byValues ? std::min<int64_t>(column->levelValueCount, column->levelValues.size())
               : column->levelCount;
  // Values outside the levels are not level numbers: they become missing.
  for (int64_t i = 0; i < n; ++i) {
    double& v = column->numbers.At(i);
    if (!(v > missing)) {
      v = missing;
      continue;
    }
    int64_t level = 0;
    if (!IntegerPart(v, &level) || level < 1 || level > bound) {
      v = missing;
      continue;
    }
    if (byValues) {
      double value = column->levelValues.Get(level - 1);
      v = value > missing ? value : missing;
    }
  }
  ClearFactorLists(column);
  column->levelCount = 0;
  column->maxTextLength = 25;
  if (column->valueFormat == 4) column->valueFormat = 1;
  column->kind = ColumnKind::Variate;
  MarkColumnChanged(column);
  return true;
}

bool VariateToFactor(Column* column, bool distinctLevels) {
  if (!column || !IsPlainVariateKind(column->kind) || !HasNumbers(column)) return false;
  const int64_t n = column->valueCount;
  const double missing = MissingOf(column);

  if (!distinctLevels) {
    // Every rounded value must fit a 32-bit level number.
    for (int64_t i = 0; i < n; ++i) {
      double v = column->numbers.Get(i);
      if (!(v > missing)) continue;
      double r = std::floor(v + 0.5);
      if (!(r >= -2147483648.0 && r <= 2147483647.0)) return false;
    }
    double largest = 0;
    bool any = false;
    for (int64_t i = 0; i < n; ++i) {
      double& v = column->numbers.At(i);
      if (!(v > missing)) {
        v = missing;
        continue;
      }
      v = std::floor(v + 0.5);
      if (!any || v > largest) largest = v;
      any = true;
    }
    MarkColumnChanged(column);
    if (!any || largest < 1) return false;
    column->levelCount = static_cast<int32_t>(largest);
    ClearFactorLists(column);
    column->maxTextLength = 41;
    column->kind = ColumnKind::Factor;
    return true;
  }

  std::vector<double> levels;
  EntryIndex index;
  std::vector<int32_t> codes;
  LargeResize(codes, static_cast<std::size_t>(n));
  try {
    for (int64_t i = 0; i < n; ++i) {
      double v = column->numbers.Get(i);
      if (!(v > missing)) {
        codes[i] = -1;
        continue;
      }
      uint32_t h = HashNumber(v);
      int32_t e = index.Find(h, [&](int32_t k) { return levels[k] == v; });
      if (e < 0) {
        if (CollectionTooLarge(static_cast<int64_t>(levels.size()) + 1, kLevelEntryBytes))
          return false;
        e = static_cast<int32_t>(levels.size());
        levels.push_back(v == 0 ? 0.0 : v);
        index.Add(h, e);
      }
      codes[i] = e;
    }
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
  index = EntryIndex{};

  const int32_t count = static_cast<int32_t>(levels.size());
  std::vector<int32_t> order(count);
  std::iota(order.begin(), order.end(), 0);
  if (SortLabelsOn(column) && count > 1)
    std::sort(order.begin(), order.end(),
              [&](int32_t a, int32_t b) { return levels[a] < levels[b]; });
  std::vector<int32_t> rank(count);
  for (int32_t k = 0; k < count; ++k) rank[order[k]] = k;
  for (int64_t i = 0; i < n; ++i)
    column->numbers.Set(i, codes[i] < 0 ? missing : rank[codes[i]] + 1.0);

  bool plainLevels = true;
  for (int32_t k = 0; k < count && plainLevels; ++k) plainLevels = levels[order[k]] == k + 1.0;
  ClearFactorLists(column);
  if (!plainLevels) {
    column->levelValues.Resize(count);
    for (int32_t k = 0; k < count; ++k) column->levelValues.Set(k, levels[order[k]]);
    column->levelValueCount = count;
    column->factorDisplay = 1;
  }
  column->levelCount = count > 0 ? count : 2;
  column->maxTextLength = 41;
  column->kind = ColumnKind::Factor;
  MarkColumnChanged(column);
  return true;
}

bool TextToFactor(Column* column, bool caseInsensitive, bool compress) {
  if (!column || column->kind != ColumnKind::Text || !HasTexts(column)) return false;
  const int64_t n = column->valueCount;
  const double missing = MissingOf(column);

  LabelTable table;
  EntryIndex index;
  std::vector<int32_t> codes;
  LargeResize(codes, static_cast<std::size_t>(n));
  std::string scratch;
  // Levels whose label is a cut text: counted once per level, not per value.
  std::vector<uint8_t> cutLevels;
  long cutCount = 0;
  try {
    for (int64_t i = 0; i < n; ++i) {
      bool cut = false;
      std::string_view key = FactorKey(column->texts.Get(i), compress, scratch, cut);
      if (key.empty()) {
        codes[i] = -1;
        continue;
      }
      uint32_t h = HashText(key, caseInsensitive);
      int32_t e =
          index.Find(h, [&](int32_t k) { return SameText(table.Get(k), key, caseInsensitive); });
      if (e < 0) {
        if (CollectionTooLarge(static_cast<int64_t>(table.size()) + 1, kLabelEntryBytes))
          return false;
        e = static_cast<int32_t>(table.size());
        table.Add(key);
        index.Add(h, e);
        cutLevels.push_back(0);
      }
      if (cut && !cutLevels[e]) {
        cutLevels[e] = 1;
        ++cutCount;
      }
      codes[i] = e;
    }
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
  index = EntryIndex{};
  State().cuts[static_cast<std::size_t>(CutKind::Label)] += cutCount;

  const int32_t count = static_cast<int32_t>(table.size());
  const bool sortLabels = SortLabelsOn(column);
  std::vector<int32_t> order(count);
  std::iota(order.begin(), order.end(), 0);
  if (sortLabels && count > 1)
    std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
      return CompareText(table.Get(a), table.Get(b), caseInsensitive) < 0;
    });
  std::vector<int32_t> rank(count);
  for (int32_t k = 0; k < count; ++k) rank[order[k]] = k;

  NumberList numbers;
  numbers.Resize(n, missing);
  for (int64_t i = 0; i < n; ++i)
    if (codes[i] >= 0) numbers.Set(i, rank[codes[i]] + 1.0);
  std::vector<int32_t>().swap(codes);

  ClearFactorLists(column);
  column->texts.Clear();
  column->numbers = std::move(numbers);
  column->decimals = -1;
  column->levelCount = count > 0 ? count : 2;
  column->maxTextLength = 41;
  column->kind = ColumnKind::Factor;
  if (count > 0) {
    column->labels.Clear();
    column->labels.maxLength = kLabelLength;
    column->labels.Resize(count);
    int32_t longest = 0;
    for (int32_t k = 0; k < count; ++k) {
      std::string_view label = table.Get(order[k]);
      column->labels.Set(k, label);
      longest = std::max<int32_t>(longest, static_cast<int32_t>(label.size()));
    }
    column->labelCount = count;
    column->longestLabel = longest;
    column->factorDisplay = 2;
    column->valueFormat = 4;
  } else {
    column->factorDisplay = 0;
    column->valueFormat = 1;
    column->longestLabel = 0;
  }
  MarkColumnChanged(column);

  if (count > 0 && sortLabels) {
    for (LabelFamily family : {LabelFamily::Compass, LabelFamily::Weekdays,
                               LabelFamily::MonthNames, LabelFamily::MonthAbbreviations}) {
      if (LabelsFollowFamily(column, family)) {
        OrderLabelsByFamily(column, family);
        break;
      }
    }
  }
  return true;
}

bool UnitsToText(Column* column) {
  if (!column || column->kind != ColumnKind::TextUnits) return false;
  column->kind = ColumnKind::Text;
  if (column->dataset && column->dataset->unitsColumnCount > 0) column->dataset->unitsColumnCount--;
  MarkColumnChanged(column);
  return true;
}

bool UnitsToVariate(Column* column) {
  if (!column || column->kind != ColumnKind::VariateUnits) return false;
  column->kind = ColumnKind::Variate;
  if (column->dataset && column->dataset->unitsColumnCount > 0) column->dataset->unitsColumnCount--;
  MarkColumnChanged(column);
  return true;
}

namespace {

bool MakeUnits(Column* column, ColumnKind plain, ColumnKind units, int32_t valueFormat) {
  if (!column || column->kind != plain || !column->dataset) return false;
  Dataset* d = column->dataset;
  if (d->unitsColumnCount >= 2) return false;
  column->kind = units;
  if (!MoveColumn(d, column->position, 1)) {
    column->kind = plain;
    return false;
  }
  column->valueFormat = valueFormat;
  d->unitsColumnCount++;
  MarkColumnChanged(column);
  return true;
}

}  // namespace

bool MakeVariateUnits(Column* column) {
  return MakeUnits(column, ColumnKind::Variate, ColumnKind::VariateUnits, 1);
}

bool MakeTextUnits(Column* column) {
  return MakeUnits(column, ColumnKind::Text, ColumnKind::TextUnits, 4);
}

// ---------------------------------------------------------------- factor operations

bool ReorderLevels(Column* column, const std::vector<int32_t>& permutation) {
  if (!column || column->kind != ColumnKind::Factor) return false;
  const int32_t levels = column->levelCount;
  if (levels < 2) return true;
  if (IsLocked(column)) return false;
  if (permutation.size() != static_cast<std::size_t>(levels)) return false;
  std::vector<int32_t> newPlace(levels, -1);
  bool identity = true;
  for (int32_t k = 0; k < levels; ++k) {
    int32_t old = permutation[k];
    if (old < 0 || old >= levels || newPlace[old] >= 0) return false;
    newPlace[old] = k;
    identity = identity && old == k;
  }
  if (identity) return true;

  const double missing = MissingOf(column);
  if (column->levelValueCount > 0) {
    int64_t had = std::min<int64_t>(column->levelValueCount, column->levelValues.size());
    int64_t size = std::max<int64_t>(had, levels);
    NumberList values;
    values.Resize(size, missing);
    for (int64_t k = 0; k < size; ++k) {
      int64_t from = k < levels ? permutation[k] : k;
      if (from < had) values.Set(k, column->levelValues.Get(from));
    }
    column->levelValues = std::move(values);
    column->levelValueCount = static_cast<int32_t>(size);
  }
  if (column->labelCount > 0) {
    int64_t had = std::min<int64_t>(column->labelCount, column->labels.size());
    int64_t size = std::max<int64_t>(had, levels);
    TextList labels;
    labels.maxLength = kLabelLength;
    labels.Resize(size);
    for (int64_t k = 0; k < size; ++k) {
      int64_t from = k < levels ? permutation[k] : k;
      if (from < had) labels.Set(k, column->labels.Get(from));
    }
    column->labels = std::move(labels);
    column->labelCount = static_cast<int32_t>(size);
  }

  const Dataset* d = column->dataset;
  const bool margins = d && d->shape == DatasetShape::Table && d->hasMargins;
  const int64_t n = std::min<int64_t>(column->valueCount, column->numbers.size());
  for (int64_t i = 0; i < n; ++i) {
    double& v = column->numbers.At(i);
    int64_t level = 0;
    if (!(v > 0) || !IntegerPart(v, &level)) {
      v = missing;
      continue;
    }
    int64_t old = level - 1;
    if (old >= 0 && old < levels)
      v = newPlace[old] + 1.0;
    else if (old == levels && margins)
      v = levels + 1.0;
    else
      v = missing;
  }
  MarkColumnChanged(column);
  return true;
}

bool LabelsFollowFamily(Column* column, LabelFamily family) {
  if (!column || column->kind != ColumnKind::Factor) return false;
  const int32_t count = LabelsToConsider(column);
  if (count == 0) return false;
  FamilyEntries f = EntriesOf(family, column);
  for (int32_t i = 0; i < count; ++i)
    if (FirstMatch(f, column->labels.Get(i), f.testLength) < 0) return false;
  return true;
}

bool OrderLabelsByFamily(Column* column, LabelFamily family) {
  if (!column || column->kind != ColumnKind::Factor || column->labelCount <= 0) return false;
  const int32_t levels = column->levelCount;
  if (levels < 2) return true;
  FamilyEntries f = EntriesOf(family, column);
  std::vector<int64_t> key(levels);
  for (int32_t i = 0; i < levels; ++i) {
    std::string_view label =
        i < column->labelCount && i < column->labels.size() ? column->labels.Get(i) : "";
    int e = FirstMatch(f, label, f.orderLength);
    key[i] = e >= 0 ? e : static_cast<int64_t>(i) + f.count;
  }
  std::vector<int32_t> permutation(levels);
  std::iota(permutation.begin(), permutation.end(), 0);
  std::stable_sort(permutation.begin(), permutation.end(),
                   [&](int32_t a, int32_t b) { return key[a] < key[b]; });
  return ReorderLevels(column, permutation);
}

bool FactorLevelText(Column* column, long level, std::string& text) {
  text.clear();
  if (!column || column->kind != ColumnKind::Factor) return false;
  if (level > column->levelCount) return false;
  const Dataset* d = column->dataset;
  if (d && d->shape == DatasetShape::Table && level < 1) return false;
  switch (column->factorDisplay) {
    case 0:
      if (level < 1)
        text.assign(1, '*');
      else
        text = std::to_string(level);
      return true;
    case 1: {
      if (level < 1) {
        text.assign(1, '*');
        return true;
      }
      char buf[kNumberTextSize];
      int length = 0;
      if (!LevelValueText(column, level, buf, &length)) return false;
      text.assign(buf, static_cast<std::size_t>(length));
      return true;
    }
    case 2:
      if (level < 1) return true;
      if (level > column->labelCount || level > column->labels.size()) return false;
      text.assign(column->labels.Get(level - 1).substr(0, kLabelLength));
      return true;
    default:
      return false;
  }
}

bool MakeLabelsFromLevels(Column* column) {
  if (!column || column->kind != ColumnKind::Factor || column->levelCount < 1) return false;
  if (column->valueFormat == 5 && column->dateRepresentation == 0) {
    const Options& options = OptionsOf(column);
    column->dateBase = options.dateBase;
    column->dateRepresentation = options.defaultDateRepresentation;
  }
  const int32_t count = column->levelCount;
  TextList labels;
  labels.maxLength = kLabelLength;
  labels.Resize(count);
  char buf[kNumberTextSize];
  int32_t longest = 0;
  for (int32_t k = 1; k <= count; ++k) {
    int length = 0;
    if (column->levelValueCount == 0 || !LevelValueText(column, k, buf, &length))
      length = std::snprintf(buf, sizeof buf, "%li", static_cast<long>(k));
    labels.Set(k - 1, std::string_view(buf, static_cast<std::size_t>(length)));
    longest = std::max<int32_t>(longest, static_cast<int32_t>(labels.Get(k - 1).size()));
  }
  column->labels = std::move(labels);
  column->labelCount = count;
  column->longestLabel = longest;
  column->factorDisplay = 2;
  column->valueFormat = 4;
  MarkColumnChanged(column);
  return true;
}

bool SetLevelValues(Column* column, const double* values) {
  if (!column || column->kind != ColumnKind::Factor || column->levelCount < 1) return false;
  const int32_t count = column->levelCount;
  const double missing = MissingOf(column);
  NumberList list;
  list.Resize(count, missing);
  for (int32_t k = 0; k < count; ++k) {
    double v = values ? values[k] : k + 1.0;
    list.Set(k, v > missing ? v : missing);
  }
  column->levelValues = std::move(list);
  column->levelValueCount = count;
  column->factorDisplay = 1;
  column->valueFormat = 1;
  MarkColumnChanged(column);
  return true;
}

// ---------------------------------------------------------------- dispatcher

void ConvertColumn(Column* column, ColumnKind fromKind, ColumnKind toKind, bool caseInsensitive,
                   bool compress) {
  if (!column || IsLocked(column) || fromKind == toKind) return;
  // Only a conversion that applies to the column's present kind is made.
  if (column->kind != fromKind) return;
  MarkColumnChanged(column);
  const int32_t units = column->dataset ? column->dataset->unitsColumnCount : 0;
  switch (fromKind) {
    case ColumnKind::Factor:
      switch (toKind) {
        case ColumnKind::VariateUnits:
          if (units <= 1 && FactorToVariate(column, false)) MakeVariateUnits(column);
          break;
        case ColumnKind::TextUnits:
          if (units <= 1 && FactorToText(column)) MakeTextUnits(column);
          break;
        case ColumnKind::Text:
          FactorToText(column);
          break;
        case ColumnKind::Variate:
          FactorToVariate(column, column->factorDisplay != 0 && column->levelValueCount >= 1);
          break;
        default:
          break;
      }
      break;
    case ColumnKind::VariateUnits:
      switch (toKind) {
        case ColumnKind::Factor:
          if (UnitsToVariate(column)) VariateToFactor(column, true);
          break;
        case ColumnKind::Text:
          if (UnitsToVariate(column)) VariateToText(column);
          break;
        case ColumnKind::Variate:
          UnitsToVariate(column);
          break;
        default:
          break;
      }
      break;
    case ColumnKind::TextUnits:
      switch (toKind) {
        case ColumnKind::Factor:
          if (UnitsToText(column)) TextToFactor(column, caseInsensitive, compress);
          break;
        case ColumnKind::Text:
          UnitsToText(column);
          break;
        case ColumnKind::Variate:
          if (UnitsToText(column)) TextToVariate(column);
          break;
        default:
          break;
      }
      break;
    case ColumnKind::Text:
      switch (toKind) {
        case ColumnKind::VariateUnits:
          if (units <= 1 && TextToVariate(column)) MakeVariateUnits(column);
          break;
        case ColumnKind::TextUnits:
          if (units <= 1) MakeTextUnits(column);
          break;
        case ColumnKind::Factor:
          TextToFactor(column, caseInsensitive, compress);
          break;
        case ColumnKind::Variate:
          TextToVariate(column);
          break;
        default:
          break;
      }
      break;
    case ColumnKind::Scalar:
    case ColumnKind::Variate:
    case ColumnKind::MatrixColumn:
    case ColumnKind::TableColumn:
    case ColumnKind::Numeric6:
    case ColumnKind::Numeric22:
      column->kind = ColumnKind::Variate;
      switch (toKind) {
        case ColumnKind::VariateUnits:
          if (units < 2) MakeVariateUnits(column);
          break;
        case ColumnKind::Factor:
          VariateToFactor(column, true);
          break;
        case ColumnKind::Text:
          VariateToText(column);
          break;
        case ColumnKind::MatrixColumn:
        case ColumnKind::TableColumn:
          column->kind = toKind;
          break;
        default:
          break;
      }
      break;
    default:
      break;
  }
}

}  // namespace trovadex
