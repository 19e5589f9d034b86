// A progress line on standard error for long reads and writes: one line,
// redrawn at most ten times a second, cleared when the phase ends, before
// any message and on every exit. Nothing is shown unless standard error is a
// terminal, so scripts see exactly the same output with or without it.
//
// A reader or writer calls ReportProgress from its loop, per row or per
// block: the call only counts down, and the clock is looked at every so many
// calls (the interval adapts to how fast the calls come).
#pragma once

#include <cstdint>
#include <string_view>

namespace trovadex {

struct ProgressLine {
  int64_t countdown = INT64_MAX;  // calls left before the next look at the clock
  int64_t interval = 1;           // calls between looks
  int64_t total = 0;              // the units of the whole phase
  int64_t steps = 0;              // units counted by StepProgress
};
inline ProgressLine progressLine;

// True when a progress line may be shown (standard error is a terminal).
bool ProgressWanted();

// The input size above which reading shows progress: 64 MB, or less when
// TROVADEX_PROGRESS_BYTES says so.
int64_t ProgressInputThreshold();

// Starts a phase named `label` ("Reading trial.csv") of `total` units. Does
// nothing when ProgressWanted() is false or total is not positive.
void BeginProgress(std::string_view label, int64_t total);

// Ends the phase: the line is cleared and reports are ignored again.
void EndProgress();

// Clears the line if one is shown; the next report may draw it again. Uses
// only write(2), so that a signal handler may call it.
void ClearProgress();

// The slow path of ReportProgress.
void CheckProgress(int64_t done, int64_t rows);

// `done` units of the phase so far, `rows` rows so far (negative: not shown).
inline void ReportProgress(int64_t done, int64_t rows) {
  if (--progressLine.countdown > 0) return;
  CheckProgress(done, rows);
}

// One more unit done, for loops that do not know their place in the phase
// (a writer that goes column by column counts values).
void CheckStepProgress();
inline void StepProgress() {
  if (--progressLine.countdown > 0) return;
  CheckStepProgress();
}

}  // namespace trovadex
