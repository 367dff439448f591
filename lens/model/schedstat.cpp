// schedstat's table of a step: where perf may not record the scheduler, the step run again under
// lens's watcher, each task's totals as /proc's schedstat gave them at its end.
#include <algorithm>
#include <map>
#include <string>

#include "model/build.h"
#include "model/scheduler.h"

namespace lens {
namespace {

// At most this many tasks get rows of their own (the tour's steps have up to 17): a record of
// thousands would make a table nobody reads.
constexpr std::size_t most_task_rows = 64;

constexpr std::string_view schedstat_recording =
    "Read from /proc (schedstat) at each task's end, the step run again without strace: real "
    "times on a CPU and waiting for one, but no moments, CPUs nor wake-ups (perf may not record "
    "here)";

constexpr std::string_view schedstat_source =
    "Scheduler (schedstat): perf may not record here, so the tour ran the step again without "
    "strace, under lens's watcher, which stops a task only as it begins and as it ends, and read "
    "each thread's schedstat from /proc as it ended: its time on a CPU, its time runnable but "
    "waiting for a CPU, and how many times it was put on one (the table). What only perf shows: "
    "which CPU ran each thread, when, and who woke whom.";

Micros micros_of(std::int64_t nanos) {
  return nanos / nanos_per_micro;
}

// A task's row's name, as its lane would be named: a program the watcher started by its name,
// numbered where the step starts it more than once, or with its role; a task it made by its name
// and role, or by one name for all.
std::string row_name(const WatchedTask& task, const LaneNames& names,
                     const std::map<std::string, int>& started, std::map<std::string, int>& seen) {
  if (task.parent != 0) {
    if (!names.child_name.empty()) {
      return std::string(names.child_name);
    }
    return names.child_role.empty() ? task.name : task.name + " " + std::string(names.child_role);
  }
  if (!names.root_role.empty()) {
    return task.name + " " + std::string(names.root_role);
  }
  const int number = ++seen[task.name];
  const auto starts = started.find(task.name);
  return starts != started.end() && starts->second > 1 ? task.name + " " + std::to_string(number)
                                                       : task.name;
}

}  // namespace

std::optional<Totals> schedstat_totals(const WatchedRuns& runs, const LaneNames& names,
                                       std::vector<Note>& notes) {
  std::vector<const WatchedTask*> tasks;
  std::vector<std::string> problems;
  for (const std::optional<WatchRecord>& run : runs) {
    if (!run) {
      continue;
    }
    const std::size_t first = tasks.size();
    for (const WatchedTask& task : run->tasks) {
      tasks.push_back(&task);
    }
    std::stable_sort(tasks.begin() + static_cast<std::ptrdiff_t>(first), tasks.end(),
                     [](const WatchedTask* one, const WatchedTask* other) {
                       return one->born != other->born ? one->born < other->born
                                                       : one->tid < other->tid;
                     });
    problems.insert(problems.end(), run->problems.begin(), run->problems.end());
  }
  if (tasks.empty()) {
    const std::string why =
        problems.empty() ? "the watcher's records show none of the step's tasks" : problems.front();
    notes.push_back(
        note("schedstat.none", "Scheduler: no CPU view for this step: {why}.", {{"why", why}}));
    return std::nullopt;
  }
  notes.push_back(note("schedstat.source", schedstat_source));
  for (const std::string& problem : problems) {
    notes.push_back(note("schedstat.problem", "Scheduler: {problem}.", {{"problem", problem}}));
  }
  std::map<std::string, int> started;
  for (const WatchedTask* task : tasks) {
    started[task->name] += task->parent == 0 ? 1 : 0;
  }
  Totals totals;
  totals.recording = schedstat_recording;
  std::map<std::string, int> seen;
  for (const WatchedTask* task : tasks) {
    if (totals.rows.size() == most_task_rows) {
      break;
    }
    TaskTotals row;
    row.name = row_name(*task, names, started, seen);
    row.id = task->tid;
    row.process = task->process;
    row.running = micros_of(task->running);
    row.waiting = micros_of(task->waiting);
    // The watcher sees a task made a moment late, once its maker's event reaches it: a task lived
    // at least as long as it ran and waited.
    row.alive = std::max(micros_of(task->ended - task->born), plus(row.running, row.waiting));
    row.asleep = length(plus(row.running, row.waiting), row.alive);
    row.slices = task->slices;
    totals.rows.push_back(std::move(row));
  }
  if (tasks.size() > most_task_rows) {
    notes.push_back(
        note("schedstat.rows_cut", "Only the first {shown} of the step's {tasks} tasks are listed.",
             {{"shown", std::to_string(most_task_rows)}, {"tasks", std::to_string(tasks.size())}}));
  }
  return totals;
}

}  // namespace lens
