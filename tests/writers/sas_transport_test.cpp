#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/readers.h"
#include "readers/sas_transport_peers.h"
#include "test_support.h"
#include "writers/writers.h"

namespace trovadex {
namespace {

using test::StateTest;
using test::TempDir;

constexpr double kEpoch = 131428;  // 1 January 1960 in the internal day count

// One NAMESTR of a written file.
struct Namestr {
  int type, length, number, formatWidth, decimals, position;
  std::string name, label, format, informat, rest;
};

Namestr NamestrAt(const std::string& file, int index) {
  const std::string n = file.substr(640 + 140 * static_cast<std::size_t>(index), 140);
  const auto* p = reinterpret_cast<const unsigned char*>(n.data());
  return {LoadU16BE(p),      LoadU16BE(p + 4), LoadU16BE(p + 6),  LoadU16BE(p + 64), LoadU16BE(p + 66),
          static_cast<int>(LoadU32BE(p + 84)), n.substr(8, 8), n.substr(16, 40), n.substr(56, 8),
          n.substr(72, 8),   n.substr(88)};
}

class SasTransportWriterTest : public StateTest {
 protected:
  TempDir dir;
  std::string output;

  Dataset* NewDataset(int rows, const std::string& source = "in.csv") {
    Dataset* d = CreateDataset();
    d->rowCount = rows;
    d->sourceFile = source;
    CreateRows(d);
    return d;
  }
  Column* Numbers(Dataset* d, const std::string& name, const std::vector<double>& values) {
    Column* c = AddColumnWithValues(d, ColumnKind::Variate, name, static_cast<int32_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) SetNumber(c, static_cast<int64_t>(i), values[i]);
    return c;
  }
  Column* Dates(Dataset* d, const std::string& name, const std::vector<double>& values, int representation,
                int base = 1) {
    Column* c = Numbers(d, name, values);
    c->valueFormat = 5;
    c->dateRepresentation = representation;
    c->dateBase = static_cast<int16_t>(base);
    return c;
  }
  Column* Texts(Dataset* d, const std::string& name, const std::vector<std::string>& values) {
    Column* c = AddColumnWithValues(d, ColumnKind::Text, name, static_cast<int32_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) SetText(c, static_cast<int64_t>(i), values[i]);
    return c;
  }
  std::string Write(Dataset* d, const std::string& name = "out.xpt") {
    testing::internal::CaptureStdout();
    const int16_t ok = WriteSasTransport(d, (dir / name).c_str());
    output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ok, 1) << output;
    return test::ReadFile(dir / name);
  }
};

uint64_t Word(const std::string& file, std::size_t at) {
  return LoadU64BE(reinterpret_cast<const unsigned char*>(file.data() + at));
}

TEST_F(SasTransportWriterTest, HeaderNamestrsAndObservations) {
  Dataset* d = NewDataset(2, "some/dir/my file.dbf");
  Texts(d, "name", {"Ann", "Bartholomew"});
  Column* amount = Numbers(d, "amount", {-118.625, kMissingValue});
  amount->decimals = 3;
  amount->description = "Amount paid";
  Texts(d, "empty", {"", ""});
  Dates(d, "born", {kEpoch, kEpoch + 1}, 3);
  const std::string f = Write(d);
  EXPECT_EQ(f.substr(0, 80),
            "HEADER RECORD*******LIBRARY HEADER RECORD!!!!!!!000000000000000000000000000000  ");
  const std::regex stamp("[0-3][0-9](JAN|FEB|MAR|APR|MAY|JUN|JUL|AUG|SEP|OCT|NOV|DEC)[0-9]{2}(:[0-9]{2}){3}");
  EXPECT_EQ(f.substr(80, 64), "SAS     SAS     SASLIB  6.12    WIN_NT                          ");
  EXPECT_TRUE(std::regex_match(f.substr(144, 16), stamp)) << f.substr(144, 16);
  EXPECT_EQ(f.substr(160, 16), f.substr(144, 16));
  EXPECT_EQ(f.substr(176, 64), std::string(64, ' '));
  EXPECT_EQ(f.substr(240, 80),
            "HEADER RECORD*******MEMBER  HEADER RECORD!!!!!!!000000000000000001600000000140  ");
  EXPECT_EQ(f.substr(320, 80),
            "HEADER RECORD*******DSCRPTR HEADER RECORD!!!!!!!000000000000000000000000000000  ");
  EXPECT_EQ(f.substr(400, 64), "SAS     my_file SASDATA 6.12    WIN_NT                          ");
  EXPECT_EQ(f.substr(560, 80),
            "HEADER RECORD*******NAMESTR HEADER RECORD!!!!!!!000000000400000000000000000000  ");
  // Four NAMESTRs fill 560 bytes: no padding before the observation header.
  EXPECT_EQ(f.substr(1200, 80),
            "HEADER RECORD*******OBS     HEADER RECORD!!!!!!!000000000000000000000000000000  ");
  Namestr n = NamestrAt(f, 0);
  EXPECT_EQ(n.type, 2);
  EXPECT_EQ(n.length, 11);
  EXPECT_EQ(n.number, 1);
  EXPECT_EQ(n.name, "name    ");
  EXPECT_EQ(n.rest, std::string(52, ' '));
  n = NamestrAt(f, 1);
  EXPECT_EQ(n.type, 1);
  EXPECT_EQ(n.length, 8);
  EXPECT_EQ(n.position, 11);
  EXPECT_EQ(n.decimals, 3);
  EXPECT_EQ(n.label, "Amount paid" + std::string(29, ' '));
  EXPECT_EQ(n.format, "        ");
  n = NamestrAt(f, 2);
  EXPECT_EQ(n.length, 1);  // texts all empty
  EXPECT_EQ(n.position, 19);
  n = NamestrAt(f, 3);
  EXPECT_EQ(n.format, "DATE    ");
  EXPECT_EQ(n.informat, "DATE    ");
  EXPECT_EQ(n.formatWidth, 9);
  EXPECT_EQ(n.decimals, 0);
  // Observations of 28 bytes: 56, padded to 80.
  ASSERT_EQ(f.size(), 1280u + 80u);
  EXPECT_EQ(f.substr(1280, 11), "Ann        ");
  EXPECT_EQ(Word(f, 1291), 0xC276A00000000000ull);
  EXPECT_EQ(f[1299], ' ');
  EXPECT_EQ(Word(f, 1300), 0u);  // 1 January 1960 is day 0
  EXPECT_EQ(f.substr(1308, 11), "Bartholomew");
  EXPECT_EQ(Word(f, 1319), 0x2E00000000000000ull);  // "." missing
  EXPECT_EQ(Word(f, 1328), 0x4110000000000000ull);
  EXPECT_EQ(f.substr(1336), std::string(24, ' '));

  // Three columns: 420 bytes of NAMESTRs and 60 blanks.
  Dataset* three = NewDataset(1, "data.dbf");
  for (const char* name : {"a", "b", "c"}) Numbers(three, name, {1});
  const std::string g = Write(three, "three.tpt");
  EXPECT_EQ(g.substr(408, 8), "data    ");
  EXPECT_EQ(g.substr(1060, 60), std::string(60, ' '));
  EXPECT_EQ(g.substr(1120, 20), "HEADER RECORD*******");
}

TEST_F(SasTransportWriterTest, NamesMemberNamesAndDateFormats) {
  Dataset* d = NewDataset(2, "2024 sales.v1.csv");
  const char* names[] = {"very_long_name_a", "very_long_name_b", "VERY_LONG_NAME_C", "2nd", "a b[1]", "x", "X"};
  for (const char* name : names) Numbers(d, name, {1, 2});
  Dates(d, "stamp", {kEpoch + 1.5, kEpoch}, 26);
  Dates(d, "clock", {kEpoch + 0.25, kEpoch + 0.5}, 29);
  Dates(d, "when", {kEpoch + 100.5, kEpoch}, 30);
  Dates(d, "serial", {21916, 21917}, 3, 0);
  const std::string f = Write(d);
  EXPECT_EQ(f.substr(408, 8), "_2024_sa");
  const char* written[] = {"very_lon", "very_lo2", "VERY_LO3", "_2nd    ", "a_b_1_  ", "x       ", "X2      "};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(NamestrAt(f, i).name, written[i]) << i;
  const std::size_t data = 640 + 11 * 140 + 60 + 80;
  ASSERT_EQ(f.substr(data - 80, 20), "HEADER RECORD*******");
  EXPECT_EQ(NamestrAt(f, 7).format, "DATETIME");
  EXPECT_EQ(NamestrAt(f, 7).formatWidth, 20);
  EXPECT_EQ(NamestrAt(f, 8).format, "TIME    ");
  EXPECT_EQ(NamestrAt(f, 8).formatWidth, 8);
  EXPECT_EQ(NamestrAt(f, 9).format, "DATETIME");
  EXPECT_EQ(NamestrAt(f, 10).format, "DATE    ");
  EXPECT_EQ(Word(f, data + 7 * 8), 0x451FA40000000000ull);  // 1.5 days: 129600 seconds
  EXPECT_EQ(Word(f, data + 8 * 8), 0x4454600000000000ull);  // 0.25 days: 21600 seconds
  EXPECT_EQ(Word(f, data + 10 * 8), 0u);                    // serial 21916: 1 January 1960
  EXPECT_EQ(Word(f, data + 88 + 10 * 8), 0x4110000000000000ull);
}

TEST_F(SasTransportWriterTest, FactorsByTheirDisplay) {
  Dataset* d = NewDataset(3);
  std::vector<Column*> factors;
  for (int display = 0; display < 3; ++display) {
    Column* c = Numbers(d, "f" + std::to_string(display), {2, 1, kMissingValue});
    c->kind = ColumnKind::Factor;
    c->factorDisplay = display;
    c->levelCount = 2;
    SetLevelValueList(c, {10.5, 20});
    SetLabelList(c, {"low", "high"});
  }
  const std::string f = Write(d);
  EXPECT_EQ(NamestrAt(f, 2).type, 2);
  EXPECT_EQ(NamestrAt(f, 2).length, 4);
  const std::size_t data = 640 + 3 * 140 + 60 + 80;
  EXPECT_EQ(Word(f, data), 0x4120000000000000ull);      // level number 2
  EXPECT_EQ(Word(f, data + 8), 0x4214000000000000ull);  // level value 20
  EXPECT_EQ(f.substr(data + 16, 4), "high");
  EXPECT_EQ(Word(f, data + 20 + 8), 0x41A8000000000000ull);  // 10.5
  EXPECT_EQ(Word(f, data + 40), 0x2E00000000000000ull);
  EXPECT_EQ(Word(f, data + 48), 0x2E00000000000000ull);
  EXPECT_EQ(f.substr(data + 56, 4), "    ");
}

TEST_F(SasTransportWriterTest, FailuresReturnZero) {
  Dataset* d = NewDataset(1);
  Numbers(d, "x", {1});
  EXPECT_EQ(WriteSasTransport(NewDataset(1), (dir / "none.xpt").c_str()), 0);  // no columns
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteSasTransport(d, (dir / "no/such/dir.xpt").c_str()), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Write SAS Tranport file - could not open file"),
            std::string::npos);
  if (std::FILE* full = std::fopen("/dev/full", "wb")) {
    std::fclose(full);
    EXPECT_EQ(WriteSasTransport(d, "/dev/full"), 0);  // the writes fail or the close does
  }
}

// Our own reader gives back every number bit for bit, and dates by day.
TEST_F(SasTransportWriterTest, OwnReaderGetsEveryValueBack) {
  std::mt19937_64 random(11);
  std::vector<double> numbers, days;
  for (int i = 0; i < 2000; ++i) {
    uint64_t bits = (random() & 0x800FFFFFFFFFFFFFull) | ((763 + random() % 511 + 1) << 52);
    numbers.push_back(std::bit_cast<double>(bits));
    days.push_back(kEpoch + static_cast<double>(static_cast<int64_t>(random() % 200000) - 100000));
  }
  numbers[0] = kMissingValue;
  numbers[1] = 0;
  Dataset* d = NewDataset(2000);
  Numbers(d, "x", numbers);
  Dates(d, "day", days, 3);
  Write(d);
  testing::internal::CaptureStdout();
  ASSERT_EQ(ReadSasTransport((dir / "out.xpt").c_str()), 1);
  testing::internal::GetCapturedStdout();
  Dataset* back = CurrentDataset();
  ASSERT_EQ(back->rowCount, 2000);
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(std::bit_cast<uint64_t>(GetNumber(ColumnAt(back, 1), i)), std::bit_cast<uint64_t>(numbers[static_cast<std::size_t>(i)])) << i;
    ASSERT_EQ(GetNumber(ColumnAt(back, 2), i), days[static_cast<std::size_t>(i)]) << i;
  }
}

// Every numeric kind is written as numbers, kind 22 as much as Variate.
TEST_F(SasTransportWriterTest, EveryNumericKindKeepsItsValues) {
  const ColumnKind kinds[] = {ColumnKind::MatrixColumn, ColumnKind::Numeric6, ColumnKind::TableColumn,
                              ColumnKind::Numeric22};
  Dataset* d = NewDataset(2);
  for (ColumnKind kind : kinds) Numbers(d, "k" + std::to_string(static_cast<int>(kind)), {1.5, -2})->kind = kind;
  Write(d);
  testing::internal::CaptureStdout();
  ASSERT_EQ(ReadSasTransport((dir / "out.xpt").c_str()), 1);
  testing::internal::GetCapturedStdout();
  for (int i = 1; i <= 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(GetNumber(ColumnAt(CurrentDataset(), i), 0), 1.5);
    EXPECT_EQ(GetNumber(ColumnAt(CurrentDataset(), i), 1), -2);
  }
}

// What pandas and R foreign read from our output: every value, with
// underflow as 0 (pandas: 2^-260), overflow and missing as missing.
TEST_F(SasTransportWriterTest, IndependentReadersAgree) {
  const bool haveR = test::HaveRForeign(), havePandas = test::HavePandas();
  if (!haveR && !havePandas) GTEST_SKIP() << "neither R foreign nor pandas";
  const double tiny = std::ldexp(1.0, -259), huge = 7.2e75;
  const std::vector<double> x = {1, -2.5, 0.1, 1e-80, 1e80, -0.0, huge, -tiny, kMissingValue, 123456789012345678.0};
  const std::vector<double> expected = {1, -2.5, 0.1, 0, NAN, 0, huge, -tiny, NAN, 123456789012345678.0};
  Dataset* d = NewDataset(10);
  Numbers(d, "number", x);
  Numbers(d, "number_long_a", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  Numbers(d, "number_long_b", {-1, -2, -3, -4, -5, -6, -7, -8, -9, -10});
  Texts(d, "text", {"a", "", "Zürich", "with  blanks", "x", "y", "z", std::string(90, 'q'), "", "end"});
  Dates(d, "day", {kEpoch, kEpoch - 1, kEpoch + 23376, kMissingValue, kEpoch, kEpoch, kEpoch, kEpoch, kEpoch, kEpoch}, 3);
  Write(d);
  const std::string file = dir / "out.xpt";
  for (int peerIndex = 0; peerIndex < 2; ++peerIndex) {
    if (peerIndex == 0 ? !haveR : !havePandas) continue;
    SCOPED_TRACE(peerIndex == 0 ? "R foreign" : "pandas");
    test::PeerTable t = peerIndex == 0 ? test::ReadWithR(file, dir) : test::ReadWithPandas(file, dir);
    ASSERT_TRUE(t.ok);
    ASSERT_EQ(t.rows, 10);
    ASSERT_EQ(t.columns.size(), 5u);
    const char* names[] = {"number", "number_l", "number_2", "text", "day"};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(t.columns[static_cast<std::size_t>(k)].name, names[k]);
    for (std::size_t r = 0; r < 10; ++r) {
      const std::string& cell = t.columns[0].cells[r];
      if (std::isnan(expected[r])) {
        EXPECT_EQ(cell, "m") << r;
      } else if (expected[r] == 0 && peerIndex == 1) {
        EXPECT_EQ(test::PeerNumber(cell), std::ldexp(1.0, -260)) << r;  // pandas reads zero so
      } else {
        ASSERT_EQ(cell[0], 'n') << r;
        EXPECT_LE(std::fabs(test::PeerNumber(cell) - expected[r]), 1e-15 * std::fabs(expected[r])) << r;
      }
      EXPECT_EQ(test::PeerNumber(t.columns[1].cells[r]), static_cast<double>(r + 1));
      EXPECT_EQ(test::PeerNumber(t.columns[2].cells[r]), -static_cast<double>(r + 1));
      EXPECT_EQ(test::PeerText(t.columns[3].cells[r]), GetText(ColumnAt(d, 4), static_cast<int64_t>(r))) << r;
    }
    const std::vector<std::string> days = {"n0x0p+0", "n-0x1p+0", "n0x1.6d4p+14", "m"};
    for (std::size_t r = 0; r < days.size(); ++r) {
      const std::string& cell = t.columns[4].cells[r];
      if (days[r] == "m")
        EXPECT_EQ(cell, "m");
      else if (r == 0 && peerIndex == 1)
        EXPECT_EQ(test::PeerNumber(cell), std::ldexp(1.0, -260));
      else
        EXPECT_EQ(test::PeerNumber(cell), test::PeerNumber(days[r])) << r;
    }
  }
}

// Through the program: delimited text to transport and back keeps every
// value; a transport file copied through the writer lists as the original.
TEST(SasTransportEndToEnd, RoundTripsThroughTheProgram) {
  TempDir dir;
  test::WriteFile(dir / "in.csv",
                  "name,x,when,very_long_name_a,very_long_name_b\n"
                  "Ann,1.5,2024-03-01,0.1,2\nBob,-118.625,1960-01-01,4,1e-70\n"
                  "Cy,123456.789012345,1959-12-31,7,8\nZed,3.141592653589793,,1e70,-7\n");
  auto run = test::RunTrovadex({"in.csv", "in.xpt"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  run = test::RunTrovadex({"in.xpt", "back.csv"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  run = test::RunTrovadex({"in.csv", "direct.csv"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  // Only the names change (8 characters, unique).
  std::string want = test::ReadFile(dir / "direct.csv");
  std::string got = test::ReadFile(dir / "back.csv");
  const std::string wantHead = want.substr(0, want.find('\n')), gotHead = got.substr(0, got.find('\n'));
  EXPECT_NE(gotHead.find("very_lon"), std::string::npos);
  EXPECT_NE(gotHead.find("very_lo2"), std::string::npos);
  const auto rest = [](const std::string& s) {
    std::string body = s.substr(s.find('\n') + 1);
    body.erase(std::remove(body.begin(), body.end(), ' '), body.end());
    return body;
  };
  EXPECT_EQ(rest(got), rest(want));

  TROVADEX_NEED_SHARED();
  std::filesystem::copy_file(test::SharedDir() + "/corpus/xport/haven_v5.xpt", dir / "h.xpt");
  for (auto args : {std::vector<std::string>{"h.xpt", "h.csv"}, {"h.xpt", "copy.tpt"}, {"copy.tpt", "copy.csv"}}) {
    run = test::RunTrovadex(args, dir.path().string());
    ASSERT_EQ(run.exitCode, 0) << run.output;
  }
  EXPECT_EQ(test::ReadFile(dir / "copy.csv"), test::ReadFile(dir / "h.csv"));
}

}  // namespace
}  // namespace trovadex
