#include <bit>
#include <climits>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "matrix_support.h"
#include "readers/document_support.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;

constexpr double kM = kMissingValue;

std::string I32(int32_t v) {
  std::string b(4, '\0');
  StoreU32LE(b.data(), static_cast<uint32_t>(v));
  return b;
}
std::string F32(float v) {
  std::string b(4, '\0');
  StoreU32LE(b.data(), std::bit_cast<uint32_t>(v));
  return b;
}
std::string F64(double v) {
  std::string b(8, '\0');
  StoreF64LE(b.data(), v);
  return b;
}

class MinitabReaderTest : public StateTest {
 protected:
  test::TempDir dir;
  std::string output;
  int16_t Read(const std::string& bytes, bool stream) {
    test::WriteFile(dir / "w.mtw", bytes);
    State().minitabRecordStream = stream;
    testing::internal::CaptureStdout();
    const int16_t ok = ReadMinitab((dir / "w.mtw").c_str());
    output = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(State().minitabRecordStream);
    return ok;
  }
};

// Version 10: a numeric factor column "X!" with a missing row, and a text
// column without a name holding packed words.
std::string Worksheet(int32_t textType = -4, int32_t words = 4) {
  std::string w = "WORKSHEE" + std::string(71, ' ') + "0";
  w += I32(3) + I32(1) + I32(words) + I32(0) + "X!      " + F32(2) + F32(1) + "\x42\x51\x79\x71" + F32(2);
  w += I32(3) + I32(2) + I32(2) + I32(textType) + std::string(8, '\0') + I32(33343536) + I32(0);
  return w + I32(0);
}

TEST_F(MinitabReaderTest, Version10ValuesFactorsAndPackedText) {
  ASSERT_EQ(Read(Worksheet(), false), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 4);
  Column* x = ColumnAt(d, 1);
  EXPECT_EQ(x->name, "X");
  ASSERT_EQ(x->kind, ColumnKind::Factor);
  EXPECT_EQ(x->levelCount, 2);
  EXPECT_TRUE(IsMissing(d, GetNumber(x, 2)));
  Column* t = ColumnAt(d, 2);
  EXPECT_EQ(t->name, "C2");
  EXPECT_EQ(test::Texts(t), (std::vector<std::string>{"ABCD", "", "", ""}));
}

std::string Record(int32_t type, const std::string& body, int32_t headerLength = 12) {
  return I32(type) + I32(static_cast<int32_t>(12 + body.size())) + I32(headerLength) + body;
}
std::string Column3(int32_t number, int32_t dataType, int32_t rows, const std::string& name, const std::string& values) {
  const std::string head = I32(number) + I32(dataType) + I32(0) + I32(rows) + std::string(32, '\0') +
                           I32(static_cast<int32_t>(name.size())) + name + I32(4) + "desc";
  return Record(3, head + values, static_cast<int32_t>(12 + head.size()));
}
std::string Stream(const std::string& id = "MTB14   WIN") {
  std::string s = Record(1, I32(0) + id + std::string(20, ' ')) + Record(6, I32(5) + "Trial" + I32(0));
  s += Column3(1, 1, 3, "dose", F64(1.5) + "\xD5\x5E\xAE\x31\x28\x2A\x2F\x46" + F64(1e308));
  s += Column3(2, 4, 2, "site!", I32(3) + "one" + I32(100) + std::string(100, 'q'));
  return s;
}

TEST_F(MinitabReaderTest, RecordStreamValuesCommentsAndFactors) {
  ASSERT_EQ(Read(Stream(), true), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 3);
  EXPECT_EQ(d->notes.at(0), "Trial");
  EXPECT_EQ(ColumnAt(d, 1)->description, "desc");
  EXPECT_EQ(test::Numbers(ColumnAt(d, 1)), (std::vector<double>{1.5, kM, kNumberCap}));
  Column* site = ColumnAt(d, 2);
  EXPECT_EQ(site->name, "site");
  EXPECT_EQ(site->kind, ColumnKind::Factor);
  EXPECT_EQ(site->levelCount, 2);
}

TEST_F(MinitabReaderTest, Refusals) {
  EXPECT_EQ(Read(Worksheet(), true), 0);  // a worksheet file is no record stream
  EXPECT_EQ(Read("WORKSHEX" + Worksheet().substr(8), false), 0);
  EXPECT_NE(output.find("is not a Mintab Worksheet!"), std::string::npos);
  EXPECT_EQ(Read(Worksheet(INT_MIN), false), 0);
  EXPECT_EQ(Read(Worksheet(-4, -1), false), 0);    // negative length
  EXPECT_EQ(Read(Worksheet(-4, 1 << 30), false), 0);  // longer than the file
  EXPECT_EQ(Read(Stream("MTB11   WIN"), true), 0);
  EXPECT_NE(output.find("is not a Minitab Worksheet"), std::string::npos);
  std::string bad = Stream();
  bad[4] = 4;  // a total length below the record header
  EXPECT_EQ(Read(bad, true), 0);
  bad = Stream() + Record(5, I32(INT_MIN) + I32(0));
  EXPECT_EQ(Read(bad, true), 0);
}

// Version 11: doubles, and text of width 6 in 16 bytes a value, either
// packed (four characters a widened single) or plain.
TEST_F(MinitabReaderTest, Version11ValuesAndPackedText) {
  auto packed = [](const char* four) { return F64(std::bit_cast<float>(LoadU32LE(four))); };
  std::string w = "WORKSHEE" + std::string(71, ' ') + "1";
  w += I32(3) + I32(1) + I32(6) + I32(0) + "Y!      " + F64(2.5) + "\xD5\x5E\xAE\x31\x28\x2A\x2F\x46" + F64(-1);
  w += I32(3) + I32(2) + I32(8) + I32(-6) + "T       " + packed("ABCD") + packed("EF  ") + "xyz" + std::string(13, ' ');
  ASSERT_EQ(Read(w + I32(0), false), 1) << output;
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 3);
  Column* y = ColumnAt(d, 1);
  EXPECT_EQ(y->name, "Y");
  ASSERT_EQ(y->kind, ColumnKind::Factor);
  EXPECT_EQ(y->levelCount, 2);
  EXPECT_TRUE(IsMissing(d, GetNumber(y, 1)));
  EXPECT_EQ(test::Texts(ColumnAt(d, 2)), (std::vector<std::string>{"ABCDEF", "xyz", ""}));
  EXPECT_EQ(ColumnAt(d, 2)->levelCount, 6);
}

// Versions 12-14 save the record stream as "Worksheet" in a compound
// document; below 4096 bytes it lives in the mini stream, above in sectors.
TEST_F(MinitabReaderTest, RecordStreamInsideACompoundDocument) {
  std::string many;
  for (int k = 0; k < 600; ++k) many += F64(k);
  for (const std::string& stream : {Stream(), Stream() + Column3(3, 1, 600, "C3", many)}) {
    test::WriteDocument(dir / "sheet.mtw", "Worksheet", stream);
    const test::DocumentRead r = test::ReadDocument(dir, "sheet.mtw");
    EXPECT_EQ(r.format, 5);
    ASSERT_EQ(r.result, 1) << r.output;
    EXPECT_FALSE(State().minitabRecordStream);
    Dataset* d = CurrentDataset();
    ASSERT_EQ(d->rowCount, stream.size() > 4096 ? 600 : 3);
    EXPECT_EQ(d->notes.at(0), "Trial");
    EXPECT_EQ(ColumnAt(d, 1)->description, "desc");
    const std::vector<double> dose = test::Numbers(ColumnAt(d, 1));
    EXPECT_EQ(std::vector<double>(dose.begin(), dose.begin() + 3), (std::vector<double>{1.5, kM, kNumberCap}));
    Column* site = ColumnAt(d, 2);
    EXPECT_EQ(site->name, "site");
    ASSERT_EQ(site->kind, ColumnKind::Factor);
    EXPECT_EQ(site->levelCount, 2);
    if (d->columnCount > 2) {
      EXPECT_EQ(test::Numbers(ColumnAt(d, 3)).at(599), 599);
    }
  }
  // A whole run: a foreign header is refused under the document's own name.
  test::WriteDocument(dir / "old.mtw", "Worksheet", Stream("MTB11   WIN"));
  const test::RunResult run = test::RunTrovadex({"old.mtw", "old.csv"}, dir.path());
  EXPECT_EQ(run.exitCode, 5);
  EXPECT_NE(run.output.find("Data file old.mtw is not a Minitab Worksheet."), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("Q17X"), std::string::npos);
}

}  // namespace
}  // namespace trovadex
