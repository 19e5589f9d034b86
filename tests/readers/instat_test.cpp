// The Instat worksheet reader on small worksheets assembled from the layout
// (no independent program writes them): numbers in both forms, missing
// codes and "/m" replacements, factor labels through the link lines, names
// from the name table, and damaged counts and offsets.
#include <cstring>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

std::string Integer(int32_t v) {
  std::string b(5, '\0');
  StoreU32LE(&b[0], static_cast<uint32_t>(v));
  return b;
}
std::string Raw(std::initializer_list<int> bytes) {
  std::string b;
  for (int v : bytes) b += static_cast<char>(v);
  return b;
}
std::string Line(std::string text, std::size_t length) {
  text.resize(length, ' ');
  return text + "\r";
}

struct SheetColumn {
  std::string name;
  std::vector<std::string> cells;  // 5-byte numbers
  bool factor = false;
  int set = -1;  // the linked label set
};

// A worksheet in the reader's layout; `patch` changes header integers
// (H0..H13 as 0..13, then G0[0]..G4[5] as 17..46) after the offsets are set.
struct Sheet {
  std::string title = "Trial sheet";
  int codeCount = 1;
  std::vector<SheetColumn> columns;
  std::vector<std::vector<std::string>> sets;
  std::vector<std::pair<int, int32_t>> patch;
  int rowsOverride = -1;

  std::string Bytes() const {
    int rows = 0;
    for (const SheetColumn& c : columns) rows = std::max(rows, static_cast<int>(c.cells.size()));
    const int slots = 12;
    const int n = static_cast<int>(columns.size());
    int32_t h[14] = {2, 0, 0, 1, 0, 100, 0, 3, 0, 0, 0, static_cast<int32_t>(title.size()), 0, codeCount};
    int32_t g[5][6] = {{0, 0, 0, 0, 0, 0},
                       {static_cast<int32_t>(sets.size()), slots, 0, 0, 9, 0},
                       {0, 0, 0, 0, 0, 0},
                       {n, rows, 0, rows * 5, 5, n},
                       {0, 0, 0, 0, 0, 0}};
    std::string lines;
    for (int i = 0; i < 5; ++i) {
      for (int j = 0; j < 5; ++j) {
        std::size_t length;
        if (i <= 2)
          length = (j == 3 || (i == 2 && j == 2)) ? 1 : g[i][0] + 1;
        else if (i == 3)
          length = j == 0 ? 2 * n + 1 : n + 1;
        else
          length = j <= 1 ? 2 : j <= 3 ? 2 : 1;
        std::string text;
        if (i == 1 && j == 0)
          for (const auto& s : sets) text += static_cast<char>(s.size() + 32);
        for (const SheetColumn& c : columns) {
          const int count = rowsOverride >= 0 ? rowsOverride : static_cast<int>(c.cells.size());
          if (i == 3 && j == 0) text += std::string{static_cast<char>(count / 224 + 32), static_cast<char>(count % 224 + 32)};
          if (i == 3 && j == 2) text += c.factor ? 'F' : 'V';
        }
        lines += Line(text, length);
      }
    }
    std::string key, value, lengths, names;
    for (std::size_t k = 0; k < columns.size(); ++k) {
      const SheetColumn& c = columns[k];
      if (c.set >= 0) {
        key += std::string{'\x03', static_cast<char>(k + 33)};
        value += std::string{'\x01', static_cast<char>(c.set + 33)};
      }
      lengths += static_cast<char>(c.name.size() + 32);
      names += c.name + static_cast<char>(k + 129);
    }
    std::string tail = Line(key, 101) + Line(value, 101) + Line(lengths, columns.size() + 1);
    for (int i = 0; i < 4; ++i) tail += Line(i == 0 ? "\x80" + names : "\x80", 255);
    std::string labels;
    for (const auto& s : sets)
      for (int k = 0; k < slots; ++k) labels += Line(k < static_cast<int>(s.size()) ? s[static_cast<std::size_t>(k)] : "", 8);
    const int64_t headLength = 115 + 14 * 5 + 3 * 5 + 30 * 5 + static_cast<int64_t>(lines.size() + tail.size());
    g[1][2] = static_cast<int32_t>(headLength);
    g[2][2] = static_cast<int32_t>(headLength + labels.size());
    g[3][2] = g[2][2];
    for (const auto& [at, v] : patch) (at < 14 ? h[at] : g[(at - 17) / 6][(at - 17) % 6]) = v;

    std::string out = "\x40\x0D";
    out.resize(11, '\0');
    out += title + "\r";
    out.resize(115, ' ');
    for (int32_t v : h) out += Integer(v);
    for (int i = 0; i < 3; ++i) out += Integer(-9999);
    for (const auto& group : g)
      for (int32_t v : group) out += Integer(v);
    out += lines + tail + labels;
    for (const SheetColumn& c : columns) {
      for (const std::string& cell : c.cells) out += cell;
      out.append(static_cast<std::size_t>(rows - static_cast<int>(c.cells.size())) * 5, ' ');
    }
    return out;
  }
};

class InstatReaderTest : public test::StateTest {
 protected:
  test::TempDir dir;
  std::string output;

  int16_t Read(const std::string& bytes) {
    const std::string path = dir / "t.wor";
    test::WriteFile(path, bytes);
    testing::internal::CaptureStdout();
    int16_t ok = ReadInstat(path.c_str());
    output = testing::internal::GetCapturedStdout();
    return ok;
  }
  static Sheet Example() {
    Sheet s;
    s.sets = {{"low", "high"}, {"red     ", "green", "blue"}};
    s.columns = {
        {"Measurement1", {Raw({5, 0, 0, 0, 0}), Raw({0, 0, 0, 0, 0x80}), Raw({0, 0, 0, 0xC0, 0x80}), Integer(-9999)}},
        {"", {Integer(1), Integer(2), Integer(3)}, true, 0},
        {"colour", {Integer(3), Integer(1), Integer(-9999), Integer(2)}, true, 1},
    };
    return s;
  }
};

TEST_F(InstatReaderTest, NumbersCodesFactorsAndNames) {
  ASSERT_EQ(Read(Example().Bytes()), 1) << output;
  EXPECT_EQ(output, "Warning: Too few labels for factor X2!\n");
  Dataset* d = CurrentDataset();
  ASSERT_EQ(d->rowCount, 4);
  ASSERT_EQ(d->notes, std::vector<std::string>{"Trial sheet"});
  Column* m = ColumnAt(d, 1);
  EXPECT_EQ(m->name, "Measurement1");
  EXPECT_EQ(m->kind, ColumnKind::Variate);
  const double want[] = {5, 1, -1.5, kMissingValue};
  for (int r = 0; r < 4; ++r) EXPECT_EQ(GetNumber(m, r), want[r]) << r;
  Column* unlabelled = ColumnAt(d, 2);
  EXPECT_EQ(unlabelled->name, "X2");
  EXPECT_EQ(unlabelled->kind, ColumnKind::Factor);
  EXPECT_EQ(unlabelled->labelCount, 0);
  EXPECT_EQ(GetNumber(unlabelled, 3), kMissingValue);  // past the column's rows
  Column* colour = ColumnAt(d, 3);
  ASSERT_EQ(colour->labelCount, 3);
  EXPECT_EQ(colour->labels.Get(0), "red");
  EXPECT_EQ(colour->factorDisplay, 2);
  EXPECT_EQ(colour->sourceColumnNumber, 3);

  const InstatExtras& extras = State().instatExtras;
  EXPECT_TRUE(extras.present);
  EXPECT_EQ(extras.title, "Trial sheet");
  EXPECT_EQ(extras.missingCodes, std::vector<double>{-9999});
  ASSERT_EQ(extras.labelSets.size(), 2u);
  EXPECT_EQ(extras.labelSets[1][2], "blue    ");

  // "/m" replaces the code by its value.
  ResetState();
  State().interceptFatal = true;
  State().instatMissing = {0, -9999, -9999};
  State().instatMissingCount = 1;
  ASSERT_EQ(Read(Example().Bytes()), 1) << output;
  EXPECT_EQ(GetNumber(ColumnAt(CurrentDataset(), 1), 3), 0);
}

TEST_F(InstatReaderTest, DamagedCountsAndOffsetsAreChecked) {
  // A link to a label set that is not there, a name longer than the table
  // before its marker: the factor has no labels, the column a made name.
  Sheet s = Example();
  s.columns[2].set = 7;
  s.columns[0].name = "a";
  std::string bytes = s.Bytes();
  const std::size_t lengths = bytes.find("\r\x80") - 4;  // the name-length line: "!" + 2 spaces + "'"
  bytes[lengths] = 'z';
  ASSERT_EQ(Read(bytes), 1) << output;
  EXPECT_EQ(ColumnAt(CurrentDataset(), 1)->name, "X1");
  EXPECT_EQ(ColumnAt(CurrentDataset(), 3)->labelCount, 0);

  // Row counts past the column slot or the file are refused.
  s = Example();
  s.rowsOverride = 9;
  EXPECT_EQ(Read(s.Bytes()), 0);
  EXPECT_EQ(output, "Error: Column 1 of INSTAT worksheet " + (dir / "t.wor") + " lies outside the file!\n");
  s = Example();
  s.patch = {{17 + 3 * 6 + 2, 0x7FFFFFF0}};  // the data offset
  EXPECT_EQ(Read(s.Bytes()), 0);

  // A header claiming 2^31 rows a column in many slots (its product far past
  // 32 bits) with only a few rows stored reads what is there.
  s = Example();
  s.patch = {{17 + 3 * 6 + 1, 0x7FFFFFFF}};
  ASSERT_EQ(Read(s.Bytes()), 1) << output;
  EXPECT_EQ(CurrentDataset()->rowCount, 4);

  // Label counts beyond the slots of a set are cut to the block.
  s = Example();
  s.sets[0].resize(12, "x");
  s.patch = {{17 + 6 + 1, 100000}};
  ASSERT_EQ(Read(s.Bytes()), 1) << output;
}

}  // namespace
}  // namespace trovadex
