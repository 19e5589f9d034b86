// SAS transport (XPORT, version 5) files into the Dataset: 80-byte card
// images holding a library header, one member with its NAMESTR variable
// descriptors, and the observations packed back to back. Numeric variables
// (IBM hexadecimal floating point, 3 to 8 bytes) become Variate columns,
// character variables Text columns; SAS date, datetime and time formats
// mark a column as a date and move its values to the internal day count.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "core/byteorder.h"
#include "core/dataset.h"
#include "core/ibm_float.h"
#include "core/names.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

constexpr int64_t kCard = 80;
constexpr int kHeaderCards = 8;
constexpr int kLongestCharacter = 200;  // longest character variable of the format
constexpr int kLargestDecimals = 16;
// 1 January 1960, day 0 of SAS dates, in the internal day count.
constexpr double kSasEpochDay = 131428;
constexpr double kSecondsPerDay = 86400;
constexpr std::string_view kHeaderMark = "HEADER RECORD*******";
// A further member begins with this card; the first member's data end there.
constexpr std::string_view kMemberMark = "HEADER RECORD*******MEMBER  HEADER RECORD!!!!!!!";
// Observations are read this many bytes at a time (whole cards).
constexpr int64_t kBlockBytes = kCard * 16384;

const char kNotTransport[] = "The file is not a SAS transport file.\n";
const char kCannotRead[] = "Cannot successfully read SAS transport file\n";

bool StartsWithIgnoreCase(const unsigned char* bytes, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char a = bytes[i], b = static_cast<unsigned char>(text[i]);
    if (a >= 'a' && a <= 'z') a = static_cast<unsigned char>(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = static_cast<unsigned char>(b - 'a' + 'A');
    if (a != b) return false;
  }
  return true;
}

// The decimal digits at bytes[0..width), stopping at the first non-digit.
int64_t DecimalAt(const unsigned char* bytes, int width) {
  int64_t n = 0;
  for (int i = 0; i < width && bytes[i] >= '0' && bytes[i] <= '9'; ++i) n = n * 10 + (bytes[i] - '0');
  return n;
}

struct Namestr {
  int type = 0;
  int64_t length = 0;
  int64_t position = 0;
  int decimals = 0;
  const unsigned char* bytes = nullptr;
};

// Date formats by name: the compared length and the date representation.
// A name given with a trailing NUL also matches when the file pads the
// name with a blank instead ("TOD     ").
struct DateFormat {
  std::string_view name;
  int representation;
};
constexpr DateFormat kDateFormats[] = {
    {"DATETIME", 26}, {std::string_view("TOD\0", 4), 26},
    {"DATE", 10},     {"DDMMYY", 10},  {"MMDDYY", 10},  {"YYMMDD", 10},  {"WEEK", 10},
    {"MONTH", 10},    {"YEAR", 10},    {"MONNAME", 10}, {"DOWNAME", 10}, {"WORDDAT", 10},
    {"JULDAY", 10},   {"JULIAN", 10},  {std::string_view("DAY\0", 4), 10},
    {"YYMON", 10},    {"MONYY", 10},   {"MMYY", 10},    {"YYMM", 10},    {"YYQR", 10},
    {std::string_view("YYQ\0", 4), 10}, {"QTR", 10},    {"NENGO", 10},
    {"TIME", 29},     {"HOUR", 29},    {"HHMM", 29},
};

// The date representation of a format name (8 bytes), 0 for none.
int DateRepresentation(const unsigned char* format) {
  for (const DateFormat& f : kDateFormats) {
    bool match = true;
    for (std::size_t i = 0; i < f.name.size() && match; ++i) {
      unsigned char a = format[i];
      if (a >= 'a' && a <= 'z') a = static_cast<unsigned char>(a - 'a' + 'A');
      const unsigned char b = static_cast<unsigned char>(f.name[i]);
      match = a == b || (b == 0 && a == ' ');
    }
    if (match) return f.representation;
  }
  return 0;
}

struct VariableColumn {
  Column* column = nullptr;
  int64_t position = 0;
  int64_t length = 0;     // in the observation
  int64_t kept = 0;       // character bytes stored (at most 90)
  bool numeric = false;
  int dateRepresentation = 0;
};

struct TransportFile {
  std::FILE* file = nullptr;
  ~TransportFile() {
    if (file) std::fclose(file);
  }
};

}  // namespace

int16_t ReadSasTransport(const char* path) {
  if (!path) return 0;
  TransportFile input;
  input.file = std::fopen(path, "rb");
  if (!input.file) {
    std::printf("%s", kNotTransport);
    return 0;
  }
  std::FILE* f = input.file;
  if (fseeko(f, 0, SEEK_END) != 0) return 0;
  const int64_t fileSize = static_cast<int64_t>(ftello(f));
  if (fileSize < 0 || fseeko(f, 0, SEEK_SET) != 0) return 0;

  // The eight header cards.
  unsigned char head[kHeaderCards * kCard];
  if (fileSize < static_cast<int64_t>(sizeof head) || std::fread(head, 1, sizeof head, f) != sizeof head) {
    std::printf("%s", kNotTransport);
    return 0;
  }
  const unsigned char* card[kHeaderCards];
  for (int i = 0; i < kHeaderCards; ++i) card[i] = head + i * kCard;
  if (!StartsWithIgnoreCase(card[0], kHeaderMark) || !StartsWithIgnoreCase(card[1], "SAS") ||
      !StartsWithIgnoreCase(card[1] + 8, "SAS") || !StartsWithIgnoreCase(card[3], kHeaderMark) ||
      !StartsWithIgnoreCase(card[4], kHeaderMark) || !StartsWithIgnoreCase(card[5], "SAS") ||
      !StartsWithIgnoreCase(card[7], kHeaderMark)) {
    std::printf("%s", kNotTransport);
    return 0;
  }
  const int64_t namestrLength = DecimalAt(card[3] + 75, 3);
  if (namestrLength != 136 && namestrLength != 140) {
    std::printf("%s", kNotTransport);
    return 0;
  }
  const int64_t variableCount = DecimalAt(card[7] + 54, 4);

  // The NAMESTR records, packed, then blanks to the next card.
  const int64_t namestrBytes = namestrLength * variableCount;
  int64_t at = static_cast<int64_t>(sizeof head);
  if (namestrBytes > fileSize - at) {
    std::printf("%s", kCannotRead);
    return 0;
  }
  std::vector<unsigned char> namestrBlock(static_cast<std::size_t>(namestrBytes));
  if (namestrBytes > 0 &&
      std::fread(namestrBlock.data(), 1, namestrBlock.size(), f) != namestrBlock.size()) {
    std::printf("%s", kCannotRead);
    return 0;
  }
  at += namestrBytes;
  std::vector<Namestr> variables(static_cast<std::size_t>(variableCount));
  for (int64_t i = 0; i < variableCount; ++i) {
    Namestr& v = variables[static_cast<std::size_t>(i)];
    v.bytes = namestrBlock.data() + i * namestrLength;
    v.type = LoadI16BE(v.bytes);
    v.length = LoadI16BE(v.bytes + 4);
    v.decimals = LoadU16BE(v.bytes + 66);
    v.position = LoadI32BE(v.bytes + 84);
  }
  if (const int64_t rest = namestrBytes % kCard; rest != 0) {
    if (fseeko(f, static_cast<off_t>(kCard - rest), SEEK_CUR) != 0) {
      std::printf("%s", kCannotRead);
      return 0;
    }
    at += kCard - rest;
  }
  unsigned char obsHeader[kCard];
  if (at + kCard > fileSize || std::fread(obsHeader, 1, sizeof obsHeader, f) != sizeof obsHeader ||
      !StartsWithIgnoreCase(obsHeader, kHeaderMark)) {
    std::printf("No Data header found in SAS transport file\n");
    return 0;
  }
  at += kCard;

  // The observation length comes from the last variable; nothing is divided
  // by it before it and the variable count are known to be usable.
  const int64_t obsLength =
      variableCount > 0 ? variables.back().position + variables.back().length : 0;
  const int64_t dataBytes = fileSize - at;
  int64_t obsCount = obsLength > 0 && variableCount > 0 ? dataBytes / obsLength : 0;
  if (obsCount <= 0) {
    std::printf("SAS transport file %.100s is empty.\n", path);
    std::printf("%s", kCannotRead);
    return 0;
  }

  const int64_t limit = State().columnLimit;
  const int64_t handled = std::min(variableCount, limit);
  // Every variable read must lie inside the observation, and together they
  // cannot hold more bytes than it has: the values kept per row stay within
  // what the file holds.
  int64_t usedBytes = 0;
  for (int64_t i = 0; i < handled; ++i) {
    const Namestr& v = variables[static_cast<std::size_t>(i)];
    if (v.type != 1 && v.type != 2) continue;
    const bool badLength = v.type == 1 ? v.length < 3 || v.length > 8
                                       : v.length < 1 || v.length > kLongestCharacter;
    usedBytes += v.length;
    if (badLength || v.position < 0 || v.position + v.length > obsLength || usedBytes > obsLength) {
      std::printf("%s", kCannotRead);
      return 0;
    }
  }

  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(std::min<int64_t>(obsCount, std::numeric_limits<int32_t>::max()));
  obsCount = dataset->rowCount;
  if (!CreateRows(dataset)) return 0;
  const double missing = dataset->missingValue;

  std::vector<VariableColumn> columns;
  bool textCut = false;
  for (int64_t i = 0; i < handled; ++i) {
    const Namestr& v = variables[static_cast<std::size_t>(i)];
    if (v.type != 1 && v.type != 2) continue;
    const bool numeric = v.type == 1;
    std::string name;
    if (v.bytes[8] == 0 || v.bytes[8] == ' ') {
      name = "C" + std::to_string(i);
    } else {
      name.assign(reinterpret_cast<const char*>(v.bytes + 8), 8);
      name.resize(std::min(name.find('\0'), name.size()));
    }
    LegalName(name);
    Column* c = AddColumn(dataset, numeric ? ColumnKind::Variate : ColumnKind::Text, name,
                          numeric ? 25 : kTextLength);
    if (!c) break;
    AllocateValues(c, dataset->rowCount);
    CopyLimited(c->description,
                TrimText(std::string_view(reinterpret_cast<const char*>(v.bytes + 16), 40), kLabelLength),
                kLabelLength);
    VariableColumn vc;
    vc.column = c;
    vc.position = v.position;
    vc.length = v.length;
    vc.numeric = numeric;
    if (numeric) {
      if (v.decimals > 0) {
        c->decimals = std::min(v.decimals, kLargestDecimals);
        c->valueFormat = 3;
      } else {
        c->decimals = -1;
      }
      vc.dateRepresentation = DateRepresentation(v.bytes + 56);
      if (vc.dateRepresentation != 0) {
        c->valueFormat = 5;
        c->dateBase = 1;
        c->dateRepresentation = vc.dateRepresentation;
      }
    } else {
      vc.kept = std::min<int64_t>(v.length, kTextLength);
      if (v.length > kTextLength && !textCut) {
        textCut = true;
        std::printf("Columns containing text longer than %i have been truncated to this length.\n",
                    kTextLength);
      }
      c->decimals = 0;
      c->levelCount = static_cast<int32_t>(vc.kept);
    }
    c->valueCount = dataset->rowCount;
    columns.push_back(vc);
  }
  if (variableCount > limit)
    std::printf("Too many variables in SAS dataset, only the first %i will be imported.\n",
                static_cast<int>(limit));

  // Observations, read in blocks of whole cards; an observation may straddle
  // two blocks. Padding blanks fill the last card: a blank observation that
  // starts after the last one lying wholly before that card ends the data.
  int64_t lastWhole = ((dataBytes / kCard) * kCard - kCard) / obsLength + 1;
  std::vector<unsigned char> block;
  const int64_t blockBytes = std::max(kBlockBytes, (obsLength / kCard + 2) * kCard);
  LargeResize(block, static_cast<std::size_t>(std::min(blockBytes + obsLength, dataBytes + obsLength)));
  int64_t held = 0;      // bytes in `block`
  int64_t taken = 0;     // of them already used
  int64_t readSoFar = 0; // data bytes read from the file
  bool ended = false;    // no more data: end of file or a further member
  int64_t overflows = 0;
  int64_t row = 0;
  unsigned char number[kIbmBytes];
  for (; row < obsCount; ++row) {
    if (held - taken < obsLength) {
      if (ended) break;
      std::memmove(block.data(), block.data() + taken, static_cast<std::size_t>(held - taken));
      held -= taken;
      taken = 0;
      const int64_t want = std::min(blockBytes, dataBytes - readSoFar);
      const std::size_t got =
          want > 0 ? std::fread(block.data() + held, 1, static_cast<std::size_t>(want), f) : 0;
      if (static_cast<int64_t>(got) < want) {
        if (std::ferror(f)) return 0;
        ended = true;
      }
      // A further member starts on a card of its own (blocks end on cards).
      int64_t usable = static_cast<int64_t>(got);
      for (int64_t card0 = readSoFar; card0 + static_cast<int64_t>(kMemberMark.size()) <= readSoFar + usable;
           card0 += kCard) {
        if (std::memcmp(block.data() + held + (card0 - readSoFar), kMemberMark.data(), kMemberMark.size()) == 0) {
          usable = card0 - readSoFar;
          ended = true;
          lastWhole = ((card0 / kCard) * kCard - kCard) / obsLength + 1;
          break;
        }
      }
      held += usable;
      readSoFar += static_cast<int64_t>(got);
      if (readSoFar >= dataBytes) ended = true;
      if (held - taken < obsLength) break;
    }
    const unsigned char* obs = block.data() + taken;
    taken += obsLength;
    if (row > lastWhole &&
        std::all_of(obs, obs + obsLength, [](unsigned char b) { return b == ' '; }))
      break;
    for (VariableColumn& vc : columns) {
      Column* c = vc.column;
      const unsigned char* value = obs + vc.position;
      if (!vc.numeric) {
        // Blank padding is no part of the value; an all-blank value is the
        // empty text (as other readers of the format give it).
        int64_t n = vc.kept;
        while (n > 0 && value[n - 1] == ' ') --n;
        c->texts.SetNew(row, std::string_view(reinterpret_cast<const char*>(value), static_cast<std::size_t>(n)));
        continue;
      }
      std::memset(number, 0, sizeof number);
      std::memcpy(number, value, static_cast<std::size_t>(vc.length));
      const IbmNumber x = IbmToDouble(number);
      if (x.overflow) {
        ++overflows;
        std::printf("      SAS Transport: Exponent overflow in Column %s at row %li\n", c->name.c_str(),
                    static_cast<long>(row + 1));
      }
      double y = x.value;
      if (x.missing) {
        y = missing;
      } else if (vc.dateRepresentation == 10) {
        y = y + kSasEpochDay;
      } else if (vc.dateRepresentation != 0) {
        y = y / kSecondsPerDay + kSasEpochDay;
      }
      c->numbers.Set(row, y);
    }
  }

  if (row < dataset->rowCount) {
    ShortenRows(dataset, static_cast<int32_t>(row));
  }
  if (overflows > 0)
    std::printf(
        "%li values in: %.100s\noverflowed the 7 bit exponent in the SAS XPORT numerical format.\n"
        "The values where abs(X) > 1e+76 or abs(X) < 1e-76\nhave been set to missing or zero "
        "respectively.\nA summary of the changes is detailed in the Output window.\n",
        static_cast<long>(overflows), path);
  const bool closed = std::fclose(input.file) == 0;
  input.file = nullptr;
  return closed ? 1 : 0;
}

}  // namespace trovadex
