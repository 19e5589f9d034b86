#include <cmath>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/format.h"
#include "matrix_support.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;

constexpr double kM = kMissingValue;
constexpr int32_t kNa = 0x7FF00001;

struct Attr {
  std::string name;
  int32_t mode;
  int32_t length;
  uint32_t offset;
};

// A binary object file: the top attribute table first, the contents after
// it at offsets the test takes from the Add... calls.
struct ObjectBuilder {
  bool big;
  std::size_t base;
  std::string body;

  ObjectBuilder(bool bigEndian, const std::vector<std::string>& topNames) : big(bigEndian) {
    base = 20 + 12 * topNames.size();
    for (const auto& n : topNames) base += n.size() + 1;
  }
  std::string Int(int32_t v) const {
    std::string b(4, '\0');
    big ? StoreU32BE(b.data(), static_cast<uint32_t>(v)) : StoreU32LE(b.data(), static_cast<uint32_t>(v));
    return b;
  }
  uint32_t Put(const std::string& bytes) {
    const auto at = static_cast<uint32_t>(base + body.size());
    body += bytes;
    return at;
  }
  uint32_t Ints(const std::vector<int32_t>& v) {
    std::string b;
    for (int32_t x : v) b += Int(x);
    return Put(b);
  }
  uint32_t Doubles(const std::vector<double>& v) {
    std::string b;
    for (double x : v) {
      std::string d(8, '\0');
      big ? StoreF64BE(d.data(), x) : StoreF64LE(d.data(), x);
      b += d;
    }
    return Put(b);
  }
  uint32_t Strings(const std::string& joined) { return Put(Int(static_cast<int32_t>(joined.size())) + joined); }
  std::string Table(const std::vector<Attr>& attrs) const {
    std::string names, arrays;
    for (const Attr& a : attrs) names += a.name + '\0';
    for (const Attr& a : attrs) arrays += Int(a.mode);
    for (const Attr& a : attrs) arrays += Int(a.length);
    for (const Attr& a : attrs) arrays += Int(static_cast<int32_t>(a.offset));
    return Int(static_cast<int32_t>(names.size())) + names + arrays;
  }
  uint32_t List(const std::vector<Attr>& attrs) { return Put(Table(attrs)); }
  std::string Finish(const std::vector<Attr>& top) const {
    return std::string("\0S data\x01", 8) + Int(21) + Int(static_cast<int32_t>(top.size())) + Table(top) + body;
  }
};

class SplusBinaryReaderTest : public StateTest {
 protected:
  test::TempDir dir;
  std::string output;
  int16_t Read(const std::string& path) {
    testing::internal::CaptureStdout();
    const int16_t ok = ReadSplusBinary(path.c_str());
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  int16_t ReadBytes(const std::string& bytes) {
    test::WriteFile(dir / "obj", bytes);
    return Read(dir / "obj");
  }

  // A data frame of every column kind, row names a, b, c.
  std::string Frame(bool big, int labels) {
    ObjectBuilder b(big, {".Data", "row.names", "class"});
    const uint32_t num = b.Doubles({1.5, std::nan(""), 1e308});
    const uint32_t ints = b.Ints({7, kNa, -2});
    const uint32_t logic = b.Ints({1, 0, kNa});
    const uint32_t text = b.Strings(std::string("x\0yy\0zzz", 8));  // the last NUL missing
    const uint32_t codes = b.Ints({1, 3, 0});
    const uint32_t label = b.Strings(std::string("lo\0mid\0hi\0", 10));
    const uint32_t factorClass = b.Strings(std::string("factor\0", 7));
    const uint32_t factor = b.List({{".Data", 2, 3, codes}, {".Label", 5, labels, label}, {"class", 5, 1, factorClass}});
    const uint32_t days = b.Ints({0, -1, kNa});
    const uint32_t originData = b.Doubles({1, 1, 1960});
    const uint32_t origin = b.List({{".Data", 4, 3, originData}});
    const uint32_t datesClass = b.Strings(std::string("dates\0", 6));
    const uint32_t dates = b.List({{".Data", 2, 3, days}, {"class", 5, 1, datesClass}, {"origin", 21, 1, origin}});
    const uint32_t list = b.List({{"num", 4, 3, num}, {"ints", 2, 3, ints}, {"ok", 1, 3, logic},
                                  {"t", 5, 3, text}, {"f", 21, 3, factor}, {"d", 21, 3, dates}});
    const uint32_t rows = b.Strings(std::string("a\0b\0c\0", 6));
    const uint32_t cls = b.Strings(std::string("data.frame\0", 11));
    return b.Finish({{".Data", 6, 6, list}, {"row.names", 5, 3, rows}, {"class", 5, 1, cls}});
  }
};

TEST_F(SplusBinaryReaderTest, PublicObject) {
  TROVADEX_NEED_SHARED();
  ASSERT_EQ(Read(test::SharedDir() + "/corpus-public/splus-binary/mySobj"), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->columnCount, 3);  // row names 1, 2, 3 make no column
  Column* f = ColumnAt(d, 1);
  EXPECT_EQ(f->name, "factor");
  EXPECT_EQ(test::Numbers(f), (std::vector<double>{1, 2, 3}));
  ASSERT_EQ(f->labelCount, 3);
  EXPECT_EQ(f->labels.Get(1), "bc");
  EXPECT_EQ(test::Numbers(ColumnAt(d, 2)), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(test::Numbers(ColumnAt(d, 3)), (std::vector<double>{1.1, 1.2, 1.3}));
}

// Both byte orders; a factor with too few labels keeps its numbers.
TEST_F(SplusBinaryReaderTest, DataFrameInBothByteOrders) {
  const double day0 = DayCountFromDate(1, 1, 1960);
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    ResetState();
    ASSERT_EQ(ReadBytes(Frame(big, 3)), 1) << output;
    Dataset* d = CurrentDataset();
    ASSERT_EQ(d->columnCount, 7);
    EXPECT_EQ(test::Texts(ColumnAt(d, 1)), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(test::Numbers(ColumnAt(d, 2)), (std::vector<double>{1.5, kM, kNumberCap}));
    EXPECT_EQ(test::Numbers(ColumnAt(d, 3)), (std::vector<double>{7, kM, -2}));
    EXPECT_EQ(test::Numbers(ColumnAt(d, 4)), (std::vector<double>{1, 0, kM}));
    EXPECT_EQ(test::Texts(ColumnAt(d, 5)), (std::vector<std::string>{"x", "yy", "zzz"}));
    EXPECT_EQ(test::Numbers(ColumnAt(d, 6)), (std::vector<double>{1, 3, kM}));
    EXPECT_EQ(ColumnAt(d, 6)->labels.Get(2), "hi");
    EXPECT_EQ(test::Numbers(ColumnAt(d, 7)), (std::vector<double>{day0, day0 - 1, kM}));
    EXPECT_EQ(ColumnAt(d, 7)->valueFormat, 5);
  }
  ResetState();
  ASSERT_EQ(ReadBytes(Frame(false, 2)), 1) << output;
  EXPECT_EQ(ColumnAt(CurrentDataset(), 6)->labelCount, 0);
  EXPECT_EQ(ColumnAt(CurrentDataset(), 6)->levelCount, 3);
  // More labels announced than the block holds.
  EXPECT_EQ(ReadBytes(Frame(false, 4)), 1);
  EXPECT_EQ(ColumnAt(CurrentDataset(), 6)->labelCount, 0);
}

TEST_F(SplusBinaryReaderTest, MatrixWithDimnames) {
  auto matrix = [](int dataLength, int columnNames, const std::string& names) {
    ObjectBuilder b(false, {".Data", "dim", "dimnames"});
    const uint32_t data = b.Doubles({1, 2, 3, 4, 5, 6});
    const uint32_t dim = b.Ints({2, 3});
    const uint32_t rows = b.Strings(std::string("r1\0r2\0", 6));
    const uint32_t cols = b.Strings(names);
    const uint32_t dimnames = b.List({{"", 5, 2, rows}, {"", 5, columnNames, cols}});
    return b.Finish({{".Data", 4, dataLength, data}, {"dim", 2, 2, dim}, {"dimnames", 6, 2, dimnames}});
  };
  ASSERT_EQ(ReadBytes(matrix(6, 1, std::string("x\0", 2))), 1) << output;
  Dataset* d = CurrentDataset();
  EXPECT_EQ(d->shape, DatasetShape::Matrix);
  EXPECT_EQ(d->name, "obj");
  EXPECT_EQ(d->labelStyle, 2);
  ASSERT_EQ(d->columnCount, 4);
  EXPECT_EQ(test::Texts(ColumnAt(d, 1)), (std::vector<std::string>{"r1", "r2"}));
  EXPECT_EQ(ColumnAt(d, 2)->name, "x");  // fewer names than columns: the rest numbered
  EXPECT_EQ(ColumnAt(d, 4)->name, "3");
  EXPECT_EQ(test::Numbers(ColumnAt(d, 3)), (std::vector<double>{3, 4}));
  // Fewer elements than rows x columns; more names than the block holds.
  EXPECT_EQ(ReadBytes(matrix(5, 1, std::string("x\0", 2))), 0);
  EXPECT_NE(output.find("larger than its data"), std::string::npos) << output;
  ASSERT_EQ(ReadBytes(matrix(6, 3, std::string("x\0", 2))), 1);
  EXPECT_EQ(ColumnAt(CurrentDataset(), 2)->name, "1");
}

TEST_F(SplusBinaryReaderTest, DamagedFilesRefused) {
  const std::string good = Frame(false, 3);
  std::string badCode = good;
  badCode[8] = 22;
  EXPECT_EQ(ReadBytes(badCode), 0);
  // Names block without its last NUL; a cut file.
  std::string badNames = good;
  badNames.replace(badNames.find("class"), 6, "classX");
  EXPECT_EQ(ReadBytes(badNames), 0);
  EXPECT_EQ(ReadBytes(good.substr(0, good.size() - 8)), 0);
}

}  // namespace
}  // namespace trovadex
