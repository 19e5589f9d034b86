#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "core/format.h"
#include "readers/readers.h"
#include "readers/sas_transport_peers.h"
#include "test_support.h"

namespace trovadex {
namespace {


class EpiInfoReaderTest : public test::ReaderTest<ReadEpiInfo> {
 protected:
  int16_t ReadText(const std::string& text) {
    test::WriteFile(dir / "t.rec", text);
    return Read(dir / "t.rec");
  }
  Column* Col(int position) { return ColumnAt(CurrentDataset(), position); }
};

// The public files read as R foreign's read.epiinfo reads them.
TEST_F(EpiInfoReaderTest, PublicFilesReadAsRForeignReadsThem) {
  TROVADEX_NEED_SHARED();
  if (!test::HaveRForeign()) GTEST_SKIP() << "R foreign absent";
  test::WriteFile(dir / "dump.R", R"(args <- commandArgs(trailingOnly = TRUE)
invisible(Sys.setlocale("LC_ALL", "C"))
suppressMessages(library(foreign))
d <- suppressWarnings(read.epiinfo(args[1]))
cat(nrow(d), "\n")
for (n in names(d)) cat(n, ifelse(is.na(d[[n]]), "m", sprintf("%.17g", d[[n]])), "\n")
)");
  const std::string folder = test::SharedDir() + "/corpus-public/epiinfo";
  // Only ../shared has them: their repository states no licence, so the
  // copy in tests/data leaves them out.
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no Epi Info samples";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string ending = entry.path().extension().string();
    if (ending != ".rec" && ending != ".REC") continue;
    SCOPED_TRACE(entry.path().string());
    std::string out;
    ASSERT_EQ(test::RunCommand("LC_ALL=C Rscript " + (dir / "dump.R") + " " + entry.path().string() + " 2>/dev/null", &out), 0);
    const test::PeerTable r = test::ParsePeerOutput(out);
    ASSERT_EQ(Read(entry.path().string()), 1) << output;
    ++files;
    Dataset* d = CurrentDataset();
    // R also reads the Ctrl-Z that ends a DOS file as a row of missing values.
    EXPECT_TRUE(d->rowCount == r.rows || (d->rowCount == r.rows - 1 && r.columns[0].cells.back() == "m"));
    ASSERT_EQ(d->columnCount, static_cast<int>(r.columns.size()));
    for (int k = 0; k < d->columnCount; ++k) {
      EXPECT_EQ(Col(k + 1)->name, r.columns[static_cast<std::size_t>(k)].name);
      for (int row = 0; row < d->rowCount; ++row) {
        const std::string& cell = r.columns[static_cast<std::size_t>(k)].cells[static_cast<std::size_t>(row)];
        const double want = cell == "m" ? kMissingValue : std::strtod(cell.c_str(), nullptr);
        ASSERT_EQ(GetNumber(Col(k + 1), row), want) << k << " " << row;
      }
    }
  }
  EXPECT_EQ(files, 4);
}

TEST_F(EpiInfoReaderTest, FieldsRecordsAndValues) {
  // Records of 100 characters: 78 characters and "!", then 22 and "!".
  std::string text = "7 1 VLAB\n"
                     "_name        1  1 14 10  1  1 60 112 NAME\n"
                     "_label       1  2 14  0  0  0  0 112 (a label)\n"
                     "_born        1  3 14 10  3  2  8 112 BORN\n"
                     "_full        1  4 14 10  4 10 10 112 FULL\n"
                     "#yes         1  5 14 10  5  5  1 112 YES\n"
                     "_amount      1  6 14 10  6 103  6 112 AMOUNT\n"
                     "_count       1  7 14 10  7  0 15 112 COUNT\n";
  auto record = [](const std::string& fields) {
    return fields.substr(0, 78) + "!\n" + fields.substr(78) + "!\n";
  };
  text += record(std::string("Ann") + std::string(57, ' ') + "12/31/99" + "12/31/1999" + "Y" + " 12.50" + "          12345");
  text += record(std::string("Gone") + std::string(56, ' ') + "01/01/80" + "01/01/1980" + "N" + "  1.25" + "              1");
  // Mark the second record deleted: its last line ends with "?".
  text.replace(text.rfind('!'), 1, "?");
  text += record(std::string(60, ' ') + "        " + "          " + " " + "   1.5" + "            nan");
  ASSERT_EQ(ReadText(text), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 2);
  ASSERT_EQ(d->columnCount, 6);
  EXPECT_EQ(Col(1)->name, "name");
  EXPECT_EQ(GetText(Col(1), 0), "Ann");
  EXPECT_EQ(Col(1)->kind, ColumnKind::Text);
  SetCurrentDateBase(Col(2)->dateBase);
  const double day = DayCountFromDate(31, 12, 1999);
  EXPECT_EQ(GetNumber(Col(2), 0), day);
  EXPECT_EQ(Col(2)->valueFormat, 5);
  EXPECT_EQ(Col(2)->dateRepresentation, 23);
  EXPECT_EQ(GetNumber(Col(3), 0), day);
  EXPECT_EQ(Col(3)->dateRepresentation, 24);
  EXPECT_EQ(Col(4)->name, "yes");
  EXPECT_EQ(GetNumber(Col(4), 0), 1);
  EXPECT_EQ(GetNumber(Col(5), 0), 12.5);
  EXPECT_EQ(Col(5)->decimals, 2);
  EXPECT_EQ(Col(5)->valueFormat, 3);
  EXPECT_EQ(GetNumber(Col(6), 0), 12345);
  for (int k = 2; k <= 4; ++k) EXPECT_EQ(GetNumber(Col(k), 1), kMissingValue) << k;
  EXPECT_EQ(GetNumber(Col(5), 1), 1.5);
  EXPECT_EQ(GetNumber(Col(6), 1), kMissingValue);  // "nan"
}

TEST_F(EpiInfoReaderTest, ShortRecordsAndRefusals) {
  const std::string head = "2\n_a 1 1 1 1 1 0 3 1 A\n_b 1 1 1 1 1 1 5 1 B\n";
  // A record line cut short: the missing characters are blanks.
  ASSERT_EQ(ReadText(head + "12!\n  7xyz!\n"), 1) << output;
  EXPECT_EQ(CurrentDataset()->rowCount, 2);
  EXPECT_EQ(GetNumber(Col(1), 0), 12);
  EXPECT_EQ(GetText(Col(2), 0), "");
  EXPECT_EQ(GetText(Col(2), 1), "xyz");
  // A negative length is no field; an unknown type, no field line or no
  // record refuse the file; a record longer than the file too.
  EXPECT_EQ(ReadText("2\n_a 1 1 1 1 1 0 -3 1 A\n_b 1 1 1 1 1 1 5 1 B\nhello!\n"), 1);
  EXPECT_EQ(CurrentDataset()->columnCount, 1);
  EXPECT_EQ(ReadText("1\n_a 1 1 1 1 1 4 3 1 A\n123!\n"), 0);
  EXPECT_EQ(ReadText("0\n"), 0);
  EXPECT_EQ(ReadText(head), 0);
  EXPECT_EQ(ReadText("1\n_a 1 1 1 1 1 1 99999999 1 A\nx!\n"), 0);
}

}  // namespace
}  // namespace trovadex
