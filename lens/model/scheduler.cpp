#include "model/scheduler.h"

#include <algorithm>
#include <map>
#include <string>

#include "facts/scheduler.h"
#include "model/build.h"
#include "model/figures.h"

namespace lens {
namespace {

// At most this many tasks get lanes of their own (the tour's steps have up to 17); a record of
// thousands would make a panel nobody can read. The step lines count them all.
constexpr std::size_t most_lanes = 64;

constexpr std::string_view costs =
    "The scheduler's view below is the same step run again without strace, recorded by perf "
    "(the kernel's sched: events): real times, and which CPU ran each thread, but no system "
    "calls. Its pids differ from strace's run.";

std::string cpus_of(const SchedThread& thread) {
  std::string text = thread.cpus.size() == 1 ? "CPU" : "CPUs";
  for (const int cpu : thread.cpus) {
    text += ' ';
    text += std::to_string(cpu);
  }
  return text;
}

std::string lane_name(const SchedRun& record, const SchedThread& thread, const LaneNames& names,
                      std::map<std::string, int>& seen) {
  if (!is_root(record, thread)) {
    if (!names.child_name.empty()) {
      return std::string(names.child_name);
    }
    return names.child_role.empty() ? thread.comm
                                    : thread.comm + " " + std::string(names.child_role);
  }
  if (!names.root_role.empty()) {
    return thread.comm + " " + std::string(names.root_role);
  }
  const int number = ++seen[thread.comm];
  const auto starts =
      std::count_if(record.threads.begin(), record.threads.end(), [&](const SchedThread& other) {
        return is_root(record, other) && other.comm == thread.comm;
      });
  return starts > 1 ? thread.comm + " " + std::to_string(number) : thread.comm;
}

// The names of the tasks that woke the step's tasks, by tid.
std::map<int, std::string> wakers_of(const SchedRun& record) {
  std::map<int, std::string> wakers;
  for (const WakeUp& wakeup : record.wakeups) {
    wakers.emplace(wakeup.waker, wakeup.waker_comm);
  }
  return wakers;
}

// Who woke a sleep, where the record says: "asleep, woken by gategive"; a task that is none of
// the step's is not named.
std::string sleep_label(const SchedSpan& span, const std::map<int, std::string>& wakers,
                        const SchedRun& record) {
  if (span.waker == 0) {
    return "asleep, woken by an interrupt";
  }
  if (span.waker > 0 && record.thread(span.waker) == nullptr) {
    return "asleep, woken by another task";
  }
  const auto waker = wakers.find(span.waker);
  return waker != wakers.end() && span.waker > 0 ? "asleep, woken by " + waker->second : "asleep";
}

Span span_from(std::size_t lane, const SchedSpan& span, const std::map<int, std::string>& wakers,
               const SchedRun& record) {
  Span drawn;
  drawn.lane = lane;
  drawn.begin = span.begin;
  drawn.end = std::max(span.begin, span.end);
  switch (span.doing) {
    case Doing::running:
      drawn.shade = Shade::running;
      drawn.cpu = span.cpu;
      break;
    case Doing::runnable:
      drawn.shade = Shade::runnable;
      break;
    case Doing::asleep:
      drawn.shade = Shade::asleep;
      drawn.label = sleep_label(span, wakers, record);
      break;
  }
  return drawn;
}

}  // namespace

Panel scheduler_panel(const SchedRun& record, const LaneNames& names, std::vector<Note>& notes) {
  Panel panel;
  panel.source = Source::scheduler;
  panel.recording = scheduler_recording;
  notes.push_back(note("scheduler.costs", costs));
  for (const std::string& problem : record.problems) {
    notes.push_back(note("scheduler.problem", "Scheduler: {problem}.", {{"problem", problem}}));
  }
  const auto wakers = wakers_of(record);
  std::map<std::string, int> seen;
  for (const SchedThread& thread : record.threads) {
    const Micros last = thread.spans.empty() ? thread.born : thread.spans.back().end;
    const Micros end = std::max(thread.ended.value_or(last), thread.born);
    panel.time.end = std::max(panel.time.end, end);
    if (panel.lanes.size() == most_lanes) {
      continue;
    }
    const bool root = is_root(record, thread);
    Lane lane = lane_of(lane_name(record, thread, names, seen), thread.tid, Life{thread.born, end});
    lane.program = thread.comm;
    lane.compact = !root && names.compact_children;
    lane.summary = lane.compact ? duration(thread.running)
                                : "ran " + duration(thread.running) + ", " + cpus_of(thread);
    const std::size_t index = panel.lanes.size();
    panel.lanes.push_back(std::move(lane));
    for (const SchedSpan& span : thread.spans) {
      panel.spans.push_back(span_from(index, span, wakers, record));
    }
  }
  return panel;
}

std::optional<std::size_t> lane_with(const Panel& panel, int tid) {
  for (std::size_t index = 0; index < panel.lanes.size(); ++index) {
    if (panel.lanes[index].id == tid) {
      return index;
    }
  }
  return std::nullopt;
}

KernelText kernel_text(const SchedRun& record) {
  // Above every pid the kernel gives (PID_MAX_LIMIT is 2^22): no other task's number is taken
  // for a pid of the machine's.
  constexpr int first_other = 4194304 + 1;
  std::map<int, int> others;
  const auto hidden = [&](KernelTask& task) {
    if (task.pid <= 0 || record.thread(task.pid) != nullptr) {
      return;  // the idle task, a task not known, or one of the step's
    }
    const auto [found, added] =
        others.emplace(task.pid, first_other + static_cast<int>(others.size()));
    task.pid = found->second;
    task.comm = "other";
  };
  KernelText text{record.kernel, record.clock};
  for (KernelEvent& event : text.events) {
    hidden(event.current);
    hidden(event.next);
  }
  return text;
}

const std::vector<SchedSpan>& spans_of(const SchedRun& record, const Lane& lane) {
  static const std::vector<SchedSpan> none;
  const SchedThread* thread = record.thread(lane.id);
  return thread != nullptr ? thread->spans : none;
}

std::optional<Micros> add_wake(Panel& panel, const SchedRun& record, std::size_t sleeper,
                               const SchedSpan& sleep) {
  const auto waker = lane_with(panel, sleep.waker);
  const auto ran = ran_after(spans_of(record, panel.lanes[sleeper]), sleep.end);
  if (!waker || !ran) {
    return std::nullopt;
  }
  Arrow arrow;
  arrow.carries = Carries::wake_up;
  arrow.from_lane = *waker;
  arrow.from = sleep.end;
  arrow.to_lane = sleeper;
  arrow.to = *ran;
  panel.arrows.push_back(arrow);
  return *ran - sleep.end;
}

}  // namespace lens
