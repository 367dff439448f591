// The scheduler's view of a step, drawn beside strace's: the tour runs each step a second time,
// without strace, while `perf record -e sched:...` records the whole machine; sched_log.h reads
// that record and follows in it the processes that the tour started, and this file lays them
// out as lanes of a panel: each thread running (on which CPU), runnable (waiting for a CPU) or
// asleep (and who woke it), with the wake-ups that matter to the step as arrows and, for the
// threads, how many ran and lived at once. strace shows every call but slows every one; the
// scheduler shows no call but times that nothing slowed.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/sched_log.h"

namespace lens {

struct Diagram;
struct Run;

// One thread or process of the step, as the scheduler saw it. Times are microseconds from the
// step's first event of its programs (SchedRun::clock).
struct CpuLane {
  std::string name;  // "forkrelay child", "gatetake 2", "sh", "worker"
  int tid = 0;
  Micros begin = 0;
  Micros end = 0;
  std::vector<SchedSpan> spans;
  bool compact = false;  // one of many alike (a worker, a shell): a thin lane without labels
  // Its time running: "ran 1.55 ms, CPUs 0 1" after its end where there is room; a compact
  // lane's, "1.55 ms", beside its name.
  std::string summary;
};

// A wake-up that the step is about: from the waker's lane at the wake-up to the woken lane where
// it ran again.
struct CpuWake {
  std::size_t from = 0;
  std::size_t to = 0;
  Micros at = 0;
  Micros ran = 0;
};

// A count over time: how many of the step's threads run, or live, at once.
struct CpuLine {
  std::string name;
  std::vector<SchedStep> steps;
};

struct CpuView {
  int cpus = 0;
  Micros end = 0;  // the end of the step's last task
  std::vector<CpuLane> lanes;
  std::vector<CpuWake> wakes;
  std::vector<CpuLine> lines;
  std::map<int, std::string> wakers;  // the name of each task that woke one of the lanes
  // Where set: the whole step shows only its first overview_lanes lanes and no step lines, and
  // the stretch [detail_begin, detail_end] is drawn again, magnified, with detail_lanes (all
  // where empty) and the step lines.
  std::size_t overview_lanes = 0;
  std::optional<Micros> detail_begin;
  Micros detail_end = 0;
  std::vector<std::size_t> detail_lanes;
  std::string detail_caption;
  // The record's own events, for the trace file (SchedRun::kernel), and the time on perf's
  // clock, in microseconds, of this view's 0 (SchedRun::clock).
  std::vector<KernelEvent> kernel;
  Micros clock = 0;
};

// The processes that the tour started in the step's run under perf, as listed in the file at
// pids beside the record: a line `PID PARENT` each (the tour's shell PARENT forked PID). None
// where the file is missing or lists none: the step then has no scheduler's view.
SchedSelect step_select(const std::filesystem::path& pids);

// Reads the records that `./tour --timeline` leaves in dir beside strace's logs (1-pipe.perf,
// 2-threads.perf, 3-segment.perf, 4-semaphore.perf, each with its .pids), where present.
void read_sched_records(const std::filesystem::path& dir, Run& run);

// Adds the scheduler's view of the step to its diagram, with notes on what it shows, where the
// record is there and the diagram is drawn (or a note on why the record shows nothing of the
// step); and, to every drawn diagram, which recording its strace part comes from.
void add_scheduler_view(Diagram& diagram, const std::optional<SchedRun>& record);

}  // namespace lens
