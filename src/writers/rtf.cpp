// The Dataset as a Rich Text Format document (".rtf"): one centred table
// 8640 twips wide, a bold row of column names repeated at the top of every
// page, and one row per data row. Bytes above 127 go out as \'hh escapes,
// texts from a UTF-8 source as \uN escapes.
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

constexpr int64_t kTableTwips = 8640;
constexpr const char* kThin = "\\brdrs\\brdrw15\\brdcf1";
constexpr const char* kThick = "\\brdrs\\brdrw30\\brdcf1";

void PutHex(TableOutput& out, unsigned char byte) {
  static const char kDigits[] = "0123456789abcdef";
  out.text += "\\'";
  out.text += kDigits[byte >> 4];
  out.text += kDigits[byte & 15];
}

// One UTF-16 unit as \uN (N a signed 16-bit number) and the "?" that
// readers without Unicode show instead. The "?" goes out as \'3f: some
// readers take a plain "?" and the letters after it for one word and drop
// them all.
void PutUnit(TableOutput& out, uint32_t unit) {
  char u[24];
  std::snprintf(u, sizeof u, "\\u%d\\'3f", static_cast<int>(static_cast<int16_t>(static_cast<uint16_t>(unit))));
  out.text += u;
}

// A text as document content: \, { and } escaped, bytes above 127 (and
// control bytes) as \'hh, or in a UTF-8 document every character above 127
// as \uN escapes.
void PutText(TableOutput& out, std::string_view text) {
  if (out.utf8) text = text.substr(0, Utf8Length(text));
  std::size_t at = 0;
  while (at < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    uint32_t cp = 0;
    if (c >= 0x80 && out.utf8 && DecodeUtf8(text, at, cp)) {
      if (cp < 0x10000) {
        PutUnit(out, cp);
      } else {
        cp -= 0x10000;
        PutUnit(out, 0xD800 + (cp >> 10));
        PutUnit(out, 0xDC00 + (cp & 0x3FF));
      }
      continue;
    }
    if (c == '\\' || c == '{' || c == '}') {
      out.text += '\\';
      out.text += static_cast<char>(c);
    } else if (c >= 0x80 || c < 0x20) {
      PutHex(out, c);
    } else {
      out.text += static_cast<char>(c);
    }
    ++at;
  }
}

// The row definition: cell borders (thick round the header row and the
// table's outside), right edges, and the paragraph that opens the cells.
void PutRowDefinition(TableOutput& out, const std::vector<int64_t>& edges, bool header, bool lastRow) {
  for (std::size_t i = 0; i < edges.size(); ++i) {
    if (i == 0) {
      out.text += "\\trowd \\trgaph108\\trleft0\n\\trqc ";
      if (header) out.text += "\\trhdr ";
    }
    const bool first = i == 0, last = i + 1 == edges.size();
    out.text += "\\clvertalc\\clbrdrt";
    out.text += header ? kThick : kThin;
    out.text += "\\clbrdrl";
    out.text += first ? kThick : kThin;
    out.text += "\\clbrdrb";
    out.text += header || lastRow ? kThick : kThin;
    out.text += "\\clbrdrr";
    out.text += last ? kThick : kThin;
    char edge[48];
    std::snprintf(edge, sizeof edge, "\\cltxlrtb\\cellx%lld\n", static_cast<long long>(edges[i]));
    out.text += edge;
  }
  out.text += "\\pard\\plain \\nowidctlpar\\intbl\\adjustright\n{";
}

void PutRowEnd(TableOutput& out) { out.text += "}\n\\pard\\widctlpar\\intbl\\adjustright {\\row }\n"; }

}  // namespace

int16_t WriteRtf(Dataset* dataset, const char* path) {
  if (!dataset || !path || dataset->rowCount <= 0 || dataset->columnCount <= 0 || !dataset->firstColumn) return 0;
  const std::vector<TableColumn> columns = TableColumns(dataset);
  if (columns.empty()) return 0;
  int64_t sum = 0;
  for (const TableColumn& t : columns) sum += t.weight;
  std::vector<int64_t> edges;
  int64_t running = 0;
  for (const TableColumn& t : columns) {
    running += t.weight;
    edges.push_back(kTableTwips * running / sum);
  }

  TableOutput out;
  out.utf8 = TableTextsAreUtf8(dataset, {});
  out.file = std::fopen(path, "wb");
  if (!out.file) {
    std::printf("Write Rich Text File - could not open file %.100s\n", path);
    return 0;
  }
  out.text += "{\\rtf\\ansi\\deff\n";
  PutRowDefinition(out, edges, true, false);
  for (const TableColumn& t : columns) {
    out.text += "\\b ";
    PutText(out, t.column->name);
    out.text += "\\b0\\cell ";
  }
  PutRowEnd(out);

  char scratch[kNumberTextSize];
  for (int64_t r = 0; r < dataset->rowCount && !out.failed; ++r) {
    PutRowDefinition(out, edges, false, r + 1 == dataset->rowCount);
    for (const TableColumn& t : columns) {
      PutText(out, TableCellText(t, r, scratch));
      out.text += "\\cell ";
    }
    PutRowEnd(out);
    if (out.text.size() >= kTableFlushBytes) FlushTable(out);
  }
  out.text += "}";
  return FinishTable(out);
}

}  // namespace trovadex
