// The pipe's figures: forkrelay's parent making the pipe, forking and writing the record that
// its child reads; as the scheduler ran it again; and relaykeep's read that never returns.
#include "facts/pipe.h"

#include <algorithm>

#include "facts/scheduler.h"
#include "model/build.h"
#include "model/figures.h"
#include "model/scheduler.h"

namespace lens {
namespace {

// From pipe2 to the end of forkrelay: a little room before the pipe, less after the exits.
constexpr Margins pipe_margins{25, 50};

constexpr std::string_view pipe_title = "1. Pipe: forkrelay";

// "128 bytes": what the write put into the pipe.
std::string bytes_written(const Call& write) {
  const auto bytes = write.number();
  return bytes && *bytes >= 0 ? std::to_string(*bytes) + " bytes" : std::string("bytes");
}

void pipe_lanes(Panel& panel, const Log& log, const PipeFacts& facts) {
  panel.lanes.push_back(lane_of("forkrelay parent", facts.parent, program_life(log)));
  panel.lanes.push_back(
      lane_of("forkrelay child", facts.child, life_of(log, facts.child, *facts.fork, log.last)));
  panel.marks.push_back(Mark{0, facts.pipe->begin, facts.pipe->name});
  panel.marks.push_back(Mark{0, facts.fork->begin, "fork"});
  for (std::size_t lane = 0; lane < panel.lanes.size(); ++lane) {
    if (const auto ended = log.ended(panel.lanes[lane].id)) {
      panel.marks.push_back(Mark{lane, *ended, "exit"});
    }
  }
}

// The write, the read and the record between them; and the note on who waited for it.
void pipe_record(Figure& figure, Panel& panel, const Call& write, const Call& read) {
  const bool waited = read_waited(write, read);
  const Span sent = span_of(0, Shade::busy, interval_of(write), "write");
  const Span received =
      span_of(1, waited ? Shade::blocked : Shade::busy, interval_of(read), "read");
  panel.spans.push_back(sent);
  panel.spans.push_back(received);
  const std::string bytes = bytes_written(write);
  panel.arrows.push_back(
      arrow_between(sent, received, waited ? Carries::bytes_waking : Carries::bytes, bytes));
  if (waited) {
    figure.notes.push_back(
        note("pipe.read_waited",
             "The child's read (hatched) began {before} before the parent's "
             "write: the child slept in the kernel until the {bytes} came, and "
             "the arrow shows them arrive.",
             {{"before", milliseconds(length(read.begin, write.begin))}, {"bytes", bytes}}));
  } else {
    figure.notes.push_back(
        note("pipe.write_first",
             "This time the parent's write came first: the {bytes} (the arrow) "
             "were already in the pipe when the child read, so its read did not "
             "wait and took only {took}. Run it again: on another run the child "
             "may be the one that waits.",
             {{"bytes", bytes}, {"took", milliseconds(length(read.begin, read.end))}}));
  }
}

}  // namespace

Figure pipe_figure(const StepRecords& records) {
  const std::optional<Log>& recorded = records.logs[0];
  if (!recorded) {
    return not_recorded(Mechanism::pipe, std::string(pipe_title),
                        "forkrelay's run was not recorded.");
  }
  const Log& log = *recorded;
  const auto facts = find_pipe(log);
  if (!facts || facts->parent != log.main_pid) {
    return not_recorded(Mechanism::pipe, std::string(pipe_title),
                        "forkrelay's log shows no pipe and fork.");
  }
  Figure figure = figure_of(Mechanism::pipe, std::string(pipe_title));
  Panel panel = strace_panel(Window{log.first, log.last});
  pipe_lanes(panel, log, *facts);
  figure.notes.push_back(note("pipe.made",
                              "The parent makes the pipe ({call}) and forks: from the fork on "
                              "there are two lanes, the parent and its child, each with its own "
                              "pid.",
                              {{"call", facts->pipe->name}}));
  if (facts->write != nullptr && facts->read != nullptr) {
    pipe_record(figure, panel, *facts->write, *facts->read);
  } else {
    figure.notes.push_back(
        note("pipe.unseen", "The log shows no write of the record into the pipe, or no read."));
  }
  figure.notes.push_back(
      note("pipe.ends",
           "Each process ends on its own (exit); the parent does not wait for its "
           "child."));
  // Loading the program takes most of the run: the pipe's part is drawn again, magnified.
  panel.magnified = Stretch{with_margins(facts->pipe->begin, log.last, pipe_margins),
                            {},
                            "Magnified: from " + facts->pipe->name + " to the end"};
  panel.overview_lanes = panel.lanes.size();
  figure.panels.push_back(std::move(panel));
  return figure;
}

void pipe_scheduler(Figure& figure, const SchedRun& record) {
  Panel panel = scheduler_panel(record, LaneNames{"parent", "child", "", false}, figure.notes);
  if (panel.lanes.size() >= 2) {
    const std::vector<SchedSpan>& spans = spans_of(record, panel.lanes[1]);
    const SchedSpan* sleep = woken_sleep(spans, panel.lanes[0].id, panel.lanes[1].begin);
    if (sleep == nullptr) {
      figure.notes.push_back(note("pipe.cpu_no_sleep",
                                  "Scheduler: this time forkrelay's child never slept waiting for "
                                  "the record: the parent's write came before the child's read, "
                                  "so the read found it in the pipe."));
    } else if (const auto latency = add_wake(panel, record, 1, *sleep)) {
      figure.notes.push_back(
          note("pipe.cpu_woken",
               "Scheduler: the child slept {slept} in its read until the "
               "parent's write woke it (the arrow); it ran {latency} later.",
               {{"slept", duration(sleep->end - sleep->begin)}, {"latency", duration(*latency)}}));
    } else {
      figure.notes.push_back(note("pipe.cpu_woken",
                                  "Scheduler: the child slept {slept} in its read until the "
                                  "parent's write woke it.",
                                  {{"slept", duration(sleep->end - sleep->begin)}}));
    }
  }
  figure.panels.push_back(std::move(panel));
}

void pipe_schedstat(Figure& figure, const WatchedRuns& runs) {
  figure.totals = schedstat_totals(runs, LaneNames{"parent", "child", "", false}, figure.notes);
}

std::vector<Figure> relaykeep_figures(const LessonRecords& records) {
  if (!records.log) {
    return {};
  }
  const Log& log = *records.log;
  const auto facts = find_relay(log);
  if (!facts) {
    return {};
  }
  Figure figure = figure_of(Mechanism::pipe, "Lesson: relaykeep, the read that never returns");
  Panel panel = strace_panel(Window{log.first, log.last});
  panel.lanes.push_back(lane_of("relaykeep parent", facts->parent, facts->parent_life));
  panel.lanes.push_back(lane_of("relaykeep child", facts->child, facts->child_life));
  const Micros ended = panel.lanes.back().end;
  const Interval read = interval_of(*facts->read);
  const Micros read_end = facts->read_returned ? read.end : ended;
  panel.spans.push_back(span_of(1, Shade::blocked, Interval{read.begin, read_end}, "read"));
  for (const Call* call : facts->parent_calls) {
    const bool wchan = call->name == "openat";
    panel.marks.push_back(Mark{0, call->begin,
                               wchan                 ? "wchan"
                               : call == facts->fork ? "fork"
                                                     : call->name});
  }
  panel.marks.push_back(Mark{1, ended, facts->read_returned ? "exit" : "killed"});
  figure.notes.push_back(note("relaykeep.made",
                              "The parent makes the pipe and forks, then closes both its ends "
                              "without writing. The child keeps its own write end and reads "
                              "(hatched)."));
  if (facts->read_returned) {
    figure.notes.push_back(note("relaykeep.returned",
                                "This time the child's read returned: a write end closed "
                                "everywhere after all."));
  } else {
    figure.notes.push_back(note("relaykeep.endless",
                                "The read never returns: strace shows it unfinished for {for}, "
                                "until the parent's kill ends the child. A read ends with "
                                "end-of-file only once no write end is open anywhere, and the "
                                "child holds one.",
                                {{"for", milliseconds(read_end - read.begin)}}));
  }
  figure.notes.push_back(note("relaykeep.wchan",
                              "Meanwhile the parent reads the child's /proc/PID/wchan (the marks "
                              "named wchan): the kernel function the child sleeps in, the pipe's "
                              "read."));
  figure.panels.push_back(std::move(panel));
  return {std::move(figure)};
}

}  // namespace lens
