// The threads' figure: threetally's main filling its table alone, then making sixteen workers
// and joining them; where the fill's time went; and the workers as the scheduler ran them again.
#include "facts/threads.h"

#include <algorithm>

#include "facts/scheduler.h"
#include "model/build.h"
#include "model/figures.h"
#include "model/scheduler.h"

namespace lens {
namespace {

// The workers, from the end of the fill to main's end.
constexpr Margins workers_margins{20, 50};
// At most this many threads get lanes of their own: a log of thousands of threads (not the
// tour's sixteen) would make a page nobody can read, and a trace file of as many tracks. The
// step line counts them all.
constexpr std::size_t most_worker_lanes = 64;
constexpr Micros micros_per_milli = 1000;

constexpr std::string_view threads_title = "2. Threads: threetally";

// A lane and a life span for each thread that main made, and the count of threads alive.
Counter thread_lanes(Panel& panel, const ThreadFacts& facts) {
  const Lane main_lane = panel.lanes.front();  // a copy: more lanes follow
  Changes changes;
  changes.reserve(facts.workers.size() * 2 + 1);
  for (const Worker& worker : facts.workers) {
    // A thread that never called exit (one a sanitizer's runtime adds) is no worker.
    if (panel.lanes.size() <= most_worker_lanes) {
      panel.lanes.push_back(lane_of(worker.exited ? "threetally worker" : "threetally thread",
                                    worker.tid, Life{worker.begin, worker.end}));
      panel.lanes.back().process = facts.main;
      panel.spans.push_back(span_of(panel.lanes.size() - 1, Shade::alive,
                                    Interval{worker.begin, worker.end}, "thread"));
    }
    changes.emplace_back(worker.begin, 1);
    changes.emplace_back(worker.end, -1);
  }
  changes.emplace_back(main_lane.end, -1);
  Counter alive;
  alive.name = "threads alive";
  alive.process = facts.main;
  alive.levels = step_line(std::move(changes), {main_lane.begin, 1});
  return alive;
}

void threads_notes(Figure& figure, const ThreadFacts& facts) {
  const auto workers = std::count_if(facts.workers.begin(), facts.workers.end(),
                                     [](const Worker& worker) { return worker.exited; });
  const Micros last_creation = facts.workers.back().creation->end;
  figure.notes.push_back(
      note("threads.fill",
           "main asks for huge pages (madvise) and fills the table alone for "
           "{fill} (the fill): no worker exists yet, so nothing else runs.",
           {{"fill", milliseconds(length(*facts.fill_begin, *facts.fill_end))}}));
  figure.notes.push_back(note(
      "threads.workers",
      "Then main makes {workers} workers, one after another, within {made} (magnified below): "
      "each lane is one worker, from its creation to its end. Where lanes overlap, threads count "
      "at the same time; at most {most} threads were alive at once, main included (the step "
      "line).",
      {{"workers", std::to_string(workers)},
       {"made", milliseconds(length(*facts.fill_end, last_creation))},
       {"most", std::to_string(facts.most_alive)}}));
  figure.notes.push_back(note("threads.join",
                              "main's join waits until the last worker has ended; then main "
                              "prints the total and ends."));
}

// Where the fill's time went, from what the tour counted of the run (and of the same step run
// again under perf): the fill makes no system call, so strace does not slow it; the kernel
// clearing the table's fresh pages at their first touch does.
void fill_cost_notes(Figure& figure, const RunCost& cost, const std::optional<RunCost>& again) {
  figure.notes.push_back(note(
      "threads.fill_cost",
      "The fill makes no system call, so strace, which stops a program only at its calls, does "
      "not slow it. Its time is the kernel's: this run spent {system} in the kernel (and {user} "
      "in its own code) for {faults} page faults (strace's own included). Most of that kernel "
      "time is the clearing of the table's 256 MiB of fresh memory, page by page (128 pages of 2 "
      "MiB where huge pages were granted), as main first touches it.",
      {{"system", milliseconds(cost.system_ms * micros_per_milli)},
       {"user", milliseconds(cost.user_ms * micros_per_milli)},
       {"faults", std::to_string(cost.faults)}}));
  if (again) {
    figure.notes.push_back(note(
        "threads.fill_cost_again",
        "Run again under perf, the step spent {system} in the kernel for {faults} page faults: "
        "clearing memory is quick where the machine has just used it, and slow where the memory "
        "comes cold (on a virtual machine, from its host).",
        {{"system", milliseconds(again->system_ms * micros_per_milli)},
         {"faults", std::to_string(again->faults)}}));
  }
}

}  // namespace

Figure threads_figure(const StepRecords& records) {
  const std::optional<Log>& recorded = records.logs[0];
  if (!recorded) {
    return not_recorded(Mechanism::threads, std::string(threads_title),
                        "threetally's run was not recorded.");
  }
  const Log& log = *recorded;
  const ThreadFacts facts = find_threads(log);
  if (!facts.fill_begin || !facts.fill_end || facts.workers.empty()) {
    return not_recorded(Mechanism::threads, std::string(threads_title),
                        "threetally's log shows no huge-page advice, or no thread made.");
  }
  Figure figure = figure_of(Mechanism::threads, std::string(threads_title));
  Panel panel = strace_panel(Window{log.first, log.last});
  panel.lanes.push_back(lane_of("threetally main", facts.main, program_life(log)));
  const Micros main_end = panel.lanes.front().end;
  panel.spans.push_back(
      span_of(0, Shade::busy, Interval{*facts.fill_begin, *facts.fill_end}, "fill"));
  panel.counters.push_back(thread_lanes(panel, facts));
  if (const auto join = join_of(log, facts)) {
    panel.spans.push_back(span_of(0, Shade::blocked, *join, "join"));
  }
  const Micros workers = length(*facts.fill_end, main_exit(log, facts));
  panel.magnified = Stretch{Window{minus(*facts.fill_end, workers / workers_margins.before),
                                   plus(main_end, workers / workers_margins.after)},
                            {},
                            "Magnified: the workers, from the end of the fill to main's end"};
  panel.overview_lanes = 1;
  panel.overview_counters = false;
  threads_notes(figure, facts);
  if (records.strace_cost) {
    fill_cost_notes(figure, *records.strace_cost, records.sched_cost);
  }
  if (facts.workers.size() > most_worker_lanes) {
    figure.notes.push_back(note("threads.lanes_cut",
                                "Only main and the first {shown} of its {threads} threads are "
                                "drawn as lanes; the step line counts them all.",
                                {{"shown", std::to_string(most_worker_lanes)},
                                 {"threads", std::to_string(facts.workers.size())}}));
  }
  figure.panels.push_back(std::move(panel));
  return figure;
}

void threads_scheduler(Figure& figure, const SchedRun& record) {
  Panel panel = scheduler_panel(record, LaneNames{"main", "", "worker", true}, figure.notes);
  if (panel.lanes.empty()) {
    figure.panels.push_back(std::move(panel));
    return;
  }
  const int main = panel.lanes.front().id;
  Micros first_born = panel.time.end;
  Micros last_born = 0;
  std::vector<Micros> ran;
  for (const SchedThread& thread : record.threads) {
    if (thread.parent == main) {
      first_born = std::min(first_born, thread.born);
      last_born = std::max(last_born, thread.born);
      ran.push_back(thread.running);
    }
  }
  Micros filled = 0;
  const std::vector<SchedSpan>& main_spans = spans_of(record, panel.lanes.front());
  for (const SchedSpan& span : main_spans) {
    if (span.doing == Doing::running && span.end <= first_born) {
      filled += span.end - span.begin;
    }
  }
  Counter running{"running at once", main, {}, record.cpus, std::to_string(record.cpus) + " CPUs"};
  for (const SchedStep& step : record.running_at_once) {
    running.levels.push_back(Level{step.at, step.count});
  }
  Counter alive{"alive at once", main, {}, std::nullopt, ""};
  for (const SchedStep& step : record.alive_at_once) {
    alive.levels.push_back(Level{step.at, step.count});
  }
  panel.counters.push_back(std::move(running));
  panel.counters.push_back(std::move(alive));
  figure.notes.push_back(note("threads.cpu_fill",
                              "Scheduler: main ran {filled} on a CPU before its first worker (the "
                              "fill), alone.",
                              {{"filled", duration(filled)}}));
  if (!ran.empty()) {
    const int at_once = most_at_once(record.running_at_once);
    const bool crowded = at_once < record.cpus && most_at_once(record.others_at_once) > 0;
    const auto [least, most] = std::minmax_element(ran.begin(), ran.end());
    figure.notes.push_back(note(
        "threads.cpu_workers",
        "Scheduler: on this machine's {cpus} CPUs at most {running} of threetally's threads ran "
        "at once{crowded}, while up to {alive} were alive: the others waited for a CPU (hatched). "
        "Each of the {workers} workers ran for {least} to {most} in all, the colour saying on "
        "which CPU.",
        {{"cpus", std::to_string(record.cpus)},
         {"running", std::to_string(at_once)},
         {"crowded", crowded ? " (other tasks of the machine held CPUs too)" : ""},
         {"alive", std::to_string(most_at_once(record.alive_at_once))},
         {"workers", std::to_string(ran.size())},
         {"least", duration(*least)},
         {"most", duration(*most)}}));
    const Micros stretch = std::max<Micros>(panel.time.end - first_born, 1);
    panel.overview_lanes = 1;
    panel.overview_counters = false;
    panel.magnified =
        Stretch{Window{std::max<Micros>(0, first_born - stretch / workers_margins.before),
                       panel.time.end + stretch / workers_margins.after},
                {},
                "Magnified: the workers, as the scheduler ran them"};
  }
  // main's join: its last sleep after the last worker began, ended by one of the workers.
  const SchedSpan* join = woken_sleep(main_spans, 0, last_born);
  const auto waker = join != nullptr ? lane_with(panel, join->waker) : std::nullopt;
  if (join != nullptr && waker && *waker != 0) {
    add_wake(panel, record, 0, *join);
    figure.notes.push_back(note(
        "threads.cpu_join",
        "Scheduler: main's join slept {slept} until worker {worker}, the "
        "last to end, woke it (the arrow).",
        {{"slept", duration(join->end - join->begin)}, {"worker", std::to_string(join->waker)}}));
  }
  figure.panels.push_back(std::move(panel));
}

// The CPU count, and what the workers' rows say together: how many threads lived at once, and how
// long each worker ran and waited for a CPU.
void threads_schedstat(Figure& figure, const WatchedRuns& runs) {
  std::optional<Totals> totals =
      schedstat_totals(runs, LaneNames{"main", "", "worker", true}, figure.notes);
  const std::optional<WatchRecord>& run = runs[0];
  if (!totals || !run) {
    return;
  }
  if (run->cpus > 0) {
    totals->cpus = run->cpus;
  }
  const auto main = std::find_if(run->tasks.begin(), run->tasks.end(),
                                 [](const WatchedTask& task) { return task.parent == 0; });
  std::vector<const WatchedTask*> workers;
  Changes changes;
  for (const WatchedTask& task : run->tasks) {
    if (main != run->tasks.end() && task.process == main->tid) {
      changes.emplace_back(task.born, 1);
      changes.emplace_back(task.ended, -1);
      if (task.tid != main->tid) {
        workers.push_back(&task);
      }
    }
  }
  if (!workers.empty()) {
    const auto by_running = [](const WatchedTask* one, const WatchedTask* other) {
      return one->running < other->running;
    };
    const auto by_waiting = [](const WatchedTask* one, const WatchedTask* other) {
      return one->waiting < other->waiting;
    };
    const auto [least, most] = std::minmax_element(workers.begin(), workers.end(), by_running);
    const auto [least_wait, most_wait] =
        std::minmax_element(workers.begin(), workers.end(), by_waiting);
    Micros ran = 0;
    Micros waited = 0;
    for (const WatchedTask* worker : workers) {
      ran = plus(ran, worker->running / nanos_per_micro);
      waited = plus(waited, worker->waiting / nanos_per_micro);
    }
    figure.notes.push_back(note(
        "threads.schedstat_workers",
        "Scheduler (schedstat): up to {alive} of threetally's threads were alive at once, with "
        "{cpus} to run them: each of its {workers} workers ran {least} to {most} on a CPU, and "
        "waited {least_wait} to {most_wait} for one ({waited} of waiting in all, for {ran} of "
        "running).",
        {{"alive", std::to_string(highest(step_line(std::move(changes), {0, 0})))},
         {"cpus", run->cpus > 0 ? std::to_string(run->cpus) + " CPUs" : "the machine's CPUs"},
         {"workers", std::to_string(workers.size())},
         {"least", duration((*least)->running / nanos_per_micro)},
         {"most", duration((*most)->running / nanos_per_micro)},
         {"least_wait", duration((*least_wait)->waiting / nanos_per_micro)},
         {"most_wait", duration((*most_wait)->waiting / nanos_per_micro)},
         {"waited", duration(waited)},
         {"ran", duration(ran)}}));
  }
  figure.totals = std::move(totals);
}

std::vector<Figure> tallyrace_figures(const LessonRecords& /*records*/) {
  return {};  // tallyrace's race is told from its output; its log holds nothing to draw
}

}  // namespace lens
