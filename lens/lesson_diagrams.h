// The lessons that time explains, drawn like the steps: gaterace's sections overlapping without
// the semaphore and one after another inside it, and relaykeep's read that never returns, from
// the strace logs that `./tour --lessons` records of them.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "diagrams.h"

namespace lens {

// The lesson logs of one tour run: a lesson that was not recorded is missing.
struct LessonRun {
  std::optional<Log> relaykeep;  // relaykeep: the read that never returns
  std::optional<Log> gaterace;   // gaterace ROUNDS: both halves
};

// Reads lesson-relaykeep-1.strace and lesson-gaterace-1.strace in dir.
LessonRun read_lessons(const std::filesystem::path& dir);

// The child's read, unfinished until the parent ends the child; nothing where the log shows no
// fork and no read of the child's.
std::optional<Diagram> relaykeep_diagram(const Log& log);

// gaterace's two halves, each a diagram: one lane per process, a span per section (the pause
// between reading the number and writing it back), and inside the semaphore the waits for it;
// nothing where the log does not show both halves' processes.
std::vector<Diagram> gaterace_diagrams(const Log& log);

// The diagrams of the lessons recorded, in the tour's order; none for a lesson not recorded.
std::vector<Diagram> lesson_diagrams(const LessonRun& run);

}  // namespace lens
