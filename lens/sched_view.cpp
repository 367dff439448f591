#include "sched_view.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>

#include "diagrams.h"

namespace lens {
namespace {

// At most this many tasks get lanes of their own (the tour's steps have up to 17); a record of
// thousands would make a panel nobody can read. The step lines count them all.
constexpr std::size_t most_lanes = 64;
// The magnified stretch around a wake-up: four times its latency on each side, at least 200 µs.
constexpr Micros wake_up_margin_factor = 4;
constexpr Micros least_wake_up_margin = 200;
// The workers' stretch: 1/20 of it ahead of the first worker, 1/50 behind main's end.
constexpr Micros workers_before = 20;
constexpr Micros workers_after = 50;
constexpr Micros micros_per_milli = 1000;
// The most processes a step starts that a .pids file may name (the segment step starts four).
constexpr std::size_t most_started = 16;
// The most a pid can be (the kernel's PID_MAX_LIMIT).
constexpr int most_pid = 4194304;

constexpr std::string_view scheduler_costs =
    "The scheduler's view below is the same step run again without strace, recorded by perf "
    "(the kernel's sched: events): real times, and which CPU ran each thread, but no system "
    "calls. Its pids differ from strace's run.";

// A pid as the tour wrote it, from 1 up.
std::optional<int> whole_number(const std::string& text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > most_pid) {
    return std::nullopt;
  }
  return value;
}

// "79 µs" below a millisecond, "1.55 ms" from one on.
std::string duration(Micros time) {
  return time < micros_per_milli ? std::to_string(time) + " \u00b5s" : milliseconds(time);
}

// The step's threads whose parent is none of the step's: the programs the tour started.
bool is_root(const SchedRun& record, const SchedThread& thread) {
  return thread.parent == 0 || record.thread(thread.parent) == nullptr;
}

std::string cpus_of(const SchedThread& thread) {
  std::string text = thread.cpus.size() == 1 ? "CPU" : "CPUs";
  for (const int cpu : thread.cpus) {
    text += ' ';
    text += std::to_string(cpu);
  }
  return text;
}

// A lane's name: the program, numbered where the step starts it more than once ("gatetake 2");
// the pipe's child and the threads' workers by their part; the shells and ipcs by their name.
std::string lane_name(const SchedRun& record, const SchedThread& thread, std::string_view mechanism,
                      std::map<std::string, int>& seen) {
  if (!is_root(record, thread)) {
    if (mechanism == "pipe") {
      return thread.comm + " child";
    }
    return mechanism == "threads" ? "worker" : thread.comm;
  }
  const int number = ++seen[thread.comm];
  const auto starts =
      std::count_if(record.threads.begin(), record.threads.end(), [&](const SchedThread& other) {
        return is_root(record, other) && other.comm == thread.comm;
      });
  if (mechanism == "pipe") {
    return thread.comm + " parent";
  }
  if (mechanism == "threads") {
    return thread.comm + " main";
  }
  return starts > 1 ? thread.comm + " " + std::to_string(number) : thread.comm;
}

CpuView lanes_of(const SchedRun& record, std::string_view mechanism) {
  CpuView view;
  view.cpus = record.cpus;
  view.clock = record.clock;
  view.kernel = record.kernel;
  std::map<std::string, int> seen;
  for (const SchedThread& thread : record.threads) {
    const Micros last = thread.spans.empty() ? thread.born : thread.spans.back().end;
    const Micros end = std::max(thread.ended.value_or(last), thread.born);
    view.end = std::max(view.end, end);
    if (view.lanes.size() == most_lanes) {
      continue;
    }
    CpuLane lane{
        lane_name(record, thread, mechanism, seen),      thread.tid, thread.born, end, thread.spans,
        !is_root(record, thread) && mechanism != "pipe", ""};
    lane.summary = lane.compact ? duration(thread.running)
                                : "ran " + duration(thread.running) + ", " + cpus_of(thread);
    view.lanes.push_back(std::move(lane));
  }
  for (const WakeUp& wakeup : record.wakeups) {
    view.wakers.emplace(wakeup.waker, wakeup.waker_comm);
  }
  return view;
}

std::optional<std::size_t> lane_of(const CpuView& view, int tid) {
  for (std::size_t index = 0; index < view.lanes.size(); ++index) {
    if (view.lanes[index].tid == tid) {
      return index;
    }
  }
  return std::nullopt;
}

// The sleep of `sleeper` that a task of the step ended by waking it, where `waker` is that task
// (any of the step's, where waker is 0); the last such sleep after `after`.
const SchedSpan* woken_sleep(const CpuLane& sleeper, int waker, Micros after) {
  const SchedSpan* found = nullptr;
  for (const SchedSpan& span : sleeper.spans) {
    if (span.doing == Doing::asleep && span.waker > 0 && span.begin >= after &&
        (waker == 0 || span.waker == waker)) {
      found = &span;
    }
  }
  return found;
}

// When the woken thread next ran after the wake-up at `at`.
std::optional<Micros> ran_after(const CpuLane& lane, Micros at) {
  for (const SchedSpan& span : lane.spans) {
    if (span.doing == Doing::running && span.begin >= at) {
      return span.begin;
    }
  }
  return std::nullopt;
}

// The arrow of a sleep's wake-up, where its waker has a lane; the latency, where it ran again.
std::optional<Micros> add_wake(CpuView& view, std::size_t sleeper, const SchedSpan& sleep) {
  const auto waker = lane_of(view, sleep.waker);
  const auto ran = ran_after(view.lanes[sleeper], sleep.end);
  if (!waker || !ran) {
    return std::nullopt;
  }
  view.wakes.push_back(CpuWake{*waker, sleeper, sleep.end, *ran});
  return *ran - sleep.end;
}

void pipe_view(CpuView& view, std::vector<std::string>& notes) {
  if (view.lanes.size() < 2) {
    return;
  }
  const SchedSpan* sleep = woken_sleep(view.lanes[1], view.lanes[0].tid, view.lanes[1].begin);
  if (sleep == nullptr) {
    notes.emplace_back(
        "Scheduler: this time forkrelay's child never slept waiting for the record: the "
        "parent's write came before the child's read, so the read found it in the pipe.");
    return;
  }
  const auto latency = add_wake(view, 1, *sleep);
  notes.push_back("Scheduler: the child slept " + duration(sleep->end - sleep->begin) +
                  " in its read until the parent's write woke it (the arrow)" +
                  (latency ? "; it ran " + duration(*latency) + " later" : std::string()) + ".");
}

}  // namespace

SchedSelect step_select(const std::filesystem::path& pids) {
  SchedSelect select;
  std::ifstream file(pids);
  for (std::string line; select.started.size() < most_started && std::getline(file, line);) {
    std::istringstream words(line);
    std::string pid;
    std::string parent;
    std::string more;
    if (words >> pid >> parent && !(words >> more)) {
      const auto process = whole_number(pid);
      const auto shell = whole_number(parent);
      if (process && shell) {
        select.started.push_back(Started{*process, *shell});
      }
    }
  }
  return select;
}

void read_sched_records(const std::filesystem::path& dir, Run& run) {
  const auto read = [&dir](const std::string& step) {
    return read_sched((dir / (step + ".perf")).string(), step_select(dir / (step + ".pids")));
  };
  run.pipe_sched = read("1-pipe");
  run.threads_sched = read("2-threads");
  run.segment_sched = read("3-segment");
  run.semaphore_sched = read("4-semaphore");
}

namespace {

// main's join: its last sleep after the last worker began, ended by one of the workers.
void join_note(CpuView& view, Micros last_born, std::vector<std::string>& notes) {
  const SchedSpan* join = woken_sleep(view.lanes.front(), 0, last_born);
  const auto waker = join != nullptr ? lane_of(view, join->waker) : std::nullopt;
  if (join == nullptr || !waker || *waker == 0) {
    return;
  }
  add_wake(view, 0, *join);
  notes.push_back("Scheduler: main's join slept " + duration(join->end - join->begin) +
                  " until worker " + std::to_string(join->waker) +
                  ", the last to end, woke it (the arrow).");
}

// How many of threetally's threads ran at once, beside how many lived, and how long each worker
// ran: fewer than the CPUs ran at once where the machine's other tasks held the rest.
void workers_note(const SchedRun& record, const std::vector<Micros>& ran,
                  std::vector<std::string>& notes) {
  const int running = most_at_once(record.running_at_once);
  const bool crowded = running < record.cpus && most_at_once(record.others_at_once) > 0;
  const auto [least, most] = std::minmax_element(ran.begin(), ran.end());
  notes.push_back("Scheduler: on this machine's " + std::to_string(record.cpus) + " CPUs at most " +
                  std::to_string(running) + " of threetally's threads ran at once" +
                  (crowded ? " (other tasks of the machine held CPUs too)" : "") +
                  ", while up to " + std::to_string(most_at_once(record.alive_at_once)) +
                  " were alive: the others waited for a CPU (hatched). Each of the " +
                  std::to_string(ran.size()) + " workers ran for " + duration(*least) + " to " +
                  duration(*most) + " in all, the colour saying on which CPU.");
}

void threads_view(CpuView& view, const SchedRun& record, std::vector<std::string>& notes) {
  Micros first_born = view.end;
  Micros last_born = 0;
  std::vector<Micros> ran;
  for (const SchedThread& thread : record.threads) {
    if (thread.parent == view.lanes.front().tid) {
      first_born = std::min(first_born, thread.born);
      last_born = std::max(last_born, thread.born);
      ran.push_back(thread.running);
    }
  }
  Micros filled = 0;
  for (const SchedSpan& span : view.lanes.front().spans) {
    if (span.doing == Doing::running && span.end <= first_born) {
      filled += span.end - span.begin;
    }
  }
  view.lines.push_back(CpuLine{"running at once", record.running_at_once});
  view.lines.push_back(CpuLine{"alive at once", record.alive_at_once});
  notes.push_back("Scheduler: main ran " + duration(filled) + " on a CPU before its first worker " +
                  "(the fill), alone.");
  if (!ran.empty()) {
    workers_note(record, ran, notes);
    const Micros stretch = std::max<Micros>(view.end - first_born, 1);
    view.overview_lanes = 1;
    view.detail_begin = std::max<Micros>(0, first_born - stretch / workers_before);
    view.detail_end = view.end + stretch / workers_after;
    view.detail_caption = "Magnified: the workers, as the scheduler ran them";
  }
  join_note(view, last_born, notes);
}

void segment_view(const CpuView& view, std::vector<std::string>& notes) {
  Micros running = 0;
  for (const CpuLane& lane : view.lanes) {
    for (const SchedSpan& span : lane.spans) {
      running += span.doing == Doing::running ? span.end - span.begin : 0;
    }
  }
  notes.push_back("Scheduler: all the step's processes (the shells and ipcs included) ran " +
                  duration(running) + " on a CPU in all, out of " + duration(view.end) +
                  "; the rest of the time they slept, at their pauses and waits.");
}

// The sleeps of the waiting gatetake that make up its wait, up to the one that ended at index
// `last`: the sleeps before it in the same state that other tasks ended (another user of the
// semaphore's memory can wake its futex: each time the value was still 0, and it slept again).
// The first of them, and how many there are before `last`.
std::pair<std::size_t, int> wait_of(const std::vector<SchedSpan>& spans, std::size_t last,
                                    int giver) {
  std::size_t first = last;
  int spurious = 0;
  for (std::size_t index = last; index-- > 0;) {
    const SchedSpan& span = spans[index];
    if (span.doing != Doing::asleep) {
      continue;
    }
    if (span.how != spans[last].how || span.waker == giver) {
      break;
    }
    first = index;
    ++spurious;
  }
  return {first, spurious};
}

std::string times_text(int count) {
  return count == 1 ? "once" : count == 2 ? "twice" : std::to_string(count) + " times";
}

void semaphore_view(CpuView& view, const SchedRun& record, std::vector<std::string>& notes) {
  for (const WakeUp& post : record.wakeups) {
    const SchedThread* giver = record.thread(post.waker);
    const SchedThread* woken = record.thread(post.woken);
    const auto taker = lane_of(view, post.woken);
    if (giver == nullptr || woken == nullptr || giver->comm != "gategive" ||
        woken->comm != "gatetake" || !taker || !post.latency()) {
      continue;
    }
    const std::vector<SchedSpan>& spans = view.lanes[*taker].spans;
    const auto sleep = std::find_if(spans.begin(), spans.end(), [&post](const SchedSpan& span) {
      return span.doing == Doing::asleep && span.end == post.at && span.waker == post.waker;
    });
    if (sleep == spans.end() || !add_wake(view, *taker, *sleep)) {
      continue;
    }
    const auto [first, spurious] =
        wait_of(spans, static_cast<std::size_t>(sleep - spans.begin()), post.waker);
    notes.push_back("gategive woke the waiting gatetake; it ran " + duration(*post.latency()) +
                    " later (scheduler, real time), after sleeping " +
                    duration(post.at - spans[first].begin) + ".");
    if (spurious > 0) {
      notes.push_back("Scheduler: before gategive's post, another task woke the waiting gatetake " +
                      times_text(spurious) +
                      " and it slept again: the value was still 0. Those wake-ups had no post "
                      "behind them (anyone who can map the semaphore can wake its waiters).");
    }
    const Micros around = std::max(*post.latency() * wake_up_margin_factor, least_wake_up_margin);
    view.overview_lanes = view.lanes.size();
    view.detail_begin = std::max<Micros>(0, post.at - around);
    view.detail_end = *post.ran + around;
    view.detail_lanes = {*taker, view.wakes.back().from};
    view.detail_caption = "Magnified: gategive's post and the wake-up, as the scheduler saw them";
    return;
  }
  notes.emplace_back(
      "Scheduler: this time no wake-up of a waiting gatetake by gategive was recorded.");
}

}  // namespace

void add_scheduler_view(Diagram& diagram, const std::optional<SchedRun>& record) {
  if (!diagram.missing.empty()) {
    return;
  }
  diagram.recording = strace_recording;
  if (!record) {
    return;
  }
  if (record->threads.empty()) {
    const std::string why =
        record->problems.empty() ? "it shows none of the step's tasks" : record->problems.front();
    diagram.notes.push_back("Scheduler: no CPU view for this step: " + why + ".");
    return;
  }
  CpuView view = lanes_of(*record, diagram.mechanism);
  std::vector<std::string> notes{std::string(scheduler_costs)};
  for (const std::string& problem : record->problems) {
    notes.push_back("Scheduler: " + problem + ".");
  }
  if (diagram.mechanism == "pipe") {
    pipe_view(view, notes);
  } else if (diagram.mechanism == "threads") {
    threads_view(view, *record, notes);
  } else if (diagram.mechanism == "segment") {
    segment_view(view, notes);
  } else {
    semaphore_view(view, *record, notes);
  }
  diagram.notes.insert(diagram.notes.end(), notes.begin(), notes.end());
  diagram.cpu = std::move(view);
}

}  // namespace lens
