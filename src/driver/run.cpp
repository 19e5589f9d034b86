// The run sequence: parse the two file arguments, detect the input format,
// read the input into the Dataset, finish the names (and apply or write the
// names file), write the output to a temporary file and move it into place.
#include "driver/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "core/convert.h"
#include "core/progress.h"
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

// ---------------------------------------------------------------- signals

// The temporary output this run created, for the signal handler: an
// interrupted run must not leave it behind (the old output is still intact).
std::string signalTemporaryPath;
std::atomic<const char*> signalTemporary{nullptr};

extern "C" void RemoveTemporaryAndStop(int signal) {
  ClearProgress();
  if (const char* path = signalTemporary.load()) ::unlink(path);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// Holds off SIGINT, SIGTERM and SIGHUP while the temporary changes hands
// (created and recorded, or renamed and forgotten).
struct SignalsHeld {
  sigset_t previous;
  SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_BLOCK, &held, &previous);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
};

void ForgetSignalTemporary() { signalTemporary.store(nullptr); }

// Every exit of a run that got past the start: temporary files go, the
// warnings file is closed (its report is printed only after a success).
int EndRun(int code) {
  EndProgress();
  CloseWarningsFile();
  ForgetSignalTemporary();
  RemoveTemporaryFiles();
  std::fflush(stdout);
  return code;
}

// ---------------------------------------------------------------- input and output files

// Why the input cannot be read: empty when it can, or when it does not
// exist (the plain "not found" message says that already).
std::string InputProblem(const std::string& path, int64_t& size) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0)
    return errno == ENOENT || errno == ENOTDIR ? "" : std::strerror(errno);
  // A FIFO would block the run and a device would be read as data.
  if (S_ISDIR(info.st_mode)) return "is a directory";
  if (!S_ISREG(info.st_mode)) return "is not a regular file";
  if (info.st_size == 0) return "is empty";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  size = static_cast<int64_t>(info.st_size);
  return "";
}

// The file an output name leads to: symbolic links are followed (the last
// target need not exist yet), so that the new output replaces the file a link
// points to and not the link.
std::string FollowLinks(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    std::string target(4096, '\0');
    ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return current;
    target.resize(static_cast<std::size_t>(n));
    if (target[0] != '/') {
      std::size_t slash = current.rfind('/');
      if (slash != std::string::npos) target.insert(0, current, 0, slash + 1);
    }
    current = target;
  }
  return current;
}

// Where the new output goes: the temporary file is written first and renamed
// over `target` only when complete, so that a failed run leaves the old
// output as it was.
struct OutputPlan {
  std::string target;     // the output name, or the file its link points to
  std::string temporary;  // the output name with ".$$$"; beside the target
  bool created = false;   // this run created the temporary
  int oldMode = -1;       // permissions of the output it replaces
};

OutputPlan PlanOutput(const std::string& output) {
  OutputPlan plan;
  plan.target = FollowLinks(output);
  plan.temporary = ReplaceExtension(output, ".$$$");
  if (plan.target != output) {
    // Beside the target, so that the rename stays on one file system; the
    // name (from which titles and object names are made) stays the same.
    std::size_t nameStart = plan.temporary.rfind('/');
    std::string name = nameStart == std::string::npos ? plan.temporary : plan.temporary.substr(nameStart + 1);
    std::size_t slash = plan.target.rfind('/');
    plan.temporary = (slash == std::string::npos ? std::string() : plan.target.substr(0, slash + 1)) + name;
  }
  return plan;
}

// Before anything is read: the output must be replaceable and the temporary
// file must be ours. Creates the temporary; returns 0 or the exit code after
// printing why not.
int PrepareOutput(const std::string& output, OutputPlan& plan) {
  struct stat existing;
  const bool exists = ::stat(plan.target.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    std::printf("Error: Output %s is not a regular file.\n", output.c_str());
    return 6;
  }
  SignalsHeld held;
  // Exclusive creation: a file of that name that is not ours (a user's, or
  // another conversion's temporary) is never written over or removed.
  int fd = ::open(plan.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == EEXIST) {
      std::printf("Error: Temporary file %s exists (another conversion may be writing it); "
                  "remove it and try again.\n", plan.temporary.c_str());
    } else {
      std::printf(" Output file not written! (No valid records?).\n Reason: %s\n", std::strerror(errno));
    }
    return 6;
  }
  ::close(fd);
  if (exists) plan.oldMode = static_cast<int>(existing.st_mode & 0777);
  State().temporaryFiles.push_back(plan.temporary);
  signalTemporaryPath = plan.temporary;
  signalTemporary.store(signalTemporaryPath.c_str());
  plan.created = true;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    if (std::signal(signal, RemoveTemporaryAndStop) == SIG_IGN) std::signal(signal, SIG_IGN);
  }
  return 0;
}

// The last step of a good run: the temporary becomes the output.
bool MoveIntoPlace(const OutputPlan& plan) {
  SignalsHeld held;
  // The new output keeps the permissions of the one it replaces (set only
  // now: a read-only old output must not make the temporary unwritable).
  if (plan.oldMode >= 0) ::chmod(plan.temporary.c_str(), static_cast<mode_t>(plan.oldMode));
  if (std::rename(plan.temporary.c_str(), plan.target.c_str()) != 0) return false;
  Unregister(plan.temporary);
  ForgetSignalTemporary();
  return true;
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

  int64_t inputSize = 0;
  const std::string inputProblem = InputProblem(input, inputSize);
  const int formatCode = inputProblem.empty() ? DetectFormat(input.c_str()) : 24;
  if (formatCode == 24) {
    std::printf("Error: Input File %s not found!\n", input.c_str());
    if (!inputProblem.empty()) std::printf(" Reason: %s\n", inputProblem.c_str());
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

  OutputPlan plan = PlanOutput(output);
  const std::string& temporary = plan.temporary;
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

  // An output that cannot be written is found before the input is read.
  // Listing the sheets of a workbook writes nothing: the output is left alone.
  if (!state.listSheets) {
    if (int code = PrepareOutput(output, plan)) return EndRun(code);
  }

  if (inputSize > ProgressInputThreshold()) BeginProgress("Reading " + input, inputSize);
  const int16_t read = GuardedRead(input, formatCode);
  EndProgress();
  if (!read) {
    std::printf(" Error: No valid data in input file %s!\n", input.c_str());
    return EndRun(5);
  }
  Dataset* dataset = CurrentDataset();
  if (dataset == nullptr) {
    if (state.listSheets) return EndRun(0);
    std::printf(" Warning: No valid data found in file or specified sheet/range!\n");
    return EndRun(4);
  }
  // A reader that ignores "/w" made a Dataset: it is written like any other.
  if (!plan.created) {
    if (int code = PrepareOutput(output, plan)) return EndRun(code);
  }

  FinishNames(dataset, choice.kind);
  dataset->sourceFile = input;

  if (state.readNamesFile) {
    const std::string namesPath = ReplaceExtension(input, ".VAR");
    struct stat info;
    if (::stat(namesPath.c_str(), &info) != 0) {
      WriteNamesFile(dataset, namesPath.c_str());
    } else if (!S_ISREG(info.st_mode)) {
      // Neither read nor written: a FIFO would block the run.
    } else if (std::FILE* names = std::fopen(namesPath.c_str(), "rb")) {
      ApplyNamesFile(dataset, names);
      std::fclose(names);
      // Names taken from the file are made unique like the reader's own.
      FinishNames(dataset, choice.kind);
      if (state.outputHasQ17X) RemoveRegularFile(namesPath);
    }
  }

  constexpr int64_t kProgressRows = 1000000;
  if (dataset->rowCount > kProgressRows)
    BeginProgress("Writing " + output, int64_t{dataset->rowCount} * std::max<int32_t>(dataset->columnCount, 1));
  errno = 0;
  const int16_t written = GuardedWrite(dataset, temporary, choice.kind);
  const int writeError = errno;
  EndProgress();
  if (!written) {
    std::printf(" Output file not written! (No valid records?).\n");
    if (writeError != 0) std::printf(" Reason: %s\n", std::strerror(writeError));
    return EndRun(6);
  }
  if (state.writeNamesFile) WriteNamesFile(dataset, ReplaceExtension(output, ".$V$").c_str());

  std::printf(" %li records transferred.\n", static_cast<long>(dataset->rowCount));
  PrintCutWarnings();
  if (!MoveIntoPlace(plan)) {
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
    case 38: return ReadXlsx(path);
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

int AnswerLoneArgument(int argc, char** argv, const char* version) {
  if (argc != 2) return -1;
  const std::string_view argument = argv[1];
  if (argument == "-h" || argument == "--help") {
    PrintUsage();
    std::fflush(stdout);
    return 0;
  }
  if (argument == "--version") {
    std::printf("trovadex %s\n", version);
    std::fflush(stdout);
    return 0;
  }
  if (argument.substr(0, 2) != "--") return -1;
  // A file may be named so: it is the input once the options are taken off.
  const std::string path = ParseInputOptions(CopyArgument(argument));
  ResetState();
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) return -1;
  std::printf("Error: unknown option %s\nRun \"trovadex --help\" for the usage.\n", argv[1]);
  std::fflush(stdout);
  return 1;
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
