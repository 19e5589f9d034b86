// Office Open XML workbooks (.xlsx): a ZIP archive of XML parts. The
// workbook part names the sheets and the defined names, its relationships
// part says which entry holds each sheet, the shared-string table and the
// styles part (which number formats are dates) are read whole, and the
// chosen sheet's cells are streamed through expat into the same cell grid
// as the older binary workbooks, so that the Sheet and Range arguments, the
// "/w" listing and the conversion into columns behave the same.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/dataset.h"
#include "core/names.h"
#include "readers/grid.h"
#include "readers/readers.h"
#include "readers/xlsx.h"
#include "readers/zip.h"

#ifdef TROVADEX_HAVE_EXPAT
#include <expat.h>
#endif

namespace trovadex {

#if defined(TROVADEX_HAVE_EXPAT) && defined(TROVADEX_HAVE_ZLIB)

namespace {

constexpr int64_t kMaxRows = 1048576;
constexpr int64_t kMaxColumns = 16384;
// Bytes of text kept while a value is gathered: enough for any kept text
// (the grid cuts it) without letting one huge element fill memory.
constexpr std::size_t kGatherLimit = 4 * kKeptTextLength + 16;
// Whole parts (workbook, relationships, styles) are small; a larger one is
// not a workbook this reader trusts.
constexpr int64_t kSmallPartLimit = 64 * 1024 * 1024;
// Days from 1899-12-30 to 1904-01-01: a 1904-system serial plus this is the
// 1900-system serial of the same day.
constexpr double k1904Offset = 1462.0;

std::string_view LocalName(const char* name) {
  std::string_view n(name);
  std::size_t colon = n.rfind(':');
  return colon == std::string_view::npos ? n : n.substr(colon + 1);
}

const char* Attribute(const char** attributes, std::string_view local) {
  for (int i = 0; attributes[i] != nullptr; i += 2) {
    if (LocalName(attributes[i]) == local) return attributes[i + 1];
  }
  return nullptr;
}

// Handlers of one part; expat calls through a pointer to this.
struct XmlHandler {
  virtual ~XmlHandler() = default;
  virtual void Start(std::string_view name, const char** attributes) = 0;
  virtual void End(std::string_view name) = 0;
  virtual void Text(std::string_view) {}
  bool failed = false;
};

struct Parse {
  XML_Parser parser = nullptr;
  XmlHandler* handler = nullptr;
  bool refused = false;  // a document type declaration (entities) was met
};

void OnStart(void* data, const char* name, const char** attributes) {
  auto* p = static_cast<Parse*>(data);
  p->handler->Start(LocalName(name), attributes);
  if (p->handler->failed) XML_StopParser(p->parser, XML_FALSE);
}
void OnEnd(void* data, const char* name) {
  auto* p = static_cast<Parse*>(data);
  p->handler->End(LocalName(name));
}
void OnText(void* data, const char* text, int length) {
  auto* p = static_cast<Parse*>(data);
  if (length > 0) p->handler->Text(std::string_view(text, static_cast<std::size_t>(length)));
}
// Entity declarations are never expanded: a document that declares a type
// (and so could declare entities) is refused outright.
void OnDoctype(void* data, const char*, const char*, const char*, int) {
  auto* p = static_cast<Parse*>(data);
  p->refused = true;
  XML_StopParser(p->parser, XML_FALSE);
}
void OnEntity(void* data, const char*, int, const char*, int, const char*, const char*, const char*,
              const char*) {
  auto* p = static_cast<Parse*>(data);
  p->refused = true;
  XML_StopParser(p->parser, XML_FALSE);
}

// Streams one entry through the handler. Returns false with a message when
// the archive or the XML is damaged.
bool ParsePart(ZipArchive& zip, const ZipEntry& entry, XmlHandler& handler) {
  Parse p;
  p.handler = &handler;
  p.parser = XML_ParserCreate(nullptr);
  if (p.parser == nullptr) OutOfMemory();
  XML_SetUserData(p.parser, &p);
  XML_SetElementHandler(p.parser, OnStart, OnEnd);
  XML_SetCharacterDataHandler(p.parser, OnText);
  XML_SetStartDoctypeDeclHandler(p.parser, OnDoctype);
  XML_SetEntityDeclHandler(p.parser, OnEntity);
  XML_SetParamEntityParsing(p.parser, XML_PARAM_ENTITY_PARSING_NEVER);
  bool xmlOk = true;
  ZipStatus status = ReadZipEntry(zip, entry, [&](const char* bytes, std::size_t size) {
    while (size > 0) {
      int piece = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
      if (XML_Parse(p.parser, bytes, piece, 0) != XML_STATUS_OK) {
        xmlOk = false;
        return false;
      }
      bytes += piece;
      size -= static_cast<std::size_t>(piece);
    }
    return true;
  });
  if (status == ZipStatus::Ok && xmlOk && XML_Parse(p.parser, nullptr, 0, 1) != XML_STATUS_OK) xmlOk = false;
  std::string where = entry.name;
  long line = static_cast<long>(XML_GetCurrentLineNumber(p.parser));
  XML_ParserFree(p.parser);
  if (p.refused) {
    std::printf("Error: %s of the workbook declares entities; it is not read.\n", where.c_str());
    return false;
  }
  if (status == ZipStatus::NoZlib) {
    std::printf("Error: this build cannot inflate compressed workbook parts.\n");
    return false;
  }
  if ((status != ZipStatus::Ok && status != ZipStatus::Stopped) || (status == ZipStatus::Stopped && xmlOk)) {
    std::printf("Error: the workbook part %s is damaged or too large.\n", where.c_str());
    return false;
  }
  if (!xmlOk || handler.failed) {
    std::printf("Error: the workbook part %s is not well-formed XML (line %ld).\n", where.c_str(), line);
    return false;
  }
  return true;
}

// "xl/" + target, or the target from the archive root when it starts with "/".
std::string PartName(std::string_view base, std::string_view target) {
  if (!target.empty() && target.front() == '/') return std::string(target.substr(1));
  std::string out(base);
  while (target.substr(0, 3) == "../") {
    target.remove_prefix(3);
    std::size_t slash = out.find_last_of('/', out.size() >= 2 ? out.size() - 2 : 0);
    out = slash == std::string::npos ? std::string() : out.substr(0, slash + 1);
  }
  return out + std::string(target);
}

struct BookSheet {
  std::string name;
  std::string relation;
  bool worksheet = false;
  std::string part;
};

struct DefinedName {
  std::string name;
  std::string formula;
  bool skip = false;
};

struct WorkbookHandler : XmlHandler {
  std::vector<BookSheet> sheets;
  std::vector<DefinedName> names;
  bool date1904 = false;
  bool inName = false;
  void Start(std::string_view name, const char** a) override {
    if (name == "sheet") {
      const char* n = Attribute(a, "name");
      const char* id = Attribute(a, "id");
      sheets.push_back({n ? n : "", id ? id : "", false, {}});
    } else if (name == "workbookPr") {
      const char* d = Attribute(a, "date1904");
      date1904 = d && (std::strcmp(d, "1") == 0 || std::strcmp(d, "true") == 0);
    } else if (name == "definedName") {
      const char* n = Attribute(a, "name");
      const char* hidden = Attribute(a, "hidden");
      DefinedName d;
      d.name = n ? n : "";
      d.skip = d.name.rfind("_xlnm.", 0) == 0 || (hidden && (std::strcmp(hidden, "1") == 0 ||
                                                             std::strcmp(hidden, "true") == 0));
      names.push_back(std::move(d));
      inName = true;
    }
  }
  void End(std::string_view name) override {
    if (name == "definedName") inName = false;
  }
  void Text(std::string_view t) override {
    if (inName && !names.empty() && names.back().formula.size() < 1024) names.back().formula.append(t);
  }
};

struct RelsHandler : XmlHandler {
  struct Rel {
    std::string id, type, target;
  };
  std::vector<Rel> rels;
  void Start(std::string_view name, const char** a) override {
    if (name != "Relationship") return;
    const char* id = Attribute(a, "Id");
    const char* type = Attribute(a, "Type");
    const char* target = Attribute(a, "Target");
    rels.push_back({id ? id : "", type ? type : "", target ? target : ""});
  }
  void End(std::string_view) override {}
};

// Shared strings: the text of each <si>, its rich-text runs joined and its
// phonetic runs left out.
struct StringsHandler : XmlHandler {
  std::vector<std::string> strings;
  bool inItem = false, inText = false;
  int phonetic = 0;
  void Start(std::string_view name, const char**) override {
    if (name == "si") {
      inItem = true;
      strings.emplace_back();
    } else if (name == "rPh") {
      ++phonetic;
    } else if (name == "t" && inItem && phonetic == 0) {
      inText = true;
    }
  }
  void End(std::string_view name) override {
    if (name == "si") inItem = false;
    else if (name == "rPh") --phonetic;
    else if (name == "t") inText = false;
  }
  void Text(std::string_view t) override {
    if (!inText || strings.empty()) return;
    std::string& s = strings.back();
    if (s.size() < kGatherLimit) s.append(t.substr(0, kGatherLimit - s.size()));
  }
};

// Whether a number format code shows a date or time: a d, m, y, h or s
// outside quoted text, brackets ("[Red]", "[$-409]") and escaped characters.
bool IsDateCode(std::string_view code) {
  bool quoted = false;
  int bracket = 0;
  for (std::size_t i = 0; i < code.size(); ++i) {
    char c = code[i];
    if (quoted) {
      if (c == '"') quoted = false;
      continue;
    }
    if (c == '"') quoted = true;
    else if (c == '\\' || c == '_' || c == '*') ++i;
    else if (c == '[') {
      // Elapsed-time codes ([h], [mm], [ss]) are times too.
      std::size_t close = code.find(']', i);
      std::string_view inside = code.substr(i + 1, close == std::string_view::npos ? 0 : close - i - 1);
      if (!inside.empty() && inside[0] != '\0' && std::strchr("hHmMsS", inside[0]) &&
          inside.find_first_not_of(inside[0]) == std::string_view::npos)
        return true;
      ++bracket;
    } else if (c == ']') {
      if (bracket > 0) --bracket;
    } else if (bracket == 0 && c != '\0' && std::strchr("dDmMyYhHsS", c)) {
      return true;
    }
  }
  return false;
}

bool IsDateFormatId(long id) { return (id >= 14 && id <= 22) || (id >= 45 && id <= 47); }

struct StylesHandler : XmlHandler {
  std::vector<std::pair<long, bool>> custom;  // id, is a date
  std::vector<long> cellFormats;              // number format of each cell style
  bool inCellXfs = false;
  void Start(std::string_view name, const char** a) override {
    if (name == "numFmt") {
      const char* id = Attribute(a, "numFmtId");
      const char* code = Attribute(a, "formatCode");
      if (id && code) custom.emplace_back(std::strtol(id, nullptr, 10), IsDateCode(code));
    } else if (name == "cellXfs") {
      inCellXfs = true;
    } else if (name == "xf" && inCellXfs) {
      const char* id = Attribute(a, "numFmtId");
      cellFormats.push_back(id ? std::strtol(id, nullptr, 10) : 0);
    }
  }
  void End(std::string_view name) override {
    if (name == "cellXfs") inCellXfs = false;
  }
  std::vector<bool> DateStyles() const {
    std::vector<bool> out;
    for (long id : cellFormats) {
      bool date = IsDateFormatId(id);
      for (const auto& [cid, cdate] : custom)
        if (cid == id) date = cdate;
      out.push_back(date);
    }
    return out;
  }
};

// Reads "AB12" into a 0-based column and row; false when it is no cell
// reference or lies beyond the last cell a workbook can hold.
bool ParseCellReference(std::string_view ref, int64_t& row, int64_t& column, bool& hasRow) {
  std::size_t i = 0;
  int64_t c = 0;
  while (i < ref.size() && std::isalpha(static_cast<unsigned char>(ref[i]))) {
    c = c * 26 + (std::toupper(static_cast<unsigned char>(ref[i])) - 'A' + 1);
    if (c > kMaxColumns) return false;
    ++i;
  }
  if (i == 0) return false;
  int64_t r = 0;
  std::size_t digits = 0;
  for (; i < ref.size(); ++i, ++digits) {
    if (!std::isdigit(static_cast<unsigned char>(ref[i]))) return false;
    r = r * 10 + (ref[i] - '0');
    if (r > kMaxRows) return false;
  }
  hasRow = digits > 0;
  if (hasRow && r == 0) return false;
  column = c - 1;
  if (hasRow) row = r - 1;
  return true;
}

// A cell of type "d" holds an ISO 8601 date, date-time or time
// ("2020-05-01", "2020-05-01T06:30:00.5", "06:30:00") instead of a serial
// number: turned into the 1900-system serial the other date cells carry,
// with that system's phantom 29 February 1900 before March 1900. A zone
// suffix is ignored (the sheet's clock time is kept). False for anything
// else.
bool ParseIsoDate(std::string_view v, double& serial) {
  auto number = [&v](std::size_t digits, int& out) {
    if (v.size() < digits) return false;
    auto [end, error] = std::from_chars(v.data(), v.data() + digits, out);
    if (error != std::errc() || end != v.data() + digits) return false;
    v.remove_prefix(digits);
    return true;
  };
  auto take = [&v](char c) {
    if (v.empty() || v.front() != c) return false;
    v.remove_prefix(1);
    return true;
  };
  double days = 0;
  bool haveDate = false;
  if (v.size() >= 10 && v[4] == '-') {
    int y = 0, m = 0, d = 0;
    if (!number(4, y) || !take('-') || !number(2, m) || !take('-') || !number(2, d)) return false;
    const std::chrono::year_month_day date{std::chrono::year(y), std::chrono::month(static_cast<unsigned>(m)),
                                           std::chrono::day(static_cast<unsigned>(d))};
    if (!date.ok()) return false;
    const auto base = std::chrono::sys_days(std::chrono::year(1899) / 12 / 30);
    days = static_cast<double>((std::chrono::sys_days(date) - base).count());
    if (days < 61) days -= 1;
    haveDate = true;
    if (!take('T')) {
      serial = days;
      return v.empty();
    }
  }
  int h = 0, mi = 0, sec = 0;
  if (!number(2, h) || !take(':') || !number(2, mi) || h > 24 || mi > 59) return false;
  double fraction = 0;
  if (take(':')) {
    if (!number(2, sec) || sec > 60) return false;
    if (!v.empty() && v.front() == '.') {
      std::size_t n = 1;
      while (n < v.size() && v[n] >= '0' && v[n] <= '9') ++n;
      if (n == 1) return false;
      std::from_chars(v.data(), v.data() + n, fraction);
      v.remove_prefix(n);
    }
  }
  if (!v.empty() && (v.front() == 'Z' || v.front() == '+' || v.front() == '-')) v = {};
  if (!v.empty()) return false;
  serial = days + (h * 3600.0 + mi * 60.0 + sec + fraction) / 86400.0;
  return haveDate || serial <= 1.0;
}

struct Pending {
  int32_t row;
  int32_t column;
  uint32_t index;
  CellKind kind;
};

// The cells of one sheet, gathered before the grid is sized to them.
struct SheetHandler : XmlHandler {
  const std::vector<std::string>* strings = nullptr;
  const std::vector<bool>* dateStyles = nullptr;
  bool date1904 = false;

  std::vector<Pending> cells;
  std::vector<double> numbers;
  std::vector<std::string> texts;
  int64_t lowRow = kMaxRows, highRow = -1, lowColumn = kMaxColumns, highColumn = -1;

  int64_t row = -1;        // current row (0-based)
  int64_t nextColumn = 0;  // column of a cell without a reference
  bool inCell = false, cellValid = false, capture = false, inInline = false;
  int64_t cellRow = 0, cellColumn = 0;
  std::string type;
  long style = 0;
  std::string value;
  bool haveValue = false;

  void Start(std::string_view name, const char** a) override {
    if (name == "row") {
      const char* r = Attribute(a, "r");
      if (r) {
        char* end = nullptr;
        long long n = std::strtoll(r, &end, 10);
        row = (end != r && n >= 1 && n <= kMaxRows) ? n - 1 : -2;
      } else {
        row = row >= 0 ? row + 1 : (row == -1 ? 0 : -2);
      }
      if (row >= kMaxRows) row = -2;
      nextColumn = 0;
    } else if (name == "c") {
      inCell = true;
      cellValid = row >= 0;
      cellRow = row;
      cellColumn = nextColumn;
      if (const char* r = Attribute(a, "r")) {
        bool hasRow = false;
        int64_t rr = row, cc = 0;
        cellValid = ParseCellReference(r, rr, cc, hasRow) && rr >= 0;
        cellRow = rr;
        cellColumn = cc;
      }
      // Cells without references count on from the last one; past the last
      // column a workbook can hold they are dropped.
      if (cellColumn >= kMaxColumns) cellValid = false;
      nextColumn = std::min(cellColumn + 1, kMaxColumns);
      const char* t = Attribute(a, "t");
      type = t ? t : "n";
      const char* s = Attribute(a, "s");
      style = s ? std::strtol(s, nullptr, 10) : 0;
      value.clear();
      haveValue = false;
    } else if (inCell && name == "v") {
      capture = true;
      haveValue = true;
    } else if (inCell && name == "is") {
      inInline = true;
      haveValue = true;
    } else if (inInline && name == "t") {
      capture = true;
    } else if (inInline && name == "rPh") {
      inInline = false;  // phonetic runs of an inline string are left out
    }
  }

  void End(std::string_view name) override {
    if (name == "v" || name == "t") capture = false;
    else if (name == "is") inInline = false;
    else if (name == "c" && inCell) {
      inCell = false;
      if (cellValid && haveValue) Store();
    }
  }

  void Text(std::string_view t) override {
    if (capture && value.size() < kGatherLimit) value.append(t.substr(0, kGatherLimit - value.size()));
  }

  void Add(CellKind kind, uint32_t index) {
    try {
      cells.push_back({static_cast<int32_t>(cellRow), static_cast<int32_t>(cellColumn), index, kind});
    } catch (const std::bad_alloc&) {
      OutOfMemory();
    }
    lowRow = std::min(lowRow, cellRow);
    highRow = std::max(highRow, cellRow);
    lowColumn = std::min(lowColumn, cellColumn);
    highColumn = std::max(highColumn, cellColumn);
    if (GridBytes((highRow - lowRow + 1) * (highColumn - lowColumn + 1)) > kGridByteLimit)
      FatalExit(9, "Error: Too much data in Excel file for Trovadex to handle!\n");
  }

  void StoreNumberCell(double v) {
    if (std::isnan(v) || std::isinf(v) || !(v > kMissingValue)) return;
    try {
      numbers.push_back(v);
    } catch (const std::bad_alloc&) {
      OutOfMemory();
    }
    Add(CellKind::Number, static_cast<uint32_t>(numbers.size() - 1));
  }

  void StoreTextCell(std::string text) {
    if (CurrentOptions()->compressBlanks) text = TrimText(text, kKeptTextLength);
    if (text.empty()) return;
    try {
      texts.push_back(std::move(text));
    } catch (const std::bad_alloc&) {
      OutOfMemory();
    }
    Add(CellKind::Text, static_cast<uint32_t>(texts.size() - 1));
  }

  void Store() {
    if (type == "s") {
      char* end = nullptr;
      long long index = std::strtoll(value.c_str(), &end, 10);
      if (end == value.c_str() || index < 0 || static_cast<std::size_t>(index) >= strings->size()) return;
      StoreTextCell((*strings)[static_cast<std::size_t>(index)]);
    } else if (type == "inlineStr" || type == "str") {
      StoreTextCell(value);
    } else if (type == "b") {
      StoreNumberCell(value == "1" || value == "true" ? 1.0 : 0.0);
    } else if (type == "e") {
      // error cells (#DIV/0!, #N/A) stay empty
    } else if (type == "d") {
      double serial = 0;
      if (ParseIsoDate(value, serial)) StoreNumberCell(serial);
      else StoreTextCell(value);
    } else {
      std::string_view v = value;
      while (!v.empty() && std::isspace(static_cast<unsigned char>(v.front()))) v.remove_prefix(1);
      while (!v.empty() && std::isspace(static_cast<unsigned char>(v.back()))) v.remove_suffix(1);
      if (v.empty()) return;
      if (v.front() == '+') v.remove_prefix(1);
      double number = 0;
      auto [end, error] = std::from_chars(v.data(), v.data() + v.size(), number);
      if (error != std::errc() || end != v.data() + v.size()) return;
      if (date1904 && style >= 0 && static_cast<std::size_t>(style) < dateStyles->size() &&
          (*dateStyles)[static_cast<std::size_t>(style)])
        number += k1904Offset;
      StoreNumberCell(number);
    }
  }

  void Build(CellGrid& grid) {
    int32_t firstRow = highRow >= 0 ? static_cast<int32_t>(lowRow) : 0;
    int32_t firstColumn = highColumn >= 0 ? static_cast<int32_t>(lowColumn) : 0;
    int32_t rows = highRow >= 0 ? static_cast<int32_t>(highRow - lowRow + 1) : 1;
    int32_t columns = highColumn >= 0 ? static_cast<int32_t>(highColumn - lowColumn + 1) : 1;
    InitCellGrid(grid, firstRow, firstColumn, rows, columns);
    for (const Pending& p : cells) {
      if (p.kind == CellKind::Number)
        StoreNumber(grid, p.row, p.column, numbers[p.index]);
      else
        StoreText(grid, p.row, p.column, texts[p.index]);
    }
  }
};

std::string UpperName(std::string name) {
  if (name.size() > static_cast<std::size_t>(kSheetNameLength)) name.resize(kSheetNameLength);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

// A defined name's formula "Sheet1!$A$1:$C$9" or "'My data'!$B$2" as a
// range on that sheet; false for anything else (constants, formulas, other
// workbooks).
bool ParseNameFormula(std::string_view f, const std::vector<BookSheet>& sheets, RangeEntry& range) {
  std::size_t bang = f.rfind('!');
  if (bang == std::string_view::npos) return false;
  std::string sheet(f.substr(0, bang));
  if (sheet.size() >= 2 && sheet.front() == '\'' && sheet.back() == '\'') {
    std::string unquoted;
    for (std::size_t i = 1; i + 1 < sheet.size(); ++i) {
      unquoted.push_back(sheet[i]);
      if (sheet[i] == '\'' && i + 2 < sheet.size() && sheet[i + 1] == '\'') ++i;
    }
    sheet = unquoted;
  }
  auto it = std::find_if(sheets.begin(), sheets.end(), [&](const BookSheet& s) { return s.name == sheet; });
  if (it == sheets.end()) return false;
  std::string_view cells = f.substr(bang + 1);
  std::size_t colon = cells.find(':');
  auto strip = [](std::string_view r) {
    std::string out;
    for (char c : r)
      if (c != '$') out.push_back(c);
    return out;
  };
  std::string first = strip(cells.substr(0, colon));
  std::string last = colon == std::string_view::npos ? first : strip(cells.substr(colon + 1));
  int64_t r1 = 0, c1 = 0, r2 = 0, c2 = 0;
  bool h1 = false, h2 = false;
  if (!ParseCellReference(first, r1, c1, h1) || !ParseCellReference(last, r2, c2, h2) || !h1 || !h2) return false;
  range.sheetOrdinal = static_cast<int32_t>(it - sheets.begin());
  range.colFirst = static_cast<int32_t>(std::min(c1, c2));
  range.colLast = static_cast<int32_t>(std::max(c1, c2));
  range.rowFirst = static_cast<int32_t>(std::min(r1, r2));
  range.rowLast = static_cast<int32_t>(std::max(r1, r2));
  return true;
}

const ZipEntry* FindPart(const ZipArchive& zip, const std::string& name) { return FindZipEntry(zip, name); }

bool Damaged(const char* what) {
  std::printf("Error: %s\n", what);
  return false;
}

}  // namespace

bool ReadXlsxCells(const char* path, SheetSelection& sel, CellGrid& grid) {
  ZipArchive zip;
  ZipStatus opened = OpenZip(path, zip);
  if (opened != ZipStatus::Ok) return Damaged("the workbook's ZIP directory is damaged or unsupported.");

  const ZipEntry* book = FindPart(zip, "xl/workbook.xml");
  if (book == nullptr) return Damaged("the workbook has no xl/workbook.xml.");
  WorkbookHandler wb;
  if (!ParsePart(zip, *book, wb)) return false;

  RelsHandler rels;
  if (const ZipEntry* r = FindPart(zip, "xl/_rels/workbook.xml.rels")) {
    if (!ParsePart(zip, *r, rels)) return false;
  }
  std::string stringsPart = "xl/sharedStrings.xml", stylesPart = "xl/styles.xml";
  for (const auto& rel : rels.rels) {
    std::string_view type = rel.type;
    if (type.ends_with("/sharedStrings")) stringsPart = PartName("xl/", rel.target);
    if (type.ends_with("/styles")) stylesPart = PartName("xl/", rel.target);
    for (BookSheet& s : wb.sheets) {
      if (s.relation == rel.id) {
        s.part = PartName("xl/", rel.target);
        s.worksheet = type.ends_with("/worksheet");
      }
    }
  }

  sel = SheetSelection{};
  // A sheet or a range without an end runs to the last row and column this
  // format can hold, far past those of the binary workbooks.
  sel.colLast = sel.openColumnEnd = static_cast<int32_t>(kMaxColumns - 1);
  sel.rowLast = sel.openRowEnd = static_cast<int32_t>(kMaxRows - 1);
  sel.lastNamedColumn = static_cast<int32_t>(kMaxColumns - 1);
  sel.useColumnRow = State().rangeLayoutInput ? 1 : 0;
  for (std::size_t i = 0; i < wb.sheets.size(); ++i) {
    if (!wb.sheets[i].worksheet) continue;
    SheetEntry e;
    e.name = UpperName(wb.sheets[i].name);
    e.ordinal = static_cast<int32_t>(i);
    e.streamOffset = static_cast<int32_t>(i);
    sel.sheets.push_back(std::move(e));
  }
  for (const DefinedName& d : wb.names) {
    RangeEntry range;
    if (d.skip || !ParseNameFormula(d.formula, wb.sheets, range)) continue;
    range.name = UpperName(d.name);
    sel.ranges.push_back(std::move(range));
  }
  if (sel.sheets.empty()) FatalExit(15, "Empty Excel spreadsheet - no valid worksheets!\n");

  RunState& state = State();
  if (state.listSheets) {
    std::printf("File: %s\nSheets:\n", path);
    for (const SheetEntry& s : sel.sheets) std::printf("%s\n", s.name.c_str());
    std::printf("Named Ranges:\n");
    for (const RangeEntry& r : sel.ranges) std::printf("%s\n", r.name.c_str());
    FatalExit(0, nullptr);
  }
  std::string argument = state.rangeLayoutInput ? std::string("R:column_row") : state.sheet;
  SelectByArgument(sel, argument, state.rangeLayoutInput ? state.rangeOccurrence : 1);
  if (!ResolveSelection(sel, state.range.substr(0, 80))) return Damaged("the chosen range lies on no worksheet.");
  const BookSheet& chosen = wb.sheets[static_cast<std::size_t>(sel.sheets[sel.selected].streamOffset)];
  const ZipEntry* sheetEntry = FindPart(zip, chosen.part);
  if (sheetEntry == nullptr) return Damaged("the workbook lacks the part of the chosen sheet.");

  StringsHandler strings;
  if (const ZipEntry* s = FindPart(zip, stringsPart)) {
    if (!ParsePart(zip, *s, strings)) return false;
  }
  StylesHandler styles;
  if (const ZipEntry* s = FindPart(zip, stylesPart)) {
    if (s->size > kSmallPartLimit) return Damaged("the workbook's styles part is too large.");
    if (!ParsePart(zip, *s, styles)) return false;
  }
  std::vector<bool> dateStyles = styles.DateStyles();

  SheetHandler sheet;
  sheet.strings = &strings.strings;
  sheet.dateStyles = &dateStyles;
  sheet.date1904 = wb.date1904;
  if (!ParsePart(zip, *sheetEntry, sheet)) return false;
  sheet.Build(grid);
  return true;
}

int16_t ReadXlsx(const char* path) {
  SheetSelection selection;
  CellGrid grid;
  if (!ReadXlsxCells(path, selection, grid)) return 0;
  return GridToColumns(selection, path, grid, kMessageExcel);
}

#else

bool ReadXlsxCells(const char*, SheetSelection&, CellGrid&) {
  std::printf("Sorry, this build reads no .xlsx workbooks: it was made without zlib or expat.\n");
  return false;
}

int16_t ReadXlsx(const char*) {
  std::printf("Sorry, this build reads no .xlsx workbooks: it was made without zlib or expat.\n");
  return 0;
}

#endif

}  // namespace trovadex
