// S data frames in the line-oriented data-dump text (".sdd"): every item on
// a line of its own (a name, a mode word, a length, or one value). An object
// is its name, its mode and its length, then as many values, or for a
// "structure" or a "list" as many objects. A data frame is a structure whose
// ".Data" list holds the columns, with "row.names" and a "class" naming
// "data.frame". The file is read twice: once for its structure, once for the
// values of each column, taken from where the first pass found them.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/dataset.h"
#include "core/format.h"
#include "core/names.h"
#include "readers/matrix_input.h"
#include "readers/readers.h"
#include "readers/splus_frame.h"

namespace trovadex {

namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
// Structures nest this deep at most (a deeper file is taken as damaged, not
// followed down the stack).
constexpr int kMaxDepth = 64;

// Whole lines of any length from a block buffer; the line end (LF or CR LF)
// is removed. A line stays valid until the next call.
class LineInput {
 public:
  ~LineInput() {
    if (file_) std::fclose(file_);
  }
  bool Open(const char* path) {
    file_ = path ? std::fopen(path, "rb") : nullptr;
    if (!file_ || fseeko(file_, 0, SEEK_END) != 0) return false;
    size_ = static_cast<int64_t>(ftello(file_));
    return size_ >= 0 && fseeko(file_, 0, SEEK_SET) == 0;
  }
  int64_t size() const { return size_; }
  int64_t Offset() const { return start_ + static_cast<int64_t>(pos_); }
  bool Seek(int64_t offset) {
    if (offset >= start_ && offset <= start_ + static_cast<int64_t>(buffer_.size())) {
      pos_ = static_cast<std::size_t>(offset - start_);  // still in the buffer
      scanned_ = pos_;
      return true;
    }
    if (offset < 0 || offset > size_ || fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
    buffer_.clear();
    pos_ = scanned_ = 0;
    start_ = offset;
    ended_ = false;
    return true;
  }
  bool Next(std::string_view& line) {
    for (;;) {
      // A long line is searched for its end once, not again after each refill.
      scanned_ = std::max(scanned_, pos_);
      const char* from = buffer_.data() + pos_;
      const void* end = std::memchr(buffer_.data() + scanned_, '\n', buffer_.size() - scanned_);
      if (end || ended_) {
        if (!end && pos_ == buffer_.size()) return false;
        const std::size_t n = end ? static_cast<std::size_t>(static_cast<const char*>(end) - from) : buffer_.size() - pos_;
        line = std::string_view(from, n);
        pos_ += n + (end ? 1 : 0);
        scanned_ = pos_;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return true;
      }
      scanned_ = buffer_.size() - pos_;
      buffer_.erase(0, pos_);
      start_ += static_cast<int64_t>(pos_);
      pos_ = 0;
      const std::size_t had = buffer_.size();
      buffer_.resize(had + kBlockBytes);
      const std::size_t got = std::fread(buffer_.data() + had, 1, kBlockBytes, file_);
      buffer_.resize(had + got);
      if (got == 0) {
        if (std::ferror(file_)) return false;
        ended_ = true;
      }
    }
  }
  bool Close() {
    const bool ok = file_ && !std::ferror(file_);
    const bool closed = file_ && std::fclose(file_) == 0;
    file_ = nullptr;
    return ok && closed;
  }

 private:
  std::FILE* file_ = nullptr;
  int64_t size_ = 0;
  std::string buffer_;
  std::size_t pos_ = 0;
  std::size_t scanned_ = 0;  // no line end in buffer_[pos_, scanned_)
  int64_t start_ = 0;        // file offset of buffer_[0]
  bool ended_ = false;
};

bool Same(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

enum class Type { Skipped, Logical, Numeric, Character, Factor, Dates };

// Where a column's values are and what they become.
struct ColumnPlan {
  std::string name;
  Type type = Type::Skipped;
  int64_t count = 0;
  int64_t valuesAt = 0;
  int64_t labelCount = -1;  // -1: no ".Label"
  int64_t labelsAt = 0;
  double origin[3] = {1, 1, 1960};  // month, day, year
  bool isFactor = false;
  bool isDates = false;
};

struct Header {
  std::string name;
  std::string mode;
  int64_t length = 0;
};

class DumpScan {
 public:
  explicit DumpScan(LineInput& in) : in_(in) {}

  bool ReadHeader(Header& h) {
    std::string_view line;
    if (!in_.Next(line)) return false;
    h.name.assign(line);
    if (!in_.Next(line)) return false;
    h.mode.assign(TrimText(line, 40));
    if (!in_.Next(line)) return false;
    return ParseCount(line, h.length);
  }

  // A length: digits (blanks around allowed), never more items than the
  // file has lines left.
  bool ParseCount(std::string_view line, int64_t& n) {
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
    if (line.empty() || line.size() > 15) return false;
    n = 0;
    for (char c : line) {
      if (c < '0' || c > '9') return false;
      n = n * 10 + (c - '0');
    }
    return n <= in_.size() - in_.Offset();
  }

  bool IsNested(const Header& h) { return Same(h.mode, "structure") || Same(h.mode, "list"); }

  // The rest of an object whose header was read.
  bool SkipBody(const Header& h, int depth) {
    if (depth > kMaxDepth) return false;
    std::string_view line;
    if (!IsNested(h)) {
      for (int64_t i = 0; i < h.length; ++i)
        if (!in_.Next(line)) return false;
      return true;
    }
    for (int64_t i = 0; i < h.length; ++i) {
      Header inner;
      if (!ReadHeader(inner) || !SkipBody(inner, depth + 1)) return false;
    }
    return true;
  }

  // Hands each of the next n lines to `each` (nothing is kept).
  template <class Each>
  bool ScanLines(int64_t n, Each&& each) {
    std::string_view line;
    for (int64_t i = 0; i < n; ++i) {
      if (!in_.Next(line)) return false;
      each(i, line);
    }
    return true;
  }

  // A column object of the ".Data" list.
  bool ReadColumn(ColumnPlan& plan) {
    Header h;
    if (!ReadHeader(h)) return false;
    plan.name = h.name;
    if (Same(h.mode, "structure")) return ReadColumnStructure(h, plan);
    if (Same(h.mode, "logical")) plan.type = Type::Logical;
    else if (Same(h.mode, "integer") || Same(h.mode, "single") || Same(h.mode, "numeric") || Same(h.mode, "double"))
      plan.type = Type::Numeric;
    else if (Same(h.mode, "character"))
      plan.type = Type::Character;
    plan.count = h.length;
    plan.valuesAt = in_.Offset();
    return SkipBody(h, 1);
  }

  bool ReadColumnStructure(const Header& s, ColumnPlan& plan) {
    bool haveData = false;
    for (int64_t a = 0; a < s.length; ++a) {
      Header h;
      if (!ReadHeader(h)) return false;
      if (h.name == ".Data" && !IsNested(h)) {
        haveData = true;
        plan.count = h.length;
        plan.valuesAt = in_.Offset();
      } else if (h.name == ".Label" && Same(h.mode, "character")) {
        plan.labelCount = h.length;
        plan.labelsAt = in_.Offset();
      } else if (h.name == "class" && Same(h.mode, "character")) {
        if (!ScanLines(h.length, [&](int64_t, std::string_view c) {
              if (c == "factor") plan.isFactor = true;
              if (c == "dates") plan.isDates = true;
            }))
          return false;
        continue;
      } else if (h.name == "origin" && Same(h.mode, "structure")) {
        if (!ReadOrigin(h, plan)) return false;
        continue;
      }
      if (!SkipBody(h, 2)) return false;
    }
    if (haveData && plan.isFactor) plan.type = Type::Factor;
    else if (haveData && plan.isDates) plan.type = Type::Dates;
    return true;
  }

  // The origin of "dates": a structure whose ".Data" holds month, day, year.
  bool ReadOrigin(const Header& s, ColumnPlan& plan) {
    for (int64_t a = 0; a < s.length; ++a) {
      Header h;
      if (!ReadHeader(h)) return false;
      if (h.name != ".Data" || IsNested(h)) {
        if (!SkipBody(h, 3)) return false;
        continue;
      }
      if (!ScanLines(h.length, [&](int64_t i, std::string_view part) {
            if (i >= 3) return;
            const std::string text(part.substr(0, 100));
            const char* end = nullptr;
            const double x = ParseDecimal(text.c_str(), &end, nullptr);
            if (end != text.c_str()) plan.origin[i] = x;
          }))
        return false;
    }
    return true;
  }

 private:
  LineInput& in_;
};

// A number line: "N" is missing, as is a line without a number; logical
// vectors may also hold T, F, TRUE and FALSE.
double ValueOf(std::string_view line, bool logical) {
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  if (line.empty() || line.front() == 'N') return kMissingValue;
  if (logical) {
    if (line == "T" || line == "TRUE") return 1;
    if (line == "F" || line == "FALSE") return 0;
  }
  char buf[90];
  const std::size_t n = std::min(line.size(), sizeof buf - 1);
  std::memcpy(buf, line.data(), n);
  buf[n] = 0;
  const char* end = nullptr;
  const double x = ParseDecimal(buf, &end, nullptr);
  if (end == buf) return kMissingValue;
  return x == HUGE_VAL ? kNumberCap : MatrixNumber(x);  // a written number too large to hold
}

void Fail(const char* path, const char* what) {
  std::printf("Error: S+ data dump %.100s %s.\n", path, what);
}

}  // namespace

int16_t ReadSplusText(const char* path) {
  LineInput in;
  if (!in.Open(path)) return 0;
  DumpScan scan(in);

  // Pass 1: the structure.
  Header top;
  if (!scan.ReadHeader(top) || !Same(top.mode, "structure") || top.length <= 0) {
    Fail(path, "does not begin with a structure");
    return 0;
  }
  std::vector<ColumnPlan> plans;
  bool haveData = false, frame = false, haveRowNames = false, rowNumbers = true;
  int64_t rows = 0, rowNamesAt = 0, rowNameCount = 0;
  for (int64_t a = 0; a < top.length; ++a) {
    Header h;
    if (!scan.ReadHeader(h)) {
      Fail(path, "ends inside its data frame");
      return 0;
    }
    if (h.name == ".Data") {
      if (!Same(h.mode, "list") || h.length <= 0) {
        Fail(path, "is not a data frame (its .Data is not a list)");
        return 0;
      }
      haveData = true;
      for (int64_t c = 0; c < h.length; ++c) {
        ColumnPlan plan;
        if (!scan.ReadColumn(plan)) {
          Fail(path, "ends inside a column");
          return 0;
        }
        if (plan.type != Type::Skipped) rows = std::max(rows, plan.count);
        plans.push_back(std::move(plan));
      }
    } else if (h.name == "row.names" && !scan.IsNested(h)) {
      haveRowNames = true;
      rowNamesAt = in.Offset();
      rowNameCount = h.length;
      rows = std::max(rows, h.length);
      std::string_view line;
      for (int64_t i = 0; i < h.length; ++i) {
        if (!in.Next(line)) {
          Fail(path, "ends inside its row names");
          return 0;
        }
        if (rowNumbers && !IsRowNumberName(line, i)) rowNumbers = false;
      }
    } else if (h.name == "class" && Same(h.mode, "character")) {
      if (!scan.ScanLines(h.length, [&](int64_t, std::string_view c) { frame = frame || c == "data.frame"; })) {
        Fail(path, "ends inside its class");
        return 0;
      }
    } else if (!scan.SkipBody(h, 1)) {
      Fail(path, "ends inside an attribute");
      return 0;
    }
  }
  if (!haveData || !frame) {
    Fail(path, "is not a data frame");
    return 0;
  }
  if (rows <= 0 || rows > INT32_MAX) {
    Fail(path, "holds no rows");
    return 0;
  }

  // Pass 2: the values of each column.
  Dataset* dataset = CreateDataset();
  dataset->name = SplusColumnName(top.name);
  dataset->sourceFormat = 14;
  dataset->rowCount = static_cast<int32_t>(rows);
  if (!CreateRows(dataset)) return 0;
  const long limit = State().columnLimit;
  if (static_cast<int64_t>(plans.size()) > limit) std::printf("Warning Columns above %li NOT transfered!\n", limit);

  std::string_view line;
  if (haveRowNames && !rowNumbers && dataset->columnCount < limit) {
    Column* names = AddColumn(dataset, ColumnKind::TextUnits, "RowName", kTextLength);
    if (!names || !AllocateValues(names, dataset->rowCount) || !in.Seek(rowNamesAt)) return 0;
    names->valueFormat = 4;
    for (int64_t r = 0; r < rowNameCount; ++r) {
      if (!in.Next(line)) return 0;
      SetText(names, r, SplusText(line, kTextLength));
    }
    dataset->unitsColumnCount = 2;
    SetSplusWidth(names);
  }

  for (const ColumnPlan& plan : plans) {
    if (plan.type == Type::Skipped) continue;
    const bool text = plan.type == Type::Character;
    const ColumnKind kind = text ? ColumnKind::Text : plan.type == Type::Factor ? ColumnKind::Factor : ColumnKind::Variate;
    Column* c = AddColumn(dataset, kind, SplusColumnName(plan.name), text ? kTextLength : 25);
    if (!c) break;  // the column limit
    if (!AllocateValues(c, dataset->rowCount) || !in.Seek(plan.valuesAt)) return 0;
    c->valueFormat = text ? 4 : 1;
    c->decimals = -1;
    int64_t largest = 0;
    const double origin = plan.type == Type::Dates
                              ? SplusDateOrigin(c, plan.origin[0], plan.origin[1], plan.origin[2])
                              : 0;
    for (int64_t r = 0; r < plan.count; ++r) {
      if (!in.Next(line)) return 0;
      if (text) {
        SetText(c, r, SplusText(line, kTextLength));
        continue;
      }
      double x = ValueOf(line, plan.type == Type::Logical);
      if (plan.type == Type::Factor) {
        x = x >= 1 && x < 2147483648.0 ? std::trunc(x) : kMissingValue;
        if (x > 0) largest = std::max(largest, static_cast<int64_t>(x));
      } else if (plan.type == Type::Dates && x > kMissingValue) {
        x = std::trunc(x) + origin;
      }
      SetNumber(c, r, x);
    }
    if (plan.type == Type::Factor) {
      // Labels for every level used (more are unused levels, fewer cannot be).
      std::vector<std::string> labels;
      if (plan.labelCount >= 0) {
        if (plan.labelCount < largest) {
          Fail(path, "has a factor with fewer labels than levels");
          return 0;
        }
        if (!in.Seek(plan.labelsAt)) return 0;
        for (int64_t i = 0; i < plan.labelCount; ++i) {
          if (!in.Next(line)) return 0;
          labels.push_back(SplusText(line, kLabelLength));
        }
      }
      FinishSplusFactor(c, largest, labels);
    }
    if (plan.type == Type::Dates) c->valueFormat = 5;
    SetSplusWidth(c);
  }
  return in.Close() ? 1 : 0;
}

}  // namespace trovadex
