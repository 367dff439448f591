// Everything one tour recorded, read from its record folder by the names in record_files.h:
// each step's strace logs, its scheduler's record (where perf recorded it) or else its watcher's
// records (schedstat's, where perf may not record), what its runs cost (where the tour counted
// it), and each lesson's first run, its log and its output.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>

#include "records/outputs.h"
#include "records/proc.h"
#include "records/record_files.h"
#include "records/sched_log.h"
#include "records/schedstat.h"
#include "records/strace_log.h"

namespace lens {

// The watcher's records of a step's runs, in the order of StepNames::runs; missing where not
// recorded.
using WatchedRuns =
    std::array<std::optional<WatchRecord>, std::tuple_size_v<decltype(StepNames::runs)>>;

struct StepRecords {
  // strace's logs of the step's runs, in the order of StepNames::runs; missing where not
  // recorded.
  std::array<std::optional<Log>, 4> logs;
  // The scheduler's record of the step run again, where perf recorded it and the tour said which
  // processes it started.
  std::optional<SchedRun> sched;
  // Where perf may not record: lens's watcher's records of the step's runs, run again.
  WatchedRuns watched;
  // What the step's first run cost, counted by the tour: under strace, and run again under perf.
  std::optional<RunCost> strace_cost;
  std::optional<RunCost> sched_cost;
};

struct LessonRecords {
  std::optional<Log> log;  // strace's log of the lesson's first run
  Output output;           // what that run printed
};

struct TourRecords {
  std::array<StepRecords, step_names.size()> steps;  // in the order of step_names
  std::array<LessonRecords, step_names.size()> lessons;
};

TourRecords read_tour_records(const std::filesystem::path& dir);

// The processes that the tour started in a step's run under perf, as listed in the file at
// pids beside the record: a line `PID PARENT` each (the tour's shell PARENT forked PID). None
// where the file is missing or lists none: the step then has no scheduler's view.
SchedSelect read_started(const std::filesystem::path& pids);

}  // namespace lens
