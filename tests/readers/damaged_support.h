// Running a reader in-process on damaged bytes: the readers under test, the
// corpus folders of their real files, a quiet and fast way to hand them one
// input, and the outcome (returned or ended through the fatal-exit path).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"
#include "writers/writers.h"

namespace trovadex::test {

// Every reader that is built has an entry here (and a fuzz target).
enum class SweptReader {
  Delimited, CorvistSpreadsheet, Excel, Dbase, Bitmap, Wave, Instat, Stata, SasTransport, Paradox, EpiInfo,
  SasPc, Shapefile, MapInfo, Spss, Matlab, SplusText, SplusBinary, Gauss, Systat, Mstat, Lotus, Quattro,
  QuattroPro, Statistica, Minitab, Xlsx,
};

struct SweepEntry {
  SweptReader reader;
  const char* name;                  // also the folder under tests/data/damaged
  std::vector<std::string> folders;  // corpus folders, relative to ../shared
  std::vector<std::string> endings;  // file endings of its inputs (lower case)
  // A format without real files in the corpus: its inputs are the Corvist
  // spreadsheets the program writes from the delimited text corpus.
  bool madeByWriter = false;
  // Or made by this writer (Instat worksheets, Gauss matrices), with this
  // file ending, from the same corpus.
  int16_t (*writer)(Dataset*, const char*) = nullptr;
  const char* writtenEnding = nullptr;
};

inline const std::vector<SweepEntry>& SweepEntries() {
  static const std::vector<SweepEntry> entries = {
      {SweptReader::Delimited, "delimited", {"corpus/delimited"}, {".csv", ".txt"}},
      {SweptReader::CorvistSpreadsheet, "corvist_spreadsheet", {"corpus/delimited"}, {".csv", ".txt"}, true},
      {SweptReader::Excel,
       "excel",
       {"corpus/excel", "corpus-public/excel-biff2", "corpus-public/excel-biff3",
        "corpus-public/excel-biff4", "corpus-public/excel-biff5", "corpus-public/excel-biff8"},
       {".xls"}},
      {SweptReader::Dbase, "dbase", {"corpus/dbase", "corpus-public/dbase"}, {".dbf"}},
      {SweptReader::Bitmap, "bitmap", {"corpus/bmp"}, {".bmp"}},
      {SweptReader::Wave, "wave", {"corpus/wav"}, {".wav"}},
      {SweptReader::Instat, "instat", {"corpus/delimited"}, {".csv", ".txt"}, false, WriteInstat, ".wor"},
      {SweptReader::Stata, "stata", {"corpus/stata", "corpus-public/stata"}, {".dta"}},
      {SweptReader::SasTransport, "sas_transport", {"corpus/xport", "corpus-public/sas-xpt"}, {".xpt"}},
      {SweptReader::Paradox, "paradox", {"corpus-public/paradox"}, {".db"}},
      {SweptReader::EpiInfo, "epi_info", {"corpus-public/epiinfo"}, {".rec"}},
      // No program at hand writes these: small files made from the layout.
      {SweptReader::SasPc, "sas_pc", {SourceDir() + "/tests/data/sas_pc"}, {".sd2"}},
      {SweptReader::Shapefile, "shapefile", {"corpus/shapefile", "corpus-public/shapefile"}, {".shp"}},
      {SweptReader::MapInfo, "mapinfo", {"corpus/mapinfo", "corpus-public/mapinfo"}, {".mif"}},
      {SweptReader::Spss, "spss", {"corpus/spss", "corpus-public/spss"}, {".sav"}},
      {SweptReader::Matlab, "matlab", {"corpus/matlab", "corpus-public/matlab4"}, {".mat"}},
      {SweptReader::SplusText, "splus_text", {"corpus-public/splus-dump"}, {".sdd"}},
      {SweptReader::SplusBinary, "splus_binary", {"corpus-public/splus-binary"}, {""}},
      {SweptReader::Gauss, "gauss", {"corpus/delimited"}, {".csv", ".txt"}, false, WriteGauss, ".fmt"},
      {SweptReader::Systat, "systat", {"corpus-public/systat"}, {".syd", ".sys"}},
      // No real files of these three: small files made from their layouts.
      {SweptReader::Mstat, "mstat", {SourceDir() + "/tests/data/handmade"}, {".hdr"}},
      {SweptReader::Lotus, "lotus", {"corpus-public/lotus"}, {".wks", ".wk1", ".wke"}},
      {SweptReader::Quattro, "quattro", {"corpus-public/quattro-wq1", "corpus-public/quattro-wb"}, {".wq1", ".wb1", ".wb2"}},
      {SweptReader::QuattroPro, "quattro_pro", {"corpus-public/quattro-pro-qpw"}, {".qpw"}},
      {SweptReader::Statistica, "statistica", {SourceDir() + "/tests/data/handmade"}, {".sta"}},
      {SweptReader::Minitab, "minitab", {SourceDir() + "/tests/data/handmade"}, {".mtw"}},
      // Small workbooks written by openpyxl and ssconvert.
      {SweptReader::Xlsx, "xlsx", {SourceDir() + "/tests/data/xlsx"}, {".xlsx"}},
  };
  return entries;
}

// Test names and messages show the entry by its name.
inline void PrintTo(const SweepEntry& entry, std::ostream* out) { *out << entry.name; }

inline const SweepEntry* FindSweepEntry(const std::string& name) {
  for (const SweepEntry& e : SweepEntries())
    if (name == e.name) return &e;
  return nullptr;
}

inline int16_t CallReader(SweptReader reader, const char* path) {
  switch (reader) {
    case SweptReader::Delimited: return ReadDelimitedText(path);
    case SweptReader::CorvistSpreadsheet: return ReadCorvistSpreadsheet(path);
    case SweptReader::Excel: return ReadExcel(path);
    case SweptReader::Dbase: return ReadDbase(path);
    case SweptReader::Bitmap: return ReadBitmap(path, true);
    case SweptReader::Wave: return ReadWave(path, true);
    case SweptReader::Instat: return ReadInstat(path);
    case SweptReader::Stata: return ReadStata(path);
    case SweptReader::SasTransport: return ReadSasTransport(path);
    case SweptReader::Paradox: return ReadParadox(path);
    case SweptReader::EpiInfo: return ReadEpiInfo(path);
    case SweptReader::SasPc: return ReadSasPc(path);
    case SweptReader::Shapefile: return ReadShapefile(path);
    case SweptReader::MapInfo: return ReadMapInfo(path);
    case SweptReader::Spss: return ReadSpss(path);
    case SweptReader::Matlab: return ReadMatlab(path);
    case SweptReader::SplusText: return ReadSplusText(path);
    case SweptReader::SplusBinary: return ReadSplusBinary(path);
    case SweptReader::Gauss: return ReadGauss(path);
    case SweptReader::Systat: return ReadSystat(path);
    case SweptReader::Mstat: return ReadMstat(path);
    case SweptReader::Lotus: return ReadLotus(path);
    case SweptReader::Quattro: return ReadQuattro(path);
    // The notebook stream is reached through its compound document.
    case SweptReader::QuattroPro: return ReadExcel(path);
    case SweptReader::Statistica: return ReadStatistica(path, 36);
    case SweptReader::Minitab: return ReadMinitab(path);
    case SweptReader::Xlsx: return ReadXlsx(path);
  }
  return 0;
}

// Standard output sent to /dev/null while it lives (the readers print).
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(1);
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, 1);
      close(null);
    }
  }
  ~QuietStdout() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, 1);
      close(saved_);
    }
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_ = -1;
};

// Overwrites the file in place and cuts it to length (truncating to zero and
// writing again makes some file systems flush to disk every time).
inline bool WriteBytes(const std::string& path, const char* data, std::size_t size) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
  if (fd < 0) return false;
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < size) {
    ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0)
      ok = false;
    else
      done += static_cast<std::size_t>(n);
  }
  if (ok && ftruncate(fd, static_cast<off_t>(size)) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  return ok;
}

struct ReaderOutcome {
  int16_t result = 0;
  int fatalCode = 0;  // the exit code when the reader ended through FatalExit
  bool threw = false;
  double seconds = 0;
};

// Runs the reader on the file at `path` with a fresh run state.
inline ReaderOutcome RunReaderOnce(SweptReader reader, const std::string& path) {
  ResetState();
  State().interceptFatal = true;
  InitOptions();
  State().interceptFatal = true;
  State().columnLimit = 2048;
  State().inputFileName = path;
  ReaderOutcome outcome;
  auto start = std::chrono::steady_clock::now();
  try {
    outcome.result = CallReader(reader, path.c_str());
  } catch (const FatalExitError& e) {
    outcome.fatalCode = e.code;
  } catch (const std::exception&) {
    // The run reports a reader that throws as a failed read.
    outcome.threw = true;
  }
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ResetState();
  State().interceptFatal = true;
  return outcome;
}

// A scratch directory on a memory file system when there is one.
inline std::filesystem::path ScratchBase() {
  if (access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return std::filesystem::temp_directory_path();
}

}  // namespace trovadex::test
