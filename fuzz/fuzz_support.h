// Shared pieces of the libFuzzer targets: a private working directory, the
// input written to a file (the readers take a path), and one input run with
// fatal exits turned into exceptions so that exit codes 7-15 end the input,
// not the fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "core/dataset.h"

namespace trovadex::fuzz {

// Silences standard output (the readers print their messages there), makes a
// per-process temporary directory and moves into it, so that side files such
// as the text-to-number warnings file land there. The fuzzer's own arguments
// (corpus folders, input files, artifact paths) are made absolute first, and
// crashing inputs go to the starting directory unless -artifact_prefix says
// otherwise. Called from LLVMFuzzerInitialize, before the fuzzer reads them.
void Initialize(int* argc, char*** argv);
// The same without arguments to rewrite.
void Initialize();

// The path of the per-process input file with the given ending (".dat" ...).
std::string InputPath(const char* ending);

// Writes the bytes to `path`; false when the file cannot be written.
bool WriteInput(const std::string& path, const uint8_t* data, std::size_t size);

// A fresh run state for one input: defaults, fatal exits intercepted.
void BeginInput();
// Drops everything the input built (Datasets, warnings file, temporary files).
void EndInput();

// Runs `body` between BeginInput and EndInput. What the run itself turns into
// an exit code ends the input quietly: a fatal exit, running out of memory,
// and a reader that throws (the run reports that as a failed read).
template <class Body>
void RunInput(Body&& body) {
  BeginInput();
  try {
    body();
  } catch (const FatalExitError&) {
  } catch (const std::exception&) {
  }
  EndInput();
}

// Writes the input to a file with `ending` and runs `reader(path)` on it.
template <class Reader>
void RunReader(const uint8_t* data, std::size_t size, const char* ending, Reader&& reader) {
  static const std::string path = InputPath(ending);
  if (!WriteInput(path, data, size)) return;
  RunInput([&] {
    State().inputFileName = path;
    reader(path.c_str());
  });
}

// For readers that open a companion file beside their input: the bytes up
// to the first "@@COMPANION@@" are the input, the rest the companion with
// `companionEnding` (no marker: no companion file).
template <class Reader>
void RunReaderWithCompanion(const uint8_t* data, std::size_t size, const char* ending,
                            const char* companionEnding, Reader&& reader) {
  const std::string companion = InputPath(companionEnding);
  constexpr std::string_view kMarker = "@@COMPANION@@";
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t at = all.find(kMarker);
  if (at == std::string_view::npos) {
    std::remove(companion.c_str());
  } else {
    const std::size_t from = at + kMarker.size();
    if (!WriteInput(companion, data + from, size - from)) return;
  }
  RunReader(data, at == std::string_view::npos ? size : at, ending, reader);
}

}  // namespace trovadex::fuzz
