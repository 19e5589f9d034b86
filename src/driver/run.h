// The whole run: command line, detection, reading, names file, writing.
#pragma once

namespace trovadex {

// Runs Trovadex on the process arguments; returns the exit code.
int RunMain(int argc, char** argv);

}  // namespace trovadex
