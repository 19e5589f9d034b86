// The whole run: command line, detection, reading, names file, writing.
#pragma once

#include <cstdint>

#include "core/dataset.h"

namespace trovadex {

// Runs Trovadex on the process arguments; returns the exit code.
int RunMain(int argc, char** argv);

// The lone arguments that ask about the program instead of naming a file:
// "-h" and "--help" (the usage screen), "--version" (one line with
// `version`), and any other "--" word that names no file (an error). Touches
// no file. Returns the exit code, or -1 when the arguments are for a run.
int AnswerLoneArgument(int argc, char** argv, const char* version);

// Calls the reader for a FormatCode; 0 when it fails or there is none.
int16_t ReadInput(const char* path, int formatCode);

// Calls the writer for an OutputKind with the (temporary) output path. The
// delimited text writer takes its comma flag from the run state.
int16_t WriteOutput(Dataset* dataset, const char* path, int outputKind);

}  // namespace trovadex
