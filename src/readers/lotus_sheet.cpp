// Record walk, label texts and column making for Lotus-style worksheets.
#include "readers/lotus_sheet.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "core/byteorder.h"
#include "core/convert.h"
#include "core/dataset.h"
#include "core/format.h"
#include "core/names.h"

namespace trovadex {

bool NextLotusRecord(const std::vector<uint8_t>& bytes, std::size_t& position, LotusRecord& record) {
  if (position > bytes.size() || bytes.size() - position < 4) return false;
  record.type = LoadU16LE(bytes.data() + position);
  record.length = LoadU16LE(bytes.data() + position + 2);
  if (bytes.size() - position - 4 < record.length) return false;
  record.body = bytes.data() + position + 4;
  position += 4 + std::size_t{record.length};
  return true;
}

std::string LotusText(const LotusRecord& record, std::size_t offset) {
  if (offset >= record.length) return {};
  std::string_view text(reinterpret_cast<const char*>(record.body) + offset, record.length - offset);
  // Quattro puts the text's length in a byte before it, with no NUL after.
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == text.size() - 1 &&
      static_cast<unsigned char>(text[0]) < 0x20 && text.back() != '\0')
    text.remove_prefix(1);
  if (std::size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  if (CurrentOptions()->compressBlanks) return TrimText(text, kTextLength);
  return std::string(text.substr(0, kTextLength));
}

void WidenBox(CellGrid& grid, int64_t row, int64_t column) {
  grid.lowRow = static_cast<int32_t>(std::min<int64_t>(grid.lowRow, row));
  grid.highRow = static_cast<int32_t>(std::max<int64_t>(grid.highRow, row));
  grid.lowColumn = static_cast<int32_t>(std::min<int64_t>(grid.lowColumn, column));
  grid.highColumn = static_cast<int32_t>(std::max<int64_t>(grid.highColumn, column));
}

void StoreLotusNumber(CellGrid& grid, int64_t row, int64_t column, double value) {
  if (std::isfinite(value) && value > kMissingValue) StoreNumber(grid, row, column, value);
}

namespace {

bool EndsWithSuffix(const std::string& name, int* format, int* decimals) {
  if (name.size() < 2 || name[name.size() - 2] != ':') return false;
  char s = name.back();
  if (std::isdigit(static_cast<unsigned char>(s))) {
    *format = 3;
    *decimals = s - '0';
  } else if (s == 'D' || s == 'd') {
    *format = 5;
  } else if (s == 'E' || s == 'e') {
    *format = 2;
  } else {
    return false;
  }
  return true;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

bool ListAndChoose(SheetSelection& sel, const std::string& shownPath) {
  RunState& state = State();
  if (sel.sheets.empty()) return false;
  if (state.listSheets) {
    std::printf("File: %s\nSheets:\n", shownPath.c_str());
    for (const SheetEntry& s : sel.sheets) std::printf("%s\n", s.name.c_str());
    std::printf("Named Ranges:\n");
    for (const RangeEntry& r : sel.ranges) std::printf("%s\n", r.name.c_str());
    FatalExit(0, nullptr);
  }
  const std::string& argument = state.sheet;
  bool byLetter = false;
  if (argument.size() == 1 && std::isalpha(static_cast<unsigned char>(argument[0]))) {
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(argument[0])));
    bool agrees = false;
    for (const SheetEntry& s : sel.sheets) agrees = agrees || (!s.name.empty() && s.name[0] == letter);
    for (const RangeEntry& r : sel.ranges) agrees = agrees || (!r.name.empty() && r.name[0] == letter);
    if (!agrees && letter - 'A' < static_cast<int>(sel.sheets.size())) {
      sel.selected = letter - 'A';
      byLetter = true;
    }
  }
  if (!byLetter) SelectByArgument(sel, argument, 1);
  return ResolveSelection(sel, state.range.substr(0, 80));
}

int16_t LotusColumns(const CellGrid& grid, int64_t c0, int64_t r0, int64_t c1, int64_t r1) {
  if (!grid.ready || grid.highRow < 0) return 0;
  c0 = std::max<int64_t>(c0, grid.lowColumn);
  r0 = std::max<int64_t>(r0, grid.lowRow);
  c1 = std::min<int64_t>(c1, grid.highColumn);
  r1 = std::min<int64_t>(r1, grid.highRow);
  if (c0 > c1 || r0 > r1) return 0;
  RunState& state = State();
  Options* options = CurrentOptions();

  bool nameRow = true;
  for (int64_t c = c0; c <= c1; ++c)
    if (GridKind(grid, GridSlot(grid, r0, c)) == CellKind::Number) nameRow = false;
  const int64_t first = nameRow ? r0 + 1 : r0;
  const int64_t rows = r1 - first + 1;
  if (rows <= 0 || rows > 0x7FFFFFFF) return 0;
  const int32_t rowCount = static_cast<int32_t>(rows);

  Dataset* dataset = CreateDataset();
  dataset->rowCount = rowCount;
  if (!CreateRows(dataset)) return 0;

  int32_t made = 0;
  for (int64_t c = c0; c <= c1; ++c) {
    int64_t nonEmpty = 0;
    bool anyText = false;
    for (int64_t r = first; r <= r1; ++r) {
      int64_t slot = GridSlot(grid, r, c);
      CellKind kind = GridKind(grid, slot);
      if (kind == CellKind::Empty) continue;
      ++nonEmpty;
      if (kind == CellKind::Text && !IsMissingText(GridText(grid, slot))) anyText = true;
    }
    if (nonEmpty == 0) continue;
    if (made >= state.columnLimit) {
      std::printf("Warning Columns above %li NOT transfered!\n", static_cast<long>(state.columnLimit));
      break;
    }

    std::string name;
    if (nameRow) {
      int64_t slot = GridSlot(grid, r0, c);
      if (GridKind(grid, slot) == CellKind::Text) name = std::string(GridText(grid, slot)).substr(0, kNameLength);
    }
    if (name.empty()) name = MakeDefaultName(0);

    ColumnKind kind = anyText ? ColumnKind::Text : ColumnKind::Variate;
    bool factor = false;
    int suffixFormat = 0, suffixDecimals = -1;
    if (EndsWithSuffix(name, &suffixFormat, &suffixDecimals)) {
      name.resize(name.size() - 2);
    } else if (!name.empty() && name.back() == '!') {
      name.pop_back();
      factor = true;
    } else if (!name.empty() && (name.back() == '#' || name.back() == '$')) {
      kind = name.back() == '#' ? ColumnKind::Variate : ColumnKind::Text;
      name.pop_back();
    }
    LegalName(name);
    Column* column = AddColumn(dataset, kind, name, kind == ColumnKind::Text ? kTextLength : 25);
    if (!column) {
      std::printf("Warning Columns above %li NOT transfered!\n", static_cast<long>(state.columnLimit));
      break;
    }
    ++made;
    if (!AllocateValues(column, rowCount)) return 0;
    column->decimals = -1;
    column->valueFormat = kind == ColumnKind::Text ? 4 : 1;

    int32_t width = 0;
    if (kind == ColumnKind::Variate) {
      width = 1;
      bool large = false;
      for (int32_t i = 0; i < rowCount; ++i) {
        int64_t r = first + i;
        int64_t slot = GridSlot(grid, r, c);
        CellKind cell = GridKind(grid, slot);
        double value = kMissingValue;
        if (cell == CellKind::Number) {
          value = std::min(GridNumber(grid, slot), kNumberCap);
        } else if (cell == CellKind::Text && !IsMissingText(GridText(grid, slot))) {
          const char* text = GridText(grid, slot);
          bool doubtful = false;
          value = TextToNumber(text, kMissingValue, &doubtful);
          if (doubtful) {
            std::string cellRef = ColumnLetters(c) + std::to_string(r + 1);
            WriteConversionWarning(column->name, i + 1, cellRef.c_str(), text, value, !(value > kMissingValue));
          }
        }
        SetNumber(column, i, value);
        if (value > kMissingValue) {
          double magnitude = std::fabs(value);
          if (magnitude > 1e-12 && magnitude < 1e12)
            width = std::max(width, static_cast<int32_t>(std::log10(magnitude) + 3));
          else if (value != 0)
            large = true;
        }
      }
      if (large) width = std::max(width, 15);
      width += 3;
    } else {
      for (int32_t i = 0; i < rowCount; ++i) {
        int64_t slot = GridSlot(grid, first + i, c);
        CellKind cell = GridKind(grid, slot);
        std::string text;
        if (cell == CellKind::Number) {
          // The shortest text that reads back as the same number.
          text = FormatShortestG(GridNumber(grid, slot));
        } else if (cell == CellKind::Text) {
          text = GridText(grid, slot);
          if (factor && EqualsIgnoringCase(text, state.missingText)) text.clear();
        }
        if (text.size() > static_cast<std::size_t>(kTextLength)) text.resize(kTextLength);
        width = std::max<int32_t>(width, static_cast<int32_t>(text.size()));
        SetText(column, i, text);
      }
      column->levelCount = width;
    }
    width = std::max<int32_t>(width, static_cast<int32_t>(column->name.size()) + 1);
    if (width < 3) width = 2;
    width = std::min(width + 1, kind == ColumnKind::Text ? 90 : 14);
    column->width = width;

    if (suffixFormat && kind != ColumnKind::Text) {
      column->valueFormat = suffixFormat;
      if (suffixFormat == 3) column->decimals = suffixDecimals;
      if (suffixFormat == 5) column->dateRepresentation = 4;
    }
    if (factor) {
      if (kind == ColumnKind::Variate)
        VariateToFactor(column, true);
      else
        TextToFactor(column, options->caseInsensitiveLevels != 0, options->compressBlanks != 0);
    }
  }
  return made > 0 ? 1 : 0;
}

}  // namespace trovadex
