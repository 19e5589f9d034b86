#include <cstring>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "test_support.h"

namespace trovadex {
namespace {

using test::StateTest;

class DatasetTest : public StateTest {};

TEST_F(DatasetTest, CheckedAllocCeilingAndExitCode) {
  void* p = CheckedAlloc(16000008);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(p)[16000007], 0);
  std::free(p);
  try {
    CheckedAlloc(16000009);
    FAIL() << "no fatal exit";
  } catch (const FatalExitError& e) {
    EXPECT_EQ(e.code, 7);
  }
  try {
    CheckedRealloc(nullptr, 16000009);
    FAIL() << "no fatal exit";
  } catch (const FatalExitError& e) {
    EXPECT_EQ(e.code, 7);
  }
}

TEST_F(DatasetTest, NewDatasetHasOnlyTheRowColumn) {
  Dataset* d = CreateDataset();
  EXPECT_EQ(CurrentDataset(), d);
  ASSERT_NE(d->firstColumn, nullptr);
  EXPECT_EQ(d->firstColumn, d->lastColumn);
  EXPECT_EQ(d->firstColumn->name, "Row");
  EXPECT_EQ(d->firstColumn->kind, ColumnKind::RowIndex);
  EXPECT_EQ(d->firstColumn->position, 0);
  EXPECT_EQ(d->firstColumn->width, 4);
  EXPECT_EQ(d->columnCount, 0);
  EXPECT_EQ(d->unitsColumnCount, 1);
  EXPECT_EQ(d->missingValue, -1e307);
  EXPECT_EQ(d->shape, DatasetShape::Columns);
  EXPECT_EQ(d->sourceFormat, 1);
  EXPECT_EQ(d->cachedColumnIndex, -1);
}

TEST_F(DatasetTest, ColumnLimitExcludesRow) {
  State().columnLimit = 250;
  Dataset* d = CreateDataset();
  for (int i = 0; i < 250; ++i) ASSERT_NE(AddColumn(d, ColumnKind::Variate, "x", 25), nullptr);
  EXPECT_EQ(AddColumn(d, ColumnKind::Variate, "x", 25), nullptr);
  EXPECT_EQ(d->columnCount, 250);
  EXPECT_EQ(d->lastColumn->position, 250);
  EXPECT_EQ(AddColumn(nullptr, ColumnKind::Variate, "x", 25), nullptr);
}

TEST_F(DatasetTest, AddColumnKindsAndCounts) {
  Dataset* d = CreateDataset();
  Column* t = AddColumn(d, ColumnKind::Text, "t", 90);
  Column* u = AddColumn(d, ColumnKind::TextUnits, "u", 90);
  Column* f = AddColumn(d, ColumnKind::Factor, "a_name_that_is_far_longer_than_forty_characters", 25);
  EXPECT_EQ(t->valueFormat, 4);
  EXPECT_EQ(u->valueFormat, 4);
  EXPECT_EQ(f->valueFormat, 1);
  EXPECT_EQ(f->name.size(), 40u);
  EXPECT_EQ(d->unitsColumnCount, 2);  // Row + the TextUnits column; a factor counts only in a Table
  EXPECT_EQ(d->columnCount, 3);
  EXPECT_EQ(f->id, 3);
  d->shape = DatasetShape::Table;
  AddColumn(d, ColumnKind::Factor, "g", 25);
  EXPECT_EQ(d->unitsColumnCount, 3);
}

TEST_F(DatasetTest, AddColumnWithValuesDefaults) {
  Dataset* d = CreateDataset();
  Column* t = AddColumnWithValues(d, ColumnKind::Text, "name", 3);
  Column* f = AddColumnWithValues(d, ColumnKind::Factor, "f", 3);
  EXPECT_EQ(t->width, 6);
  EXPECT_EQ(t->valueCount, 3);
  EXPECT_EQ(GetText(t, 2), "");
  EXPECT_EQ(f->levelCount, 2);
  EXPECT_EQ(f->width, 6);
  EXPECT_EQ(GetNumber(f, 1), -1e307);
  EXPECT_EQ(AddColumnWithValues(nullptr, ColumnKind::Variate, "x", 1), nullptr);
}

TEST_F(DatasetTest, CreateRowsWidthsAndFailures) {
  Dataset* d = CreateDataset();
  d->rowCount = 0;
  EXPECT_FALSE(CreateRows(d));
  d->rowCount = -5;
  EXPECT_FALSE(CreateRows(d));
  for (auto [n, w] : {std::pair{1000, 4}, {1001, 5}, {10000, 5}, {10001, 6}}) {
    d->rowCount = n;
    ASSERT_TRUE(CreateRows(d));
    EXPECT_EQ(d->firstColumn->width, w) << n;
    EXPECT_EQ(d->firstColumn->valueCount, n);
    EXPECT_EQ(GetNumber(d->firstColumn, n - 1), n);
    EXPECT_EQ(d->rows[n - 1].rowIndex, n - 1);
    EXPECT_EQ(d->rows[0].empty, 1);
  }
}

TEST_F(DatasetTest, NumberListAcrossBlockBorders) {
  Dataset* d = CreateDataset();
  const int32_t n = 2000000;
  Column* c = AddColumnWithValues(d, ColumnKind::Variate, "x", n);
  const int32_t block = static_cast<int32_t>(NumberList::kBlockSize);
  EXPECT_EQ(c->numbers.blocks.size(), static_cast<std::size_t>((n + block - 1) / block));
  for (int32_t i = 0; i < n; ++i) SetNumber(c, i, i * 0.5);
  for (int32_t i : {0, block - 1, block, block + 1, n - 1}) {
    ValueRef v = ValueAt(c, i);
    ASSERT_TRUE(v);
    EXPECT_EQ(v.Number(), i * 0.5);
  }
  EXPECT_FALSE(ValueAt(c, n));
  EXPECT_FALSE(ValueAt(c, -1));
  Column* empty = AddColumn(d, ColumnKind::Variate, "e", 25);
  EXPECT_FALSE(ValueAt(empty, 0));
}

TEST_F(DatasetTest, TextListCapsAndReuse) {
  Dataset* d = CreateDataset();
  Column* c = AddColumnWithValues(d, ColumnKind::Text, "t", 3);
  std::string longText(200, 'a');
  SetText(c, 0, longText);
  EXPECT_EQ(GetText(c, 0).size(), 90u);
  EXPECT_EQ(std::strlen(c->texts.CStr(0)), 90u);
  SetText(c, 1, "hello");
  SetText(c, 1, "hi");
  EXPECT_EQ(GetText(c, 1), "hi");
  EXPECT_STREQ(c->texts.CStr(1), "hi");
  SetText(c, 1, "a longer text than before");
  EXPECT_EQ(GetText(c, 1), "a longer text than before");
  EXPECT_EQ(GetText(c, 0).size(), 90u);
  SetLabelList(c, {std::string(60, 'b'), "x"});
  EXPECT_EQ(c->labelCount, 2);
  EXPECT_EQ(c->labels.Get(0).size(), 40u);
  // A NUL ends the stored text wherever it falls (inside the first word, a
  // later word, or the bytes after the last whole word); SetNew alike.
  for (std::size_t at = 0; at < 21; ++at) {
    std::string withNul(21, 'n');
    withNul[at] = '\0';
    SetText(c, 2, withNul);
    EXPECT_EQ(GetText(c, 2).size(), at);
    EXPECT_EQ(std::strlen(c->texts.CStr(2)), at);
    c->texts.Resize(0);
    c->texts.Resize(3);
    c->texts.SetNew(2, withNul);
    EXPECT_EQ(GetText(c, 2), std::string(at, 'n'));
  }
  // Many texts spill over several pools and blocks.
  Column* big = AddColumnWithValues(d, ColumnKind::Text, "big", 600000);
  for (int i = 0; i < 600000; ++i) SetText(big, i, std::to_string(i));
  EXPECT_EQ(GetText(big, 599999), "599999");
  EXPECT_EQ(GetText(big, 524288), "524288");
}

// Long texts fill many pools: the first ones allocated singly, the later
// ones carved from shared allocations. Every value keeps its bytes across
// those borders, after the list grows in small steps as a reader grows it,
// and after Clear and reuse.
// Every cut goes through one helper: it never ends inside a UTF-8
// character, leaves bytes that are not UTF-8 (windows-1252) at the limit,
// and counts one cut per shortened text, name or label.
TEST_F(DatasetTest, CutsKeepWholeCharactersAndAreCounted) {
  EXPECT_EQ(Utf8Prefix("ab\xC3\xA9", 3), "ab");                 // 2-byte character split
  EXPECT_EQ(Utf8Prefix("a\xF0\x9D\x84\x9E", 4), "a");          // 4-byte character split
  EXPECT_EQ(Utf8Prefix("a\xF0\x9D\x84\x9E", 5), "a\xF0\x9D\x84\x9E");
  EXPECT_EQ(Utf8Prefix("Z\xFCrich", 2), "Z\xFC");                // windows-1252
  EXPECT_EQ(Utf8Prefix("ab\xC3x", 3), "ab\xC3");                 // a lead byte without its tail
  EXPECT_EQ(Utf8Prefix("\x80\x80\x80\x80\x80", 4), "\x80\x80\x80\x80");
  EXPECT_EQ(State().cuts, (std::array<long, 3>{0, 0, 0}));

  Dataset* d = CreateDataset();
  Column* c = AddColumn(d, ColumnKind::Text, std::string(41, 'n'), 90);
  ASSERT_TRUE(c && AllocateValues(c, 3));
  SetText(c, 0, std::string(90, 't'));
  SetText(c, 1, std::string(91, 't'));
  SetText(c, 2, std::string(3, 't') + std::string(1, '\0') + std::string(100, 't'));  // ends at the NUL
  SetLabelList(c, {std::string(40, 'l'), std::string(41, 'l'), "\xC3\xA9" + std::string(39, 'l')});
  EXPECT_EQ(c->name.size(), 40u);
  EXPECT_EQ(GetText(c, 1).size(), 90u);
  EXPECT_EQ(GetText(c, 2), "ttt");
  EXPECT_EQ(c->labels.Get(2), "\xC3\xA9" + std::string(38, 'l'));
  EXPECT_EQ(State().cuts, (std::array<long, 3>{1, 1, 2}));
  ResetState();
  EXPECT_EQ(State().cuts, (std::array<long, 3>{0, 0, 0}));
}

TEST_F(DatasetTest, TextPoolsKeepEveryValueAcrossTheirBorders) {
  const std::size_t perPool = TextList::kPoolSize / (kTextLength + 1);
  const int64_t n = static_cast<int64_t>(perPool * (3 + 2 * TextList::kPoolsPerChunk)) + 5;
  auto textOf = [](int64_t i) {
    std::string t = std::to_string(i * 7919);
    t.resize(kTextLength, static_cast<char>('a' + i % 26));
    return t;
  };
  TextList list;
  for (int round = 0; round < 2; ++round) {
    for (int64_t i = 0; i < n; ++i) {
      if (i >= list.count) list.Resize(i + 256);
      list.SetNew(i, textOf(i));
    }
    ASSERT_GT(list.pools.size(), 2 + TextList::kPoolsPerChunk);
    for (int64_t i = 0; i < n; ++i) {
      ASSERT_EQ(list.Get(i), textOf(i)) << i;
      ASSERT_EQ(std::strlen(list.CStr(i)), static_cast<std::size_t>(kTextLength));
    }
    list.Clear();
    EXPECT_EQ(list.size(), 0);
  }
}

TEST_F(DatasetTest, ColumnAtWithCache) {
  Dataset* d = CreateDataset();
  for (int i = 1; i <= 10; ++i) AddColumn(d, ColumnKind::Variate, std::to_string(i), 25);
  EXPECT_EQ(ColumnAt(d, 0)->name, "Row");
  EXPECT_EQ(ColumnAt(d, 11), nullptr);
  EXPECT_EQ(ColumnAt(d, -1), nullptr);
  for (int i : {7, 3, 4, 10, 1, 9, 2}) EXPECT_EQ(ColumnAt(d, i)->name, std::to_string(i));
  EXPECT_EQ(d->cachedColumnIndex, 2);
}

TEST_F(DatasetTest, NotesBuffer) {
  Dataset* d = CreateDataset();
  AppendNote(d, "");
  AppendNote(nullptr, "x");
  EXPECT_EQ(d->notesCount, 0);
  AppendNote(d, "ab");
  AppendNote(d, "c");
  EXPECT_EQ(d->notesCount, 2);
  EXPECT_EQ(d->notesLength, 4);
  EXPECT_EQ(d->notes[0], "ab");
  EXPECT_EQ(d->notes[1], "c");
}

TEST_F(DatasetTest, MissingValueRule) {
  Dataset* d = CreateDataset();
  EXPECT_TRUE(IsMissing(d, -1e307));
  EXPECT_TRUE(IsMissing(d, -1e308));
  EXPECT_FALSE(IsMissing(d, -9.9e306));
  EXPECT_TRUE(IsMissing(d, std::numeric_limits<double>::quiet_NaN()));
}

TEST_F(DatasetTest, OptionsCopyLeavesDayNamesBehind) {
  EXPECT_EQ(CurrentOptions()->dayNames[1], "Monday");
  EXPECT_EQ(CurrentOptions()->monthAbbreviations[12], "Dec");
  EXPECT_EQ(CurrentOptions()->monthNames[13], "***");
  CurrentOptions()->sortLabels = 0;
  Dataset* d = CreateDataset();
  EXPECT_EQ(d->options.sortLabels, 0);
  EXPECT_EQ(d->options.dayNames[1], "");
  EXPECT_EQ(d->options.monthNames[1], "January");
}

TEST(ByteOrder, SwapsAndMissingNumbers) {
  uint32_t v;
  unsigned char b[4] = {1, 2, 3, 4};
  std::memcpy(&v, b, 4);
  SwapBytes4(v);
  std::memcpy(b, &v, 4);
  EXPECT_EQ(b[0], 4);
  EXPECT_EQ(b[3], 1);
  double x = 1.0;
  SwapBytes8(x);
  SwapBytes8(x);
  EXPECT_EQ(x, 1.0);
  uint16_t s = 0x0102;
  SwapBytes2(s);
  EXPECT_EQ(s, 0x0201);
  EXPECT_TRUE(IsMissingNumber(-1e307));
  EXPECT_TRUE(IsMissingNumber(-1e308));
  EXPECT_FALSE(IsMissingNumber(-1e30));
  const unsigned char changed[8] = {0x33, 0x74, 0xAC, 0x3C, 0x1F, 0x7B, 0xAC, 0xC8};
  EXPECT_TRUE(IsMissingNumber(LoadF64LE(changed)));
  const unsigned char m[8] = {0x33, 0x74, 0xAC, 0x3C, 0x1F, 0x7B, 0xAC, 0xFF};
  EXPECT_EQ(LoadF64LE(m), -1e307);
  EXPECT_EQ(LoadU32BE(b), 0x04030201u);
}

}  // namespace
}  // namespace trovadex
