// Instat worksheets (".wor") into the Dataset: one Variate or Factor per
// worksheet column, factor labels from the worksheet's label sets, the title
// as a note, Instat's missing-value codes as missing (or "/m" replacement)
// values; the title, codes, constants and label sets are kept for the
// Corvist command file.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/byteorder.h"
#include "core/columns.h"
#include "core/dataset.h"
#include "core/names.h"
#include "readers/instat_number.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

constexpr int64_t kFirstBlockSize = 115;
constexpr int64_t kTitleOffset = 11;
constexpr int64_t kLongestTitle = 200;
constexpr int64_t kLabelSlot = 9;
constexpr int64_t kWorksheetLabelLength = 8;
constexpr int64_t kRowsPerCountCharacter = 224;
constexpr double kMostLevels = 65535;

struct WorksheetFile {
  std::FILE* file = nullptr;
  int64_t size = 0;
  ~WorksheetFile() {
    if (file) std::fclose(file);
  }
};

// Bytes at an offset; false when they are not all in the file.
bool ReadAt(WorksheetFile& f, int64_t offset, int64_t count, std::vector<unsigned char>& out) {
  if (offset < 0 || count < 0 || offset > f.size || count > f.size - offset) return false;
  LargeResize(out, static_cast<std::size_t>(count));
  if (count == 0) return true;
  if (fseeko(f.file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  return std::fread(out.data(), 1, out.size(), f.file) == out.size();
}

// The header items are read in sequence from the start; a file that ends
// early leaves the rest as zeros and empty lines.
struct HeaderReader {
  std::FILE* file;

  void Bytes(unsigned char* out, int64_t n) {
    std::size_t got = std::fread(out, 1, static_cast<std::size_t>(n), file);
    std::fill(out + got, out + n, 0);
  }
  int64_t Integer() {
    unsigned char b[kInstatNumberSize];
    Bytes(b, kInstatNumberSize);
    return LoadI32LE(b);
  }
  double Number() {
    unsigned char b[kInstatNumberSize];
    Bytes(b, kInstatNumberSize);
    return DecodeInstatNumber(b);
  }
  // A line of at most n characters: the bytes up to and including its
  // carriage return, at most n + 2 of them; the text is cut to n.
  std::string Line(int64_t n) {
    std::string text;
    for (int64_t taken = 0; taken < n + 2; ++taken) {
      int c = std::getc(file);
      if (c == EOF || c == '\r') break;
      if (static_cast<int64_t>(text.size()) < n) text += static_cast<char>(c);
    }
    return text;
  }
};

// Character k of a line less `base`, or 0 when the line is shorter.
int64_t CharAt(const std::string& line, int64_t k, int base) {
  if (k < 0 || k >= static_cast<int64_t>(line.size())) return 0;
  return static_cast<unsigned char>(line[static_cast<std::size_t>(k)]) - base;
}

}  // namespace

int16_t ReadInstat(const char* path) {
  WorksheetFile f;
  if (path) f.file = std::fopen(path, "rb");
  if (!f.file) {
    std::printf("Error: Cannot open INSTAT worksheet %.100s\n", path ? path : "");
    return 0;
  }
  if (fseeko(f.file, 0, SEEK_END) != 0) return 0;
  f.size = static_cast<int64_t>(ftello(f.file));
  if (f.size < 0 || fseeko(f.file, 0, SEEK_SET) != 0) return 0;
  HeaderReader in{f.file};

  unsigned char first[kFirstBlockSize];
  in.Bytes(first, kFirstBlockSize);
  int64_t h[14];
  for (int64_t& v : h) v = in.Integer();
  double codes[3];
  for (double& c : codes) c = in.Number();
  int64_t g[5][6];
  for (auto& group : g)
    for (int64_t& v : group) v = in.Integer();

  // The 25 lines; most only pass by. Counts are clamped first so that a line
  // length cannot overflow (each line also stops at its carriage return).
  const auto count = [&](int64_t v) { return std::clamp<int64_t>(v, 0, f.size); };
  std::string lines[5][5];
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 5; ++j) {
      int64_t n;
      if (i <= 2)
        n = (j == 3 || (i == 2 && j == 2)) ? 1 : count(g[i][0]) + 1;
      else if (i == 3)
        n = j == 0 ? 2 * count(g[3][0]) + 1 : count(g[3][0]) + 1;
      else
        n = j <= 1 ? 2 : j <= 3 ? count(g[4][0]) + 2 : 1;
      lines[i][j] = in.Line(n);
    }
  }
  const std::string keyLine = in.Line(count(h[5]) + 1);
  const std::string valueLine = in.Line(count(h[5]) + 1);
  const std::string nameLengths = in.Line(count(g[3][0]) + 1);
  std::string nameTable;
  if (h[7] < 4) {
    for (int64_t i = 0; i <= std::max<int64_t>(h[7], 0); ++i) nameTable += in.Line(256);
  } else {
    nameTable = in.Line(count(h[7]) + 2);
  }

  InstatExtras extras;
  extras.present = true;
  const int64_t titleLength = std::clamp<int64_t>(h[11], 0, std::min(kLongestTitle, kFirstBlockSize - kTitleOffset));
  extras.title.assign(reinterpret_cast<const char*>(first + kTitleOffset), static_cast<std::size_t>(titleLength));
  if (std::size_t end = extras.title.find_first_of(std::string("\r\0", 2)); end != std::string::npos)
    extras.title.resize(end);

  // Missing codes: the first makes values missing, the others stay numbers,
  // unless "/m" gives replacement values for them.
  const RunState& state = State();
  const int64_t codeCount = std::clamp<int64_t>(h[13], 0, 3);
  for (int64_t i = 0; i < codeCount; ++i) {
    extras.missingCodes.push_back(codes[i]);
    const bool replaced = i < state.instatMissingCount;
    extras.missingTreatments.push_back(replaced ? 2 : i == 0 ? 0 : 1);
    extras.missingReplacements.push_back(replaced ? state.instatMissing[static_cast<std::size_t>(i)] : kMissingValue);
  }

  std::vector<unsigned char> bytes;
  // String constants: a slot is in use when its character in the first line
  // is printable.
  const int64_t stringSlots = std::min<int64_t>(count(g[0][0]), static_cast<int64_t>(lines[0][0].size()));
  for (int64_t k = 0; k < stringSlots; ++k) {
    std::string text;
    if (CharAt(lines[0][0], k, 0) >= 33 && g[0][3] >= 0 &&
        ReadAt(f, g[0][2] + g[0][3] * k, std::min<int64_t>(80, std::max<int64_t>(0, f.size - g[0][2] - g[0][3] * k)), bytes)) {
      text.assign(bytes.begin(), bytes.end());
      if (std::size_t end = text.find_first_of(std::string("\r\0", 2)); end != std::string::npos) text.resize(end);
    }
    extras.stringConstants.push_back(text);
  }

  // Label sets: 9-byte slots, set s's label k in slot k + s * (slots per
  // set); labels past the label block are not there.
  const int64_t setSlots = count(g[1][1]);
  const int64_t blockBytes = std::max<int64_t>(0, g[2][2] - g[1][2]);
  std::vector<unsigned char> labelBlock;
  if (!ReadAt(f, g[1][2], blockBytes, labelBlock)) labelBlock.clear();
  const int64_t sets = std::min<int64_t>(count(g[1][0]), static_cast<int64_t>(lines[1][0].size()));
  for (int64_t s = 0; s < sets; ++s) {
    std::vector<std::string> set;
    int64_t labels = std::min(CharAt(lines[1][0], s, 32), setSlots);
    if (setSlots > 0 && s > blockBytes / setSlots) labels = 0;  // past the block
    for (int64_t k = 0; k < labels; ++k) {
      const int64_t at = (k + s * setSlots) * kLabelSlot;
      if (at + kWorksheetLabelLength > static_cast<int64_t>(labelBlock.size())) break;
      set.emplace_back(reinterpret_cast<const char*>(labelBlock.data() + at), kWorksheetLabelLength);
    }
    extras.labelSets.push_back(set);
  }

  // Numeric constants follow the label block.
  const int64_t constants = std::min(count(g[2][0]), std::max<int64_t>(0, f.size - g[2][2]) / kInstatNumberSize);
  if (constants > 0 && ReadAt(f, g[2][2], constants * kInstatNumberSize, bytes)) {
    for (int64_t i = 0; i < constants; ++i)
      extras.constants.emplace_back("", DecodeInstatNumber(bytes.data() + i * kInstatNumberSize));
  }
  extras.definedConstantCount = static_cast<long>(std::clamp<int64_t>(g[2][4], 0, constants));

  // Column row counts, two characters each; every column's values must lie
  // within its slot, the worksheet's row count and the file.
  const int64_t columns = std::min<int64_t>(count(g[3][0]), static_cast<int64_t>(lines[3][0].size()) / 2);
  std::vector<int64_t> rows(static_cast<std::size_t>(columns));
  int64_t rowCount = 0;
  for (int64_t k = 0; k < columns; ++k) {
    const int64_t n = CharAt(lines[3][0], 2 * k, 32) * kRowsPerCountCharacter + CharAt(lines[3][0], 2 * k + 1, 32);
    if (n <= 0) continue;
    const int64_t start = g[3][2] + g[3][3] * k;
    if (n > g[3][1] || n * kInstatNumberSize > g[3][3] || start < 0 || start > f.size ||
        n * kInstatNumberSize > f.size - start) {
      std::printf("Error: Column %lli of INSTAT worksheet %.100s lies outside the file!\n",
                  static_cast<long long>(k + 1), path);
      return 0;
    }
    rows[static_cast<std::size_t>(k)] = n;
    rowCount = std::max(rowCount, n);
  }
  if (rowCount == 0) {
    std::printf("Warning: No column data in INSTAT file %.100s!\n", path);
    return 0;
  }

  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(rowCount);
  if (!CreateRows(dataset)) return 0;
  if (!extras.title.empty()) AppendNote(dataset, extras.title);

  bool clamped = false;
  for (int64_t k = 0; k < columns; ++k) {
    const int64_t n = rows[static_cast<std::size_t>(k)];
    if (n <= 0) continue;
    // The name is the run of characters before the column's marker byte.
    std::string name;
    const int64_t length = CharAt(nameLengths, k, 32);
    if (length > 0 && k + 129 <= 255) {
      const std::size_t marker = nameTable.find(static_cast<char>(k + 129));
      if (marker != std::string::npos && static_cast<int64_t>(marker) >= length)
        name = nameTable.substr(marker - static_cast<std::size_t>(length), static_cast<std::size_t>(length));
    }
    name = TrimText(name, kNameLength);
    if (name.empty())
      name = "X" + std::to_string(k + 1);
    else
      LegalName(name);

    if (!ReadAt(f, g[3][2] + g[3][3] * k, n * kInstatNumberSize, bytes)) return 0;
    std::vector<double> values(static_cast<std::size_t>(n));
    double largest = kMissingValue;
    for (int64_t r = 0; r < n; ++r) {
      double x = DecodeInstatNumber(bytes.data() + r * kInstatNumberSize);
      bool decided = false;
      for (int64_t i = 0; i < codeCount && !decided; ++i) {
        if (x != codes[i]) continue;
        decided = true;
        const int treatment = extras.missingTreatments[static_cast<std::size_t>(i)];
        if (treatment == 0) x = kMissingValue;
        if (treatment == 2) x = extras.missingReplacements[static_cast<std::size_t>(i)];
      }
      if (!decided && x < -kInstatLargest) x = kMissingValue;
      if (!std::isfinite(x)) x = kMissingValue;
      if (x > kNumberCap) {
        x = kNumberCap;
        clamped = true;
      }
      values[static_cast<std::size_t>(r)] = x;
      if (x > kMissingValue) largest = std::max(largest, x);
    }

    // A damaged factor with an absurd largest level stays a plain column
    // rather than a factor of millions of levels.
    const bool factor = CharAt(lines[3][2], k, 0) == 'F' && largest <= kMostLevels;
    Column* c = AddColumn(dataset, factor ? ColumnKind::Factor : ColumnKind::Variate, name, factor ? 40 : 25);
    if (!c) break;
    AllocateValues(c, dataset->rowCount);
    c->sourceColumnNumber = static_cast<int32_t>(k + 1);
    for (int64_t r = 0; r < n; ++r) SetNumber(c, r, values[static_cast<std::size_t>(r)]);
    if (factor) {
      c->levelCount = largest < 2 ? 1 : static_cast<int32_t>(largest);
      // The label set: where the key line holds 3 and k + 33, the value
      // line holds 1 and the set's number + 33.
      int64_t set = -1;
      const std::string key{'\x03', static_cast<char>(k + 33)};
      const std::size_t at = k + 33 <= 255 ? keyLine.find(key) : std::string::npos;
      if (at != std::string::npos && CharAt(valueLine, static_cast<int64_t>(at), 0) == 1 &&
          static_cast<int64_t>(at) + 1 < static_cast<int64_t>(valueLine.size()))
        set = CharAt(valueLine, static_cast<int64_t>(at) + 1, 33);
      if (set >= 0 && set < static_cast<int64_t>(extras.labelSets.size())) {
        const std::vector<std::string>& labels = extras.labelSets[static_cast<std::size_t>(set)];
        if (static_cast<int64_t>(labels.size()) < c->levelCount) {
          std::printf("Warning: Too few labels for factor %.80s!\n", c->name.c_str());
        } else {
          std::vector<std::string> kept;
          for (int32_t i = 0; i < c->levelCount; ++i) {
            std::string label = labels[static_cast<std::size_t>(i)];
            while (!label.empty() && label.back() == ' ') label.pop_back();
            kept.push_back(label);
          }
          SetLabelList(c, kept);
          c->factorDisplay = 2;
          c->valueFormat = 4;
          c->justification = 0;
        }
      }
    }
    c->decimals = -1;
    c->valueCount = dataset->rowCount;
    ComputeWidth(c);
  }
  if (clamped)
    std::printf("Warning: Numbers in %.100s greater than %s have been set to this value\n", path, "9.99999E+307");
  State().instatExtras = std::move(extras);
  return 1;
}

}  // namespace trovadex
