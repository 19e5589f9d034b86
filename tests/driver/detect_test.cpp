#include "driver/detect.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace trovadex {
namespace {

namespace fs = std::filesystem;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

// The public sample files: each table row of PROVENANCE.md names a file and
// the code the detection rules give it. Real Excel 2 files start
// 09 00 04 00 vv vv 10 00 and are Excel workbooks (5), not unknown.
TEST(DetectFormat, PublicSampleFilesGetTheirListedCode) {
  TROVADEX_NEED_SHARED();
  fs::path root = fs::path(test::SharedDir()) / "corpus-public";
  std::ifstream in(root / "PROVENANCE.md");
  if (!in) GTEST_SKIP() << "no corpus-public";
  std::regex heading(R"(^## ([A-Za-z0-9_.-]+)/ )");
  std::regex row(R"(^\| `([^`]+)` \| (\d+) \|)");
  std::string folder, line;
  int checked = 0;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_search(line, m, heading)) {
      folder = m[1];
    } else if (!folder.empty() && std::regex_search(line, m, row)) {
      fs::path file = root / folder / m[1].str();
      int expected = std::stoi(m[2]);
      if (folder == "excel-biff2") expected = 5;
      // The copy in tests/data leaves out folders it may not redistribute.
      if (!fs::is_directory(root / folder)) continue;
      // The list predates the Stata releases 113 and later (first byte
      // 0x71 to 0x73, or the tagged layout "<stata_dta>").
      if (folder == "stata") expected = 23;
      ASSERT_TRUE(fs::exists(file)) << file;
      EXPECT_EQ(DetectFormat(file.string().c_str()), expected) << file;
      ++checked;
    }
  }
  EXPECT_GE(checked, 100);
}

// The generated corpus: every case the program is meant to read is detected
// as its folder's format.
TEST(DetectFormat, CorpusFilesGetTheirFormatCode) {
  TROVADEX_NEED_SHARED();
  fs::path root = fs::path(test::SharedDir()) / "corpus";
  if (!fs::is_directory(root)) GTEST_SKIP() << "no corpus";
  const std::map<std::string, int> codes = {
      {"bmp", 32},   {"dbase", 3},    {"delimited", 25}, {"excel", 5},
      {"mapinfo", 27}, {"matlab", 20}, {"sas7bdat", 37},  {"shapefile", 26},
      {"spss", 22},  {"stata", 23},   {"wav", 33},       {"xport", 28},
  };
  std::regex inputField(R"re("input"\s*:\s*"([^"]+)")re");
  std::regex expectField(R"re("expect"\s*:\s*"([^"]+)")re");
  int checked = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string name = entry.path().filename().string();
    if (name.size() < 14 || name.substr(name.size() - 14) != ".expected.json") continue;
    std::string folder = entry.path().parent_path().filename().string();
    std::string json = test::ReadFile(entry.path().string());
    std::smatch input, expect;
    ASSERT_TRUE(std::regex_search(json, input, inputField)) << entry.path();
    // Cases meant to fail may do so at detection already; the SAS 7/8 refusal
    // is the detector's own business.
    bool ok = std::regex_search(json, expect, expectField) && expect[1] == "ok";
    if (!ok && folder != "sas7bdat") continue;
    auto code = codes.find(folder);
    ASSERT_NE(code, codes.end()) << "no code listed for folder " << folder;
    fs::path file = entry.path().parent_path() / input[1].str();
    EXPECT_EQ(DetectFormat(file.string().c_str()), code->second) << file;
    ++checked;
  }
  EXPECT_GT(checked, 50);
}

struct HeaderCase {
  const char* label;
  std::string name;   // file name (the ending matters for some rules)
  std::string bytes;
  int code;
};

class DetectHeaders : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(DetectHeaders, GivesCode) {
  test::TempDir dir;
  const HeaderCase& c = GetParam();
  std::string path = dir / c.name;
  test::WriteFile(path, c.bytes);
  EXPECT_EQ(DetectFormat(path.c_str()), c.code) << c.label;
}

std::string Padded(std::string head, std::size_t size = 100, char fill = 'x') {
  if (head.size() < size) head.append(size - head.size(), fill);
  return head;
}

std::string Zeros(std::size_t n) { return std::string(n, '\0'); }

// UTF-16 code units of a UTF-8 text of one- and two-byte characters.
std::string Utf16(const std::string& utf8, bool bigEndian) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    unsigned c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0xC0 && i + 1 < utf8.size()) c = ((c & 0x1F) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F);
    const char unit[2] = {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    out += bigEndian ? std::string{unit[1], unit[0]} : std::string{unit[0], unit[1]};
  }
  return out;
}
std::string Utf16LE(const std::string& utf8) { return Utf16(utf8, false); }
std::string Utf16BE(const std::string& utf8) { return Utf16(utf8, true); }

const HeaderCase kHeaderCases[] = {
    {"empty file", "e.csv", "", 24},
    {"corvist v1 little-endian", "a.crs", Bytes({0x03, 0x87, 0x2D, 0x03, 0, 0}), 1},
    {"corvist v2 little-endian", "a.crs", Bytes({0x14, 0xAE, 0x2D, 0x03, 0, 0}), 1},
    {"corvist v3 little-endian", "a.crs", Bytes({0x51, 0x50, 0x3E, 0x03, 0, 0}), 1},
    {"corvist v1 big-endian", "a.crs", Bytes({0x03, 0x2D, 0x87, 0x03, 0, 0}), 1},
    {"corvist v2 big-endian", "a.crs", Bytes({0x03, 0x2D, 0xAE, 0x14, 0, 0}), 1},
    {"corvist v3 big-endian", "a.crs", Bytes({0x03, 0x3E, 0x50, 0x51, 0, 0}), 1},
    {"s+ binary", "obj", Bytes({0, 'S', ' ', 'd', 'a', 't', 'a', 1, 0, 0}), 13},
    {"systat", "a.syd", Bytes({0x4B, 0x06, 0x1E, 0, 0, 0, 0, 0, 5}), 21},
    {"gauss ffff", "a.dat", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 1}), 18},
    {"gauss dada .dht", "a.DHT", Bytes({0xDA, 0xDA, 1, 2}), 18},
    {"gauss dada other ending", "a.bin", Bytes({0xDA, 0xDA, 0, 0}), 0},
    {"gauss dddd", "a.fmt", Bytes({0xDD, 0xDD, 1, 1, 1, 1, 1, 1, 0x86, 0x00}), 18},
    {"gauss daee", "a.fmt", Bytes({0xDA, 0xEE, 5, 0, 0, 0, 0, 0, 9}), 18},
    {"gauss ddee", "a.fmt", Bytes({0xDD, 0xEE, 0x86, 0x00, 7}), 18},
    {"gauss cacacaee", "a.fmt", Bytes({0, 0, 0, 0, 0xCA, 0xCA, 0xCA, 0xEE}), 18},
    {"mstat 3.00/EM", "a.dat", Padded(Bytes({1, 2, 3, 4, 5, 0}) + "3.00/EM"), 16},
    {"mstat 4.00/EV", "a.dat", Padded(Bytes({1, 2, 3, 4, 5, 0}) + "4.00/EV"), 16},
    {"matlab little-endian", "a.mat", Bytes({0, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 1}), 20},
    {"all zero", "z", Zeros(100), 20},
    {"lotus wk1", "a.wk1", Bytes({0, 0, 2, 0, 0x06, 0x04, 0x06, 0}), 2},
    {"lotus bof 2051 is quattro", "a.wk1", Bytes({0, 0, 2, 0, 0x20, 0x51, 0, 0}), 8},
    {"quattro 0110", "a.wb1", Bytes({0, 0, 2, 0, 0x01, 0x10, 0, 0}), 8},
    {"quattro 0210", "a.wb2", Bytes({0, 0, 2, 0, 0x02, 0x10, 0, 0}), 8},
    {"excel 2.1", "a.xls", Bytes({0x09, 0, 0x04, 0, 0x07, 0, 0x10, 0, 1}), 5},
    {"excel 2.0", "a.xls", Bytes({0x09, 0, 0x04, 0, 0x02, 0, 0x10, 0, 1}), 5},
    {"excel 2 any version bytes", "a.xls", Bytes({0x09, 0, 0x04, 0, 0x07, 0x05, 0x10, 0, 1}), 5},
    {"excel 2 wrong type", "a.xls", Bytes({0x09, 0, 0x04, 0, 0x07, 0, 0x20, 0, 1}), 0},
    {"excel 3", "a.xls", Bytes({0x09, 0x02, 0x06, 0, 0, 0, 0x10, 0, 1}), 5},
    {"excel 4", "a.xls", Bytes({0x09, 0x04, 0x06, 0, 0, 0, 0x10, 0, 1}), 5},
    {"compound document", "a.xls", Bytes({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}), 5},
    {"stata 0x66", "a.dta", Bytes({0x66, 1, 1, 0, 5}), 23},
    {"stata 0x70", "a.dta", Bytes({0x70, 2, 2, 0, 5}), 23},
    {"stata 0x73", "a.dta", Bytes({0x73, 2, 1, 0, 5}), 23},
    {"stata 0x74 is beyond", "a.dta", Bytes({0x74, 2, 1, 0, 5}), 0},
    {"stata tagged layout", "a.dta", "<stata_dta><header><release>117</release>\n", 23},
    {"shapefile", "a.shp", Bytes({0, 0, 0x27, 0x0A}) + Zeros(20) + Bytes({0, 0, 1, 0}), 26},
    {"spss", "a.sav", Padded("$FL2@(#) SPSS"), 22},
    {"instat", "a.wor", Bytes({0x40, 0x0D, 1, 2}), 15},
    {"minitab", "a.mtw", Padded("WORKSHEET"), 7},
    {"statistica first kind", "a.sta", Bytes({'C', 'S', 'S', ' ', 1, 2, 0xFF, 0xFF, 3}), 35},
    {"statistica second kind", "a.sta", Bytes({0, 4, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 9}), 36},
    {"sas pc", "a.ssd", Padded("SAS6.04"), 10},
    {"text starting SAS", "a.csv", "SASDATA,b\n1,2\n", 10},
    {"sas 7/8", "a.sas7bdat", Zeros(12) + Padded("", 72, '\x01') + "SAS FILE" + Zeros(8), 37},
    {"sas transport any case", "a.xpt",
     Padded("header record*******LIBRARY HEADER RECORD!!!!!!!000000000000000000000000000000  "),
     28},
    {"dbase iii", "a.bin", Bytes({0x03, 99, 12, 31, 1, 0, 0, 0}), 3},
    {"dbase iv memo", "a.bin", Bytes({0x8B, 61, 1, 1, 1, 0, 0, 0}), 3},
    {"dbase ii", "a.bin", Bytes({0x02, 5, 0, 12, 31, 99, 0, 0}), 3},
    {"dbf ending only", "x.DBF", Bytes({0x01, 0x02, 0x03, 0x04}) + Zeros(8), 3},
    {"mif with VERSION", "x.mif", "VERSION 300\nCharset \"WindowsLatin1\"\n", 27},
    {"mif any case", "x.MIF", "version 300\n", 27},
    {"mif without VERSION is text", "x.mif", "Columns 2\nname Char(10)\n", 25},
    {"paradox ending", "x.db", Bytes({0x05, 0x01, 0xC8, 0x00}) + Zeros(10), 9},
    {"s+ text dump ending", "x.sdd", "\"x\"\n\"numeric\"\n", 14},
    {"epi info ending", "x.REC", "3 1 A B C\n", 17},
    {"bitmap", "a.bmp", Padded(Bytes({'B', 'M', 0x36, 0x08, 0, 0, 0, 0, 0, 0, 0x36, 0, 0, 0}), 60, '\x01'), 32},
    {"wave", "a.wav", Padded("RIFF\x24\x08\x00\x00WAVEfmt ", 60, '\x01'), 33},
    {"text line without end", "a.csv", "a,b,c", 0},
    {"text line with end", "a.csv", "a,b,c\n", 25},
    {"text with carriage return", "a.csv", "a,b,c\r\n1,2,3\r\n", 25},
    {"text with tab and form feed", "a.txt", "a\tb\fc\n1\t2\t3\n", 25},
    {"long text", "a.txt", Padded("", 120, 'a'), 25},
    {"accented letter utf-8", "a.csv", "name,caf\xC3\xA9\n1,2\n", 25},
    {"accented letter windows-1252", "a.csv", "Z\xFCrich,Gen\xE8ve\n1,2\n", 25},
    {"utf-8 mark", "a.txt", "\xEF\xBB\xBFname,caf\xC3\xA9\n1,2\n", 25},
    {"utf-8 mark then binary", "a.txt", "\xEF\xBB\xBF" + Bytes({1, 2, 3, 4}), 0},
    {"utf-16le long first line", "a.txt", "\xFF\xFE" + Utf16LE(Padded("", 60, 'a') + "\tZ\xC3\xBC\n"), 25},
    {"utf-16be", "a.txt", "\xFE\xFF" + Utf16BE("a\tb\n1\t2\n"), 25},
    {"utf-16be cyrillic", "a.txt", "\xFE\xFF" + Utf16BE("\xD0\x90\tb\n1\t2\n"), 25},
    {"utf-16le without line end", "a.txt", "\xFF\xFE" + Utf16LE("a,b,c"), 0},
    {"utf-16 mark then control units", "a.txt", "\xFF\xFE" + Bytes({1, 0, 2, 0, 3, 0}), 0},
    {"control byte", "a.csv", "a,b\x01\n", 0},
    {"byte 127 is text", "a.csv", "a,b\x7F\n", 25},
};

INSTANTIATE_TEST_SUITE_P(Headers, DetectHeaders, ::testing::ValuesIn(kHeaderCases),
                         [](const ::testing::TestParamInfo<HeaderCase>& info) {
                           std::string n = info.param.label;
                           for (char& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

TEST(DetectFormat, MissingPathsAndDirectories) {
  test::TempDir dir;
  EXPECT_EQ(DetectFormat(nullptr), 0);
  EXPECT_EQ(DetectFormat(""), 0);
  EXPECT_EQ(DetectFormat((dir / "absent.csv").c_str()), 24);
  EXPECT_EQ(DetectFormat(dir.path().string().c_str()), 24);
}

}  // namespace
}  // namespace trovadex
