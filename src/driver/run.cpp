// The run sequence: parse the two file arguments, detect the input format,
// read the input into the Dataset, finish the names (and apply or write the
// names file), write the output to a temporary file and move it into place.
#include "driver/run.h"

#include <array>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "core/convert.h"
#include "driver/detect.h"
#include "driver/namesfile.h"
#include "driver/options.h"
#include "readers/readers.h"
#include "writers/writers.h"

namespace trovadex {

namespace {

constexpr std::size_t kSelectionLength = 256;  // sheet and range arguments
constexpr const char* kDefaultOutput = "Trovadex.CRS";

void PrintUsage() {
  std::fputs(
      "Trovadex - Translates Spreadsheet/Database files into Corvist/Gauss format.\n"
      "Written and maintained by the Trovadex developers.\n"
      "Contact: see README.md in the Trovadex sources for reports and questions.\n"
      "Supported Files: Excel 2-5,95-2000, Lotus WK1, Quattro WQ1,WB*, dBase2-5, Stata\n"
      "Paradox 3-5, Corvist CRS, SAS PC 6.03-7.0, Minitab 8-13, Systat, MStat, Instat\n"
      "Epi-Info, SPSS/Win, Gauss Data/Matrix (PC/Win/Unix), MatLab, S+ (PC/Unix/Text)\n"
      "ArcView/Info Shapefiles, MapInfo Interchange (MIF), Comma Delimited Text (CSV)\n\n"
      "Usage: Trovadex Inputfile/options Outputfile/options <Sheet> <Range>\n"
      "   Inputfile  - name of file to take data from (+/v takes names from .VAR file)\n"
      "   Outputfile - name of file to write data to - extension determines file type:\n"
      "                .CRS - Corvist spreadsheet file loaded with SPLOAD\n"
      "                .CRV - Corvist command file loaded with INPUT\n"
      "                .FMT - Gauss PC Matrix file loaded with LOADM\n"
      "                .TXT - ASCII Text file (Note +/s produces suffixed Identifiers)\n"
      "                .DBF - dBase 3 file,  .WOR - Instat Worksheet file\n"
      "                .XLS - Excel 95 Spreadsheet file, .SDD - S+ Data Frame\n"
      "   Sheet      - optional number or name of worksheet or named range within a\n"
      "                spreadsheet file to take data from (enclose names containing\n"
      "                spaces in quotes eg \"Sheet One\").\n"
      "   Range      - optional range of cells within a worksheet to take data from\n"
      "                eg B3:D12 or AB2:AZ1201.\n"
      "Examples: Trovadex Test.DBF Test.CRS/s  (Suffixed Ids C[1] etc)\n"
      "          Trovadex Test.XLS Test.CRV 2  (ie take second sheet)\n"
      "          Trovadex Test.WB2 Test.FMT \"Sheet One\" B2:AA1001\n"
      "          Trovadex Test.XLS Test.DBF DataRange (a named range)\n"
      "          Trovadex Test.WB2 Test.TXT A C1:K100",
      stdout);
}

// Forgets a registered temporary file (it has become the output).
void Unregister(const std::string& path) {
  std::vector<std::string>& files = State().temporaryFiles;
  for (auto it = files.begin(); it != files.end(); ++it) {
    if (*it == path) {
      files.erase(it);
      return;
    }
  }
}

// Every exit of a run that got past the start: temporary files go, the
// warnings file is closed (its report is printed only after a success).
int EndRun(int code) {
  CloseWarningsFile();
  RemoveTemporaryFiles();
  std::fflush(stdout);
  return code;
}

// One warning per kind of cut that shortened texts, names or labels to
// their limits during the run.
void PrintCutWarnings() {
  const std::array<long, 3>& cuts = State().cuts;
  if (long n = cuts[static_cast<std::size_t>(CutKind::Text)])
    std::printf("Warning: %li texts longer than %d characters were cut.\n", n, kTextLength);
  if (long n = cuts[static_cast<std::size_t>(CutKind::Name)])
    std::printf("Warning: %li names longer than %d characters were cut.\n", n, kNameLength);
  if (long n = cuts[static_cast<std::size_t>(CutKind::Label)])
    std::printf("Warning: %li labels longer than %d characters were cut.\n", n, kLabelLength);
}

// A reader or writer that throws (other than running out of memory or a
// fatal exit) has failed: the run reports it like a returned failure.
int16_t GuardedRead(const std::string& input, int formatCode) {
  try {
    return ReadInput(input.c_str(), formatCode);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    return 0;
  }
}

int16_t GuardedWrite(Dataset* dataset, const std::string& path, int outputKind) {
  try {
    return WriteOutput(dataset, path.c_str(), outputKind);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    return 0;
  }
}

int Run(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    std::fflush(stdout);
    return 1;
  }
  InitOptions();
  RunState& state = State();
  state.missingText.assign(1, '*');
  state.pointerName.clear();
  state.spreadsheetVersion = 3;
  RemoveRegularFile(kWarningsFileName);

  const std::string input = ParseInputOptions(CopyArgument(argv[1]));
  state.inputFileName = input;

  const int formatCode = DetectFormat(input.c_str());
  if (formatCode == 24) {
    std::printf("Error: Input File %s not found!\n", input.c_str());
    return EndRun(2);
  }
  if (formatCode == 0) {
    std::printf("Error: Unknown File type!\n");
    return EndRun(3);
  }

  std::string output;
  if (argc < 3) {
    output = kDefaultOutput;
    if (!state.listSheets) std::printf("Note: Writing data to %s by default.\n", output.c_str());
  } else {
    output = ParseOutputOptions(CopyArgument(argv[2]));
  }
  const OutputChoice choice = ChooseOutput(output);
  state.commaOutput = choice.comma;

  const std::string temporary = ReplaceExtension(output, ".$$$");
  if (SameFile(input, output)) {
    std::printf("Error: Output File %s is the same as the input file!\n", output.c_str());
    return EndRun(6);
  }
  // The temporary file must not overwrite the input either (an input named
  // "data.$$$" written to "data.crv").
  if (SameFile(input, temporary)) {
    std::printf("Error: Output File %s is the same as the input file!\n", temporary.c_str());
    return EndRun(6);
  }
  state.outputHasQ17X = output.find("Q17X") != std::string::npos;
  state.columnLimit = choice.columnLimit;
  if (argc > 3) state.sheet = std::string(argv[3]).substr(0, kSelectionLength);
  if (argc > 4) state.range = std::string(argv[4]).substr(0, kSelectionLength);

  // Listing the sheets of a workbook writes nothing: leave the output alone.
  if (!state.listSheets) RemoveRegularFile(output);

  if (!GuardedRead(input, formatCode)) {
    std::printf(" Error: No valid data in input file %s!\n", input.c_str());
    return EndRun(5);
  }
  Dataset* dataset = CurrentDataset();
  if (dataset == nullptr) {
    if (state.listSheets) return EndRun(0);
    std::printf(" Warning: No valid data found in file or specified sheet/range!\n");
    return EndRun(4);
  }

  FinishNames(dataset, choice.kind);
  dataset->sourceFile = input;

  if (state.readNamesFile) {
    const std::string namesPath = ReplaceExtension(input, ".VAR");
    if (std::FILE* names = std::fopen(namesPath.c_str(), "rb")) {
      ApplyNamesFile(dataset, names);
      std::fclose(names);
      // Names taken from the file are made unique like the reader's own.
      FinishNames(dataset, choice.kind);
      if (state.outputHasQ17X) RemoveRegularFile(namesPath);
    } else {
      WriteNamesFile(dataset, namesPath.c_str());
    }
  }

  state.temporaryFiles.push_back(temporary);
  if (!GuardedWrite(dataset, temporary, choice.kind)) {
    std::printf(" Output file not written! (No valid records?).\n");
    return EndRun(6);
  }
  if (state.writeNamesFile) WriteNamesFile(dataset, ReplaceExtension(temporary, ".$V$").c_str());

  std::printf(" %li records transferred.\n", static_cast<long>(dataset->rowCount));
  PrintCutWarnings();
  Unregister(temporary);
  if (std::rename(temporary.c_str(), output.c_str()) != 0) {
    std::printf("Error: Could not rename %s to %s\n", temporary.c_str(), output.c_str());
    return EndRun(6);
  }
  if (CloseWarningsFile())
    std::printf(" Text Conversion Warnings are given in file: %s!\n", kWarningsFileName);
  return EndRun(0);
}

}  // namespace

int16_t ReadInput(const char* path, int formatCode) {
  switch (formatCode) {
    case 1: return ReadCorvistSpreadsheet(path);
    case 2: return ReadLotus(path);
    case 3: return ReadDbase(path);
    case 5: return ReadExcel(path);
    case 7: return ReadMinitab(path);
    case 8: return ReadQuattro(path);
    case 9: return ReadParadox(path);
    case 10: return ReadSasPc(path);
    case 13: return ReadSplusBinary(path);
    case 14: return ReadSplusText(path);
    case 15: return ReadInstat(path);
    case 16: return ReadMstat(path);
    case 17: return ReadEpiInfo(path);
    case 18: return ReadGauss(path);
    case 20: return ReadMatlab(path);
    case 21: return ReadSystat(path);
    case 22: return ReadSpss(path);
    case 23: return ReadStata(path);
    case 25: return ReadDelimitedText(path);
    case 26: return ReadShapefile(path);
    case 27: return ReadMapInfo(path);
    case 28: return ReadSasTransport(path);
    case 32: return ReadBitmap(path, State().splitColour);
    case 33: return ReadWave(path, State().splitColour);
    case 35:
    case 36: return ReadStatistica(path, formatCode);
    case 37:
      std::printf("Sorry, SAS Version 7/8 files not yet supported.\n");
      return 0;
    default: return 0;
  }
}

int16_t WriteOutput(Dataset* dataset, const char* path, int outputKind) {
  switch (outputKind) {
    case 1: return WriteCorvistSpreadsheet(dataset, path);
    case 3: return WriteDbase(dataset, path);
    case 4: return WriteCorvistCommandFile(dataset, path);
    case 5: return WriteExcel(dataset, path);
    case 6: return WriteDelimitedText(dataset, path, false);
    case 8: return WriteWq1(dataset, path);
    case 14: return WriteSplusDump(dataset, path);
    case 15: return WriteInstat(dataset, path);
    case 18: return WriteGauss(dataset, path);
    case 20: return WriteMatlab(dataset, path);
    case 28: return WriteSasTransport(dataset, path);
    case 29: return WriteDelimitedText(dataset, path, true);
    case 30: return WriteRtf(dataset, path);
    case 31: return WriteHtml(dataset, path);
    default: return 0;
  }
}

int RunMain(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const FatalExitError& error) {
    // Interception is on (tests, fuzzing): the message is out already.
    return EndRun(error.code);
  } catch (const std::bad_alloc&) {
    std::printf("Error: Not enough memory to read data!\n");
    return EndRun(8);
  }
}

}  // namespace trovadex
