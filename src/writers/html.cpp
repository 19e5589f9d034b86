// The Dataset as one HTML page (".htm", ".html"): a single bordered, centred
// table with a bold row of column names and one row per data row. Texts are
// escaped, and the page declares UTF-8 when its texts came from a UTF-8
// source, windows-1252 otherwise.
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/dataset.h"
#include "core/format.h"
#include "writers/table_text.h"
#include "writers/writers.h"

namespace trovadex {

namespace {

constexpr long kTableWidth = 8640 / 12;  // the table's 8640 twips in pixels

// A text as page content: the characters that open mark-up or entities
// become entities, so that no value can change the page's structure.
void PutEscaped(TableOutput& out, std::string_view text) {
  if (out.utf8) text = text.substr(0, Utf8Length(text));
  for (char c : text) {
    switch (c) {
      case '&': out.text += "&amp;"; break;
      case '<': out.text += "&lt;"; break;
      case '>': out.text += "&gt;"; break;
      case '"': out.text += "&quot;"; break;
      default: out.text += c;
    }
  }
}

// Column widths in tenths of a percent: each column its share of the
// weights, at least 0.5 %; the last column what the others leave (and at
// least 0.5 % too, when very many narrow columns take it all).
std::vector<int64_t> WidthTenths(const std::vector<TableColumn>& columns) {
  int64_t sum = 0;
  for (const TableColumn& t : columns) sum += t.weight;
  std::vector<int64_t> tenths;
  int64_t used = 0;
  for (std::size_t i = 0; i + 1 < columns.size(); ++i) {
    int64_t w = std::max<int64_t>(5, columns[i].weight * 1000 / sum);
    tenths.push_back(w);
    used += w;
  }
  tenths.push_back(std::max<int64_t>(5, 1000 - used));
  return tenths;
}

}  // namespace

int16_t WriteHtml(Dataset* dataset, const char* path) {
  if (!dataset || !path || dataset->rowCount <= 0 || dataset->columnCount <= 0 || !dataset->firstColumn) return 0;
  const std::vector<TableColumn> columns = TableColumns(dataset);
  if (columns.empty()) return 0;
  const std::vector<int64_t> tenths = WidthTenths(columns);
  std::vector<std::string> cellHeads;
  for (int64_t w : tenths) {
    char head[64];
    std::snprintf(head, sizeof head, "<TD WIDTH=\"%lld.%lld%%\" VALIGN=\"MIDDLE\">\n", static_cast<long long>(w / 10),
                  static_cast<long long>(w % 10));
    cellHeads.emplace_back(head);
  }
  const std::string_view title = dataset->notes.empty() ? std::string_view(path) : std::string_view(dataset->notes[0]);

  TableOutput out;
  out.utf8 = TableTextsAreUtf8(dataset, title);
  out.file = std::fopen(path, "wb");
  if (!out.file) return 0;

  out.text += "<HTML>\n<HEAD>\n<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=";
  out.text += out.utf8 ? "utf-8" : "windows-1252";
  out.text += "\">\n<META NAME=\"Generator\" CONTENT=\"Corvist for Windows\">\n<TITLE>";
  PutEscaped(out, title);
  out.text += " </TITLE>\n</HEAD>\n<BODY>\n";

  char scratch[kNumberTextSize];
  // Row -1 is the header row of names.
  for (int64_t r = -1; r < dataset->rowCount && !out.failed; ++r) {
    if (r == -1) {
      char table[96];
      std::snprintf(table, sizeof table,
                    "<P ALIGN=\"CENTER\"><CENTER><TABLE BORDER CELLSPACING=2 CELLPADDING=9 WIDTH=%li>\n",
                    kTableWidth);
      out.text += table;
    }
    out.text += "<TR>";
    for (std::size_t i = 0; i < columns.size(); ++i) {
      out.text += cellHeads[i];
      if (r == -1) {
        out.text += "<B><P>";
        PutEscaped(out, columns[i].column->name);
        out.text += " </B></TD>\n";
      } else {
        out.text += "<P>";
        PutEscaped(out, TableCellText(columns[i], r, scratch));
        out.text += " </TD>\n";
      }
    }
    out.text += "</TR>\n";
    if (out.text.size() >= kTableFlushBytes) FlushTable(out);
  }
  out.text += "</TABLE>\n</CENTER></P>\n\n<FONT SIZE=2></FONT>\n</BODY>\n</HTML>\n";
  return FinishTable(out);
}

}  // namespace trovadex
