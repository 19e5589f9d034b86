// Helpers of the shapefile and MapInfo tests: running ogr2ogr, reading the
// CSV it writes, taking its WKT geometries apart into parts of points, and
// the values of factor columns.
#pragma once

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/dataset.h"
#include "test_support.h"

namespace trovadex::test {

inline bool HaveOgr() { return std::system("command -v ogr2ogr >/dev/null 2>&1") == 0; }

// Runs ogr2ogr with the arguments (already shell-quoted where needed) in
// `dir`; true when it succeeded.
inline bool Ogr(const std::string& dir, const std::string& args) {
  std::string cmd = "cd '" + dir + "' && ogr2ogr " + args + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// Records of a CSV text: fields split at commas outside double quotes,
// quotes dropped, a doubled quote read as one, line ends inside quotes kept.
inline std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> fields;
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.push_back(field);
      field.clear();
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      fields.push_back(field);
      field.clear();
      records.push_back(fields);
      fields.clear();
    } else {
      field += c;
    }
  }
  if (!field.empty() || !fields.empty()) {
    fields.push_back(field);
    records.push_back(fields);
  }
  return records;
}

// One point of a WKT geometry: X, Y and, when the geometry has them, Z and M.
struct WktPoint {
  double x = 0, y = 0, z = 0, m = 0;
};

// A WKT geometry as ogr2ogr writes it: its type (upper case, empty for an
// empty text), and its innermost coordinate lists in order, the points of a
// multipoint (or of a multipoint inside a collection) forming one list.
struct Wkt {
  std::string type;
  bool hasZ = false, hasM = false;
  std::vector<std::vector<WktPoint>> parts;
};

inline Wkt ParseWkt(const std::string& s) {
  Wkt g;
  std::size_t i = 0;
  auto blanks = [&] { while (i < s.size() && (s[i] == ' ' || s[i] == ',')) ++i; };
  auto word = [&] {
    blanks();
    std::string w;
    while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i])))
      w += static_cast<char>(std::toupper(static_cast<unsigned char>(s[i++])));
    return w;
  };
  g.type = word();
  std::string dim = g.type == "GEOMETRYCOLLECTION" ? "" : word();
  g.hasZ = dim.find('Z') != std::string::npos;
  g.hasM = dim.find('M') != std::string::npos;
  std::string member = g.type;
  std::size_t memberStart = 0;
  int depth = 0;
  while (i < s.size()) {
    blanks();
    if (i >= s.size()) break;
    char c = s[i];
    if (std::isalpha(static_cast<unsigned char>(c))) {
      member = word();
      memberStart = g.parts.size();
    } else if (c == '(') {
      ++depth;
      ++i;
    } else if (c == ')') {
      --depth;
      ++i;
    } else {  // a coordinate list
      std::vector<WktPoint> part;
      while (i < s.size() && s[i] != ')') {
        double v[4] = {0, 0, 0, 0};
        int n = 0;
        char* end = nullptr;
        while (n < 4 && (v[n] = std::strtod(s.c_str() + i, &end), end != s.c_str() + i)) {
          i = static_cast<std::size_t>(end - s.c_str());
          ++n;
        }
        WktPoint p{v[0], v[1], g.hasZ ? v[2] : 0, g.hasM ? v[g.hasZ ? 3 : 2] : 0};
        part.push_back(p);
        blanks();
      }
      if (member == "MULTIPOINT" && g.parts.size() > memberStart)
        g.parts.back().insert(g.parts.back().end(), part.begin(), part.end());
      else
        g.parts.push_back(part);
    }
  }
  return g;
}

// The value a factor's level stands for (its level value when it has them),
// or the number itself for other columns; missing stays missing.
inline double ShownValue(const Column* c, int64_t row) {
  double v = c->numbers.Get(row);
  if (c->kind != ColumnKind::Factor || !(v > kMissingValue)) return v;
  int64_t level = static_cast<int64_t>(v);
  if (c->levelValueCount >= level && level >= 1) return c->levelValues.Get(level - 1);
  return v;
}

inline Column* ColumnNamed(Dataset* d, const std::string& name) {
  for (Column* c = d->firstColumn; c; c = c->next)
    if (c->name == name) return c;
  return nullptr;
}

// The fixture of a GIS reader's tests: values looked up by column name.
template <int16_t (*Reader)(const char*)>
class GisReaderTest : public ReaderTest<Reader> {
 protected:
  double Value(const char* column, int64_t row) {
    Column* c = ColumnNamed(CurrentDataset(), column);
    return c ? ShownValue(c, row) : -1;
  }
};

}  // namespace trovadex::test
