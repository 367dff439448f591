// Reading the scheduler's record of one program run: the text that `perf script` prints for the
// sched: tracepoints (recorded by `perf sched record -- PROGRAM`, or by `perf record -e 'sched:*'
// -a` around programs started apart).
//
// strace stops a program at every system call, so its times are slow and it cannot tell which
// threads ran. The scheduler's tracepoints stop nobody: every switch of a CPU from one task to
// another, every wake-up, fork and exit is written with the CPU and perf's own clock. From them
// each thread of the program gets a list of spans: running on a CPU, runnable (woken or
// preempted, waiting for a CPU), or asleep (and who woke it). The record holds the whole
// machine; only the program's own threads are followed, but every other task's time on a CPU
// still counts as that CPU being busy.
//
// perf prints one event per line:
//   "      threetally 24543 [000]  3148.994636: sched:sched_process_fork: comm=... child_pid=N"
// the current task's name (padded on the left, possibly with spaces in it), its tid (-1 where
// the task is gone), the CPU and the time in seconds. A record is untrusted input: lines that are
// not such events are skipped, a time with more than nine digits of seconds is rejected, and so
// is every line whose time lies more than a day from the record's middle line, so that no time
// computed here can overflow. Lines are sorted again by time (stably), since per-CPU buffers can
// interleave. Reading is O(n log n) in the record's size.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "strace_log.h"

namespace lens {

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
  // asleep: the tid running when its wake-up was recorded (0: the idle task, a wake-up from an
  // interrupt); -1 where no wake-up was seen.
  int waker = -1;
};

// One thread (or process: a process is its first thread) of the program.
struct SchedThread {
  int tid = 0;
  int parent = 0;    // the tid that forked it; 0 for a process perf or the caller named
  std::string comm;  // its name as last seen (up to 15 characters, as the kernel keeps it)
  Micros born = 0;   // its fork, or where the record first shows it
  // Its end, if the record shows it: its last switch-out, or its exit event where later.
  std::optional<Micros> ended;
  std::vector<SchedSpan> spans;  // in order of time, none overlapping
  Micros running = 0;            // the total of its running spans
  std::vector<int> cpus;         // the CPUs it ran on, ascending
};

// A wake-up of one of the program's threads, and how long the woken thread then waited for a
// CPU: from gategive's post to the waiting gatetake running again, say.
struct WakeUp {
  int waker = 0;           // the tid running when the wake-up was recorded (0: an interrupt)
  std::string waker_comm;  // its name
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

// One event of the kernel's record as the kernel's trace text tells it (draw_json.cpp writes
// it out for Perfetto).
struct KernelTask {
  std::string comm;  // <= 15 bytes, any bytes
  int pid = -1;
  int prio = 0;
};
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

// The program's run as the scheduler saw it. Times are microseconds from `clock`.
struct SchedRun {
  // The run's first event of the program, on perf's clock (microseconds since boot): not the
  // wall clock that strace uses.
  Micros clock = 0;
  Micros length = 0;  // the record's last event
  // CPUs in the record: the highest CPU number seen plus one, or what a "# nrcpus avail : N"
  // header line (perf script --header) says, if more.
  int cpus = 0;
  std::vector<SchedThread> threads;  // in order of first appearance; the program first
  std::vector<WakeUp> wakeups;       // in order of time
  // How many of the program's threads are on a CPU at once; never more than `cpus`.
  std::vector<SchedStep> running_at_once;
  // How many of them are alive at once, from fork (or first sight) to exit.
  std::vector<SchedStep> alive_at_once;
  // How many CPUs run some other task at once (idle CPUs not counted).
  std::vector<SchedStep> others_at_once;
  // Every switch and wake-up of the record from the step's first event of its programs to the
  // record's end, in time order.
  std::vector<KernelEvent> kernel;

  // The thread tid, if it is one of the program's.
  const SchedThread* thread(int tid) const;
  // The wake-ups done by a task of that name (a program's name, "swapper/1").
  std::vector<WakeUp> wakeups_by(std::string_view waker_comm) const;
};

// The largest count in a step line (0 for none).
int most_at_once(const std::vector<SchedStep>& steps);

// Which tasks of the record are the program: the given processes and threads, and everything
// forked from them. With neither list given: the task that perf started for the program (named
// "perf-exec" until its exec), or else the first task the record shows exec'ing.
struct SchedSelect {
  std::vector<int> pids;              // the program's processes, as started (strace's pids)
  std::vector<std::string> programs;  // or: every task exec'd from a file of one of these names
};

// Reads perf script's text; lines that are not a scheduler event are skipped. A run with no
// thread of the program has no threads.
SchedRun parse_sched(std::istream& in, const SchedSelect& select = {});
// The run in the file at path, or nothing where it cannot be opened or shows no thread of the
// program.
std::optional<SchedRun> read_sched(const std::string& path, const SchedSelect& select = {});

}  // namespace lens
