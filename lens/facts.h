// The facts of a step that both its kernel view (views.h) and its diagram (diagrams.h) show,
// found once in its strace log: which calls made the pipe and carried the record, and which
// threads main made and how long each lived.
//
// Every Call pointer here points into log.calls of the Log it was found in: it lives as long as
// that Log object, and a copy of the Log does not carry it over.
#pragma once

#include <optional>
#include <vector>

#include "strace_log.h"

namespace lens {

// forkrelay: the parent makes a pipe, forks, and sends the child one record through it.
struct PipeFacts {
  int parent = 0;
  int child = 0;
  int read_end = -1;
  int write_end = -1;
  const Call* pipe = nullptr;          // pipe2 (or pipe) in the parent
  const Call* fork = nullptr;          // the fork (fork, vfork, or clone without CLONE_THREAD)
  const Call* parent_close = nullptr;  // the parent's close of the read end, after the fork
  const Call* write = nullptr;         // the parent's write into the write end, after the fork
  const Call* child_close = nullptr;   // the child's close of the write end
  const Call* read = nullptr;          // the child's read from the read end
};

// The first pipe and fork of the log: the first process fork after a successful pipe in the same
// process. Nothing where the log shows no pipe and fork. The closes, the write and the read are
// null where the log does not show them.
std::optional<PipeFacts> find_pipe(const Log& log);

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

// The pid of the process that a call made: fork, vfork, or a clone that makes no thread (as
// fork() and system() do); nothing for any other call, or one that failed.
std::optional<int> forked_pid(const Call& call);

// The first argument of a call as a number: the descriptor of close(3) or write(4, ...).
std::optional<int> first_argument(const Call& call);

}  // namespace lens
