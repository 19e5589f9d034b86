// Helpers of the shapefile and MapInfo tests: running ogr2ogr, reading the
// CSV it writes, taking its WKT geometries apart into parts of points, and
// the values of factor columns.
#pragma once

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/dataset.h"

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

struct Wkt {
  std::string type;  // upper case, "POINT", "MULTILINESTRING", ...
  bool hasZ = false, hasM = false;
  // The innermost coordinate lists, in order: the parts (or points of a
  // multipoint written with inner parentheses); for a collection, its
  // members' lists one after the other, with the member type of each.
  std::vector<std::vector<WktPoint>> parts;
  std::vector<std::string> partTypes;
};

namespace wkt_detail {
inline void SkipBlanks(const std::string& s, std::size_t& i) {
  while (i < s.size() && s[i] == ' ') ++i;
}
inline std::string Word(const std::string& s, std::size_t& i) {
  SkipBlanks(s, i);
  std::string w;
  while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i])))
    w += static_cast<char>(std::toupper(static_cast<unsigned char>(s[i++])));
  return w;
}
// A list at s[i] == '(': either nested lists or a list of coordinates.
inline void List(const std::string& s, std::size_t& i, Wkt& g, const std::string& memberType) {
  ++i;  // '('
  SkipBlanks(s, i);
  if (i < s.size() && s[i] == '(') {
    while (i < s.size() && s[i] == '(') {
      List(s, i, g, memberType);
      SkipBlanks(s, i);
      if (i < s.size() && s[i] == ',') ++i;
      SkipBlanks(s, i);
    }
  } else {
    std::vector<WktPoint> part;
    while (i < s.size() && s[i] != ')') {
      std::vector<double> v;
      while (i < s.size() && s[i] != ',' && s[i] != ')') {
        SkipBlanks(s, i);
        char* end = nullptr;
        v.push_back(std::strtod(s.c_str() + i, &end));
        i = static_cast<std::size_t>(end - s.c_str());
        SkipBlanks(s, i);
      }
      WktPoint p;
      p.x = v.size() > 0 ? v[0] : 0;
      p.y = v.size() > 1 ? v[1] : 0;
      if (g.hasZ && v.size() > 2) p.z = v[2];
      if (g.hasM) p.m = v.size() > (g.hasZ ? 3u : 2u) ? v[g.hasZ ? 3 : 2] : 0;
      part.push_back(p);
      if (i < s.size() && s[i] == ',') ++i;
    }
    g.parts.push_back(part);
    g.partTypes.push_back(memberType);
  }
  if (i < s.size() && s[i] == ')') ++i;
}
}  // namespace wkt_detail

// Parses the WKT text ogr2ogr writes; an empty text gives an empty type.
inline Wkt ParseWkt(const std::string& s) {
  using namespace wkt_detail;
  Wkt g;
  std::size_t i = 0;
  g.type = Word(s, i);
  if (g.type.empty()) return g;
  std::string dim = Word(s, i);
  g.hasZ = dim.find('Z') != std::string::npos;
  g.hasM = dim.find('M') != std::string::npos;
  SkipBlanks(s, i);
  if (g.type == "GEOMETRYCOLLECTION") {
    ++i;
    while (i < s.size() && s[i] != ')') {
      std::string member = Word(s, i);
      std::string memberDim = Word(s, i);
      (void)memberDim;
      SkipBlanks(s, i);
      if (i < s.size() && s[i] == '(') {
        std::size_t before = g.parts.size();
        List(s, i, g, member);
        // A multipoint member is one part of all its points.
        if (member == "MULTIPOINT" && g.parts.size() > before + 1) {
          std::vector<WktPoint> all;
          for (std::size_t k = before; k < g.parts.size(); ++k)
            all.insert(all.end(), g.parts[k].begin(), g.parts[k].end());
          g.parts.resize(before);
          g.partTypes.resize(before);
          g.parts.push_back(all);
          g.partTypes.push_back(member);
        }
      }
      SkipBlanks(s, i);
      if (i < s.size() && s[i] == ',') ++i;
    }
    return g;
  }
  if (i < s.size() && s[i] == '(') List(s, i, g, g.type);
  if (g.type == "MULTIPOINT" && g.parts.size() > 1) {
    std::vector<WktPoint> all;
    for (const auto& p : g.parts) all.insert(all.end(), p.begin(), p.end());
    g.parts = {all};
    g.partTypes = {g.type};
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

}  // namespace trovadex::test
