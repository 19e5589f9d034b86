// The in-memory table of one run: the Dataset, its columns and their values,
// the process-wide options, the checked allocator and the fatal-exit path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trovadex {

// ---------------------------------------------------------------- constants

inline constexpr double kMissingValue = -1e307;        // the missing-number sentinel
inline constexpr double kNumberCap = 9.99999e307;      // largest number kept
inline constexpr std::size_t kAllocationCeiling = 16000008;  // largest checked allocation
inline constexpr int kNameLength = 40;                 // identifiers and factor labels
inline constexpr int kTextLength = 90;                 // one text value
inline constexpr int kLabelLength = 40;                // one factor label
inline constexpr int kDefaultColumnLimit = 250;
// Readers that hold a text before it is stored (a cell of a worksheet grid,
// a field of a record) keep up to this many bytes: more than any limit, so
// that the store which applies the limit sees that the text was longer and
// counts the cut.
inline constexpr std::size_t kKeptTextLength = 255;

// List selectors of AllocateValues besides the column kinds.
inline constexpr int kLevelValueList = 90;
inline constexpr int kLabelList = 91;
inline constexpr int kRowRecordList = 92;

enum class ColumnKind : int32_t {
  RowIndex = 0,
  Scalar = 1,
  Factor = 2,
  Text = 3,
  Variate = 4,
  MatrixColumn = 5,
  Numeric6 = 6,
  SymmetricMatrixColumn = 7,
  TableColumn = 8,
  Numeric22 = 22,
  TextUnits = -3,
  VariateUnits = -4,
};

enum class DatasetShape : int32_t {
  Columns = 1,
  Matrix = 2,
  SymmetricMatrix = 3,
  DiagonalMatrix = 4,
  Table = 5,
  Scalars = 6,
};

// True for the kinds whose values are numbers (0, 1, 2, 4..8, 22, -4).
bool IsNumericKind(ColumnKind kind);
// True for Text and TextUnits.
bool IsTextKind(ColumnKind kind);
// True for a code that names a known column kind.
bool IsKnownKind(int32_t code);

// ---------------------------------------------------------------- options

struct Options {
  int32_t defaultNameCounter = 0;
  int16_t omitEmpty = 1;
  int16_t caseInsensitiveLevels = 1;
  int16_t compressBlanks = 1;
  int16_t suffixedNames = 0;
  int16_t sortLabels = 1;
  int16_t dateBase = 0;
  int16_t ignoreUserMissing = 0;
  int16_t quoteText = 1;
  int32_t defaultDateRepresentation = 3;
  std::string namePrefix = "C";
  std::array<std::string, 14> monthNames;
  std::array<std::string, 14> monthAbbreviations;
  std::array<std::string, 9> dayNames;  // process-wide record only
};

// ---------------------------------------------------------------- value storage

// Values per number block as a power of two. Builds that check memory (the
// address sanitizer, the fuzz targets) use smaller blocks: a large block costs
// them its whole size in shadow memory at every allocation and release,
// however few values a column holds.
#ifndef TROVADEX_VALUE_BLOCK_SHIFT
#if defined(__SANITIZE_ADDRESS__)
#define TROVADEX_VALUE_BLOCK_SHIFT 12
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TROVADEX_VALUE_BLOCK_SHIFT 12
#endif
#endif
#endif
#ifndef TROVADEX_VALUE_BLOCK_SHIFT
#define TROVADEX_VALUE_BLOCK_SHIFT 20
#endif

// Numbers in blocks of 2^20 doubles (8 MB): O(1) access by index, no single
// allocation near the allocator's ceiling, no per-value links.
struct NumberList {
  static constexpr int kBlockShift = TROVADEX_VALUE_BLOCK_SHIFT;
  static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockShift;
  static constexpr std::size_t kBlockMask = kBlockSize - 1;

  std::vector<std::unique_ptr<double[]>> blocks;
  int64_t count = 0;

  double Get(int64_t i) const { return blocks[i >> kBlockShift][i & kBlockMask]; }
  double& At(int64_t i) { return blocks[i >> kBlockShift][i & kBlockMask]; }
  void Set(int64_t i, double v) { At(i) = v; }
  // Grows or shrinks to n values; new values hold `fill`.
  void Resize(int64_t n, double fill = kMissingValue);
  void Clear();
  int64_t size() const { return count; }
};

// Texts stored compactly: one 8-byte reference a value into pooled bytes.
// Each stored text is NUL-terminated so that CStr gives a C string. A value
// is cut to `maxLength` bytes (90 for column values, 40 for factor labels;
// at most kMaxStoredLength) by CutText, which counts the cut as a text, or
// as a label when the limit is that of labels.
struct TextList {
  // A packed reference: bits 0-7 the length, 8-15 the bytes owned (without
  // the NUL), 16-35 the offset in its pool, 36-63 the pool number + 1 (0:
  // nothing owned, the empty text). A plain integer, so that a new block is
  // not touched until its values are used.
  using Ref = uint64_t;
  static constexpr int kCapacityShift = 8;
  static constexpr int kOffsetShift = 16;
  static constexpr int kPoolShift = 36;
  static constexpr std::size_t kMaxStoredLength = 255;
  static constexpr int kBlockShift = TROVADEX_VALUE_BLOCK_SHIFT;
  static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockShift;
  static constexpr std::size_t kBlockMask = kBlockSize - 1;
  static constexpr std::size_t kPoolSize = std::size_t{1} << TROVADEX_VALUE_BLOCK_SHIFT;
  static_assert(kPoolSize <= (std::size_t{1} << (kPoolShift - kOffsetShift)), "pool offsets need more bits");

  // After the first two pools, which are allocations of their own, pools
  // are carved kPoolsPerChunk at a time from one allocation (a list holding
  // that much text is likely to hold more; see NewPool).
  static constexpr std::size_t kPoolsPerChunk = 8;

  int32_t maxLength = kTextLength;
  std::vector<std::unique_ptr<Ref[]>> blocks;
  std::vector<std::unique_ptr<char[]>> chunks;  // own the pools
  std::vector<char*> pools;
  std::size_t poolUsed = kPoolSize;  // bytes used in the last pool
  int64_t count = 0;

  const char* Data(Ref r) const {
    return (r >> kPoolShift) ? pools[(r >> kPoolShift) - 1] + ((r >> kOffsetShift) & (kPoolSize - 1)) : "";
  }
  std::string_view Get(int64_t i) const {
    const Ref r = blocks[i >> kBlockShift][i & kBlockMask];
    return std::string_view(Data(r), static_cast<std::size_t>(r & 0xFF));
  }
  const char* CStr(int64_t i) const { return Data(blocks[i >> kBlockShift][i & kBlockMask]); }
  void Set(int64_t i, std::string_view text);
  // Set for a value that holds no text yet (new values, as after Resize):
  // the bytes it may own are not looked at.
  void SetNew(int64_t i, std::string_view text);
  // Stores an already cut text in new pool bytes and points r at them.
  void StoreNew(Ref& r, std::string_view text);
  void Resize(int64_t n);  // new values are empty texts
  void Clear();
  int64_t size() const { return count; }

 private:
  void NewPool();
};

// ---------------------------------------------------------------- records

struct Dataset;

struct Column {
  Column* next = nullptr;
  Column* prev = nullptr;
  ColumnKind kind = ColumnKind::Variate;
  Dataset* dataset = nullptr;
  std::string name;         // at most 40 characters
  std::string columnLabel;  // at most 40 characters
  std::string description;  // at most 40 characters
  std::string note;         // empty = no note
  bool hasNote = false;
  int32_t id = 0;
  int32_t position = 0;
  int32_t valueCount = 0;
  int32_t decimals = -1;
  int32_t width = 0;
  int32_t maxTextLength = 25;
  int32_t sourceColumnNumber = 0;
  double levelValue = 0;
  double minimum = kMissingValue;
  double maximum = kMissingValue;
  int32_t valueFormat = 1;
  int32_t justification = 0;
  int16_t changed = 0;
  int16_t empty = 1;
  int16_t locked = 0;
  int16_t dateBase = 0;
  int32_t dateRepresentation = 3;

  // The main value list: `numbers` for numeric kinds, `texts` for text kinds.
  NumberList numbers;
  TextList texts;

  int32_t levelCount = 0;
  int32_t levelValueCount = 0;
  int32_t labelCount = 0;
  int32_t longestLabel = 0;
  NumberList levelValues;  // Factor: value of each level, in level order
  TextList labels;         // Factor: label of each level (40 characters at most)
  int32_t factorDisplay = 0;  // 0 level numbers, 1 level values, 2 labels
};

struct RowRecord {
  int32_t rowIndex = 0;
  int16_t restricted = 0;
  int16_t empty = 1;
};

struct Dataset {
  DatasetShape shape = DatasetShape::Columns;
  Column* firstColumn = nullptr;
  Column* lastColumn = nullptr;
  Column* cachedColumn = nullptr;
  std::vector<RowRecord> rows;  // one per row, made by CreateRows
  Options options;              // this Dataset's copy
  int32_t labelStyle = 0;
  int32_t nextColumnId = 0;
  std::vector<std::string> notes;
  std::string name;
  std::string columnFactorName;
  std::string sourceFile;
  int32_t sheetVersion = 0;
  int32_t columnCount = 0;
  int32_t rowCount = 0;
  int32_t unitsColumnCount = 0;
  int32_t classifierCount = 0;
  int32_t cachedColumnIndex = -1;
  int16_t hasRestriction = 0;
  int16_t changed = 0;
  int16_t sheetFlag = 0;
  int16_t hasMargins = 0;
  int16_t tableFlag = 0;
  int16_t locked = 0;
  int32_t notesCount = 0;
  int32_t notesLength = 0;
  double missingValue = kMissingValue;
  int32_t sourceFormat = 1;
  // Every column ever added, linked or not: the Dataset owns them.
  std::vector<std::unique_ptr<Column>> ownedColumns;
};

// ---------------------------------------------------------------- fatal exits

// Ends the run: prints `message` (may be null) on standard output, removes the
// registered temporary files and exits with `code`. When interception is on
// (tests, fuzz targets) it throws FatalExitError instead of exiting.
[[noreturn]] void FatalExit(int code, const char* message);

struct FatalExitError {
  int code;
};

// ---------------------------------------------------------------- allocator

// A zero-filled block of `size` bytes; above the ceiling: exit 7; no memory:
// exit 8. Never returns null. Free with std::free.
void* CheckedAlloc(std::size_t size);
void* CheckedRealloc(void* pointer, std::size_t size);
// Applies the ceiling (exit 7) to a size that the caller will allocate itself.
void CheckAllocationSize(std::size_t size);
// Ends the run with exit 8 and the out-of-memory message.
[[noreturn]] void OutOfMemory();

// An allocator whose resize leaves new elements unset, for byte buffers
// that are always written before they are read: a large read or output
// block then costs only the pages a run uses, not a zero fill of the whole.
template <class T>
struct UnsetAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UnsetAllocator<U>;
  };
  UnsetAllocator() = default;
  template <class U>
  UnsetAllocator(const UnsetAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
using ByteBuffer = std::vector<char, UnsetAllocator<char>>;

// Buffers whose size follows the input: no ceiling, exit 8 when memory runs out.
template <class Vector>
void LargeResize(Vector& v, std::size_t n) {
  try {
    v.resize(n);
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
}

// ---------------------------------------------------------------- Instat extras

struct InstatExtras {
  bool present = false;
  std::string title;
  std::vector<double> missingCodes;
  std::vector<std::pair<std::string, double>> constants;
  std::vector<std::string> labels;
  // Parallel to missingCodes: the treatment of each code (0 treat as missing,
  // 1 keep as a number, 2 replace) and its replacement value. Absent entries
  // count as 0 for the first code and 1 for the others.
  std::vector<int> missingTreatments;
  std::vector<double> missingReplacements;
  // String-constant slots (up to 80 characters; a slot may be empty).
  std::vector<std::string> stringConstants;
  // Label sets: each a list of 8-character labels, blank padded.
  std::vector<std::vector<std::string>> labelSets;
  // constants[i].second holds the value of numeric constant i + 1; the first
  // definedConstantCount of them hold a value.
  long definedConstantCount = 0;
};

// ---------------------------------------------------------------- process-wide state

enum class NamesRowMode { Automatic = 0, Present = 1, Absent = 2 };

// The pending text of the Corvist command writer: a plain growing byte
// buffer (not a std::string), so that a value can be formatted straight into
// its end and appended without a further copy.
struct LineBuffer {
  std::unique_ptr<char[]> bytes;
  std::size_t used = 0;
  std::size_t capacity = 0;

  bool empty() const { return used == 0; }
  std::size_t size() const { return used; }
  const char* data() const { return bytes.get(); }
  char back() const { return bytes[used - 1]; }
  std::string_view view() const { return used ? std::string_view(bytes.get(), used) : std::string_view(); }
  void clear() { used = 0; }
  // At least n free bytes at the end; returns where they start.
  char* Room(std::size_t n) {
    if (capacity - used < n) Grow(used + n);
    return bytes.get() + used;
  }
  void Grow(std::size_t need);
  void append(std::string_view text) {
    if (text.empty()) return;
    std::memcpy(Room(text.size()), text.data(), text.size());
    used += text.size();
  }
  LineBuffer& operator+=(std::string_view text) {
    append(text);
    return *this;
  }
  LineBuffer& operator+=(char c) {
    *Room(1) = c;
    ++used;
    return *this;
  }
};

// What a cut shortened, for the run's end-of-run warnings.
enum class CutKind : int { Text = 0, Name = 1, Label = 2 };

struct RunState {
  Options options;
  Dataset* currentDataset = nullptr;
  std::vector<std::unique_ptr<Dataset>> datasets;  // every Dataset of the run (never freed early)

  // Option state parsed from the command line.
  std::string missingText = "*";
  std::array<double, 3> instatMissing{-9999, -9999, -9999};
  int instatMissingCount = 0;
  bool instatFactorMode = false;
  bool rangeLayoutInput = false;
  long rangeOccurrence = 1;
  NamesRowMode namesRowMode = NamesRowMode::Automatic;
  int textToNumberMode = 3;
  bool listSheets = false;
  bool readNamesFile = false;
  std::string pointerName;
  bool noClosingCommand = false;
  bool endWithEndbreak = false;
  bool metadataLayoutOutput = false;
  long metadataLayoutValue = 1;
  bool writeNamesFile = false;
  bool echoOnReading = true;
  bool splitColour = true;
  int spreadsheetVersion = 3;
  bool commaOutput = false;
  std::string sheet;
  std::string range;
  int32_t columnLimit = kDefaultColumnLimit;
  bool outputHasQ17X = false;

  // Text-to-number warnings file.
  std::FILE* warningsFile = nullptr;
  bool warningsFileOpened = false;
  bool warningsFileFailed = false;

  // Counters for names.
  long quotedSuffixCounter = 0;
  long bracketCounter = 1;
  long tableFactorCounter = 0;
  long tableColumnFactorCounter = 0;

  // Current date settings.
  int currentDateBase = 0;
  int currentDateRepresentation = 3;

  // Corvist command-file line buffer, its current column, and whether the
  // last write-out was made early (the column then carries over).
  LineBuffer lineBuffer;
  long lineColumn = 0;
  bool lineFlushedEarly = false;
  // "Data read from" text of the spreadsheet readers.
  std::string sourceDescription;
  InstatExtras instatExtras;
  // Byte order of the last Gauss file read (0 little-endian, 1 big-endian).
  int gaussByteOrder = 0;
  // The input file path of the run (handed to readers of embedded streams).
  std::string inputFileName;
  // Set for one call of the Minitab reader: its input is the record stream
  // of a compound document's worksheet (cleared when the reader returns).
  bool minitabRecordStream = false;

  // Texts, names and labels cut to their limits (by CutKind), reported
  // after the run.
  std::array<long, 3> cuts{};

  // Temporary files removed on every exit path.
  std::vector<std::string> temporaryFiles;
  // When set, FatalExit throws FatalExitError instead of ending the process.
  bool interceptFatal = false;
};

// The one RunState of the process, made on first use and reached without a
// call (writers consult it per value).
inline RunState& State() {
  static RunState state;
  return state;
}
// Back to the start-of-run state (tests). Keeps the interception setting.
void ResetState();

// Removes the registered temporary files (called on every exit path).
void RemoveTemporaryFiles();

// ---------------------------------------------------------------- operations

void InitOptions();
Options* CurrentOptions();
inline Dataset* CurrentDataset() { return State().currentDataset; }
inline void SetCurrentDataset(Dataset* d) { State().currentDataset = d; }

// The longest start of `text` of at most `limit` bytes that does not end
// inside a UTF-8 character (bytes that are not UTF-8, as in windows-1252
// text, are cut at the limit).
std::string_view Utf8Prefix(std::string_view text, std::size_t limit);
// The same, and a text longer than `limit` counts as one cut of `kind`.
// Every cut of a text value, name or label goes through here.
std::string_view CutText(std::string_view text, std::size_t limit, CutKind kind);

// Copies at most `limit` bytes of `text` (up to an embedded NUL) into
// `target`; a longer text is cut by CutText as a `kind`.
void CopyLimited(std::string& target, std::string_view text, std::size_t limit = kNameLength,
                 CutKind kind = CutKind::Name);

Dataset* CreateDataset();
Column* AddColumn(Dataset* dataset, ColumnKind kind, std::string_view name, int32_t maxTextLength);
Column* AddColumnWithValues(Dataset* dataset, ColumnKind kind, std::string_view name, int32_t count);

// Gives the column's main list `count` values (numbers for numeric kinds,
// texts for text kinds), replacing any previous list; sets valueCount.
// Returns false for a count ≤ 0 or a kind without values.
bool AllocateValues(Column* column, int32_t count);
// Frees one list: kLevelValueList, kLabelList, or anything else for the main list.
void FreeValues(Column* column, int list);

bool CreateRows(Dataset* dataset);
// Cuts the rows and every column's values to the first `rows`, for a file
// that held fewer records than its header announced.
void ShortenRows(Dataset* dataset, int32_t rows);
Column* ColumnAt(Dataset* dataset, int32_t position);

// A handle on one value of a column's main list; false when out of range.
struct ValueRef {
  Column* column = nullptr;
  int64_t index = -1;
  explicit operator bool() const { return column != nullptr; }
  double Number() const { return column->numbers.Get(index); }
  void SetNumber(double v) const { column->numbers.Set(index, v); }
  std::string_view Text() const { return column->texts.Get(index); }
  void SetText(std::string_view t) const { column->texts.Set(index, t); }
};
ValueRef ValueAt(Column* column, int64_t index);

// Direct value access by 0-based index (no range check beyond debug asserts).
inline double GetNumber(const Column* c, int64_t i) { return c->numbers.Get(i); }
inline void SetNumber(Column* c, int64_t i, double v) { c->numbers.Set(i, v); }
inline std::string_view GetText(const Column* c, int64_t i) { return c->texts.Get(i); }
inline void SetText(Column* c, int64_t i, std::string_view t) { c->texts.Set(i, t); }

// Replaces a factor's level values / labels (sets levelValueCount / labelCount).
void SetLevelValueList(Column* column, const std::vector<double>& values);
void SetLabelList(Column* column, const std::vector<std::string>& labels);

void MarkColumnChanged(Column* column);
void AppendNote(Dataset* dataset, std::string_view text);

// True when `x` is missing for `dataset` (not greater than its missingValue).
inline bool IsMissing(const Dataset* d, double x) { return !(x > d->missingValue); }

}  // namespace trovadex
