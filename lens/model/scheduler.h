// The scheduler's panel of a step, from perf's record of the step run again: a lane for each of
// the step's tasks (up to a bound), each span of it running (on which CPU), waiting for a CPU,
// or asleep (and who woke it); and the arrows of the wake-ups a mechanism shows. Where perf may
// not record, schedstat's table of the same tasks, from the watcher's records. For lens's model
// only (model/*.cpp).
#pragma once

#include <optional>
#include <string_view>

#include "model/step.h"
#include "records/sched_log.h"
#include "records/tour_records.h"

namespace lens {

// How a mechanism names the lanes of its tasks: the tasks the tour started (roots) by their
// program, numbered where the step starts it more than once ("gatetake 2"), or with a role
// ("forkrelay parent"); the tasks they made by their name and a role ("forkrelay child"), or by
// one name for all ("worker"), thin where there are many alike.
struct LaneNames {
  std::string_view root_role;   // "parent", "main"; numbered where empty
  std::string_view child_role;  // "child": "COMM child"
  std::string_view child_name;  // "worker": every child so named
  bool compact_children = true;
};

// The step's panel; the scheduler's notes on what it costs and on what the record lacks go into
// notes.
Panel scheduler_panel(const SchedRun& record, const LaneNames& names, std::vector<Note>& notes);

// The lane of task tid, if it has one.
std::optional<std::size_t> lane_with(const Panel& panel, int tid);

// The arrow of a sleep's wake-up, from the waker's lane to the sleeper's where it ran again,
// where the waker has a lane and the sleeper ran again: the wake-up's latency, or nothing.
std::optional<Micros> add_wake(Panel& panel, const SchedRun& record, std::size_t sleeper,
                               const SchedSpan& sleep);

// The record's own events, for the trace file: the step's tasks as the kernel named them, and
// every other task of the machine (another user's, say) only as "other" under a number of its
// own, the same for it throughout, so that its CPU time still shows but nothing of it is named.
KernelText kernel_text(const SchedRun& record);

// The spans of the task of a lane, as the record holds them (none where it holds no such task).
const std::vector<SchedSpan>& spans_of(const SchedRun& record, const Lane& lane);

// Where perf may not record: the table of the step's tasks from the watcher's records of its
// runs, a row each (up to a bound), named as its lane would be, in the order of the runs and of
// their making; the notes on where it comes from, what only perf shows and what the records lack
// go into notes. Nothing where the records hold no task, and a note says why.
std::optional<Totals> schedstat_totals(const WatchedRuns& runs, const LaneNames& names,
                                       std::vector<Note>& notes);

}  // namespace lens
