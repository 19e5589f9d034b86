// The two file arguments of the command line: options glued to the file
// names as slash-suffixes, the output kind chosen from the output's ending,
// and the path helpers of the run sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace trovadex {

// Length of the leading directory part of `argument`: the longest prefix that
// ends with "/" and, without that "/", names an existing directory ("/" itself
// counts). Options are only looked for after it, so that directory names such
// as "data/trial.csv" or "out/put.crv" are not taken for options.
std::size_t LeadingDirectoryLength(const std::string& argument);

// A file argument as given: when it starts with a double quote, that quote and
// the next one are dropped (the text after the closing quote stays).
std::string CopyArgument(std::string_view argument);

// Takes the input options out of `argument` and records them in the run state
// and the options record; returns the cleaned input path.
std::string ParseInputOptions(std::string argument);

// Takes the output options out of `argument` likewise; returns the output path.
std::string ParseOutputOptions(std::string argument);

// The writer selected by the output name's ending, and its column limit.
struct OutputChoice {
  int kind = 6;            // OutputKind
  bool comma = false;      // delimited text: ".csv"
  bool tab = false;        // delimited text: ".tab"
  int32_t columnLimit = 2048;
};
OutputChoice ChooseOutput(std::string_view outputPath);

// `path` with the text from the last "." of its file name on replaced by
// `extension` (appended when the file name has no "."). A "." inside a
// directory part is not an extension.
std::string ReplaceExtension(std::string_view path, std::string_view extension);

// True when the two paths are equal ignoring case, or name the same existing
// file (same device and inode).
bool SameFile(const std::string& a, const std::string& b);

// Removes `path` when it is a regular file; true when something was removed.
bool RemoveRegularFile(const std::string& path);

}  // namespace trovadex
