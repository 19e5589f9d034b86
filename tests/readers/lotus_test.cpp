// Lotus and Quattro readers: the public worksheets and notebooks against
// their expected values, hand-made worksheets for the column rules, ranges
// away from A1, and refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "core/dataset.h"
#include "readers/readers.h"
#include "readers/xls_builder.h"
#include "test_support.h"

namespace trovadex {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using LotusTest = test::StateTest;

// Rows of a small CSV file: quoted fields may hold line breaks.
std::vector<std::vector<std::string>> ReadCsv(const std::string& path) {
  std::string s = test::ReadFile(path);
  if (s.rfind("\xEF\xBB\xBF", 0) == 0) s.erase(0, 3);
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (quoted && c == '"' && i + 1 < s.size() && s[i + 1] == '"') rows.back().back() += s[++i];
    else if (c == '"') quoted = !quoted;
    else if (!quoted && c == ',') rows.back().emplace_back();
    else if (!quoted && c == '\n') rows.emplace_back(1);
    else if (quoted || c != '\r') rows.back().back() += c;
  }
  if (rows.back().size() == 1 && rows.back()[0].empty()) rows.pop_back();
  return rows;
}

// Line breaks are what the writing programs treat differently: Lotus drops them.
std::string Letters(std::string_view s) {
  std::string out;
  for (char c : s) if (c != '\r' && c != '\n') out += c;
  return out;
}

TEST_F(LotusTest, PublicFilesReadAsTheirExpectedValues) {
  TROVADEX_NEED_SHARED();
  int files = 0;
  for (const char* folder : {"lotus", "quattro-wq1", "quattro-wb", "quattro-pro-qpw"}) {
    for (const auto& e : fs::directory_iterator(test::SharedDir() + "/corpus-public/" + folder)) {
      std::string path = e.path().string(), ext = e.path().extension().string();
      if (ext == ".csv" || path.find("crlfw4") != std::string::npos) continue;
      SCOPED_TRACE(path);
      TearDown(), SetUp();
      // WB3 and QPW notebooks are streams of a compound document, handed on by the Excel reader.
      ASSERT_EQ(std::string(folder) == "lotus"    ? ReadLotus(path.c_str())
                : ext == ".wb3" || ext == ".qpw" ? ReadExcel(path.c_str())
                                                 : ReadQuattro(path.c_str()),
                1);
      if (!fs::exists(path + ".expected.csv")) {
        EXPECT_GT(CurrentDataset()->rowCount, 0);
        continue;
      }
      auto rows = ReadCsv(path + ".expected.csv");
      // Lotus itself saved no cell for the last row's label.
      if (e.path().filename() == "CRLFR9.WK1") rows.pop_back();
      // The first row names the columns unless it holds a number.
      bool named = !std::isdigit(static_cast<unsigned char>(rows[0][0][0]));
      Dataset* d = CurrentDataset();
      ASSERT_EQ(d->rowCount, static_cast<int32_t>(rows.size()) - (named ? 1 : 0));
      std::size_t widest = 0;
      for (const auto& row : rows) widest = std::max(widest, row.size());
      ASSERT_EQ(d->columnCount, static_cast<int32_t>(widest));
      for (int32_t j = 0; j < d->columnCount; ++j) {
        Column* c = ColumnAt(d, j + 1);
        if (named) {
          EXPECT_EQ(c->name, Letters(rows[0][j]));
        }
        for (int32_t i = 0; i < d->rowCount; ++i) {
          const auto& row = rows[i + (named ? 1 : 0)];
          std::string want = j < static_cast<int32_t>(row.size()) ? row[j] : "";
          if (want == "02/19/14") want = "41689";  // the date's serial day number
          ASSERT_EQ(c->kind, ColumnKind::Text);
          std::string got(GetText(c, i));
          if (!want.empty() && std::isdigit(static_cast<unsigned char>(want[0]))) {
            EXPECT_NEAR(std::stod(got), std::stod(want), 1e-15) << i << "," << j;
          } else {
            EXPECT_EQ(Letters(got), Letters(want)) << i << "," << j;
          }
        }
      }
      ++files;
    }
  }
  EXPECT_GE(files, 14);
}

TEST_F(LotusTest, WorksFileThatStartsLikeAWorksheetIsRefused) {
  TROVADEX_NEED_SHARED();
  EXPECT_EQ(ReadLotus((test::SharedDir() + "/corpus-public/lotus/crlfw4_2.wks").c_str()), 0);
}

// A WK1 worksheet of the given cells within the range C3:E6 (when `away`) or
// A1:C4, or A1 to AE(lastRow + 1).
Bytes Worksheet(bool away, std::vector<std::tuple<int, int, std::string>> cells, uint16_t lastRow = 0) {
  Bytes b;
  auto record = [&b](uint16_t type, const Bytes& body) {
    test::Put16(b, type), test::Put16(b, static_cast<uint16_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
  };
  record(0, {0x06, 0x04});
  int dc = away ? 2 : 0, dr = away ? 2 : 0;
  Bytes range;
  for (int v : {dc, dr, lastRow ? 30 : dc + 2, lastRow ? lastRow : dr + 3}) test::Put16(range, static_cast<uint16_t>(v));
  record(6, range);
  for (auto& [row, column, text] : cells) {
    Bytes body{0xFF};
    test::Put16(body, static_cast<uint16_t>(column + dc)), test::Put16(body, static_cast<uint16_t>(row + dr));
    char* end = nullptr;
    double x = std::strtod(text.c_str(), &end);
    if (!text.empty() && *end == 0) {
      test::PutF64(body, x);
      record(14, body);
    } else {
      body.push_back('\'');
      test::PutText(body, text);
      body.push_back(0);
      record(15, body);
    }
  }
  record(1, {});
  return b;
}

TEST_F(LotusTest, NameEndingsMissingTextAndRangesAwayFromA1) {
  test::TempDir dir;
  for (bool away : {false, true}) {
    TearDown(), SetUp();
    std::string path = dir / "w.wk1";
    Bytes bytes = Worksheet(away, {{0, 0, "Weight:1"}, {0, 1, "Group!"}, {0, 2, "Id"}, {1, 0, "1.25"}, {1, 1, "b"},
                                   {1, 2, "1234567890123"}, {2, 0, "*"}, {2, 1, "a"}, {2, 2, "x"}, {3, 0, "2"}, {3, 1, "b"}});
    test::WriteFile(path, std::string(bytes.begin(), bytes.end()));
    ASSERT_EQ(ReadLotus(path.c_str()), 1) << away;
    Dataset* d = CurrentDataset();
    ASSERT_EQ(d->rowCount, 3);
    Column* weight = ColumnAt(d, 1);
    EXPECT_EQ(weight->name, "Weight");
    EXPECT_EQ(weight->kind, ColumnKind::Variate);
    EXPECT_EQ(weight->decimals, 1);
    EXPECT_EQ(GetNumber(weight, 0), 1.25);
    EXPECT_TRUE(IsMissing(d, GetNumber(weight, 1)));  // "*" is a missing value, not a warning
    Column* group = weight->next;
    EXPECT_EQ(group->name, "Group");
    EXPECT_EQ(group->kind, ColumnKind::Factor);
    EXPECT_EQ(group->levelCount, 2);
    EXPECT_EQ(GetText(group->next, 0), "1234567890123");  // not 1.23456789012e+12
  }
}

TEST_F(LotusTest, TooLargeARangeStopsWithExitNine) {
  test::TempDir dir;
  Bytes bytes = Worksheet(false, {{0, 0, "1"}}, 0xFFFF);
  std::string path = dir / "big.wk1";
  test::WriteFile(path, std::string(bytes.begin(), bytes.end()));
  try {
    ReadLotus(path.c_str());
    ADD_FAILURE() << "no exit";
  } catch (const FatalExitError& e) {
    EXPECT_EQ(e.code, 9);
  }
}

// A notebook of three sheets, the second named "Costs"; sheet s holds the
// name "x" over the number s × 10.
TEST_F(LotusTest, NotebookSheetsAreChosenByLetterNumberAndName) {
  Bytes b;
  auto record = [&b](uint16_t type, const Bytes& body) {
    test::Put16(b, type), test::Put16(b, static_cast<uint16_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
  };
  record(0, {0x01, 0x10});
  record(6, {0, 0, 0, 0, 0, 2, 1, 0});
  record(202, {1});
  record(204, {'C', 'o', 's', 't', 's', 0});
  record(203, {0});
  for (uint8_t sheet = 0; sheet < 3; ++sheet) {
    record(15, {0, sheet, 0, 0, 0, 0, '\'', 'x', 0});
    record(13, {0, sheet, 1, 0, 0, 0, static_cast<uint8_t>(sheet * 10), 0});
  }
  record(1, {});
  test::TempDir dir;
  std::string path = dir / "n.wb1";
  test::WriteFile(path, std::string(b.begin(), b.end()));
  for (auto [argument, value] : {std::pair{"C", 20}, {"2", 10}, {"S:COSTS", 10}, {"", 0}}) {
    TearDown(), SetUp();
    State().sheet = argument;
    ASSERT_EQ(ReadQuattro(path.c_str()), 1) << argument;
    EXPECT_EQ(GetNumber(ColumnAt(CurrentDataset(), 1), 0), value) << argument;
  }
}

TEST_F(LotusTest, PasswordProtectedQuattroProNotebookGivesNoData) {
  Bytes b = {1, 0, 14, 0, 'Q', 'P', 'W', '9', 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 4, 0, 0, 0, 2, 0, 0, 0};
  test::TempDir dir;
  std::string path = dir / "p.qpw";
  test::WriteFile(path, std::string(b.begin(), b.end()));
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReadQuattroPro(path.c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Quattro File is Password protected - cannot read data.\n");
}

}  // namespace
}  // namespace trovadex
