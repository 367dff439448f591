// The lessons that time explains, drawn like the steps: gaterace's sections overlapping without
// the semaphore and one after another inside it, and relaykeep's read that never returns, from
// the strace logs that `./tour --lessons` records of them. The counts that gaterace's diagrams
// state come from gaterace's own output, kept beside its log and read as `lens lesson tell`
// reads it, so that the page and the tour's terminal give the same figures.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "diagrams.h"
#include "records/outputs.h"

namespace lens {

// The lesson logs of one tour run: a lesson that was not recorded is missing.
struct LessonRun {
  std::optional<Log> relaykeep;  // relaykeep: the read that never returns
  std::optional<Log> gaterace;   // gaterace ROUNDS: both halves
  // What that gaterace run printed; where it is missing or refused, no figures and why.
  Parsed<RaceFigures> gaterace_output;
};

// The name of gaterace's output beside its log.
constexpr std::string_view gaterace_output_file = "lesson-gaterace-1.out";

// Reads lesson-relaykeep-1.strace, lesson-gaterace-1.strace and lesson-gaterace-1.out in dir.
LessonRun read_lessons(const std::filesystem::path& dir);

// The child's read, unfinished until the parent ends the child; nothing where the log shows no
// fork and no read of the child's.
std::optional<Diagram> relaykeep_diagram(const Log& log);

// gaterace's two halves, each a diagram: one lane per process, a span per section (the pause
// between reading the number and writing it back), and inside the semaphore the waits for it;
// nothing where the log does not show both halves' processes. The notes state how many sections
// overlapped as output (gaterace's own output of that run) counts them, or why they cannot.
std::vector<Diagram> gaterace_diagrams(const Log& log, const Parsed<RaceFigures>& output);

// The diagrams of the lessons recorded, in the tour's order; none for a lesson not recorded.
std::vector<Diagram> lesson_diagrams(const LessonRun& run);

}  // namespace lens
