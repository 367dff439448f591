// Each mechanism's figures, as its row of the table (model/mechanisms.cpp) names them: the step
// as strace recorded it, the scheduler's panel and notes added where perf recorded it again (or
// schedstat's totals where the watcher did), and the lesson's figures. For lens's model only.
#pragma once

#include <vector>

#include "model/step.h"
#include "records/tour_records.h"

namespace lens {

// What strace recorded of a step: a figure with one panel (or why there is none).
Figure pipe_figure(const StepRecords& records);
Figure threads_figure(const StepRecords& records);
Figure segment_figure(const StepRecords& records);
Figure semaphore_figure(const StepRecords& records);

// The scheduler's view of a step, added to its figure: the panel, with what the mechanism shows
// of it (its lanes' names, its wake-ups, its magnified stretch), and its notes.
void pipe_scheduler(Figure& figure, const SchedRun& record);
void threads_scheduler(Figure& figure, const SchedRun& record);
void segment_scheduler(Figure& figure, const SchedRun& record);
void semaphore_scheduler(Figure& figure, const SchedRun& record);

// Where perf may not record, schedstat's totals of the step's tasks, added to its figure from the
// watcher's records of its runs: the table, with what the mechanism shows of it (its tasks'
// names; the threads' CPUs), and its notes.
void pipe_schedstat(Figure& figure, const WatchedRuns& runs);
void threads_schedstat(Figure& figure, const WatchedRuns& runs);
void segment_schedstat(Figure& figure, const WatchedRuns& runs);
void semaphore_schedstat(Figure& figure, const WatchedRuns& runs);

// A lesson's figures, from the records of its first run; none where it was not recorded.
std::vector<Figure> relaykeep_figures(const LessonRecords& records);
std::vector<Figure> tallyrace_figures(const LessonRecords& records);
std::vector<Figure> segtear_figures(const LessonRecords& records);
std::vector<Figure> gaterace_figures(const LessonRecords& records);

// The line at the top of a panel drawn from strace's records, and from perf's.
inline constexpr std::string_view strace_recording =
    "Recorded by strace: every system call seen, each one stopping the program (slowed)";
inline constexpr std::string_view scheduler_recording =
    "Recorded by the scheduler (perf, sched: events), the step run again without strace: real "
    "times, no system calls";

}  // namespace lens
