#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "matrix_support.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;

constexpr double kM = kMissingValue;

std::string Text65(const std::string& t) { return t + std::string(65 - t.size(), '\0'); }
std::string U16(int v) {
  std::string b(2, '\0');
  StoreU16LE(b.data(), static_cast<uint16_t>(v));
  return b;
}

struct MstatColumn {
  std::string name;
  int type;
  int decimals;
};

std::string Header(int recordLength, int records, const std::vector<MstatColumn>& columns,
                   const std::string& version = "4.00/EM") {
  std::string h = U16(recordLength) + U16(records) + U16(static_cast<int>(columns.size())) + Text65(version) +
                  Text65("Trial title") + std::string(6, '\0');
  for (const auto& c : columns) h += Text65(c.name) + U16(c.type) + U16(8) + U16(c.decimals);
  return h;
}

class MstatReaderTest : public StateTest {
 protected:
  test::TempDir dir;
  std::string output;
  int16_t Read(const std::string& header, const std::string& data) {
    test::WriteFile(dir / "m.hdr", header);
    if (!data.empty()) test::WriteFile(dir / "m.dat", data);
    testing::internal::CaptureStdout();
    const int16_t ok = ReadMstat((dir / "m.hdr").c_str());
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
};

// Numbers (MBF singles), a text field wider than a stored text, deleted records.
TEST_F(MstatReaderTest, ValuesAndDeletedRecords) {
  const std::string header = Header(4 + 100 + 4, 5, {{"X", 4, 2}, {"label", -100, 0}, {"Y", 4, -1}});
  const std::string longText(100, 'a');
  std::string data;
  auto add = [&](char flag, const std::string& x, const std::string& t, const std::string& y) {
    data += flag + x + t + std::string(100 - t.size(), ' ') + y;
  };
  add('*', std::string("\0\0\0\x81", 4), "  two  words", std::string("\0\0\x80\x81", 4));  // 1, -1
  add(' ', "    ", "deleted", "    ");
  add('*', "    ", longText, std::string(4, '\0'));            // missing, 0
  add('*', std::string("\0\0\x20\x83", 4), "", std::string("\0\0\0\0", 4));  // 5 = 1.25 * 4
  data += "*short";  // a data file shorter than announced
  ASSERT_EQ(Read(header, data), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 3);
  EXPECT_EQ(d->notes.at(0), "Trial title");
  EXPECT_EQ(test::Numbers(ColumnAt(d, 1)), (std::vector<double>{1, kM, 5}));
  EXPECT_EQ(test::Numbers(ColumnAt(d, 3)), (std::vector<double>{-1, 0, 0}));
  EXPECT_EQ(test::Texts(ColumnAt(d, 2)), (std::vector<std::string>{"two words", std::string(90, 'a'), ""}));
  EXPECT_EQ(ColumnAt(d, 1)->decimals, 3);
  EXPECT_EQ(ColumnAt(d, 3)->decimals, -1);
}

TEST_F(MstatReaderTest, Refusals) {
  const std::string data = std::string("*") + std::string(4, '\0');
  EXPECT_EQ(Read(Header(4, 1, {{"X", 4, 0}}, "2.00/EM"), data), 0);  // version
  EXPECT_EQ(Read(Header(4, 1, {{"X", 5, 0}}), data), 0);             // column type
  std::string cut = Header(4, 1, {{"X", 4, 0}, {"Y", 4, 0}});
  EXPECT_EQ(Read(cut.substr(0, cut.size() - 10), data), 0);           // column list cut
  // Field widths past the record length read as missing.
  ASSERT_EQ(Read(Header(4, 1, {{"X", 4, 0}, {"Y", 4, 0}}), data), 1) << output;
  EXPECT_EQ(test::Numbers(ColumnAt(CurrentDataset(), 2)), (std::vector<double>{kM}));
  std::remove((dir / "m.dat").c_str());
  EXPECT_EQ(Read(Header(4, 1, {{"X", 4, 0}}), ""), 0);
  EXPECT_NE(output.find("m.dat"), std::string::npos) << output;
}

}  // namespace
}  // namespace trovadex
