// The HTML and RTF table writers: pages and documents read back by Python's
// html.parser (HTML, with the charset the page declares) and by unrtf (RTF,
// through its HTML output), the column widths and cell edges, and the RTF
// escapes.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "test_support.h"
#include "writers/writers.h"

namespace trovadex {
namespace {

constexpr const char* kPython = "/usr/bin/python3";

// Prints the charset the page declares, the title, and each table row's
// cells, one per line, as JSON. `<P>text </TD>`: the line end after the
// cell's opening tag and the blank before its end belong to the mark-up.
constexpr const char* kParseScript = R"(import html.parser, json, re, sys
raw = open(sys.argv[1], 'rb').read()
m = re.search(rb'charset=([A-Za-z0-9_-]+)', raw)
charset = m.group(1).decode() if m else 'ascii'
class P(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.rows, self.cell, self.title, self.where = [], None, None, None
    def handle_starttag(self, tag, attrs):
        if tag == 'tr': self.rows.append([])
        elif tag == 'td': self.cell = ''
        elif tag == 'title': self.title = ''; self.where = 'title'
    def handle_endtag(self, tag):
        if tag == 'td':
            c = self.cell
            if c.startswith('\n'): c = c[1:]
            if c.endswith(' '): c = c[:-1]
            self.rows[-1].append(c); self.cell = None
        elif tag == 'title':
            self.where = None
            if self.title.endswith(' '): self.title = self.title[:-1]
    def handle_data(self, data):
        if self.cell is not None: self.cell += data
        elif self.where == 'title': self.title += data
p = P()
p.feed(raw.decode(charset))
print(json.dumps({'charset': charset, 'title': p.title, 'rows': p.rows}, ensure_ascii=True))
)";

std::string CommandOutput(const std::string& command) {
  std::string out;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

class TableWritersTest : public test::StateTest {
 protected:
  test::TempDir dir;

  Dataset* NewDataset(int32_t rows) {
    Dataset* d = CreateDataset();
    d->rowCount = rows;
    d->missingValue = kMissingValue;
    CreateRows(d);
    return d;
  }
  Column* Numbers(Dataset* d, const std::string& name, const std::vector<double>& values) {
    Column* c = AddColumnWithValues(d, ColumnKind::Variate, "v", static_cast<int32_t>(values.size()));
    c->name = name;
    for (std::size_t i = 0; i < values.size(); ++i) SetNumber(c, static_cast<int64_t>(i), values[i]);
    return c;
  }
  Column* Texts(Dataset* d, const std::string& name, const std::vector<std::string>& values) {
    Column* c = AddColumnWithValues(d, ColumnKind::Text, "t", static_cast<int32_t>(values.size()));
    c->name = name;
    for (std::size_t i = 0; i < values.size(); ++i) SetText(c, static_cast<int64_t>(i), values[i]);
    return c;
  }
  // Texts with "<", "&", quotes and braces, a number, a labelled factor with
  // a missing entry; `utf8` picks UTF-8 or windows-1252 bytes for the same
  // characters.
  Dataset* Mixed(bool utf8) {
    const std::string u = utf8 ? "\xC3\xBC" : "\xFC";   // u with diaeresis
    const std::string euro = utf8 ? "\xE2\x82\xAC" : "\x80";
    Dataset* d = NewDataset(4);
    d->notes.push_back("Trial <b> & " + u);
    Texts(d, "name<&>\"", {"a<b", "&amp;", "\"q\" > 'p' a{b}\\c", "Z" + u + "rich " + euro});
    Numbers(d, "n" + u, {1.5, 0.1 + 0.2, kMissingValue, -2e-300});
    Column* f = AddColumnWithValues(d, ColumnKind::Factor, "f", 4);
    SetLabelList(f, {"lo<", "hi&" + u});
    f->factorDisplay = 2;
    const double levels[] = {2, 1, kMissingValue, 1};
    for (int64_t i = 0; i < 4; ++i) SetNumber(f, i, levels[i]);
    return d;
  }
  std::string Write(Dataset* d, const std::string& name) {
    const std::string path = dir / name;
    const bool html = name.find(".htm") != std::string::npos;
    EXPECT_EQ(html ? WriteHtml(d, path.c_str()) : WriteRtf(d, path.c_str()), 1);
    return path;
  }
  std::string Parse(const std::string& page) {
    test::WriteFile(dir / "parse.py", kParseScript);
    return CommandOutput(std::string(kPython) + " " + (dir / "parse.py") + " " + page + " 2>&1");
  }
};

// The cells of Mixed() as JSON (ASCII escapes for the rest).
const char* const kMixedRows =
    R"("rows": [["name<&>\"", "n\u00fc", "f"], ["a<b", "1.5", "hi&\u00fc"], ["&amp;", "0.30000000000000004", "lo<"], )"
    R"(["\"q\" > 'p' a{b}\\c", "*", ""], ["Z\u00fcrich \u20ac", "-2e-300", "lo<"]]})";

TEST_F(TableWritersTest, HtmlPageParsesBackIntoTheCellsInItsDeclaredCharset) {
  if (!std::filesystem::exists(kPython)) GTEST_SKIP() << "python3 absent";
  for (bool utf8 : {true, false}) {
    const std::string page = Write(Mixed(utf8), utf8 ? "u.html" : "w.htm");
    const std::string charset = utf8 ? "utf-8" : "windows-1252";
    EXPECT_EQ(Parse(page), R"({"charset": ")" + charset + R"(", "title": "Trial <b> & \u00fc", )" + kMixedRows + "\n");
    ResetState();
    State().interceptFatal = true;
  }
}

TEST_F(TableWritersTest, RtfDocumentGivesBackEveryCellThroughUnrtf) {
  if (std::system("unrtf --version >/dev/null 2>&1") != 0 || !std::filesystem::exists(kPython))
    GTEST_SKIP() << "unrtf or python3 absent";
  for (bool utf8 : {true, false}) {
    const std::string document = Write(Mixed(utf8), "t.rtf");
    const std::string html = dir / "unrtf.html";
    ASSERT_EQ(std::system(("unrtf --html " + document + " >" + html + " 2>/dev/null").c_str()), 0);
    // unrtf's page has no title and no trailing blanks in its cells.
    EXPECT_EQ(Parse(html), std::string(R"({"charset": "utf-8", "title": null, )") + kMixedRows + "\n");
    ResetState();
    State().interceptFatal = true;
  }
}

TEST_F(TableWritersTest, WidthsAndEdgesFollowTheLongestTexts) {
  // Weights 8 and 12 (the longest text + 2): 40 % and 60 %.
  Dataset* d = NewDataset(1);
  Texts(d, "abcdef", {"x"});
  Texts(d, "abcdefghij", {"y"});
  std::string page = test::ReadFile(Write(d, "a.html"));
  EXPECT_NE(page.find("<TR><TD WIDTH=\"40.0%\" VALIGN=\"MIDDLE\">\n<B><P>abcdef </B></TD>\n"
                      "<TD WIDTH=\"60.0%\" VALIGN=\"MIDDLE\">\n<B><P>abcdefghij </B></TD>\n</TR>\n"),
            std::string::npos)
      << page;
  // The only data row closes the table.
  EXPECT_NE(page.find("<P>y </TD>\n</TR>\n</TABLE>\n</CENTER></P>\n\n<FONT SIZE=2></FONT>\n</BODY>\n</HTML>\n"),
            std::string::npos);
  ResetState();
  State().interceptFatal = true;

  // A share of 0.3 % is widened to 0.5 %; the last column takes the rest.
  d = NewDataset(1);
  Numbers(d, "a", {1});
  for (int i = 0; i < 11; ++i) Texts(d, "t" + std::to_string(i), {std::string(88, 'x')});
  page = test::ReadFile(Write(d, "b.html"));
  EXPECT_NE(page.find("<TD WIDTH=\"0.5%\""), std::string::npos);
  EXPECT_NE(page.find("<TD WIDTH=\"9.5%\""), std::string::npos);
  ResetState();
  State().interceptFatal = true;

  // Weights 10, 10 and 20: right edges 2160, 4320, 8640; the one data row
  // has the thick bottom border; braces and backslashes are escaped.
  d = NewDataset(1);
  Texts(d, "abcdefgh", {"a{b}\\c"});
  Texts(d, "ijklmnop", {"x"});
  Texts(d, std::string(18, 'q'), {"y"});
  const std::string rtf = test::ReadFile(Write(d, "c.rtf"));
  const std::string start = "{\\rtf\\ansi\\deff\n\\trowd \\trgaph108\\trleft0\n\\trqc \\trhdr \\clvertalc";
  EXPECT_EQ(rtf.substr(0, start.size()), start);
  for (const char* edge : {"\\cellx2160\n", "\\cellx4320\n", "\\cellx8640\n"}) EXPECT_NE(rtf.find(edge), std::string::npos);
  const std::string lastRow =
      "\\trowd \\trgaph108\\trleft0\n\\trqc \\clvertalc\\clbrdrt\\brdrs\\brdrw15\\brdcf1\\clbrdrl\\brdrs\\brdrw30\\brdcf1"
      "\\clbrdrb\\brdrs\\brdrw30\\brdcf1\\clbrdrr\\brdrs\\brdrw15\\brdcf1\\cltxlrtb\\cellx2160\n";
  EXPECT_NE(rtf.find(lastRow), std::string::npos) << rtf;
  EXPECT_NE(rtf.find("{a\\{b\\}\\\\c\\cell x\\cell y\\cell }\n\\pard\\widctlpar\\intbl\\adjustright {\\row }\n}"),
            std::string::npos);
}

}  // namespace
}  // namespace trovadex
