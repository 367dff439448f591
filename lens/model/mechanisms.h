// The table of the mechanisms: a row each, holding everything lens knows of a step: its title,
// its programs and record files (records/record_files.h), and the functions that make its
// figures from strace's records, add the scheduler's view where perf recorded it (or schedstat's
// totals where it may not), and draw its lesson. Every step of the timeline is made through this
// table; a mechanism without its row does not compile.
#pragma once

#include <array>
#include <string_view>
#include <vector>

#include "model/step.h"
#include "records/record_files.h"
#include "records/tour_records.h"

namespace lens {

struct MechanismRow {
  Mechanism mechanism;
  const StepNames* names;  // its word, record prefix, runs and lesson
  Figure (*strace_figure)(const StepRecords&);
  void (*scheduler)(Figure&, const SchedRun&);
  void (*schedstat)(Figure&, const WatchedRuns&);
  std::vector<Figure> (*lesson_figures)(const LessonRecords&);
};

// The rows, in the tour's order, one for each Mechanism.
const std::array<MechanismRow, step_names.size()>& mechanisms();

// The row of one mechanism.
const MechanismRow& row_of(Mechanism mechanism);

// The figures of one tour's records, in the tour's order: each step's (with the scheduler's view
// where perf recorded it, or else schedstat's totals where the watcher did), then each recorded
// lesson's.
std::vector<Figure> figures(const TourRecords& records);

}  // namespace lens
