// The Dataset as a Quattro WQ1 spreadsheet (".wq1"): a name row, then one
// row per data row, in Lotus-style records. Factor names get a "!" so that
// the Quattro reader makes them factors again.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "writers/writers.h"

namespace trovadex {

namespace {

// The sheet's last row is 8,191 and the name row takes row 0.
constexpr int64_t kMostDataRows = 8191;

void PutRecord(std::string& out, uint16_t type, const std::string& body) {
  char head[4];
  StoreU16LE(head, type);
  StoreU16LE(head + 2, static_cast<uint16_t>(body.size()));
  out.append(head, 4);
  out += body;
}

std::string CellHead(int64_t column, int64_t row) {
  char b[5];
  b[0] = static_cast<char>(0xFF);
  StoreU16LE(b + 1, static_cast<uint16_t>(column));
  StoreU16LE(b + 3, static_cast<uint16_t>(row));
  return std::string(b, 5);
}

void PutNumber(std::string& out, int64_t column, int64_t row, double value) {
  std::string body = CellHead(column, row);
  char b[8];
  StoreF64LE(b, value);
  body.append(b, 8);
  PutRecord(out, 14, body);
}

void PutLabel(std::string& out, int64_t column, int64_t row, std::string_view text) {
  std::string body = CellHead(column, row);
  body += '\'';
  body += text.substr(0, text.find('\0'));
  body += '\0';
  PutRecord(out, 15, body);
}

// The cell of row `i` of a column; nothing for a missing value or an
// empty text.
void PutCell(std::string& out, const Dataset* d, const Column* c, int64_t column, int64_t i) {
  const int64_t row = i + 1;
  if (IsTextKind(c->kind)) {
    std::string_view text = GetText(c, i);
    if (!text.empty()) PutLabel(out, column, row, text);
    return;
  }
  const double x = GetNumber(c, i);
  if (IsMissing(d, x)) return;
  if (c->kind != ColumnKind::Factor) {
    PutNumber(out, column, row, x);
    return;
  }
  // Only a whole level number 1..levelCount names a level; any other is
  // written as missing.
  if (!(x >= 1 && x <= c->levelCount) || x != std::floor(x)) return;
  const int64_t level = static_cast<int64_t>(x);
  if (c->factorDisplay == 1) {
    if (level > c->levelValueCount || level > c->levelValues.size()) return;
    const double v = c->levelValues.Get(level - 1);
    if (!IsMissing(d, v)) PutNumber(out, column, row, v);
  } else if (c->factorDisplay == 2) {
    if (level > c->labelCount || level > c->labels.size()) return;
    std::string_view label = c->labels.Get(level - 1);
    if (!label.empty()) PutLabel(out, column, row, label);
  } else {
    PutNumber(out, column, row, static_cast<double>(level));
  }
}

}  // namespace

int16_t WriteWq1(Dataset* dataset, const char* path) {
  if (!dataset || !dataset->firstColumn || dataset->rowCount <= 0) return 0;
  std::vector<const Column*> columns;
  for (const Column* c = dataset->firstColumn; c; c = c->next)
    if (c->kind != ColumnKind::RowIndex) columns.push_back(c);
  if (columns.empty()) return 0;
  const int64_t rows = dataset->rowCount;
  if (rows > kMostDataRows) {
    std::printf("Error: Spreadsheet has more rows than a Quattro file can handle (8191)!\n");
    return 0;
  }

  std::string head;
  {
    std::string body(2, '\0');
    StoreU16LE(body.data(), 0x5120);
    PutRecord(head, 0, body);
    body.assign(8, '\0');
    StoreU16LE(body.data() + 4, static_cast<uint16_t>(columns.size() - 1));
    StoreU16LE(body.data() + 6, static_cast<uint16_t>(rows));
    PutRecord(head, 6, body);
  }

  std::string cells;
  int64_t triangle = 0;
  for (std::size_t k = 0; k < columns.size(); ++k) {
    const Column* c = columns[k];
    PutLabel(cells, static_cast<int64_t>(k), 0, c->kind == ColumnKind::Factor ? c->name + "!" : c->name);
  }
  std::vector<int64_t> limit(columns.size()), first(columns.size(), 0);
  for (std::size_t k = 0; k < columns.size(); ++k) {
    const Column* c = columns[k];
    const int64_t stored = IsTextKind(c->kind) ? c->texts.size() : IsNumericKind(c->kind) ? c->numbers.size() : 0;
    limit[k] = std::min<int64_t>(c->valueCount, stored);
    // A symmetric matrix is written as its lower triangle.
    if (dataset->shape == DatasetShape::SymmetricMatrix && c->kind == ColumnKind::SymmetricMatrixColumn)
      first[k] = triangle++;
  }
  for (int64_t i = 0; i < rows; ++i)
    for (std::size_t k = 0; k < columns.size(); ++k)
      if (i < limit[k] && i >= first[k]) PutCell(cells, dataset, columns[k], static_cast<int64_t>(k), i);
  PutRecord(cells, 1, std::string());

  std::FILE* out = std::fopen(path, "wb");
  if (!out) {
    std::printf("Error: In Writing WQ1 File - could not open file: %.100s\n", path);
    return 0;
  }
  if (std::fwrite(head.data(), 1, head.size(), out) != head.size()) {
    std::printf("Error: In Write WQ1 File - could not write WQ1 file headers\n");
    std::fclose(out);
    return 0;
  }
  bool ok = std::fwrite(cells.data(), 1, cells.size(), out) == cells.size();
  ok = (std::fclose(out) == 0) && ok;
  return ok ? 1 : 0;
}

}  // namespace trovadex
