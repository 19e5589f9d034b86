// The Dataset as an S data frame in the line-oriented data-dump text
// (".sdd"): one item a line (a name, a mode word, a length, or one value),
// lines ended with CR LF. Every length line is followed by exactly that many
// items, every attribute carries its mode line, and no name, label or text
// holds a line end, so that the dump restores as written.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "writers/writers.h"

namespace trovadex {

namespace {

constexpr std::size_t kFlushBytes = std::size_t{1} << 20;
constexpr std::size_t kObjectNameLength = 90;

enum class Block { Numeric, Factor, Character };

struct DumpColumn {
  const Column* column;
  Block block;
};

class DumpFile {
 public:
  explicit DumpFile(std::FILE* file) : file_(file) {}
  void Line(std::string_view text) {
    out_.append(text);
    out_.append("\r\n");
    if (out_.size() >= kFlushBytes) Flush();
  }
  void Count(int64_t n) { Line(std::to_string(n)); }
  // The shortest text that reads back as x.
  void Number(double x) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, x);
    Line(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
  }
  // A text on one line: its line ends become blanks. A lone "N" is the
  // missing value of a dump, so the text "N" goes out as "N " (read back
  // trimmed).
  void Text(std::string_view text) {
    std::string line(text);
    std::replace(line.begin(), line.end(), '\r', ' ');
    std::replace(line.begin(), line.end(), '\n', ' ');
    if (line == "N") line = "N ";
    Line(line);
  }
  bool Flush() {
    if (ok_ && !out_.empty()) ok_ = std::fwrite(out_.data(), 1, out_.size(), file_) == out_.size();
    out_.clear();
    return ok_;
  }

 private:
  std::FILE* file_;
  std::string out_;
  bool ok_ = true;
};

// A name the dump can carry: at most `limit` bytes, control characters made
// "_", no blanks at either end, never empty.
std::string DumpName(std::string_view text, std::size_t limit, std::string_view fallback) {
  std::string name(text.substr(0, limit));
  for (char& ch : name)
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '_';
  const std::size_t first = name.find_first_not_of(' ');
  if (first == std::string::npos) return std::string(fallback);
  name.erase(name.find_last_not_of(' ') + 1);
  return name.substr(first);
}

bool IsUnitsKind(ColumnKind kind) { return kind == ColumnKind::TextUnits || kind == ColumnKind::VariateUnits; }

bool IsMissingHere(const Dataset* d, double x) { return IsMissing(d, x) || IsMissingNumber(x); }

bool BlockOf(ColumnKind kind, Block& block) {
  switch (kind) {
    case ColumnKind::Scalar:
    case ColumnKind::Variate:
    case ColumnKind::MatrixColumn:
    case ColumnKind::Numeric6:
    case ColumnKind::SymmetricMatrixColumn:
    case ColumnKind::TableColumn:
    case ColumnKind::Numeric22:
    case ColumnKind::VariateUnits:
      block = Block::Numeric;
      return true;
    case ColumnKind::Factor:
      block = Block::Factor;
      return true;
    case ColumnKind::Text:
    case ColumnKind::TextUnits:
      block = Block::Character;
      return true;
    default:
      return false;
  }
}

// The level number of a factor value, 0 when missing.
int64_t LevelOf(const Dataset* d, double x) {
  if (IsMissingHere(d, x) || !(x >= 1) || x >= 2147483648.0) return 0;
  return static_cast<int64_t>(x);
}

void WriteFactor(DumpFile& out, const Dataset* d, const Column* c, int64_t rows) {
  const int64_t stored = std::min<int64_t>(c->valueCount, c->numbers.size());
  // Every value needs its level: a value above the level count gets one
  // labelled with its number.
  int64_t levels = std::max<int64_t>(c->levelCount, 0);
  for (int64_t r = 0; r < std::min(stored, rows); ++r) levels = std::max(levels, LevelOf(d, GetNumber(c, r)));
  out.Line("structure");
  out.Line("3");
  out.Line(".Data");
  out.Line("integer");
  out.Count(rows);
  for (int64_t r = 0; r < rows; ++r) {
    const int64_t level = r < stored ? LevelOf(d, GetNumber(c, r)) : 0;
    if (level == 0)
      out.Line("N");
    else
      out.Count(level);
  }
  out.Line(".Label");
  out.Line("character");
  out.Count(levels);
  for (int64_t k = 1; k <= levels; ++k) {
    if (c->factorDisplay == 1 && k <= c->levelValueCount && k <= c->levelValues.size())
      out.Number(c->levelValues.Get(k - 1));
    else if (c->factorDisplay == 2 && k <= c->labelCount && k <= c->labels.size())
      out.Text(c->labels.Get(k - 1));
    else
      out.Count(k);
  }
  out.Line("class");
  out.Line("character");
  out.Line("1");
  out.Line("factor");
}

void WriteColumn(DumpFile& out, const Dataset* d, const DumpColumn& dc, int64_t rows) {
  const Column* c = dc.column;
  switch (dc.block) {
    case Block::Numeric: {
      out.Line("numeric");
      out.Count(rows);
      const int64_t stored = std::min<int64_t>(c->valueCount, c->numbers.size());
      for (int64_t r = 0; r < rows; ++r) {
        const double x = r < stored ? GetNumber(c, r) : kMissingValue;
        if (IsMissingHere(d, x) || std::isnan(x))
          out.Line("N");
        else
          out.Number(std::min(x, kNumberCap));
      }
      break;
    }
    case Block::Character: {
      out.Line("character");
      out.Count(rows);
      const int64_t stored = std::min<int64_t>(c->valueCount, c->texts.size());
      for (int64_t r = 0; r < rows; ++r) out.Text(r < stored ? GetText(c, r) : std::string_view());
      break;
    }
    case Block::Factor:
      WriteFactor(out, d, c, rows);
      break;
  }
}

// Row names are always texts: a units column's values, or the row numbers
// where it has none.
void WriteRowNames(DumpFile& out, const Dataset* d, const Column* units, int64_t rows) {
  out.Line("row.names");
  out.Line("character");
  out.Count(rows);
  for (int64_t r = 0; r < rows; ++r) {
    if (units && units->kind == ColumnKind::TextUnits && r < std::min<int64_t>(units->valueCount, units->texts.size())) {
      out.Text(GetText(units, r));
      continue;
    }
    if (units && units->kind == ColumnKind::VariateUnits && r < std::min<int64_t>(units->valueCount, units->numbers.size())) {
      const double x = GetNumber(units, r);
      if (!IsMissingHere(d, x) && !std::isnan(x)) {
        out.Number(std::min(x, kNumberCap));
        continue;
      }
    }
    out.Count(r + 1);
  }
}

}  // namespace

int16_t WriteSplusDump(Dataset* dataset, const char* path) {
  if (!dataset || !path) return 0;
  if (dataset->shape == DatasetShape::SymmetricMatrix) {
    std::printf("Error: In Writing SPlus File - can not export symmetric matrix to Splus data transport file!");
    return 0;
  }
  if (dataset->rowCount <= 0 || dataset->columnCount <= 0 || !dataset->firstColumn) return 0;

  // Only a units kind is the row names; a table's classifying factors are
  // columns of their own.
  const Column* units = nullptr;
  std::vector<DumpColumn> columns;
  for (const Column* c = dataset->firstColumn->next; c; c = c->next) {
    if (!units && columns.empty() && IsUnitsKind(c->kind)) {
      units = c;
      continue;
    }
    Block block;
    if (BlockOf(c->kind, block)) columns.push_back({c, block});
  }

  std::FILE* file = std::fopen(path, "wb");
  if (!file) {
    std::printf("Error: In Writing SPlus File - could not open file: %.100s\n", path);
    return 0;
  }
  std::string_view base(path);
  const std::size_t slash = base.find_last_of("\\/:");
  if (slash != std::string_view::npos) base.remove_prefix(slash + 1);
  base = base.substr(0, base.rfind('.'));

  const int64_t rows = dataset->rowCount;
  DumpFile out(file);
  out.Line(DumpName(base, kObjectNameLength, "data"));
  out.Line("structure");
  out.Line("3");
  out.Line(".Data");
  out.Line("list");
  out.Count(static_cast<int64_t>(columns.size()));
  for (std::size_t i = 0; i < columns.size(); ++i) {
    out.Line(DumpName(columns[i].column->name, kNameLength, "C" + std::to_string(i + 1)));
    WriteColumn(out, dataset, columns[i], rows);
  }
  WriteRowNames(out, dataset, units, rows);
  out.Line("class");
  out.Line("character");
  out.Line("1");
  out.Line("data.frame");
  bool ok = out.Flush();
  if (std::fclose(file) != 0) ok = false;
  if (!ok) std::printf("Error: In Writing SPlus File - could not write file: %.100s\n", path);
  return ok ? 1 : 0;
}

}  // namespace trovadex
