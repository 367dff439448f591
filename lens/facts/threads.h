// threetally's threads, as its strace log shows them: main's advice and fill, the threads it
// made and how long each lived, and how many lived at once.
//
// Every Call pointer here points into log.calls of the Log it was found in: it lives as long as
// that Log object, and a copy of the Log does not carry it over.
#pragma once

#include <optional>
#include <vector>

#include "facts/tasks.h"
#include "records/strace_log.h"

namespace lens {

// A thread that main made.
struct Worker {
  int tid = 0;
  const Call* creation = nullptr;  // main's clone/clone3 with CLONE_THREAD that made it
  Micros begin = 0;     // its first sign of life: the creation's return, or its own first line if
                        // that comes earlier
  Micros end = 0;       // its end (its +++ line), or main's end where the log shows none
  bool exited = false;  // it called exit(): it ran to its end. A thread that a sanitizer's
                        // runtime adds lives until the process ends without one: it is no worker
                        // of the program's, though main made it.
};

// threetally: main advises huge pages, fills its table, then makes the workers and joins them.
struct ThreadFacts {
  int main = 0;
  const Call* advice = nullptr;      // main's first madvise(..., MADV_HUGEPAGE)
  std::optional<Micros> fill_begin;  // the fill: from the advice's return to main's next call
  std::optional<Micros> fill_end;
  std::vector<Worker> workers;  // the threads main made, in order of creation
  int most_alive = 0;  // the most threads alive at once: main, the threads it made, and any other
                       // thread the log shows
};

ThreadFacts find_threads(const Log& log);

// When main began to end: its exit_group, or its end where the log shows none.
Micros main_exit(const Log& log, const ThreadFacts& facts);

// main's join: from the last creation until the last worker has ended, or main's last futex
// wait for one of them has returned, but no later than main's exit. Nothing where the log shows
// no worker, or no time between.
std::optional<Interval> join_of(const Log& log, const ThreadFacts& facts);

}  // namespace lens
