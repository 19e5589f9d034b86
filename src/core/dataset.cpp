#include "core/dataset.h"

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <new>

#include "core/progress.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace trovadex {

namespace {

const char* const kMonthNames[14] = {"***",    "January",  "February", "March",  "April",
                                     "May",    "June",     "July",     "August", "September",
                                     "October", "November", "December", "***"};
const char* const kDayNames[9] = {"***",    "Monday",   "Tuesday", "Wednesday", "Thursday",
                                  "Friday", "Saturday", "Sunday",  "***"};

void FillDefaultOptions(Options& o) {
  o = Options{};
  for (int i = 0; i < 14; ++i) {
    o.monthNames[i] = kMonthNames[i];
    o.monthAbbreviations[i] = std::string(kMonthNames[i]).substr(0, 3);
  }
  for (int i = 0; i < 9; ++i) o.dayNames[i] = kDayNames[i];
}

}  // namespace

bool IsNumericKind(ColumnKind kind) {
  switch (kind) {
    case ColumnKind::RowIndex:
    case ColumnKind::Scalar:
    case ColumnKind::Factor:
    case ColumnKind::Variate:
    case ColumnKind::MatrixColumn:
    case ColumnKind::Numeric6:
    case ColumnKind::SymmetricMatrixColumn:
    case ColumnKind::TableColumn:
    case ColumnKind::Numeric22:
    case ColumnKind::VariateUnits:
      return true;
    default:
      return false;
  }
}

bool IsTextKind(ColumnKind kind) {
  return kind == ColumnKind::Text || kind == ColumnKind::TextUnits;
}

bool IsKnownKind(int32_t code) {
  switch (code) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8: case 22:
    case -3: case -4:
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------- state

void ResetState() {
  RunState& s = State();
  if (s.warningsFile) std::fclose(s.warningsFile);
  RemoveTemporaryFiles();
  bool intercept = s.interceptFatal;
  s = RunState{};
  s.interceptFatal = intercept;
  FillDefaultOptions(s.options);
}

void RemoveTemporaryFiles() {
  for (const std::string& path : State().temporaryFiles) std::remove(path.c_str());
  State().temporaryFiles.clear();
}

[[noreturn]] void FatalExit(int code, const char* message) {
  EndProgress();
  if (message) {
    std::fputs(message, stdout);
  }
  std::fflush(stdout);
  RemoveTemporaryFiles();
  if (State().interceptFatal) throw FatalExitError{code};
  if (State().warningsFile) std::fclose(State().warningsFile);
  std::exit(code);
}

[[noreturn]] void OutOfMemory() { FatalExit(8, "Error: Not enough memory to read data!\n"); }

void CheckAllocationSize(std::size_t size) {
  if (size > kAllocationCeiling) FatalExit(7, "Error: Data too large for DOS version!\n");
}

void* CheckedAlloc(std::size_t size) {
  CheckAllocationSize(size);
  void* p = std::calloc(size ? size : 1, 1);
  if (!p) OutOfMemory();
  return p;
}

void* CheckedRealloc(void* pointer, std::size_t size) {
  CheckAllocationSize(size);
  void* p = std::realloc(pointer, size ? size : 1);
  if (!p) OutOfMemory();
  return p;
}

namespace {

// Pages of 2 MB where the kernel offers them: one page fault instead of 512
// for a block of values that is going to be filled.
constexpr std::uintptr_t kLargePage = std::uintptr_t{1} << 21;

// Called before bytes [from, to) of an allocation of `size` bytes at `start`
// are first written. The large pages wholly inside [from, to) are asked
// for, and when `growing` (the list already fills a large page's worth, so
// it is likely to go on) also the ones that begin there and fit the
// allocation. A list that stays small never gets a large page, so many
// small columns do not each hold 2 MB. Only a hint: a kernel without large
// pages, or one that refuses, leaves ordinary pages.
void AdviseLargePages(void* start, std::size_t size, std::size_t from, std::size_t to, bool growing) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(start);
  const std::uintptr_t first = (base + from + kLargePage - 1) & ~(kLargePage - 1);
  std::uintptr_t limit = (base + to) & ~(kLargePage - 1);
  if (growing) limit = std::min((base + to + kLargePage - 1) & ~(kLargePage - 1), (base + size) & ~(kLargePage - 1));
  if (limit > first) madvise(reinterpret_cast<void*>(first), limit - first, MADV_HUGEPAGE);
#else
  (void)start, (void)size, (void)from, (void)to, (void)growing;
#endif
}

// The same for values [from, to) of a list kept in blocks of 2^shift values.
template <class T>
void AdviseValues(const std::vector<std::unique_ptr<T[]>>& blocks, int shift, int64_t from, int64_t to) {
  constexpr std::size_t kGrowingValues = kLargePage / sizeof(T);
  const std::size_t blockSize = std::size_t{1} << shift;
  const bool growing = static_cast<std::size_t>(from) >= kGrowingValues;
  for (int64_t b = from >> shift; b <= (to - 1) >> shift; ++b) {
    const int64_t blockFirst = b << shift;
    const std::size_t lo = static_cast<std::size_t>(std::max(from, blockFirst) - blockFirst);
    const std::size_t hi = static_cast<std::size_t>(std::min<int64_t>(to, blockFirst + static_cast<int64_t>(blockSize)) - blockFirst);
    AdviseLargePages(blocks[b].get(), blockSize * sizeof(T), lo * sizeof(T), hi * sizeof(T), growing);
  }
}

}  // namespace

void LineBuffer::Grow(std::size_t need) {
  std::size_t grown = std::max<std::size_t>({need, 2 * capacity, 4096});
  std::unique_ptr<char[]> larger;
  try {
    larger.reset(new char[grown]);
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
  if (used) std::memcpy(larger.get(), bytes.get(), used);
  bytes = std::move(larger);
  capacity = grown;
}

// ---------------------------------------------------------------- value lists

void NumberList::Resize(int64_t n, double fill) {
  if (n < 0) n = 0;
  try {
    std::size_t needBlocks = static_cast<std::size_t>((n + kBlockSize - 1) >> kBlockShift);
    while (blocks.size() < needBlocks) blocks.emplace_back(new double[kBlockSize]);
    blocks.resize(needBlocks);
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
  if (n > count) AdviseValues(blocks, kBlockShift, count, n);
  for (int64_t i = count; i < n; ++i) At(i) = fill;
  count = n;
}

void NumberList::Clear() {
  blocks.clear();
  count = 0;
}

void TextList::Resize(int64_t n) {
  if (n < 0) n = 0;
  try {
    std::size_t needBlocks = static_cast<std::size_t>((n + kBlockSize - 1) >> kBlockShift);
    while (blocks.size() < needBlocks) blocks.emplace_back(new Ref[kBlockSize]);
    blocks.resize(needBlocks);
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
  if (n > count) AdviseValues(blocks, kBlockShift, count, n);
  for (int64_t i = count; i < n; ++i) blocks[i >> kBlockShift][i & kBlockMask] = 0;
  count = n;
}

namespace {

// A copy of a short text (at most a few hundred bytes) in overlapping
// words: faster than a general copy for the common handful of bytes.
inline void CopyShort(char* to, const char* from, std::size_t n) {
  if (n >= 8) {
    std::size_t k = 0;
    for (; k + 8 < n; k += 8) std::memcpy(to + k, from + k, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n > 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

// A text over the list's limit, out of the common path: stored up to an
// embedded NUL when one comes first (then nothing is cut), otherwise cut
// and counted.
[[gnu::noinline, gnu::cold]] std::string_view CutLongText(std::string_view text, std::size_t limit,
                                                         int32_t maxLength) {
  const std::size_t nul = text.substr(0, limit + 1).find('\0');
  if (nul != std::string_view::npos) return text.substr(0, nul);
  return CutText(text, limit, maxLength <= kLabelLength ? CutKind::Label : CutKind::Text);
}

// The text as stored: cut to `limit` bytes and at an embedded NUL, so that
// the C-string view agrees with the length. (Values are short: eight bytes
// are tested at a time, and only a word holding a NUL is searched byte by
// byte.)
inline std::string_view StoredText(std::string_view text, std::size_t limit, int32_t maxLength) {
  if (text.size() > limit) [[unlikely]]
    text = CutLongText(text, limit, maxLength);
  constexpr uint64_t kOnes = 0x0101010101010101u;
  auto holdsNul = [&](std::size_t at) {
    uint64_t x;
    std::memcpy(&x, text.data() + at, 8);
    return ((x - kOnes) & ~x & (kOnes * 0x80)) != 0;
  };
  const std::size_t n = text.size();
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8)
    if (holdsNul(k)) break;
  // The bytes after the last whole word, as the word ending the text.
  if (k + 8 > n && n >= 8 && !holdsNul(n - 8)) k = n;
  for (; k < n; ++k)
    if (text[k] == '\0') return text.substr(0, k);
  return text;
}

}  // namespace

void TextList::Set(int64_t i, std::string_view text) {
  text = StoredText(text, std::min<std::size_t>(static_cast<std::size_t>(std::max(maxLength, 0)), kMaxStoredLength),
                    maxLength);
  Ref& r = blocks[i >> kBlockShift][i & kBlockMask];
  const std::size_t owned = (r >> kCapacityShift) & 0xFF;
  if (r >> kPoolShift && text.size() <= owned) {
    // The bytes it owns are enough (an empty text keeps them too).
    char* p = const_cast<char*>(Data(r));
    std::memmove(p, text.data(), text.size());
    p[text.size()] = '\0';
    r = (r & ~Ref{0xFF}) | text.size();
    return;
  }
  StoreNew(r, text);
}

void TextList::SetNew(int64_t i, std::string_view text) {
  text = StoredText(text, std::min<std::size_t>(static_cast<std::size_t>(std::max(maxLength, 0)), kMaxStoredLength),
                    maxLength);
  StoreNew(blocks[i >> kBlockShift][i & kBlockMask], text);
}

void TextList::StoreNew(Ref& r, std::string_view text) {
  if (text.empty()) {
    r = 0;
    return;
  }
  std::size_t need = text.size() + 1;
  if (pools.empty() || poolUsed + need > kPoolSize) NewPool();
  char* p = pools.back() + poolUsed;
  CopyShort(p, text.data(), text.size());
  p[text.size()] = '\0';
  r = Ref{text.size()} | (Ref{text.size()} << kCapacityShift) | (Ref{poolUsed} << kOffsetShift) |
      (Ref{pools.size()} << kPoolShift);
  poolUsed += need;
}

void TextList::NewPool() {
  constexpr std::size_t kSingles = 2;
  const std::size_t n = pools.size();
  try {
    pools.reserve(n + 1);
    if (n < kSingles) {
      chunks.emplace_back(new char[kPoolSize]);
      pools.push_back(chunks.back().get());
    } else {
      const std::size_t inChunk = (n - kSingles) % kPoolsPerChunk;
      if (inChunk == 0) chunks.emplace_back(new char[kPoolSize * kPoolsPerChunk]);
      pools.push_back(chunks.back().get() + inChunk * kPoolSize);
      // The list already holds kSingles pools of text: large pages from here on.
      AdviseLargePages(chunks.back().get(), kPoolSize * kPoolsPerChunk, inChunk * kPoolSize,
                       (inChunk + 1) * kPoolSize, kSingles * kPoolSize >= kLargePage);
    }
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
  poolUsed = 0;
}

void TextList::Clear() {
  blocks.clear();
  chunks.clear();
  pools.clear();
  poolUsed = kPoolSize;
  count = 0;
}

// ---------------------------------------------------------------- options

void InitOptions() {
  ResetState();
}

Options* CurrentOptions() { return &State().options; }

std::string_view Utf8Prefix(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  // The character the limit splits starts at most three bytes before it;
  // the cut moves back to its start only when the bytes really form that
  // character (a lead byte and the continuation bytes it announces).
  std::size_t cut = limit;
  for (std::size_t back = 1; back <= 3 && back <= limit; ++back) {
    const unsigned char c = static_cast<unsigned char>(text[limit - back]);
    if ((c & 0xC0) == 0x80) continue;
    const std::size_t length = (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 1;
    if (length > back && limit - back + length <= text.size()) {
      bool whole = true;
      for (std::size_t k = limit; k < limit - back + length; ++k)
        whole = whole && (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80;
      if (whole) cut = limit - back;
    }
    break;
  }
  return text.substr(0, cut);
}

std::string_view CutText(std::string_view text, std::size_t limit, CutKind kind) {
  if (text.size() <= limit) return text;
  ++State().cuts[static_cast<std::size_t>(kind)];
  return Utf8Prefix(text, limit);
}

void CopyLimited(std::string& target, std::string_view text, std::size_t limit, CutKind kind) {
  if (std::size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  target.assign(CutText(text, limit, kind));
}

// ---------------------------------------------------------------- Dataset

Dataset* CreateDataset() {
  auto owned = std::make_unique<Dataset>();
  Dataset* d = owned.get();
  State().datasets.push_back(std::move(owned));
  d->options = State().options;
  d->options.dayNames = {};
  d->cachedColumnIndex = -1;
  d->shape = DatasetShape::Columns;
  d->sourceFormat = 1;
  d->missingValue = kMissingValue;
  State().currentDataset = d;
  Column* row = AddColumn(d, ColumnKind::RowIndex, "Row", 25);
  if (row) row->width = 4;
  return d;
}

Column* AddColumn(Dataset* dataset, ColumnKind kind, std::string_view name, int32_t maxTextLength) {
  if (!dataset) return nullptr;
  if (kind != ColumnKind::RowIndex && dataset->columnCount >= State().columnLimit) return nullptr;
  dataset->ownedColumns.push_back(std::make_unique<Column>());
  Column* c = dataset->ownedColumns.back().get();
  c->kind = kind;
  c->dataset = dataset;
  c->maxTextLength = maxTextLength;
  c->decimals = -1;
  c->valueFormat = 1;
  c->empty = 1;
  c->dateRepresentation = dataset->options.defaultDateRepresentation;
  c->dateBase = dataset->options.dateBase;
  CopyLimited(c->name, name, kNameLength);
  c->levelValue = 0;
  c->minimum = c->maximum = dataset->missingValue;
  c->texts.maxLength = kTextLength;
  c->labels.maxLength = kLabelLength;

  int32_t position = 0;
  for (Column* p = dataset->firstColumn; p; p = p->next) ++position;
  c->prev = dataset->lastColumn;
  if (dataset->lastColumn)
    dataset->lastColumn->next = c;
  else
    dataset->firstColumn = c;
  dataset->lastColumn = c;
  c->position = position;
  c->id = dataset->nextColumnId++;

  switch (kind) {
    case ColumnKind::RowIndex:
      c->valueFormat = 3;
      c->decimals = 0;
      dataset->unitsColumnCount++;
      return c;
    case ColumnKind::TextUnits:
      c->valueFormat = 4;
      dataset->unitsColumnCount++;
      break;
    case ColumnKind::VariateUnits:
      dataset->unitsColumnCount++;
      break;
    case ColumnKind::Text:
      c->valueFormat = 4;
      break;
    case ColumnKind::Factor:
      if (dataset->shape == DatasetShape::Table) dataset->unitsColumnCount++;
      break;
    default:
      break;
  }
  dataset->columnCount++;
  return c;
}

bool AllocateValues(Column* column, int32_t count) {
  if (!column || count <= 0) return false;
  if (IsTextKind(column->kind)) {
    column->texts.Clear();
    column->texts.maxLength = kTextLength;
    column->texts.Resize(count);
  } else if (IsNumericKind(column->kind)) {
    column->numbers.Clear();
    column->numbers.Resize(count, kMissingValue);
  } else {
    return false;
  }
  column->valueCount = count;
  return true;
}

Column* AddColumnWithValues(Dataset* dataset, ColumnKind kind, std::string_view name, int32_t count) {
  if (!dataset) return nullptr;
  if (IsTextKind(kind)) {
    Column* c = AddColumn(dataset, kind, name, 90);
    if (!c) return nullptr;
    if (count > 0) AllocateValues(c, count);
    c->decimals = 0;
    c->levelCount = 0;
    c->width = static_cast<int32_t>(c->name.size()) + 2;
    c->valueCount = count > 0 ? count : 0;
    return c;
  }
  Column* c = AddColumn(dataset, kind, name, 25);
  if (!c) return nullptr;
  if (count > 0) {
    c->numbers.Clear();
    c->numbers.Resize(count, dataset->missingValue);
  }
  if (kind == ColumnKind::Factor) {
    c->levelValueCount = 0;
    c->labelCount = 0;
    c->levelCount = 2;
  }
  c->decimals = -1;
  c->width = 6;
  c->valueCount = count > 0 ? count : 0;
  return c;
}

void FreeValues(Column* column, int list) {
  if (!column) return;
  if (list == kLevelValueList) {
    column->levelValues.Clear();
    column->levelValueCount = 0;
  } else if (list == kLabelList) {
    column->labels.Clear();
    column->labelCount = 0;
  } else {
    column->numbers.Clear();
    column->texts.Clear();
    column->valueCount = 0;
    if (IsTextKind(column->kind)) column->levelCount = 0;
  }
}

bool CreateRows(Dataset* dataset) {
  if (!dataset || dataset->rowCount <= 0) return false;
  int32_t n = dataset->rowCount;
  std::vector<RowRecord>().swap(dataset->rows);
  try {
    dataset->rows.reserve(static_cast<std::size_t>(n));
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
  const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(RowRecord);
  AdviseLargePages(dataset->rows.data(), bytes, 0, bytes, false);
  LargeResize(dataset->rows, static_cast<std::size_t>(n));
  for (int32_t i = 0; i < n; ++i) dataset->rows[i] = RowRecord{i, 0, 1};
  Column* row = dataset->firstColumn;
  if (row) {
    row->numbers.Clear();
    row->numbers.Resize(n);
    for (int32_t i = 0; i < n; ++i) row->numbers.Set(i, i + 1.0);
    row->valueCount = n;
    row->position = 0;
    row->decimals = 0;
    row->width = n <= 1000 ? 4 : (n <= 10000 ? 5 : 6);
  }
  return true;
}

void ShortenRows(Dataset* dataset, int32_t rows) {
  dataset->rowCount = rows;
  dataset->rows.resize(static_cast<std::size_t>(rows));
  for (Column* c = dataset->firstColumn; c; c = c->next) {
    if (IsTextKind(c->kind))
      c->texts.Resize(rows);
    else
      c->numbers.Resize(rows, dataset->missingValue);
    c->valueCount = rows;
  }
}

Column* ColumnAt(Dataset* dataset, int32_t wanted) {
  if (!dataset || wanted < 0 || wanted > dataset->columnCount) return nullptr;
  int32_t count = dataset->columnCount;
  Column* c = nullptr;
  int32_t at = 0;
  int32_t cached = dataset->cachedColumnIndex;
  if (dataset->cachedColumn && cached >= 0) {
    int32_t d = cached > wanted ? cached - wanted : wanted - cached;
    if (d < wanted && d < count - wanted) {
      c = dataset->cachedColumn;
      at = cached;
    }
  }
  if (!c) {
    if (wanted <= count / 2) {
      c = dataset->firstColumn;
      at = 0;
    } else {
      c = dataset->lastColumn;
      at = count;
    }
  }
  while (c && at < wanted) {
    c = c->next;
    ++at;
  }
  while (c && at > wanted) {
    c = c->prev;
    --at;
  }
  if (!c || c->position != wanted) return nullptr;
  dataset->cachedColumn = c;
  dataset->cachedColumnIndex = wanted;
  return c;
}

ValueRef ValueAt(Column* column, int64_t index) {
  if (!column || index < 0 || index >= column->valueCount) return {};
  if (IsTextKind(column->kind)) {
    if (index >= column->texts.count) return {};
  } else if (IsNumericKind(column->kind)) {
    if (index >= column->numbers.count) return {};
  } else {
    return {};
  }
  return ValueRef{column, index};
}

void SetLevelValueList(Column* column, const std::vector<double>& values) {
  column->levelValues.Clear();
  column->levelValues.Resize(static_cast<int64_t>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) column->levelValues.Set(i, values[i]);
  column->levelValueCount = static_cast<int32_t>(values.size());
}

void SetLabelList(Column* column, const std::vector<std::string>& labels) {
  column->labels.Clear();
  column->labels.maxLength = kLabelLength;
  column->labels.Resize(static_cast<int64_t>(labels.size()));
  for (std::size_t i = 0; i < labels.size(); ++i) column->labels.Set(i, labels[i]);
  column->labelCount = static_cast<int32_t>(labels.size());
}

void MarkColumnChanged(Column* column) {
  if (!column) return;
  column->changed = 1;
  if (column->dataset) column->dataset->changed = 1;
}

void AppendNote(Dataset* dataset, std::string_view text) {
  if (!dataset || text.empty()) return;
  if (std::size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  if (text.empty()) return;
  if (dataset->notes.empty())
    dataset->notesLength = static_cast<int32_t>(text.size());
  else
    dataset->notesLength += static_cast<int32_t>(text.size()) + 1;
  dataset->notes.emplace_back(text);
  dataset->notesCount = static_cast<int32_t>(dataset->notes.size());
}

}  // namespace trovadex
