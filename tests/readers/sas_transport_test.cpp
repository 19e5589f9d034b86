#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/readers.h"
#include "readers/sas_transport_peers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;
using test::TempDir;

constexpr double kEpoch = 131428;  // 1 January 1960 in the internal day count

struct Var {  // one NAMESTR
  int type;  // 1 numeric, 2 character
  int length;
  std::string name;
  std::string format;
  int decimals = 0;
  std::string label = "";
};

std::string Card(const std::string& text) {
  std::string c = text.substr(0, 80);
  c.resize(80, ' ');
  return c;
}

// A one-member transport file: header cards, NAMESTRs of `namestrLength`
// bytes, then `data` padded with blanks to whole cards.
std::string Transport(const std::vector<Var>& vars, const std::string& data, int namestrLength = 140) {
  std::string f = Card("HEADER RECORD*******LIBRARY HEADER RECORD!!!!!!!000000000000000000000000000000");
  f += Card("SAS     SAS     SASLIB  9.1");
  f += Card("01JAN24:00:00:00");
  f += Card("HEADER RECORD*******MEMBER  HEADER RECORD!!!!!!!000000000000000001600000000" +
            std::to_string(namestrLength));
  f += Card("HEADER RECORD*******DSCRPTR HEADER RECORD!!!!!!!000000000000000000000000000000");
  f += Card("SAS     TEST    SASDATA 9.1");
  f += Card("01JAN24:00:00:00");
  char count[8];
  std::snprintf(count, sizeof count, "%04d", static_cast<int>(vars.size()));
  f += Card(std::string("HEADER RECORD*******NAMESTR HEADER RECORD!!!!!!!000000") + count + "00000000000000000000");
  int position = 0;
  std::string namestrs;
  for (const Var& v : vars) {
    std::string n(140, '\0');
    StoreU16BE(&n[0], static_cast<uint16_t>(v.type));
    StoreU16BE(&n[4], static_cast<uint16_t>(v.length));
    std::string name = v.name, label = v.label, format = v.format;
    name.resize(8, ' ');
    label.resize(40, ' ');
    format.resize(8, ' ');
    n.replace(8, 8, name);
    n.replace(16, 40, label);
    n.replace(56, 8, format);
    StoreU16BE(&n[66], static_cast<uint16_t>(v.decimals));
    StoreU32BE(&n[84], static_cast<uint32_t>(position));
    position += v.length;
    namestrs += n.substr(0, static_cast<std::size_t>(namestrLength));
  }
  if (namestrs.size() % 80) namestrs.append(80 - namestrs.size() % 80, ' ');
  f += namestrs;
  f += Card("HEADER RECORD*******OBS     HEADER RECORD!!!!!!!000000000000000000000000000000");
  f += data;
  if (data.size() % 80) f.append(80 - data.size() % 80, ' ');
  return f;
}

std::string Ibm(uint64_t word, int length = 8) {
  std::string b(8, '\0');
  StoreU64BE(&b[0], word);
  return b.substr(0, static_cast<std::size_t>(length));
}

class SasTransportReaderTest : public StateTest {
 protected:
  TempDir dir;
  std::string output;

  int16_t Read(const std::string& bytes) {
    test::WriteFile(dir / "in.xpt", bytes);
    return ReadPath(dir / "in.xpt");
  }
  int16_t ReadPath(const std::string& path) {
    testing::internal::CaptureStdout();
    int16_t ok = ReadSasTransport(path.c_str());
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  Column* Col(int position) { return ColumnAt(CurrentDataset(), position); }
};

// Every real file reads as R foreign reads it (the first member of a file
// with several): names, row count and every value; texts cut to 90.
TEST_F(SasTransportReaderTest, RealFilesReadAsRForeignReadsThem) {
  TROVADEX_NEED_SHARED();
  if (!test::HaveRForeign()) GTEST_SKIP() << "R foreign absent";
  int files = 0;
  for (const char* folder : {"/corpus-public/sas-xpt", "/corpus/xport"}) {
    const std::string path = test::SharedDir() + folder;
    if (!std::filesystem::is_directory(path)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
      if (entry.path().extension() != ".xpt") continue;
      const std::string file = entry.path().string();
      SCOPED_TRACE(file);
      test::PeerTable peer = test::ReadWithR(file, dir);
      ASSERT_TRUE(peer.ok);
      ASSERT_EQ(ReadPath(file), 1) << output;
      ++files;
      Dataset* d = CurrentDataset();
      ASSERT_EQ(d->rowCount, peer.rows);
      ASSERT_EQ(d->columnCount, static_cast<int>(peer.columns.size()));
      for (int k = 0; k < d->columnCount; ++k) {
        const test::PeerColumn& p = peer.columns[static_cast<std::size_t>(k)];
        Column* c = Col(k + 1);
        EXPECT_EQ(c->name, p.name);
        for (long r = 0; r < peer.rows; ++r) {
          const std::string& cell = p.cells[static_cast<std::size_t>(r)];
          if (cell[0] == 't') {
            ASSERT_EQ(c->kind, ColumnKind::Text);
            EXPECT_EQ(GetText(c, r), test::PeerText(cell).substr(0, 90)) << p.name << " row " << r;
          } else if (cell[0] == 'm') {
            EXPECT_EQ(GetNumber(c, r), kMissingValue) << p.name << " row " << r;
          } else {
            // R reads the stored SAS number; dates move to the day count.
            double x = GetNumber(c, r);
            if (c->valueFormat == 5) x = c->dateRepresentation == 10 ? x - kEpoch : (x - kEpoch) * 86400;
            const double want = test::PeerNumber(cell);
            EXPECT_LE(std::fabs(x - want), std::fabs(want) * (c->valueFormat == 5 ? 1e-12 : 1e-15))
                << p.name << " row " << r;
          }
        }
      }
    }
  }
  EXPECT_GE(files, 6);
}

TEST_F(SasTransportReaderTest, NumbersMissingValuesAndDates) {
  std::vector<Var> vars = {{1, 8, "X", "", 2, "  an   amount "}, {1, 3, "SHORT", ""},
                           {1, 8, "BORN", "DATE"},  {1, 8, "STAMP", "DATETIME"},
                           {1, 8, "TOD", "TOD"},    {1, 8, "HM", "time"},
                           {2, 3, "", ""},          {1, 8, "WIDE", "", 65535}};
  std::string data;
  data += Ibm(0x4110000000000000) + Ibm(0x4110000000000000, 3) + Ibm(0) + Ibm(0x4515180000000000) +  // 86400
          Ibm(0x44A8C00000000000) + Ibm(0x44A8C00000000000) + "   " + Ibm(0xC276A00000000000);
  data += Ibm(0x2E00000000000000) + Ibm(0x5F00000000000000, 3) + Ibm(0x4100000000000000) + Ibm(0) + Ibm(0) +
          Ibm(0) + "ab " + Ibm(0);
  ASSERT_EQ(Read(Transport(vars, data, 136)), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 2);  // the blank tail of the last card is no observation
  Column* x = Col(1);
  EXPECT_EQ(GetNumber(x, 0), 1.0);
  EXPECT_EQ(x->description, "an amount");
  EXPECT_EQ(x->valueFormat, 3);
  EXPECT_EQ(x->decimals, 2);
  EXPECT_EQ(GetNumber(Col(2), 0), 1.0);
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(GetNumber(Col(k), 1), kMissingValue) << k;  // ".", "_", "A"
  Column* born = Col(3);
  EXPECT_EQ(born->valueFormat, 5);
  EXPECT_EQ(born->dateBase, 1);
  EXPECT_EQ(born->dateRepresentation, 10);
  EXPECT_EQ(GetNumber(born, 0), kEpoch);
  EXPECT_EQ(Col(4)->dateRepresentation, 26);
  EXPECT_EQ(GetNumber(Col(4), 0), kEpoch + 1);
  // "TOD" padded with blanks, as files give it; "time" in lower case.
  EXPECT_EQ(Col(5)->dateRepresentation, 26);
  EXPECT_EQ(GetNumber(Col(5), 0), kEpoch + 0.5);
  EXPECT_EQ(Col(6)->dateRepresentation, 29);
  EXPECT_EQ(Col(7)->name, "C6");
  EXPECT_EQ(Col(7)->kind, ColumnKind::Text);
  EXPECT_EQ(GetText(Col(7), 0), "");  // all blanks
  EXPECT_EQ(GetText(Col(7), 1), "ab");
  EXPECT_EQ(Col(8)->decimals, 16);
  EXPECT_EQ(GetNumber(Col(8), 0), -118.625);

  // Three 10-byte observations and 50 blanks: five blank "observations"
  // inside the last card are padding.
  ASSERT_EQ(Read(Transport({{2, 2, "S", ""}, {1, 8, "N", ""}},
                           "a " + Ibm(0) + "  " + Ibm(0) + "b " + Ibm(0x4110000000000000))), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 3);
  EXPECT_EQ(GetText(Col(1), 1), "");
  EXPECT_EQ(GetNumber(Col(2), 2), 1.0);
}

TEST_F(SasTransportReaderTest, LongTextsOldOverflowPatternsAndColumnLimit) {
  State().columnLimit = 3;
  std::vector<Var> vars = {{2, 120, "LONG", ""}, {1, 8, "A", ""}, {1, 8, "B", ""}, {1, 8, "C", ""}};
  std::string data = std::string(100, 'x') + std::string(20, 'y') + Ibm(~0ull) + Ibm(0x7FFFFFFFFFFFFFFF) + Ibm(0);
  ASSERT_EQ(Read(Transport(vars, data)), 1) << output;
  EXPECT_EQ(GetText(Col(1), 0), std::string(90, 'x'));
  EXPECT_EQ(GetNumber(Col(2), 0), 0.0);
  EXPECT_EQ(GetNumber(Col(3), 0), kMissingValue);
  EXPECT_EQ(CurrentDataset()->columnCount, 3);
  EXPECT_NE(output.find("Columns containing text longer than 90 have been truncated to this length.\n"),
            std::string::npos);
  EXPECT_NE(output.find("Too many variables in SAS dataset, only the first 3 will be imported."), std::string::npos);
  EXPECT_NE(output.find("      SAS Transport: Exponent overflow in Column A at row 1\n"), std::string::npos);
  EXPECT_NE(output.find("      SAS Transport: Exponent overflow in Column B at row 1\n"), std::string::npos);
  EXPECT_NE(output.find("2 values in: "), std::string::npos) << output;
}

// Damaged copies of a real file: each changed field is refused with its
// message, never read past.
TEST_F(SasTransportReaderTest, DamagedHeadersAndDescriptorsAreRefused) {
  TROVADEX_NEED_SHARED();
  const std::string good = test::ReadFile(test::SharedDir() + "/corpus-public/sas-xpt/test.xpt");
  ASSERT_EQ(good.size(), 1280u);
  struct Damage {
    std::size_t offset;
    std::string bytes;
    const char* message;
  };
  const char* notTransport = "The file is not a SAS transport file.\n";
  const char* cannot = "Cannot successfully read SAS transport file\n";
  // Card 4 holds the NAMESTR length at byte 75, card 8 the variable count
  // at 54; the NAMESTRs start at 640 (length at +4, position at +84).
  const Damage damages[] = {
      {0, "X", notTransport},
      {80 + 8, "X", notTransport},
      {240 + 77, "1", notTransport},           // NAMESTR length 141
      {560 + 54, "0000", "No Data header found"},  // no variables: a NAMESTR follows
      {560 + 54, "9999", cannot},              // more NAMESTRs than bytes
      {640 + 5, "\x09", cannot},               // numeric length 9
      {640 + 5, "\x02", cannot},               // numeric length 2
      {640 + 87, "\x09", cannot},              // position + length past the observation
      {640 + 84, "\xFF", cannot},              // negative position
      {960, "X", "No Data header found in SAS transport file\n"},
  };
  for (const Damage& damage : damages) {
    std::string bytes = good;
    bytes.replace(damage.offset, damage.bytes.size(), damage.bytes);
    EXPECT_EQ(Read(bytes), 0) << damage.offset;
    EXPECT_NE(output.find(damage.message), std::string::npos) << damage.offset << ": " << output;
  }
  EXPECT_EQ(Read(good.substr(0, 700)), 0);
  EXPECT_EQ(Read(good.substr(0, 1040)), 0);  // no observation
  EXPECT_NE(output.find("is empty."), std::string::npos);
  // A cut inside the observations keeps the whole ones.
  ASSERT_EQ(Read(good.substr(0, 1040 + 5 * 16 + 3)), 1);
  EXPECT_EQ(CurrentDataset()->rowCount, 5);
}

}  // namespace
}  // namespace trovadex
