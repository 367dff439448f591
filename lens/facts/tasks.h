// The rules about tasks that every mechanism's facts share, written once: which call made a
// process or a thread, how long a task lived as its log shows it, the calls of one task, and
// when a parent collected a child it forked.
//
// Every Call pointer here points into log.calls of the Log it was found in: it lives as long as
// that Log object, and a copy of the Log does not carry it over.
#pragma once

#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "records/strace_log.h"

namespace lens {

// Whether text holds part: a call's arguments, a flag among them.
bool has_part(std::string_view text, std::string_view part);

// The pid of the process that a call made: fork, vfork, or a clone that makes no thread (as
// fork() and system() do); nothing for any other call, or one that failed.
std::optional<int> forked_pid(const Call& call);

// The tid of the thread that a call made: a clone or clone3 with CLONE_THREAD; nothing for any
// other call, or one that failed.
std::optional<int> thread_made(const Call& call);

// The first argument of a call as a number: the descriptor of close(3) or write(4, ...).
std::optional<int> first_argument(const Call& call);

// A stretch of a task's time: its life, a call, a pause.
struct Interval {
  Micros begin = 0;
  Micros end = 0;
};
// How long a task lived, as a log shows it.
using Life = Interval;

// A call's stretch: from its entry to its return, never ending before it began.
Interval interval_of(const Call& call);

// The life of task id, made by call `made_by` (a fork or a clone in its parent): from the call's
// return, or the task's own first line where that comes earlier, to its end (its +++ line), or
// `otherwise` where the log shows no end; never ending before it began.
Life life_of(const Log& log, int id, const Call& made_by, Micros otherwise);

// The life of a log's first task, the program: from the log's first line to its end, or the
// log's last line.
Life program_life(const Log& log);

// A system call looked for: its name and, where not empty, a part of its arguments.
struct Wanted {
  std::string_view name;
  std::string_view part;
};

// The first of pid's calls that is the one wanted, or null.
const Call* first_call(const Log& log, int pid, Wanted wanted);

// The processes that pid forked, in order, each with the call that forked it.
std::vector<std::pair<int, const Call*>> children_of(const Log& log, int pid);

// When each child of pid was collected: the end of the first wait4 after its fork that returned
// it. One pass over the log, then a search per fork among the waits for that child alone.
class Collections {
 public:
  Collections(const Log& log, int pid);
  std::optional<Micros> after(const Call& fork, int child) const;

 private:
  std::unordered_map<long long, std::vector<const Call*>> waits_;
};

}  // namespace lens
