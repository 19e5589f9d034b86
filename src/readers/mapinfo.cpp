// MapInfo interchange pairs (".mif" with the ".mid" data file beside it)
// into the Dataset: the graphic objects flattened to one row per point, with
// the object's code, number, section and point number, X and Y, the text,
// arc angles and corner radius of the objects that have them, then the
// attribute values of the object's MID line on every one of its rows.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/columns.h"
#include "core/convert.h"
#include "core/dataset.h"
#include "core/format.h"
#include "core/names.h"
#include "readers/dbase_table.h"
#include "readers/growing_lists.h"
#include "readers/readers.h"
#include "readers/stream_file.h"

namespace trovadex {

namespace {

constexpr std::size_t kTextKeep = 90;

// Object codes of the Feature column; the labels are those of the codes.
enum Code { kNone = 1, kPoint, kLine, kPline, kRegion, kArc, kText, kRect, kRoundRect, kEllipse,
            kMultiPoint, kCollection, kUnknown };
const char* const kCodeLabels[] = {"Null",      "Point",       "Line",       "PolyLine", "Region",
                                   "Arc",       "Text",        "Rectangle",  "Rounded Rectangle",
                                   "Elipse",    "MultiPoint",  "Collection", "Unknown"};

enum class ColumnType { Text, Number, Decimal, Date, Logical };

struct Declared {
  std::string name;
  ColumnType type = ColumnType::Text;
  int decimals = -1;
};

bool StartsWithWord(std::string_view line, std::string_view word, std::size_t compare) {
  if (line.size() < compare) return false;
  for (std::size_t i = 0; i < compare; ++i)
    if (std::toupper(static_cast<unsigned char>(line[i])) != word[i]) return false;
  return true;
}

std::string_view TrimLeft(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  return s.substr(i);
}

bool Blank(std::string_view s) { return TrimLeft(s).empty(); }

// Lines of a text file without their line ends, one at a time; the last
// line can be handed out again.
struct LineReader {
  StreamFile file;
  std::string_view line;
  bool again = false;

  bool Next(std::string_view& out) {
    if (again) {
      again = false;
      out = line;
      return true;
    }
    std::size_t at = 0;
    for (;;) {
      std::size_t have = file.Available();
      const char* p = reinterpret_cast<const char*>(file.Data());
      const void* nl = at < have ? std::memchr(p + at, '\n', have - at) : nullptr;
      if (nl) {
        std::size_t len = static_cast<const char*>(nl) - p;
        line = std::string_view(p, len);
        file.Skip(len + 1);
        break;
      }
      at = have;
      if (file.Fill(have + 1) <= have) {
        if (have == 0) return false;
        line = std::string_view(reinterpret_cast<const char*>(file.Data()), have);
        file.Skip(have);
        break;
      }
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out = line;
    return true;
  }
  // The next line that is not blank.
  bool NextFilled(std::string_view& out) {
    while (Next(out))
      if (!Blank(out)) return true;
    return false;
  }
  void Again() { again = true; }
};

// Numbers of the objects, read across lines: a line that does not begin
// with a number (the next object, a clause) ends them and is left for the
// object loop.
struct Numbers {
  LineReader& lines;
  std::string_view rest;

  bool Next(double& value) {
    for (;;) {
      rest = TrimLeft(rest);
      if (!rest.empty()) break;
      std::string_view line;
      if (!lines.NextFilled(line)) return false;
      std::string_view t = TrimLeft(line);
      char c = t[0];
      if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '.')) {
        lines.Again();
        return false;
      }
      rest = t;
    }
    const char* begin = rest.data();
    const char* end = begin;
    bool rangeError = false;
    double x = ParseDecimal(begin, begin + rest.size(), &end, &rangeError);
    if (end == begin) return false;
    // Numbers are separated by blanks or commas.
    rest.remove_prefix(static_cast<std::size_t>(end - begin));
    if (!rest.empty() && rest[0] == ',') rest.remove_prefix(1);
    value = (rangeError || !std::isfinite(x) || !(x > kMissingValue)) ? kMissingValue
                                                                        : std::min(x, kNumberCap);
    return true;
  }
  // A count: a whole number from 0 up to `most`; false otherwise.
  bool Count(int64_t most, int64_t& n) {
    double x = 0;
    if (!Next(x) || !(x >= 0) || x != std::floor(x) || x > static_cast<double>(most)) return false;
    n = static_cast<int64_t>(x);
    return true;
  }
  // A keyword at the start of what is left of the current line.
  bool Word(std::string_view word) {
    rest = TrimLeft(rest);
    if (!StartsWithWord(rest, word, word.size())) return false;
    rest.remove_prefix(word.size());
    return true;
  }
};

struct Attribute {
  Declared declared;
  GrowingNumbers numbers;
  GrowingTexts texts;
  int longest = 0;
  bool fitsDecimals = true;  // every value prints back exactly with `decimals` fixed decimals
};

// The rows the objects give.
struct Rows {
  GrowingNumbers feature, rec, part, pnt, x, y;
  std::vector<std::pair<int64_t, std::string>> textLabels;  // row, text
  std::vector<std::pair<int64_t, double>> arcAngles;
  std::vector<std::pair<int64_t, double>> radii;
  int64_t count = 0;
  int level = 1;

  void Add(int code, int64_t object, double partNumber, double point, double px, double py) {
    feature.Push(code);
    rec.Push(static_cast<double>(object));
    part.Push(partNumber);
    pnt.Push(point);
    x.Push(px);
    y.Push(py);
    ++count;
  }
};

int Level(int code) {
  switch (code) {
    case kNone: case kUnknown: return 1;
    case kPoint: return 2;
    case kPline: case kRegion: case kRect: case kCollection: return 4;
    default: return 3;
  }
}

// The quoted text of a TEXT object: what lies between the first double
// quote and the next (or the end of the line), at most 90 characters.
std::string QuotedText(std::string_view s) {
  std::size_t open = s.find('"');
  if (open == std::string_view::npos) return std::string(TrimLeft(s).substr(0, kTextKeep));
  std::string_view t = s.substr(open + 1);
  std::size_t close = t.find('"');
  if (close != std::string_view::npos) t = t.substr(0, close);
  return std::string(t.substr(0, kTextKeep));
}

// The object keyword at the start of a line, 0 for a clause line or a
// stray number, kUnknown for any other word.
int ObjectCode(std::string_view t) {
  static const std::pair<const char*, int> kWords[] = {
      {"NONE", kNone},   {"POIN", kPoint}, {"LINE", kLine},       {"PLIN", kPline},
      {"REGI", kRegion}, {"TEXT", kText},  {"RECT", kRect},       {"ROUN", kRoundRect},
      {"ELIP", kEllipse}, {"ELLI", kEllipse}, {"MULT", kMultiPoint}, {"COLL", kCollection}};
  for (const auto& [word, code] : kWords)
    if (StartsWithWord(t, word, 4)) return code;
  if (StartsWithWord(t, "ARC", 3)) return kArc;
  static const char* const kClauses[] = {"PEN", "BRUSH", "SYMBOL", "SMOOTH", "CENTER", "FONT",
                                         "SPACING", "JUSTIFY", "ANGLE", "LABEL"};
  for (const char* clause : kClauses) {
    std::string_view w = clause;
    if (StartsWithWord(t, w, w.size()) &&
        (t.size() == w.size() || !std::isalnum(static_cast<unsigned char>(t[w.size()]))))
      return 0;
  }
  if (t.empty() || !std::isalpha(static_cast<unsigned char>(t[0]))) return 0;
  return kUnknown;
}

// Reads the coordinates of one object (or one part of a collection) whose
// keyword line is `line`, adding its rows. `partBase` numbers its sections
// after those of earlier parts of the same collection.
void ReadObject(int code, std::string_view line, LineReader& lines, int64_t most, int64_t object,
                int rowCode, int64_t& partBase, Rows& rows) {
  std::string_view t = TrimLeft(line);
  std::size_t word = 0;
  while (word < t.size() && std::isalpha(static_cast<unsigned char>(t[word]))) ++word;
  Numbers nums{lines, t.substr(word)};
  const double m = kMissingValue;
  auto corners = [&](bool rounded) {
    double v[4];
    for (double& d : v)
      if (!nums.Next(d)) d = m;
    double radius = m;
    if (rounded && !nums.Next(radius)) radius = m;
    const double cx[4] = {v[0], v[0], v[2], v[2]};
    const double cy[4] = {v[1], v[3], v[3], v[1]};
    for (int k = 0; k < 4; ++k) {
      if (rounded) rows.radii.emplace_back(rows.count, radius);
      rows.Add(rowCode, object, partBase + 1, k, cx[k], cy[k]);
    }
    partBase += 1;
  };
  auto sections = [&](int64_t count) {
    for (int64_t k = 0; k < count; ++k) {
      int64_t points = 0;
      if (!nums.Count(most, points)) break;
      for (int64_t j = 0; j < points; ++j) {
        double px = m, py = m;
        if (!nums.Next(px) || !nums.Next(py)) return;
        rows.Add(rowCode, object, partBase + k + 1, j + 1, px, py);
      }
    }
  };
  switch (code) {
    case kPoint: {
      double px = m, py = m;
      if (nums.Next(px)) nums.Next(py);
      rows.Add(rowCode, object, partBase + 1, 1, px, py);
      partBase += 1;
      break;
    }
    case kLine:
    case kArc:
    case kText: {
      std::string text;
      if (code == kText) {
        std::string_view rest = t.substr(word);
        if (rest.find('"') == std::string_view::npos) {
          std::string_view next;
          if (lines.NextFilled(next)) rest = next;
        }
        text = QuotedText(rest);
        nums.rest = {};
      }
      double v[4];
      for (double& d : v)
        if (!nums.Next(d)) d = m;
      double angles[2] = {m, m};
      if (code == kArc)
        if (nums.Next(angles[0])) nums.Next(angles[1]);
      for (int k = 0; k < 2; ++k) {
        if (code == kText) rows.textLabels.emplace_back(rows.count, text);
        if (code == kArc) rows.arcAngles.emplace_back(rows.count, angles[k]);
        rows.Add(rowCode, object, partBase + 1, k, v[2 * k], v[2 * k + 1]);
      }
      partBase += 1;
      break;
    }
    case kRect:
    case kEllipse:
      corners(false);
      break;
    case kRoundRect:
      corners(true);
      break;
    case kPline: {
      int64_t count = 1;
      if (nums.Word("MULTIPLE")) {
        if (!nums.Count(most, count)) count = 0;
      }
      sections(count);
      partBase += count;
      break;
    }
    case kRegion: {
      int64_t count = 0;
      if (!nums.Count(most, count)) count = 0;
      sections(count);
      partBase += count;
      break;
    }
    case kMultiPoint: {
      int64_t points = 0;
      if (nums.Count(most, points)) {
        for (int64_t j = 0; j < points; ++j) {
          double px = m, py = m;
          if (!nums.Next(px) || !nums.Next(py)) break;
          rows.Add(rowCode, object, partBase + 1, j + 1, px, py);
        }
      }
      partBase += 1;
      break;
    }
    default:
      break;
  }
}

// Splits a MID record at the delimiter outside double quotes; quotes are
// dropped and a doubled quote inside them is one quote.
void SplitRecord(std::string_view record, char delimiter, std::vector<std::string>& fields) {
  fields.clear();
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < record.size(); ++i) {
    char c = record[i];
    if (quoted) {
      if (c == '"') {
        if (i + 1 < record.size() && record[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          quoted = false;
        }
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == delimiter) {
      fields.push_back(std::move(field));
      field.clear();
    } else {
      field += c;
    }
  }
  fields.push_back(std::move(field));
}

// One MID record: a line, continued over line ends that lie inside quotes.
bool NextRecord(LineReader& mid, std::string& record) {
  std::string_view line;
  if (!mid.Next(line)) return false;
  record.assign(line);
  bool quoted = false;
  for (;;) {
    for (char c : line)
      if (c == '"') quoted = !quoted;
    if (!quoted || !mid.Next(line)) return true;
    record += '\n';
    record.append(line);
  }
}

// A decimal(w,d) value prints back as the same number with d fixed decimals.
bool FitsDecimals(double x, int decimals) {
  char text[kNumberTextSize];
  auto r = std::to_chars(text, text + sizeof text, x, std::chars_format::fixed, decimals);
  if (r.ec != std::errc()) return false;
  bool rangeError = false;
  return ParseDecimal(text, r.ptr, nullptr, &rangeError) == x;
}

// Date: YYYYMMDD; DateTime adds hhmmss and milliseconds, kept as the
// fraction of the day.
double DateValue(std::string_view f, double missing) {
  f = TrimLeft(f);
  double day = DecodeDbaseDate(f, missing);
  if (!(day > missing) || f.size() < 14) return day;
  int parts[4] = {0, 0, 0, 0};
  const std::size_t widths[4] = {2, 2, 2, 3};
  std::size_t at = 8;
  for (int k = 0; k < 4 && at < f.size(); ++k) {
    std::string_view digits = f.substr(at, widths[k]);
    auto r = std::from_chars(digits.data(), digits.data() + digits.size(), parts[k]);
    if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) return day;
    at += widths[k];
  }
  return day + (parts[0] * 3600000.0 + parts[1] * 60000.0 + parts[2] * 1000.0 + parts[3]) / 86400000.0;
}

bool ParseColumn(std::string_view line, Declared& d) {
  std::string_view t = TrimLeft(line);
  std::size_t blank = t.find_first_of(" \t");
  std::string_view name = t.substr(0, blank);
  if (name.empty()) return false;
  CopyLimited(d.name, name, kNameLength);
  std::string_view type = blank == std::string_view::npos ? std::string_view() : TrimLeft(t.substr(blank));
  if (StartsWithWord(type, "CHAR", 4)) {
    d.type = ColumnType::Text;
  } else if (StartsWithWord(type, "INTE", 4) || StartsWithWord(type, "SMAL", 4) ||
             StartsWithWord(type, "FLOA", 4)) {
    d.type = ColumnType::Number;
  } else if (StartsWithWord(type, "DECI", 4)) {
    d.type = ColumnType::Decimal;
    std::size_t comma = type.find(',');
    if (comma != std::string_view::npos) {
      std::string_view after = TrimLeft(type.substr(comma + 1));
      int v = 0;
      auto r = std::from_chars(after.data(), after.data() + after.size(), v);
      if (r.ec == std::errc() && v >= 0) d.decimals = std::min(v, 16);
    }
  } else if (StartsWithWord(type, "DATE", 4)) {
    d.type = ColumnType::Date;
  } else if (StartsWithWord(type, "LOGI", 4)) {
    d.type = ColumnType::Logical;
  } else {
    // Time, LargeInt and anything unknown keep their characters: a 64-bit
    // integer does not always survive as a double.
    d.type = ColumnType::Text;
  }
  return true;
}

}  // namespace

int16_t ReadMapInfo(const char* path) {
  if (!path) return 0;
  LineReader mif;
  if (!mif.file.Open(path)) {
    std::printf("MapInfo File %s was not found\n", path);
    return 0;
  }
  const std::string name = path;
  const std::size_t dot = name.rfind('.');
  std::string ending = dot == std::string::npos ? std::string() : name.substr(dot);
  for (char& c : ending) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::size_t mifAt = ending.find(".MIF");
  if (mifAt == std::string::npos) {
    std::printf("MapInfo File %s must use the extension .MIF\n", path);
    return 0;
  }
  const std::size_t extension = dot + mifAt;
  if (extension >= 253) {
    std::printf("MapInfo Filename %.200s is too long\n", path);
    return 0;
  }
  const std::string stem = name.substr(0, extension + 1);
  const std::string after = name.substr(extension + 4);
  LineReader mid;
  bool hasMid = false;
  std::string midName = FindCompanionFile(stem, name.substr(extension + 1, 3), "MID", after);
  if (midName.empty())
    std::printf("MapInfo Data record file %s was not found\n", (stem + "MID" + after).c_str());
  else
    hasMid = mid.file.Open(midName.c_str());

  // Header.
  std::string_view line;
  if (!mif.NextFilled(line) || !StartsWithWord(TrimLeft(line), "VERSION", 4)) {
    std::printf("%s is not a valid MapInfo file\n", path);
    return 0;
  }
  char delimiter = '\t';
  std::vector<Declared> declared;
  while (mif.NextFilled(line)) {
    std::string_view t = TrimLeft(line);
    if (StartsWithWord(t, "DATA", 4)) break;
    if (StartsWithWord(t, "DELI", 4)) {
      std::size_t q = t.find('"');
      if (q != std::string_view::npos && q + 1 < t.size()) delimiter = t[q + 1];
    } else if (StartsWithWord(t, "COLU", 4)) {
      std::size_t word = 0;
      while (word < t.size() && std::isalpha(static_cast<unsigned char>(t[word]))) ++word;
      std::string_view n = TrimLeft(t.substr(word));
      int64_t count = 0;
      std::from_chars(n.data(), n.data() + n.size(), count);
      // One declaration a line: never more than the lines left.
      count = std::clamp<int64_t>(count, 0, mif.file.Left() / 2 + 1);
      for (int64_t k = 0; k < count && mif.NextFilled(line); ++k) {
        Declared d;
        if (ParseColumn(line, d)) declared.push_back(std::move(d));
      }
    }
  }

  const long limit = State().columnLimit;
  bool limitWarned = false;
  auto warnLimit = [&] {
    if (!limitWarned)
      std::printf("Maximum number of columns (%i) exceeded.\nIgnoring extra columns.\n",
                  static_cast<int>(limit));
    limitWarned = true;
  };
  if (hasMid && static_cast<long>(declared.size()) > limit) {
    warnLimit();
    declared.resize(static_cast<std::size_t>(limit));
  }
  std::vector<Attribute> attributes;
  if (hasMid)
    for (Declared& d : declared) {
      Attribute a;
      a.declared = std::move(d);
      attributes.push_back(std::move(a));
    }

  // Objects, each with its MID record.
  Rows rows;
  bool cut = false;
  bool tooMany = false;
  bool hasText = false, hasArc = false, hasRound = false;
  int64_t objects = 0;
  std::string record;
  std::vector<std::string> fields;
  const double missing = kMissingValue;
  while (mif.NextFilled(line)) {
    int code = ObjectCode(TrimLeft(line));
    if (code == 0) continue;
    const int64_t object = ++objects;
    const int64_t before = rows.count;
    const int64_t most = mif.file.Left();
    int64_t partBase = 0;
    rows.level = std::max(rows.level, Level(code));
    if (code == kCollection) {
      std::string_view t = TrimLeft(line);
      std::size_t word = 0;
      while (word < t.size() && std::isalpha(static_cast<unsigned char>(t[word]))) ++word;
      Numbers nums{mif, t.substr(word)};
      int64_t parts = 0;
      if (!nums.Count(most, parts)) parts = 0;
      for (int64_t k = 0; k < parts;) {
        if (!mif.NextFilled(line)) break;
        int part = ObjectCode(TrimLeft(line));
        if (part == 0) continue;
        if (part == kCollection || part == kUnknown || part == kNone) {
          mif.Again();
          break;
        }
        ++k;
        if (part == kText) hasText = true;
        if (part == kArc) hasArc = true;
        if (part == kRoundRect) hasRound = true;
        ReadObject(part, line, mif, most, object, kCollection, partBase, rows);
      }
    } else if (code == kNone || code == kUnknown) {
      rows.Add(code, object, 1, missing, missing, missing);
    } else {
      if (code == kText) hasText = true;
      if (code == kArc) hasArc = true;
      if (code == kRoundRect) hasRound = true;
      ReadObject(code, line, mif, most, object, code, partBase, rows);
    }
    if (rows.count == before) rows.Add(code, object, 1, missing, missing, missing);
    if (rows.count > std::numeric_limits<int32_t>::max() - 1) {
      tooMany = true;
      break;
    }
    const int64_t n = rows.count - before;
    const bool gotRecord = hasMid && NextRecord(mid, record);
    if (gotRecord) SplitRecord(record, delimiter, fields);
    else fields.clear();
    for (std::size_t k = 0; k < attributes.size(); ++k) {
      Attribute& a = attributes[k];
      std::string_view f = k < fields.size() ? std::string_view(fields[k]) : std::string_view();
      if (a.declared.type == ColumnType::Text) {
        if (f.size() > kTextKeep) {
          cut = true;
          f = f.substr(0, kTextKeep);
        }
        a.longest = std::max(a.longest, static_cast<int>(f.size()));
        for (int64_t r = 0; r < n; ++r) a.texts.Push(f);
        continue;
      }
      double v = missing;
      switch (a.declared.type) {
        case ColumnType::Date: v = DateValue(f, missing); break;
        case ColumnType::Logical: v = DecodeDbaseLogical(TrimLeft(f), missing); break;
        default: v = f.empty() ? missing : DecodeDbaseNumber(f, missing); break;
      }
      if (a.declared.type == ColumnType::Decimal && a.fitsDecimals && v > missing &&
          a.declared.decimals >= 0 && !FitsDecimals(v, a.declared.decimals))
        a.fitsDecimals = false;
      for (int64_t r = 0; r < n; ++r) a.numbers.Push(v);
    }
  }
  if (mif.file.failed || mid.file.failed) return 0;
  if (tooMany) std::printf("MapInfo File %s holds more points than one table can take: the rest is left out.\n", path);

  // The Dataset.
  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(rows.count);
  if (!CreateRows(dataset)) return 0;
  const int32_t count = dataset->rowCount;

  auto addNumbers = [&](std::string_view columnName, GrowingNumbers& values) {
    return AddGrownNumbers(dataset, columnName, values, count);
  };
  auto addTexts = [&](std::string_view columnName, GrowingTexts& values, int longest) {
    return AddGrownTexts(dataset, columnName, values, count, longest);
  };
  std::vector<Column*> identifiers;
  Column* featureColumn = nullptr;
  if (rows.level >= 2) {
    if ((featureColumn = addNumbers("Feature", rows.feature))) identifiers.push_back(featureColumn);
    if (Column* c = addNumbers("REC", rows.rec)) identifiers.push_back(c);
    if (rows.level >= 4)
      if (Column* c = addNumbers("PART", rows.part)) identifiers.push_back(c);
    if (rows.level >= 3)
      if (Column* c = addNumbers("PNT", rows.pnt)) identifiers.push_back(c);
    addNumbers("X", rows.x);
    addNumbers("Y", rows.y);
  }
  if (hasText) {
    GrowingTexts labels;
    int longest = 0;
    for (const auto& [row, text] : rows.textLabels) {
      while (labels.used < row) labels.Push({});
      labels.Push(text);
      longest = std::max(longest, static_cast<int>(text.size()));
    }
    addTexts("TextLabel", labels, longest);
  }
  for (int k = 0; k < 2; ++k) {
    if (!(k == 0 ? hasArc : hasRound)) continue;
    GrowingNumbers values;
    for (const auto& [row, v] : k == 0 ? rows.arcAngles : rows.radii) {
      while (values.used < row) values.Push(missing);
      values.Push(v);
    }
    addNumbers(k == 0 ? "ArcAngle" : "RectRound", values);
  }
  for (Attribute& a : attributes) {
    const std::string& columnName = a.declared.name;
    if (a.declared.type == ColumnType::Text) {
      if (!addTexts(columnName, a.texts, a.longest)) {
        warnLimit();
        break;
      }
      continue;
    }
    Column* c = addNumbers(columnName, a.numbers);
    if (!c) {
      warnLimit();
      break;
    }
    // Fixed decimals as declared when every value prints back exactly so.
    if (a.declared.type == ColumnType::Decimal && a.declared.decimals >= 0 && a.fitsDecimals) {
      c->decimals = a.declared.decimals;
      c->valueFormat = 3;
    }
  }

  for (Column* c : identifiers) ConvertColumn(c, ColumnKind::Variate, ColumnKind::Factor, true, true);
  if (featureColumn && featureColumn->kind == ColumnKind::Factor) {
    std::vector<std::string> labels;
    for (int32_t k = 1; k <= featureColumn->levelCount; ++k) {
      double v = featureColumn->levelValueCount >= k ? featureColumn->levelValues.Get(k - 1) : k;
      if (v >= static_cast<double>(kNone) && v <= static_cast<double>(kUnknown))
        labels.push_back(kCodeLabels[static_cast<int>(v) - 1]);
      else
        labels.push_back(std::to_string(k));
    }
    SetLabelList(featureColumn, labels);
    int longest = 0;
    for (const std::string& l : labels) longest = std::max(longest, static_cast<int>(l.size()));
    featureColumn->longestLabel = longest;
    featureColumn->factorDisplay = 2;
    featureColumn->valueFormat = 4;
  }
  for (Column* c : identifiers)
    if (c->kind == ColumnKind::Factor) ComputeWidth(c);
  dataset->changed = 1;
  if (cut)
    std::printf("Some Text columns from MapInfo File %s\n were truncated to %i characters\n", path,
                static_cast<int>(kTextKeep));
  return 1;
}

}  // namespace trovadex
