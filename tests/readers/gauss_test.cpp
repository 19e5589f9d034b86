#include <cmath>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "matrix_support.h"
#include "readers/readers.h"
#include "test_support.h"
#include "writers/writers.h"

namespace trovadex {
namespace {

using test::StateTest;

constexpr double kM = kMissingValue;

// Header bytes set field by field in either byte order.
struct Bytes {
  std::string b;
  bool big = false;
  explicit Bytes(std::size_t n, bool bigEndian = false) : b(n, '\0'), big(bigEndian) {}
  Bytes& I16(std::size_t at, uint16_t v) {
    big ? StoreU16BE(&b[at], v) : StoreU16LE(&b[at], v);
    return *this;
  }
  Bytes& I32(std::size_t at, uint32_t v) {
    big ? StoreU32BE(&b[at], v) : StoreU32LE(&b[at], v);
    return *this;
  }
  Bytes& Text(std::size_t at, const std::string& t) {
    b.replace(at, t.size(), t);
    return *this;
  }
  Bytes& F64(double v) {
    std::string d(8, '\0');
    big ? StoreF64BE(d.data(), v) : StoreF64LE(d.data(), v);
    b += d;
    return *this;
  }
};

std::string Padded(const std::string& text) { return text + std::string(8 - text.size(), '\0'); }

class GaussTest : public StateTest {
 protected:
  test::TempDir dir;
  std::string output;
  int16_t Read(const std::string& name, const std::string& bytes) {
    test::WriteFile(dir / name, bytes);
    testing::internal::CaptureStdout();
    const int16_t ok = ReadGauss((dir / name).c_str());
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  Dataset* Sample(int32_t rows, int numeric) {
    Dataset* d = test::NewDataset(rows, "m");
    test::AddTexts(d, "t", std::vector<std::string>(static_cast<std::size_t>(rows), "x"));
    for (int c = 0; c < numeric; ++c) {
      std::vector<double> v(static_cast<std::size_t>(c == 1 ? rows / 2 : rows));
      for (std::size_t r = 0; r < v.size(); ++r) v[r] = r % 7 == 3 ? kM : c * 1000.0 + static_cast<double>(r) / 3;
      test::AddNumbers(d, ("c" + std::to_string(c)).c_str(), v);
    }
    return d;
  }
};

// Short and long headers: our reader gets every value back, the missing
// pattern for missing values and for the rows a short column lacks.
TEST_F(GaussTest, RoundTripsShortAndLongHeaders) {
  for (int32_t rows : {100, 1000}) {
    SCOPED_TRACE(rows);
    ResetState();
    Dataset* d = Sample(rows, 10);
    const std::string path = dir / "m.fmt";
    ASSERT_EQ(WriteGauss(d, path.c_str()), 1);
    const std::string bytes = test::ReadFile(path);
    const uint32_t size = static_cast<uint32_t>(rows) * 10 * 8;
    if (rows == 100) {
      EXPECT_EQ(LoadU16LE(&bytes[0]), 0xDDDD);
      EXPECT_EQ(LoadU16LE(&bytes[6]), size);
    } else {
      EXPECT_EQ(bytes.substr(0, 4), std::string("\xDD\xEE\x86\x00", 4));
      EXPECT_EQ(LoadU32LE(&bytes[12]), size);
    }
    EXPECT_EQ(bytes.size(), 16 + size);
    std::vector<std::vector<double>> want;
    for (Column* c = d->firstColumn->next->next; c; c = c->next) {
      std::vector<double> v = test::Numbers(c);
      v.resize(static_cast<std::size_t>(rows), kM);
      want.push_back(v);
    }
    ResetState();
    ASSERT_EQ(ReadGauss(path.c_str()), 1);
    Dataset* back = CurrentDataset();
    EXPECT_EQ(back->shape, DatasetShape::Matrix);
    ASSERT_EQ(back->columnCount, 10);
    EXPECT_EQ(ColumnAt(back, 3)->name, "3");
    for (int c = 0; c < 10; ++c) EXPECT_EQ(test::Numbers(ColumnAt(back, c + 1)), want[static_cast<std::size_t>(c)]);
  }
}

TEST_F(GaussTest, WriterRefusalsAndSwappedOutput) {
  Dataset* d = test::NewDataset(2);
  test::AddTexts(d, "t", {"a", "b"});
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteGauss(d, (dir / "t.fmt").c_str()), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("no numeric columns"), std::string::npos);
  test::AddNumbers(d, "v", {1.5, kM});
  d->shape = DatasetShape::SymmetricMatrix;
  EXPECT_EQ(WriteGauss(d, (dir / "t.fmt").c_str()), 0);
  // After a byte-reversed input every field and value is reversed.
  d->shape = DatasetShape::Columns;
  State().gaussByteOrder = 1;
  ASSERT_EQ(WriteGauss(d, (dir / "t.fmt").c_str()), 1);
  const std::string bytes = test::ReadFile(dir / "t.fmt");
  EXPECT_EQ(LoadU16BE(&bytes[2]), 2);
  EXPECT_EQ(LoadU16BE(&bytes[6]), 16);
  EXPECT_EQ(LoadF64BE(&bytes[16]), 1.5);
  EXPECT_EQ(bytes.substr(24), std::string("\x7F\xFF\xFF\xFF\0\0\0\0", 8));
}

// Short (DADA) and long (EEDA) data-set headers with their ".dat" files.
TEST_F(GaussTest, DataSetsWithDataFiles) {
  Bytes dht(128 + 16);
  dht.I16(0, 0xDADA).I16(6, 2).I16(12, 8).Text(128, "AGE").Text(136, "name");
  // Row by row: AGE, then name's 8 bytes; a remainder shorter than a row.
  const std::string dat = Bytes(0).F64(41).b + Padded("Smith") + Bytes(0).F64(1e308).b + Padded("Li") + "xx";
  test::WriteFile(dir / "x.dat", dat);
  ASSERT_EQ(Read("x.dht", dht.b), 1) << output;
  Dataset* d = CurrentDataset();
  EXPECT_EQ(d->shape, DatasetShape::Columns);
  EXPECT_EQ(d->rowCount, 2);
  EXPECT_EQ(ColumnAt(d, 1)->kind, ColumnKind::Variate);
  EXPECT_EQ(test::Numbers(ColumnAt(d, 1)), (std::vector<double>{41, kNumberCap}));
  EXPECT_EQ(ColumnAt(d, 2)->kind, ColumnKind::Text);
  EXPECT_EQ(test::Texts(ColumnAt(d, 2)), (std::vector<std::string>{"Smith", "Li"}));

  Bytes longHeader(128 + 24);
  longHeader.I16(0, 0xEEDA).I16(2, 8).I32(8, 3).Text(128, "A").Text(136, "B").Text(144, "C");
  test::WriteFile(dir / "y.dat", std::string(100, '\0'));
  ASSERT_EQ(Read("y.dht", longHeader.b), 1) << output;
  EXPECT_EQ(CurrentDataset()->rowCount, 4);  // 100 bytes, 24 a row

  // No variables, the flag bit 4, no data file.
  EXPECT_EQ(Read("y.dht", Bytes(longHeader).I32(8, 0).b), 0);
  EXPECT_EQ(Read("y.dht", Bytes(longHeader).I16(28, 4).b), 0);
  EXPECT_EQ(Read("z.dht", longHeader.b), 0);
  EXPECT_NE(output.find("z.dat"), std::string::npos) << output;
}

// Marked headers in the other byte order and zero-prefixed headers in both.
TEST_F(GaussTest, ByteOrderMarks) {
  // A data set whose header is big-endian (mark 02EFCDAB as read) and
  // whose data are big-endian too (data-order flag set).
  Bytes marked(128 + 2 * 32 + 8, true);
  marked.I16(0, 0xFFFF).I16(2, 0xFFFF).I32(20, 1).I32(28, 0xABCDEF02).I32(48, 8).I32(80, 2).I32(84, 2);
  marked.Text(128, "num").Text(160, "txt");
  marked.b[192] = 1;  // type bytes: numeric, character
  marked.F64(2.5).b += "ABCDEFGH";
  marked.F64(-4).b += Padded("IJ");
  ASSERT_EQ(Read("m.dat", marked.b), 1) << output;
  Dataset* d = CurrentDataset();
  EXPECT_EQ(test::Numbers(ColumnAt(d, 1)), (std::vector<double>{2.5, -4}));
  // Character elements are byte-reversed with the data.
  EXPECT_EQ(test::Texts(ColumnAt(d, 2)), (std::vector<std::string>{"HGFEDCBA", ""}));
  EXPECT_EQ(State().gaussByteOrder, 1);

  // A zero-prefixed 2 x 2 matrix, as written and byte-reversed.
  for (bool big : {false, true}) {
    Bytes zero(136, big);
    zero.I32(4, 0xEECDCDCD).I32(24, 2).I32(128, 2).I32(132, 2);
    for (double x : {1.0, 2.0, std::nan(""), 4.0}) zero.F64(x);
    ASSERT_EQ(Read("z.fmt", zero.b), 1) << output;
    EXPECT_EQ(test::Numbers(ColumnAt(CurrentDataset(), 2)), (std::vector<double>{2, 4}));
    EXPECT_EQ(test::Numbers(ColumnAt(CurrentDataset(), 1)), (std::vector<double>{1, kM}));
    EXPECT_EQ(State().gaussByteOrder, big ? 1 : 0);
  }
}

TEST_F(GaussTest, ShortFilesAndColumnLimit) {
  Bytes m(16);
  m.I16(0, 0xDDDD).I16(2, 2).I16(4, 3).I16(8, 134);
  for (int i = 0; i < 6; ++i) m.F64(i);
  std::string whole = m.b;
  ASSERT_EQ(Read("a.fmt", whole), 1) << output;
  EXPECT_EQ(test::Numbers(ColumnAt(CurrentDataset(), 3)), (std::vector<double>{2, 5}));
  EXPECT_EQ(Read("a.fmt", whole.substr(0, whole.size() - 1)), 0);
  EXPECT_NE(output.find("holds less than its header announces"), std::string::npos);
  // A long header announcing 2^31 - 1 rows of 2^31 - 1 columns.
  Bytes huge(16);
  huge.I16(0, 0xEEDD).I16(2, 134).I32(4, 0x7FFFFFFF).I32(8, 0x7FFFFFFF);
  EXPECT_EQ(Read("h.fmt", huge.b), 0);
  State().columnLimit = 2;
  ASSERT_EQ(Read("a.fmt", whole), 1);
  EXPECT_EQ(CurrentDataset()->columnCount, 2);
  EXPECT_EQ(output, "Warning Columns above 2 NOT transfered!\n");
}

TEST(GaussEndToEnd, DelimitedToGaussToCorvist) {
  test::TempDir dir;
  test::WriteFile(dir / "in.csv", "a,b,name\n1.25,2,x\n3,,y\n");
  ASSERT_EQ(test::RunTrovadex({"in.csv", "m.fmt"}, dir.path().string()).exitCode, 0);
  auto back = test::RunTrovadex({"m.fmt", "m.crv"}, dir.path().string());
  ASSERT_EQ(back.exitCode, 0) << back.output;
  const std::string crv = test::ReadFile(dir / "m.crv");
  EXPECT_NE(crv.find("MATRIX [rows=2;columns=2] m"), std::string::npos) << crv;
  EXPECT_NE(crv.find("1.25 2 3 *"), std::string::npos) << crv;
}

}  // namespace
}  // namespace trovadex
