// Reading the scheduler's record of one step of the tour: the text that
//   perf script --header -F tid,cpu,time,event,trace
// prints of a `perf record -a` of the tracepoints sched_switch, sched_waking, sched_wakeup_new,
// sched_process_fork and sched_process_exit, taken while the tour ran the step's programs.
//
// strace stops a program at every system call, so its times are slow and it cannot tell which
// threads ran. The scheduler's tracepoints stop nobody: every switch of a CPU from one task to
// another, every wake-up, fork and exit is written with the CPU and perf's own clock. From them
// each thread of the step gets a list of spans: running on a CPU, runnable (woken or preempted,
// waiting for a CPU), or asleep (and who woke it). The record holds the whole machine; only the
// step's own tasks are followed, but every other task's time on a CPU still counts as that CPU
// being busy.
//
// perf prints an event as its header, the event's name and the kernel's text of its fields:
//   "    2 [000]   461.298776:       sched:sched_switch: prev_comm=perf prev_pid=16563 ..."
// (the current task's tid, -1 where unknown, its CPU, the time in seconds). The record is
// untrusted: every user names their own tasks, with any bytes but NUL, newlines included (up to
// 15, the kernel's TASK_COMM_LEN - 1), and perf prints names raw. So an event begins only at a
// line that starts with perf's header and "sched:sched_NAME:"; any other line after the first
// event continues the previous event's text (a name that held a newline), and goes with it where
// that event is skipped. Each event's fields are then taken by its print format from the right,
// the numbers being digits only, and a name is what lies between two fixed texts: an event whose
// name would be longer than 15 bytes is not perf's, and is dropped. A forged header needs some 30
// bytes ("1 [0] 1.1: sched:sched_switch: "), more than a name holds, and fixed text always lies
// between two names: no name can begin an event, hide one, or make a field.
//
// Which tasks are the step's: the processes the tour started (listed beside the record, as
// `PID PARENT`: the tour's shell PARENT forked PID, which then exec'd the program), each from
// that fork to its exit (its switch-out as dead, X or Z, or else its exit event), and every
// thread or child that one of them forked during its life, to its own exit. Nothing before or
// after: a pid that a finished task leaves is another task once reused.
//
// In a PID namespace (a container) the header's tid is the namespace's (0 for tasks outside it)
// while the fields always hold the kernel's global pids. The header's tid serves for one thing
// only: mapping the listed pids, the tour's view, to the kernel's, since the task of a switch's
// header is its prev (and that of a fork its parent, that of an exit the task that exits). The
// task running on a CPU, the waker of a wake-up there, comes from the switches on that CPU.
//
// Bounds: a time with more than nine digits of seconds is rejected, and so is every event more
// than a day from the record's middle one, so that no time computed here can overflow; tids and
// CPU numbers are bounded too. Events are sorted again by time (stably), since perf's per-CPU
// buffers can interleave. Reading is O(n log n) in the record's size.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/strace_log.h"

namespace lens {

// perf's clock counts nanoseconds; the records' times are microseconds.
inline constexpr std::int64_t nanos_per_micro = 1000;

// What a thread is doing over one span of time.
enum class Doing {
  running,   // on a CPU
  runnable,  // woken or preempted, waiting for a CPU
  asleep,    // waiting for something: a pipe, a futex, a timer, the disk
};

// One span of a thread's time, in microseconds from the start of the run (SchedRun::clock).
struct SchedSpan {
  Doing doing = Doing::running;
  Micros begin = 0;
  Micros end = 0;
  int cpu = -1;  // running: the CPU it ran on
  // asleep: the state the scheduler gave ('S' may be woken by a signal, 'D' not, 'T' or 't'
  // stopped); runnable: 'R' preempted, 'W' woken.
  char how = 0;
  // asleep: the task on the CPU where its wake-up was recorded (0: the idle task, a wake-up from
  // an interrupt); -1 where no wake-up was seen, or that CPU's task was not yet known.
  int waker = -1;
};

// One thread (or process: a process is its first thread) of the step.
struct SchedThread {
  int tid = 0;
  int parent = 0;    // the tid that forked it; 0 for a process the tour started
  std::string comm;  // its name as last seen (up to 15 bytes, any bytes: escape before showing)
  Micros born = 0;   // its fork
  // Its end, if the record shows it: its switch-out as dead, or else its exit event.
  std::optional<Micros> ended;
  std::vector<SchedSpan> spans;  // in order of time, none overlapping
  Micros running = 0;            // the total of its running spans
  std::vector<int> cpus;         // the CPUs it ran on, ascending
};

// A wake-up of one of the step's threads, and how long the woken thread then waited for a CPU:
// from gategive's post to the waiting gatetake running again, say.
struct WakeUp {
  int waker = 0;           // the task on the wake-up's CPU (0: an interrupt; -1: not known)
  std::string waker_comm;  // its name (any bytes: escape before showing)
  int woken = 0;
  Micros at = 0;              // the wake-up
  std::optional<Micros> ran;  // when the woken thread next ran, if the record shows it
  // From the wake-up to the woken thread running, in microseconds.
  std::optional<Micros> latency() const;
};

// How many threads are in one condition from `at` until the next step (or the end of the run).
struct SchedStep {
  Micros at = 0;
  int count = 0;
};

// A task as the kernel's trace text names it.
struct KernelTask {
  std::string comm;  // at most 15 bytes, any bytes (escape before showing)
  int pid = -1;      // the kernel's (global) pid; -1 where not known
  int prio = 0;
};

// One switch or wake-up of the record, on any CPU, as the kernel wrote it.
struct KernelEvent {
  enum class Kind { switched, waking, wakeup_new };
  Kind kind = Kind::switched;
  std::int64_t at = 0;  // nanoseconds on perf's clock
  int cpu = 0;
  KernelTask current;      // the task on the CPU as it fired: for a switch, the one leaving
  std::string prev_state;  // switched: the leaving task's state as printed ("S", "R+", "D|K")
  KernelTask next;         // switched: the task switched in; a wake-up: the task woken
  int target_cpu = -1;     // a wake-up: the CPU it is to run on
};

// The step's run as the scheduler saw it. Times are microseconds from `clock`.
struct SchedRun {
  // The tour's first fork of the step's programs, on perf's clock (microseconds since boot): not
  // the wall clock that strace uses.
  Micros clock = 0;
  Micros length = 0;  // the record's last event
  // CPUs in the record: the highest CPU number seen plus one, or what a "# nrcpus avail : N"
  // header line (perf script --header) says, if more.
  int cpus = 0;
  std::vector<SchedThread> threads;  // in order of their forks
  std::vector<WakeUp> wakeups;       // in order of time
  // How many of the step's threads are on a CPU at once; never more than `cpus`.
  std::vector<SchedStep> running_at_once;
  // How many of them are alive at once, from fork to exit.
  std::vector<SchedStep> alive_at_once;
  // How many CPUs run some other task at once (idle CPUs not counted).
  std::vector<SchedStep> others_at_once;
  // Every switch and wake-up of the record (the whole machine), in order of time, from `clock`
  // to the record's end.
  std::vector<KernelEvent> kernel;
  // What the record could not show, a sentence each: a listed process that it does not show
  // forked by the tour, or (where there are no threads) why there are none.
  std::vector<std::string> problems;

  // The thread tid, if it is one of the step's.
  const SchedThread* thread(int tid) const;
  // The wake-ups done by the step's own task of that name (a program's name, "gategive").
  std::vector<WakeUp> wakeups_by(std::string_view waker_comm) const;
};

// The largest count in a step line (0 for none).
int most_at_once(const std::vector<SchedStep>& steps);

// A process the tour started, both pids as the tour saw them (the namespace's, in a container).
struct Started {
  int pid = 0;     // as bash's $! gave it
  int parent = 0;  // the tour's shell, $$, which forked it
};

// Which tasks of the record are the step's: the processes the tour started, and what they forked.
struct SchedSelect {
  std::vector<Started> started;
};

// Reads perf script's text. A run that shows none of the step's tasks has no threads, and says
// why in `problems`.
SchedRun parse_sched(std::istream& in, const SchedSelect& select);
// The run in the file at path, or nothing where it cannot be opened.
std::optional<SchedRun> read_sched(const std::string& path, const SchedSelect& select);

}  // namespace lens
