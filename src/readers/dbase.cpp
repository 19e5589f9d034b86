// dBase II, III, IV and 5 tables (".dbf") into the Dataset: one column per
// character, numeric, float, date and logical field, one row per record that
// is not marked deleted.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "core/columns.h"
#include "core/dataset.h"
#include "core/names.h"
#include "core/progress.h"
#include "readers/dbase_table.h"
#include "readers/readers.h"

namespace trovadex {

namespace {

// An open table file: its size and, in `head`, its first bytes (enough for
// the header and descriptors). The records are read later in blocks.
struct DbaseFile {
  std::FILE* file = nullptr;
  std::size_t size = 0;
  std::vector<unsigned char> head;

  ~DbaseFile() {
    if (file) std::fclose(file);
  }
};

// Opens the file and reads its first bytes; false when it cannot be opened
// or read.
bool OpenTable(const char* path, DbaseFile& table) {
  table.file = std::fopen(path, "rb");
  if (!table.file) return false;
  std::FILE* f = table.file;
  if (fseeko(f, 0, SEEK_END) != 0) return false;
  long long size = static_cast<long long>(ftello(f));
  if (size < 0 || fseeko(f, 0, SEEK_SET) != 0) return false;
  table.size = static_cast<std::size_t>(size);
  table.head.resize(std::min(table.size, kDbaseHeaderReach));
  std::size_t got = table.head.empty() ? 0 : std::fread(table.head.data(), 1, table.head.size(), f);
  if (got < table.head.size()) {
    if (std::ferror(f)) return false;
    // The file is shorter than it was a moment ago: it ends here.
    table.head.resize(got);
    table.size = got;
  }
  return true;
}

// Records are read this many bytes at a time (rounded down to whole records,
// at least one).
constexpr int64_t kRecordBlockBytes = int64_t{1} << 20;

struct FieldColumn {
  const DbaseField* field = nullptr;
  Column* column = nullptr;  // null: the field's bytes are stepped over
  int widest = 0;            // largest width seen over the rows
  bool fitsDecimals = true;  // every number has at most the declared decimals
};

// True when the field text of a number has no exponent and at most
// `decimals` digits after its decimal point, so that printing it with
// exactly that many decimals gives the number back.
bool FitsDecimals(std::string_view raw, int decimals) {
  std::size_t point = raw.find('.');
  if (raw.find_first_of("eEdD") != std::string_view::npos) return false;
  if (point == std::string_view::npos) return true;
  int after = 0;
  for (std::size_t i = point + 1; i < raw.size() && raw[i] >= '0' && raw[i] <= '9'; ++i) ++after;
  return after <= decimals;
}

}  // namespace

int16_t ReadDbase(const char* path) {
  DbaseFile table;
  if (!path || !OpenTable(path, table)) return 0;

  DbaseHeader header;
  switch (ParseDbaseHeader(table.head.data(), table.head.size(), table.size, true, header)) {
    case DbaseHeaderStatus::Ok:
      break;
    case DbaseHeaderStatus::NoRecords:
    case DbaseHeaderStatus::NoData:
      std::printf("DBF file is empty.\n");
      return 0;
    case DbaseHeaderStatus::BadRecordLength:
      std::printf("Record length 0 in DBF file.\n");
      return 0;
    case DbaseHeaderStatus::BadTerminator:
      std::printf("Header termination incorrect in DBF file.\n");
      return 0;
    case DbaseHeaderStatus::ShortDescriptors:
      std::printf("DBF file ends inside its header.\n");
      return 0;
    default:
      return 0;  // not a dBase table
  }

  int64_t dataFields = 0;
  for (const DbaseField& f : header.fields)
    if (IsDbaseDataField(f.type)) ++dataFields;
  const long limit = State().columnLimit;
  if (dataFields > limit) std::printf("Warning Columns above %li NOT transfered!\n", limit);

  int64_t records = std::min<int64_t>(header.recordCount, std::numeric_limits<int32_t>::max());
  Dataset* dataset = CreateDataset();
  dataset->rowCount = static_cast<int32_t>(records);
  if (!CreateRows(dataset)) return 0;
  const double missing = dataset->missingValue;

  std::vector<FieldColumn> fields;
  fields.reserve(header.fields.size());
  bool adding = true;
  for (const DbaseField& f : header.fields) {
    FieldColumn fc;
    fc.field = &f;
    if (adding && IsDbaseDataField(f.type)) {
      std::string name = f.name;
      LegalName(name);
      bool text = f.type == 'C';
      Column* c = AddColumn(dataset, text ? ColumnKind::Text : ColumnKind::Variate, name,
                            text ? kTextLength : 25);
      if (!c) {
        adding = false;
      } else {
        AllocateValues(c, dataset->rowCount);
        if (text) {
          c->decimals = -1;
          c->valueFormat = 4;
        } else {
          // A field cannot hold more decimals than characters.
          c->decimals = static_cast<int32_t>(std::min<int64_t>(f.decimals, f.length));
          c->valueFormat = 1;
        }
        fc.column = c;
      }
    }
    fields.push_back(fc);
  }

  const bool compress = State().options.compressBlanks != 0;
  // The records follow in blocks of whole records; recordCount counts only
  // records that lie wholly inside the file.
  const int64_t blockRecords = std::max<int64_t>(1, kRecordBlockBytes / header.recordLength);
  std::vector<unsigned char> block;
  LargeResize(block, static_cast<std::size_t>(
                         std::min(blockRecords, header.recordCount) * header.recordLength));
  if (fseeko(table.file, static_cast<off_t>(header.dataStart), SEEK_SET) != 0) return 0;
  int64_t inBlock = 0;  // whole records in `block`
  int64_t next = 0;     // the next record of `block` to take
  bool cut = false;     // a read came back short: the file ends there
  int64_t row = 0;
  for (int64_t r = 0; r < header.recordCount && row < dataset->rowCount; ++r, ++next) {
    ReportProgress(header.dataStart + r * header.recordLength, row);
    if (next == inBlock) {
      if (cut) break;
      int64_t want = std::min(blockRecords, header.recordCount - r);
      std::size_t bytes = static_cast<std::size_t>(want * header.recordLength);
      std::size_t got = std::fread(block.data(), 1, bytes, table.file);
      if (got < bytes) {
        // The file shrank after its size was taken: keep the whole records.
        if (std::ferror(table.file)) return 0;
        cut = true;
      }
      inBlock = static_cast<int64_t>(got) / header.recordLength;
      next = 0;
      if (inBlock == 0) break;
    }
    const unsigned char* record = block.data() + next * header.recordLength;
    if (record[0] == '*') continue;  // deleted
    for (FieldColumn& fc : fields) {
      Column* c = fc.column;
      if (!c) continue;
      std::string_view raw = DbaseFieldBytes(record, header.recordLength, *fc.field);
      int width = 1;
      switch (fc.field->type) {
        case 'C': {
          std::string text = DecodeDbaseText(raw, compress);
          SetText(c, row, text);
          width = static_cast<int>(GetText(c, row).size());
          break;
        }
        case 'D':
          SetNumber(c, row, DecodeDbaseDate(raw, missing));
          width = 8;
          break;
        case 'L':
          SetNumber(c, row, DecodeDbaseLogical(raw, missing));
          width = 1;
          break;
        default: {  // N, F
          double x = DecodeDbaseNumber(raw, missing);
          SetNumber(c, row, x);
          width = IsMissing(dataset, x) ? 1 : EstimateDigits(x);
          if (fc.fitsDecimals && !IsMissing(dataset, x) && !FitsDecimals(raw, c->decimals))
            fc.fitsDecimals = false;
          break;
        }
      }
      fc.widest = std::max(fc.widest, width);
    }
    ++row;
  }

  // Deleted records shorten every list.
  const int32_t kept = static_cast<int32_t>(row);
  ShortenRows(dataset, kept);

  for (const FieldColumn& fc : fields) {
    Column* c = fc.column;
    if (!c) continue;
    int figure = fc.widest;
    if (c->kind == ColumnKind::Text)
      c->levelCount = fc.widest;
    else
      figure += c->decimals >= 0 ? c->decimals + 1 : 3;
    figure = std::max(figure, static_cast<int>(c->name.size()) + 1);
    c->width = std::clamp(figure, 3, 90);
    // A plain number prints `decimals` significant digits, which would cut
    // 165.8561 of an N(12,4) field to 165.9 in every text output. A field's
    // decimals are digits after the point: print them as fixed decimals
    // when every value has no more, otherwise in full.
    if (c->kind == ColumnKind::Variate && fc.field->type != 'D' && fc.field->type != 'L' &&
        c->decimals > 0) {
      if (fc.fitsDecimals) {
        c->valueFormat = 3;
      } else {
        c->decimals = -1;
      }
    }
  }
  return 1;
}

}  // namespace trovadex
