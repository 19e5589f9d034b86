// Stata data sets (".dta") of the binary releases 103 to 110 and 113 to 115
// and of the tagged releases 117 to 119, in either byte order: numeric
// variables become variates, string variables (strLs too) texts, and a
// variable with a value-label name becomes a factor labelled from the table
// of that name.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/byteorder.h"
#include "core/columns.h"
#include "core/convert.h"
#include "core/dataset.h"
#include "core/format.h"
#include "core/names.h"
#include "core/progress.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

// The sizes that differ between releases.
struct StataLayout {
  int release = 0;
  bool bigEndian = false;
  // Release 117 on: sections between tags ("<stata_dta><header>..."), counts
  // of their own widths, strLs, and tables wrapped in "<lbl>".
  bool tagged = false;
  // Release 113 on: type codes 251-255 (2-byte codes from 117) and the
  // missing values .a to .z beside ".".
  bool newTypes = false;
  bool extendedMissing = false;
  int64_t dataLabelSize = 0;     // the data label of the header (binary layouts)
  bool hasTimeStamp = false;     // 18 bytes after the data label (binary layouts)
  int64_t nameSize = 0;          // variable and value-label names
  int64_t formatSize = 0;        // display formats (read and not used)
  int64_t labelSize = 0;         // variable labels
  int expansionLengthBytes = 0;  // 0: no expansion fields
  bool newLabelTables = false;
  // Tagged layouts: widths of the variable and observation counts, of the
  // data label's length, of a sort-list entry, and of the variable part of
  // a strL reference.
  int variableCountBytes = 0;
  int observationCountBytes = 0;
  int dataLabelLengthBytes = 0;
  int sortEntryBytes = 2;
  int strlVariableBytes = 0;
};

bool LayoutOf(int release, StataLayout& layout) {
  layout.release = release;
  switch (release) {
    case 103:
    case 104:
      layout.dataLabelSize = 32;
      layout.nameSize = 9;
      layout.formatSize = 7;
      layout.labelSize = 32;
      return true;
    case 105:
    case 106:
      layout.dataLabelSize = 32;
      layout.hasTimeStamp = true;
      layout.nameSize = 9;
      layout.formatSize = 12;
      layout.labelSize = 32;
      layout.expansionLengthBytes = 2;
      return true;
    case 108:
    case 110:
    case 113:
    case 114:
    case 115:
      layout.dataLabelSize = 81;
      layout.hasTimeStamp = true;
      layout.nameSize = release == 108 ? 9 : 33;
      layout.formatSize = release >= 114 ? 49 : 12;
      layout.labelSize = 81;
      layout.expansionLengthBytes = release == 108 ? 2 : 4;
      layout.newLabelTables = true;
      layout.newTypes = layout.extendedMissing = release >= 113;
      return true;
    case 117:
    case 118:
    case 119:
      layout.tagged = layout.newTypes = layout.extendedMissing = layout.newLabelTables = true;
      layout.nameSize = release == 117 ? 33 : 129;
      layout.formatSize = release == 117 ? 49 : 57;
      layout.labelSize = release == 117 ? 81 : 321;
      layout.variableCountBytes = release == 119 ? 4 : 2;
      layout.observationCountBytes = release == 117 ? 4 : 8;
      layout.dataLabelLengthBytes = release == 117 ? 1 : 2;
      layout.sortEntryBytes = release == 119 ? 4 : 2;
      layout.strlVariableBytes = release == 117 ? 4 : release == 118 ? 2 : 3;
      return true;
    default: return false;  // 111 and 112 are not read
  }
}

constexpr int64_t kTimeStampSize = 18;

// How a variable's values are stored.
enum class Storage { Byte, Int, Long, Float, Double, Str, StrL };

// The file, read front to back with every length checked against its size.
struct StataFile {
  std::FILE* file = nullptr;
  int64_t size = 0;
  int64_t pos = 0;

  ~StataFile() {
    if (file) std::fclose(file);
  }
  int64_t Left() const { return size - pos; }
  // The next n bytes into out; false when the file holds fewer.
  bool Take(void* out, int64_t n) {
    if (n < 0 || n > Left()) return false;
    if (n > 0 && std::fread(out, 1, static_cast<std::size_t>(n), file) != static_cast<std::size_t>(n))
      return false;
    pos += n;
    return true;
  }
  bool Skip(int64_t n) {
    if (n < 0 || n > Left()) return false;
    if (fseeko(file, static_cast<off_t>(pos + n), SEEK_SET) != 0) return false;
    pos += n;
    return true;
  }
  // True and past the tag when the next bytes are `tag`; otherwise the
  // position is kept.
  bool Next(std::string_view tag) {
    char b[32];
    if (tag.size() > sizeof b || static_cast<int64_t>(tag.size()) > Left()) return false;
    if (std::fread(b, 1, tag.size(), file) == tag.size() &&
        std::memcmp(b, tag.data(), tag.size()) == 0) {
      pos += static_cast<int64_t>(tag.size());
      return true;
    }
    fseeko(file, static_cast<off_t>(pos), SEEK_SET);
    return false;
  }
};

bool OpenStata(const char* path, StataFile& f) {
  f.file = std::fopen(path, "rb");
  if (!f.file) return false;
  if (fseeko(f.file, 0, SEEK_END) != 0) return false;
  long long size = static_cast<long long>(ftello(f.file));
  if (size < 0 || fseeko(f.file, 0, SEEK_SET) != 0) return false;
  f.size = size;
  return true;
}

// Integers of the file's byte order.
struct Order {
  bool big = false;
  uint16_t U16(const unsigned char* p) const { return big ? LoadU16BE(p) : LoadU16LE(p); }
  int16_t I16(const unsigned char* p) const { return big ? LoadI16BE(p) : LoadI16LE(p); }
  int32_t I32(const unsigned char* p) const { return big ? LoadI32BE(p) : LoadI32LE(p); }
  uint32_t U32(const unsigned char* p) const { return big ? LoadU32BE(p) : LoadU32LE(p); }
  uint64_t U64(const unsigned char* p) const { return big ? LoadU64BE(p) : LoadU64LE(p); }
  // An unsigned count of 1, 2, 4 or 8 bytes.
  uint64_t Count(const unsigned char* p, int bytes) const {
    switch (bytes) {
      case 1: return p[0];
      case 2: return U16(p);
      case 4: return U32(p);
      default: return U64(p);
    }
  }
};

// A fixed-size text field, up to its first NUL.
std::string_view FieldText(const unsigned char* p, int64_t size) {
  const char* s = reinterpret_cast<const char*>(p);
  const void* nul = std::memchr(s, 0, static_cast<std::size_t>(size));
  return std::string_view(s, nul ? static_cast<const char*>(nul) - s : static_cast<std::size_t>(size));
}

struct StataHeader {
  StataLayout layout;
  int64_t variables = 0;
  int64_t observations = 0;
  std::string dataLabel;
};

// The header of the tagged layout, after its opening "<stata_dta>".
bool ReadTaggedHeader(StataFile& f, StataHeader& h) {
  unsigned char b[8];
  if (!f.Next("<header><release>") || !f.Take(b, 3)) return false;
  if (b[0] != '1' || b[1] != '1' || b[2] < '7' || b[2] > '9') return false;
  if (!LayoutOf(100 + 10 * (b[1] - '0') + (b[2] - '0'), h.layout)) return false;
  StataLayout& l = h.layout;
  if (!f.Next("</release><byteorder>")) return false;
  if (f.Next("MSF"))
    l.bigEndian = true;
  else if (!f.Next("LSF"))
    return false;
  Order order{l.bigEndian};
  if (!f.Next("</byteorder><K>") || !f.Take(b, l.variableCountBytes)) return false;
  h.variables = static_cast<int64_t>(order.Count(b, l.variableCountBytes));
  if (!f.Next("</K><N>") || !f.Take(b, l.observationCountBytes)) return false;
  const uint64_t n = order.Count(b, l.observationCountBytes);
  h.observations = static_cast<int64_t>(std::min<uint64_t>(n, INT64_MAX));
  if (h.variables < 1 || h.observations < 1) return false;
  if (!f.Next("</N><label>") || !f.Take(b, l.dataLabelLengthBytes)) return false;
  const int64_t labelLength = static_cast<int64_t>(order.Count(b, l.dataLabelLengthBytes));
  if (labelLength > f.Left()) return false;
  h.dataLabel.resize(static_cast<std::size_t>(labelLength));
  if (!f.Take(h.dataLabel.data(), labelLength)) return false;
  if (!f.Next("</label><timestamp>") || !f.Take(b, 1) || !f.Skip(b[0])) return false;
  // The map of section offsets is not needed: the sections follow in order.
  return f.Next("</timestamp></header><map>") && f.Skip(14 * 8) && f.Next("</map>");
}

// The fixed header; false for anything that is not a dta file of a release
// this reader knows.
bool ReadHeader(StataFile& f, StataHeader& h) {
  if (f.Next("<stata_dta>")) return ReadTaggedHeader(f, h);
  unsigned char b[10 + 81 + kTimeStampSize];
  if (!f.Take(b, 10)) return false;
  if (!LayoutOf(b[0], h.layout)) return false;
  if (b[1] != 1 && b[1] != 2) return false;
  if (b[2] != 1 && b[2] != 2) return false;
  h.layout.bigEndian = b[1] == 1;
  Order order{h.layout.bigEndian};
  h.variables = order.U16(b + 4);
  h.observations = order.I32(b + 6);
  if (h.variables < 1 || h.observations < 1) return false;
  const StataLayout& l = h.layout;
  const int64_t rest = l.dataLabelSize + (l.hasTimeStamp ? kTimeStampSize : 0);
  if (!f.Take(b + 10, rest)) return false;
  const unsigned char* label = b + 10;
  if (l.hasTimeStamp) {
    // From release 105 on the label is a C string and the time stamp ends in a NUL.
    if (!std::memchr(label, 0, static_cast<std::size_t>(l.dataLabelSize))) return false;
    if (label[l.dataLabelSize + kTimeStampSize - 1] != 0) return false;
  }
  h.dataLabel = FieldText(label, l.dataLabelSize);
  return true;
}

struct StataVariable {
  Storage storage = Storage::Double;
  int64_t width = 0;
  int64_t offset = 0;  // within the observation
  std::string name;
  std::string valueLabelName;
  std::string label;
  Column* column = nullptr;
  std::vector<uint64_t> strls;  // StrL: each row's reference, resolved after the data
};

bool IsText(const StataVariable& v) { return v.storage == Storage::Str || v.storage == Storage::StrL; }

// The storage of a type code; false for an unknown code.
bool StorageOf(const StataLayout& l, unsigned code, StataVariable& v) {
  static constexpr int64_t kWidths[] = {1, 2, 4, 4, 8};
  static constexpr Storage kNumeric[] = {Storage::Byte, Storage::Int, Storage::Long, Storage::Float,
                                         Storage::Double};
  int numeric = -1;
  if (l.tagged) {
    if (code >= 65526 && code <= 65530) numeric = static_cast<int>(65530 - code);
    if (code >= 1 && code <= 2045) v.storage = Storage::Str, v.width = code;
    if (code == 32768) v.storage = Storage::StrL, v.width = 8;
  } else if (l.newTypes) {
    if (code >= 251 && code <= 255) numeric = static_cast<int>(code - 251);
    if (code >= 1 && code <= 244) v.storage = Storage::Str, v.width = code;
  } else {
    switch (code) {
      case 'b': numeric = 0; break;
      case 'i': numeric = 1; break;
      case 'l': numeric = 2; break;
      case 'f': numeric = 3; break;
      case 'd': numeric = 4; break;
      default:
        if (code >= 128) v.storage = Storage::Str, v.width = code - 127;
        break;
    }
  }
  if (numeric >= 0) v.storage = kNumeric[numeric], v.width = kWidths[numeric];
  return v.width > 0;
}

// One descriptor list: `count` fields of `size` bytes, between its tags in
// the tagged layout.
bool ReadList(StataFile& f, const StataLayout& l, std::string_view name, int64_t count, int64_t size,
              std::vector<unsigned char>& out) {
  if (count > f.Left() / size) return false;
  if (l.tagged && !(f.Next("<") && f.Next(name) && f.Next(">"))) return false;
  LargeResize(out, static_cast<std::size_t>(count * size));
  if (!f.Take(out.data(), count * size)) return false;
  return !l.tagged || (f.Next("</") && f.Next(name) && f.Next(">"));
}

// The descriptor lists after the header, then the expansion fields
// (characteristics); false when the file ends inside them or a type is
// unknown.
bool ReadDescriptors(StataFile& f, const StataHeader& h, std::vector<StataVariable>& vars) {
  const StataLayout& l = h.layout;
  const int64_t n = h.variables;
  const int typeBytes = l.tagged ? 2 : 1;
  // The sort list and the display formats are read and not used.
  std::vector<unsigned char> types, names, unused, valueLabelNames, labels;
  if (!ReadList(f, l, "variable_types", n, typeBytes, types) ||
      !ReadList(f, l, "varnames", n, l.nameSize, names) ||
      !ReadList(f, l, "sortlist", n + 1, l.sortEntryBytes, unused) ||
      !ReadList(f, l, "formats", n, l.formatSize, unused) ||
      !ReadList(f, l, "value_label_names", n, l.nameSize, valueLabelNames) ||
      !ReadList(f, l, "variable_labels", n, l.labelSize, labels))
    return false;
  Order order{l.bigEndian};
  vars.resize(static_cast<std::size_t>(n));
  int64_t offset = 0;
  for (int64_t i = 0; i < n; ++i) {
    StataVariable& v = vars[static_cast<std::size_t>(i)];
    const unsigned code = typeBytes == 2 ? order.U16(&types[2 * i]) : types[i];
    if (!StorageOf(l, code, v)) return false;
    v.offset = offset;
    offset += v.width;
    v.name = FieldText(&names[i * l.nameSize], l.nameSize);
    v.valueLabelName = FieldText(&valueLabelNames[i * l.nameSize], l.nameSize);
    v.label = FieldText(&labels[i * l.labelSize], l.labelSize);
  }

  unsigned char e[5];
  if (l.tagged) {
    // Characteristics: "<ch>", a 4-byte length and that many bytes, "</ch>".
    if (!f.Next("<characteristics>")) return false;
    while (!f.Next("</characteristics>")) {
      if (!f.Next("<ch>") || !f.Take(e, 4) || !f.Skip(order.U32(e)) || !f.Next("</ch>")) return false;
    }
    return f.Next("<data>");
  }
  // Expansion fields: a type byte and a length, then that many bytes; a
  // zero length ends the list.
  if (l.expansionLengthBytes == 0) return true;
  for (;;) {
    if (!f.Take(e, 1 + l.expansionLengthBytes)) return false;
    // Two-byte lengths are read unsigned: a writer has no use for a negative
    // one, and one above 32767 must still be stepped over whole.
    int64_t length = l.expansionLengthBytes == 2 ? order.U16(e + 1) : order.I32(e + 1);
    if (length <= 0) return true;
    if (!f.Skip(length)) return false;
  }
}

// ---------------------------------------------------------------- values

constexpr int64_t kRecordBlockBytes = int64_t{1} << 20;

// Missing codes. The old releases use the largest value of each integer
// type; from release 113 on the 27 largest (".", ".a" to ".z") are missing.
// The floating types are missing from 2^127 and 2^1023 up in every release.
constexpr double kFloatMissing = 0x1p127;
constexpr double kDoubleMissing = 0x1p1023;

template <bool Big, bool Extended>
struct Decode {
  static double Byte(const unsigned char* p, double missing) {
    int8_t v = static_cast<int8_t>(p[0]);
    return (Extended ? v > 100 : v == 127) ? missing : v;
  }
  static double Int(const unsigned char* p, double missing) {
    int16_t v = Big ? LoadI16BE(p) : LoadI16LE(p);
    return (Extended ? v > 32740 : v == 32767) ? missing : v;
  }
  static double Long(const unsigned char* p, double missing) {
    int32_t v = Big ? LoadI32BE(p) : LoadI32LE(p);
    return (Extended ? v > 2147483620 : v == 2147483647) ? missing : v;
  }
  static double Float(const unsigned char* p, double missing) {
    double v = Big ? LoadF32BE(p) : LoadF32LE(p);
    return v < kFloatMissing && v > missing ? v : missing;  // NaN fails both
  }
  static double Double(const unsigned char* p, double missing) {
    double v = Big ? LoadF64BE(p) : LoadF64LE(p);
    return v < kDoubleMissing && v > missing ? v : missing;
  }
};

// One variable's values of `count` observations (the first at `first`,
// `stride` bytes apart) into its list from `row` on, a value block at a time.
template <double (*Get)(const unsigned char*, double)>
void DecodeNumbers(const unsigned char* first, int64_t stride, int64_t count, NumberList& list,
                   int64_t row, double missing) {
  while (count > 0) {
    double* out = &list.At(row);
    const int64_t room = static_cast<int64_t>(NumberList::kBlockSize - (row & NumberList::kBlockMask));
    const int64_t n = std::min(count, room);
    for (int64_t k = 0; k < n; ++k) out[k] = Get(first + k * stride, missing);
    first += n * stride;
    row += n;
    count -= n;
  }
}

template <bool Big, bool Extended>
void DecodeVariable(const StataVariable& v, const unsigned char* block, int64_t stride, int64_t count,
                    int64_t row, double missing) {
  using D = Decode<Big, Extended>;
  NumberList& list = v.column->numbers;
  const unsigned char* first = block + v.offset;
  switch (v.storage) {
    case Storage::Byte: DecodeNumbers<D::Byte>(first, stride, count, list, row, missing); break;
    case Storage::Int: DecodeNumbers<D::Int>(first, stride, count, list, row, missing); break;
    case Storage::Long: DecodeNumbers<D::Long>(first, stride, count, list, row, missing); break;
    case Storage::Float: DecodeNumbers<D::Float>(first, stride, count, list, row, missing); break;
    default: DecodeNumbers<D::Double>(first, stride, count, list, row, missing); break;
  }
}

void DecodeNumbers(const StataLayout& l, const StataVariable& v, const unsigned char* block,
                   int64_t stride, int64_t count, int64_t row, double missing) {
  if (l.bigEndian)
    l.extendedMissing ? DecodeVariable<true, true>(v, block, stride, count, row, missing)
                      : DecodeVariable<true, false>(v, block, stride, count, row, missing);
  else
    l.extendedMissing ? DecodeVariable<false, true>(v, block, stride, count, row, missing)
                      : DecodeVariable<false, false>(v, block, stride, count, row, missing);
}

// True when TrimText would change the text: a blank at either end or two
// blanks in a row.
bool NeedsTrim(std::string_view s) {
  if (s.empty()) return false;
  if (s.front() == ' ' || s.back() == ' ') return true;
  return s.find("  ") != std::string_view::npos;
}

void StoreText(Column* c, int64_t row, std::string_view s, bool compress) {
  if (compress && NeedsTrim(s))
    c->texts.Set(row, TrimText(s, s.size()));
  else
    c->texts.Set(row, s);
}

void DecodeTexts(const StataVariable& v, const unsigned char* block, int64_t stride, int64_t count,
                 int64_t row, bool compress) {
  for (int64_t k = 0; k < count; ++k)
    StoreText(v.column, row + k, FieldText(block + k * stride + v.offset, v.width), compress);
}

// strL values: the data hold a reference (variable, observation) of 8 bytes
// whose variable part takes the low strlVariableBytes bytes; the texts follow
// the data as "GSO" entries under the same reference.
void DecodeStrlReferences(const StataLayout& l, StataVariable& v, const unsigned char* block,
                          int64_t stride, int64_t count, int64_t row) {
  Order order{l.bigEndian};
  for (int64_t k = 0; k < count; ++k)
    v.strls[static_cast<std::size_t>(row + k)] = order.U64(block + k * stride + v.offset);
}

struct StrlText {
  uint64_t reference = 0;
  std::string text;  // the first bytes, enough for any stored text
};

// The "<strls>" section; false when it breaks its layout (the texts read so
// far are kept).
bool ReadStrls(StataFile& f, const StataLayout& l, std::vector<StrlText>& strls) {
  Order order{l.bigEndian};
  const int observationBytes = l.release == 117 ? 4 : 8;
  if (!f.Next("<strls>")) return false;
  while (!f.Next("</strls>")) {
    unsigned char b[4 + 8 + 1 + 4];
    if (!f.Next("GSO") || !f.Take(b, 4 + observationBytes + 1 + 4)) return false;
    const uint64_t variable = order.U32(b);
    const uint64_t observation = order.Count(b + 4, observationBytes);
    const int64_t length = order.U32(b + 4 + observationBytes + 1);
    if (length > f.Left()) return false;
    StrlText s;
    s.reference = variable | (observation << (8 * l.strlVariableBytes));
    const int64_t keep = std::min<int64_t>(length, TextList::kMaxStoredLength + 1);
    s.text.resize(static_cast<std::size_t>(keep));
    if (!f.Take(s.text.data(), keep) || !f.Skip(length - keep)) return false;
    strls.push_back(std::move(s));
  }
  return true;
}

// ---------------------------------------------------------------- value labels

struct LabelEntry {
  double value = 0;
  std::string text;
};

struct LabelTable {
  std::string name;
  std::vector<LabelEntry> entries;
};

// The longest table the reader accepts, in bytes (65536 entries of 80
// characters and their offsets and values).
constexpr int64_t kLongestTable = 5823712;
constexpr int64_t kMostEntries = 65536;
constexpr std::size_t kEntryTextKeep = 80;

void IllegalTable() { std::printf("Error: Illegal label table in Stata file!\n"); }
void IllegalCount() { std::printf("Error: Illegal number of labels in Stata file!\n"); }

// Releases 108 on: length, name, entry count n, text length t, n text
// offsets, n values, t bytes of NUL-ended texts (from release 117 each
// table between "<lbl>" and "</lbl>"). Tables end at a zero length, at the
// end of the file, or at the first table that breaks a rule.
void ReadNewLabelTables(StataFile& f, const StataLayout& l, std::vector<LabelTable>& tables) {
  Order order{l.bigEndian};
  const int64_t nameField = l.nameSize + 3;
  std::vector<unsigned char> body;
  while (f.Left() > 0) {
    if (l.tagged && f.Next("</value_labels>")) return;
    if (l.tagged && !f.Next("<lbl>")) return IllegalTable();
    unsigned char head[4 + 132 + 8];
    if (!f.Take(head, 4)) return;
    const int64_t length = order.I32(head);
    if (length == 0) return;
    // The tagged layout allows longer texts: its tables are bounded by the file alone.
    if (length < 0 || (!l.tagged && length > kLongestTable)) return IllegalTable();
    if (!f.Take(head + 4, nameField + 8)) return;
    const int64_t n = order.I32(head + 4 + nameField);
    const int64_t t = order.I32(head + 8 + nameField);
    if (n < 1 || n > kMostEntries) return IllegalCount();
    // The length counts n, t, the offsets, the values and the texts.
    if (t < 0 || 8 + 8 * n + t != length || 8 * n + t > f.Left()) return IllegalTable();
    LargeResize(body, static_cast<std::size_t>(8 * n + t));
    if (!f.Take(body.data(), 8 * n + t)) return;
    const unsigned char* offsets = body.data();
    const unsigned char* values = offsets + 4 * n;
    const unsigned char* texts = values + 4 * n;
    LabelTable table;
    table.name = FieldText(head + 4, l.nameSize);
    table.entries.resize(static_cast<std::size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
      const int64_t at = order.I32(offsets + 4 * i);
      if (at < 0 || at >= t) return IllegalTable();
      LabelEntry& e = table.entries[static_cast<std::size_t>(i)];
      e.value = order.I32(values + 4 * i);
      std::string_view text = FieldText(texts + at, t - at);
      e.text = text.substr(0, std::min(text.size(), kEntryTextKeep));
    }
    tables.push_back(std::move(table));
    if (l.tagged && !f.Next("</lbl>")) return IllegalTable();
  }
}

// Releases 103 to 106: entry count n (2 bytes), a 10-byte name, n 2-byte
// values, n texts of 8 bytes. Tables run to the end of the file.
void ReadOldLabelTables(StataFile& f, const StataLayout& l, std::vector<LabelTable>& tables) {
  Order order{l.bigEndian};
  constexpr int64_t kOldName = 10, kOldText = 8;
  std::vector<unsigned char> body;
  while (f.Left() > 0) {
    unsigned char head[2 + kOldName];
    if (!f.Take(head, sizeof head)) return;
    const int64_t n = order.I16(head);
    if (n < 1) return IllegalCount();
    LargeResize(body, static_cast<std::size_t>(n * (2 + kOldText)));
    if (!f.Take(body.data(), n * (2 + kOldText))) return;
    LabelTable table;
    table.name = FieldText(head + 2, kOldName - 1);
    table.entries.resize(static_cast<std::size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
      LabelEntry& e = table.entries[static_cast<std::size_t>(i)];
      e.value = order.I16(body.data() + 2 * i);
      e.text = FieldText(body.data() + 2 * n + kOldText * i, kOldText);
    }
    tables.push_back(std::move(table));
  }
}

// The strL columns take their texts by reference; a reference without a
// text (or the empty reference 0) leaves the value empty.
void ResolveStrls(const std::vector<StataVariable*>& used, std::vector<StrlText>& strls, bool compress) {
  std::stable_sort(strls.begin(), strls.end(),
                   [](const StrlText& a, const StrlText& b) { return a.reference < b.reference; });
  for (StataVariable* v : used) {
    if (v->storage != Storage::StrL) continue;
    const int64_t rows = std::min<int64_t>(static_cast<int64_t>(v->strls.size()), v->column->valueCount);
    for (int64_t row = 0; row < rows; ++row) {
      const uint64_t reference = v->strls[static_cast<std::size_t>(row)];
      auto at = std::lower_bound(strls.begin(), strls.end(), reference,
                                 [](const StrlText& s, uint64_t r) { return s.reference < r; });
      if (reference == 0 || at == strls.end() || at->reference != reference) continue;
      const std::string_view text = at->text;
      StoreText(v->column, row, text.substr(0, std::min(text.find('\0'), text.size())), compress);
    }
    std::vector<uint64_t>().swap(v->strls);
  }
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Labels the levels of a factor from a table: each level's value (its level
// value, or its number when the column has none) takes the text of the first
// entry within 1e-12 of it, or its own shortest number text.
void LabelLevels(Column* c, const LabelTable& table) {
  // The entries sorted by value, the first entry of each value ahead of later ones.
  std::vector<std::pair<double, std::size_t>> sorted;
  sorted.reserve(table.entries.size());
  for (std::size_t i = 0; i < table.entries.size(); ++i) sorted.emplace_back(table.entries[i].value, i);
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::string> labels(static_cast<std::size_t>(std::max(c->levelCount, 0)));
  std::size_t longest = 0;
  for (int64_t k = 1; k <= c->levelCount; ++k) {
    const double value = k <= c->levelValueCount ? c->levelValues.Get(k - 1) : static_cast<double>(k);
    std::string& label = labels[static_cast<std::size_t>(k - 1)];
    auto at =
        std::lower_bound(sorted.begin(), sorted.end(), std::make_pair(value - 1e-12, std::size_t{0}));
    std::size_t best = std::string::npos;
    for (; at != sorted.end() && at->first < value + 1e-12; ++at)
      if (std::fabs(at->first - value) < 1e-12) best = std::min(best, at->second);
    if (best != std::string::npos)
      label = table.entries[best].text;
    else
      label = FormatShortestG(value);
    longest = std::max(longest, std::min<std::size_t>(label.size(), kLabelLength));
  }
  SetLabelList(c, labels);
  c->maxTextLength = 41;
  c->factorDisplay = 2;
  c->longestLabel = static_cast<int32_t>(longest);
}

// A labelled numeric variable becomes a factor, sorted by value whatever the
// run's setting, labelled from its table when the file has one.
void MakeFactor(Column* c, const StataVariable& v, const std::vector<LabelTable>& tables) {
  Dataset* d = c->dataset;
  const int16_t sortLabels = d->options.sortLabels;
  d->options.sortLabels = 1;
  const bool made = VariateToFactor(c, true);
  d->options.sortLabels = sortLabels;
  if (!made) {
    std::printf("Warning: %s has too many distinct values for a factor and stays a variate.\n",
                c->name.c_str());
    return;
  }
  for (const LabelTable& t : tables)
    if (SameNameIgnoringCase(t.name, v.valueLabelName)) return LabelLevels(c, t);
}

}  // namespace

int16_t ReadStata(const char* path) {
  StataFile f;
  if (!path || !OpenStata(path, f)) return 0;
  StataHeader header;
  if (!ReadHeader(f, header)) return 0;
  const StataLayout& layout = header.layout;
  std::vector<StataVariable> vars;
  if (!ReadDescriptors(f, header, vars)) return 0;

  const long limit = State().columnLimit;
  if (header.variables > limit) std::printf("Warning Columns above %li NOT transfered!\n", limit);

  // Only the observations wholly in the file are read (and given rows).
  int64_t recordLength = 0;
  for (const StataVariable& v : vars) recordLength += v.width;
  const int64_t dataStart = f.pos;
  const int64_t rows = std::min({header.observations, f.Left() / recordLength, int64_t{INT32_MAX}});

  Dataset* dataset = CreateDataset();
  dataset->sourceFormat = 23;
  dataset->rowCount = static_cast<int32_t>(std::max<int64_t>(rows, 1));
  if (!CreateRows(dataset)) return 0;
  AppendNote(dataset, header.dataLabel);
  const double missing = dataset->missingValue;

  std::vector<StataVariable*> used;
  const bool hasStrls = std::any_of(vars.begin(), vars.end(),
                                    [](const StataVariable& v) { return v.storage == Storage::StrL; });
  for (StataVariable& v : vars) {
    if (static_cast<long>(used.size()) >= limit) break;
    std::string name = v.name;
    LegalName(name);
    Column* c = AddColumnWithValues(dataset, IsText(v) ? ColumnKind::Text : ColumnKind::Variate, name,
                                    dataset->rowCount);
    if (!c) break;
    if (!v.label.empty()) CopyLimited(c->description, v.label, kNameLength);
    v.column = c;
    if (v.storage == Storage::StrL) LargeResize(v.strls, static_cast<std::size_t>(dataset->rowCount));
    used.push_back(&v);
  }

  const bool compress = State().options.compressBlanks != 0;
  const int64_t blockRecords = std::max<int64_t>(1, kRecordBlockBytes / recordLength);
  ByteBuffer block;
  LargeResize(block, static_cast<std::size_t>(std::min(blockRecords, std::max<int64_t>(rows, 1)) *
                                              recordLength));
  int64_t row = 0;
  while (row < rows) {
    const int64_t want = std::min(blockRecords, rows - row);
    const std::size_t bytes = static_cast<std::size_t>(want * recordLength);
    const std::size_t got = std::fread(block.data(), 1, bytes, f.file);
    if (got < bytes && std::ferror(f.file)) return 0;
    // A file that shrank since its size was taken ends at its last whole record.
    const int64_t count = static_cast<int64_t>(got) / recordLength;
    const unsigned char* records = reinterpret_cast<const unsigned char*>(block.data());
    for (StataVariable* v : used) {
      if (v->storage == Storage::Str)
        DecodeTexts(*v, records, recordLength, count, row, compress);
      else if (v->storage == Storage::StrL)
        DecodeStrlReferences(layout, *v, records, recordLength, count, row);
      else
        DecodeNumbers(layout, *v, records, recordLength, count, row, missing);
    }
    row += count;
    ReportProgress(dataStart + row * recordLength, row);
    if (got < bytes) break;
  }
  f.pos = dataStart + row * recordLength;

  if (row < header.observations)
    std::printf("Warning: %s holds %li observations, its header announces %li.\n", path,
                static_cast<long>(row), static_cast<long>(header.observations));
  if (row != dataset->rowCount) ShortenRows(dataset, static_cast<int32_t>(row));

  // The value-label tables (and in the tagged layout first the strLs)
  // follow the last observation.
  std::vector<LabelTable> tables;
  if (row == header.observations && f.Left() > 0 &&
      fseeko(f.file, static_cast<off_t>(f.pos), SEEK_SET) == 0) {
    if (layout.tagged) {
      std::vector<StrlText> strls;
      if (!f.Next("</data>") || !ReadStrls(f, layout, strls)) {
        std::printf("Error: Illegal strL section in Stata file!\n");
      } else if (f.Next("<value_labels>")) {
        ReadNewLabelTables(f, layout, tables);
      }
      if (hasStrls) ResolveStrls(used, strls, compress);
    } else if (layout.newLabelTables) {
      ReadNewLabelTables(f, layout, tables);
    } else {
      ReadOldLabelTables(f, layout, tables);
    }
  }

  for (const StataVariable* v : used) {
    Column* c = v->column;
    // A file without observations has nothing to make levels from.
    if (!v->valueLabelName.empty() && c->kind == ColumnKind::Variate && c->valueCount > 0)
      MakeFactor(c, *v, tables);
    ComputeWidth(c);
  }
  return 1;
}

}  // namespace trovadex
