// The segment's figure: segmake making it, segstamp and segpeek attaching it at once during
// their pauses, a later segpeek finding the greeting still there; and the step as the scheduler
// ran it again.
#include "facts/segment.h"

#include <algorithm>
#include <array>

#include "facts/scheduler.h"
#include "model/build.h"
#include "model/figures.h"
#include "model/scheduler.h"

namespace lens {
namespace {

constexpr std::string_view segment_title = "3. Shared memory: segmake, segstamp, segpeek";
// The lanes' names of the step's runs, in the order the tour runs them.
constexpr std::array<std::string_view, 4> segment_lanes{"segmake", "segstamp", "segpeek 1",
                                                        "segpeek 2"};

// One program's lane, marks and spans.
void segment_lane(Panel& panel, std::string_view name, const SegmentRunFacts& facts) {
  panel.lanes.push_back(lane_of(std::string(name), facts.pid, facts.life));
  const std::size_t lane = panel.lanes.size() - 1;
  for (const Call* call : facts.segment_calls) {
    panel.marks.push_back(Mark{lane, call->begin, call->name});
  }
  for (const Interval& pause : facts.pauses) {
    panel.spans.push_back(span_of(lane, Shade::paused, pause, "pause"));
  }
  for (const Interval& shell : facts.shells) {
    panel.spans.push_back(span_of(lane, Shade::shell, shell, "ipcs -m"));
  }
}

void segment_notes(Figure& figure, const StepRecords& records, int most) {
  figure.notes.push_back(note("segment.made",
                              "segmake makes the segment (shmget) and ends; the segment stays, "
                              "with nattch 0. segstamp attaches it (shmat), writes the greeting "
                              "and pauses for Enter, still attached."));
  figure.notes.push_back(note("segment.shared",
                              "During that pause segpeek attaches the same segment and reads the "
                              "greeting: nattch rises to {most} (the step line), two processes "
                              "with one piece of memory at once. Each Enter ends a pause "
                              "(dotted): shmdt detaches, and nattch falls back to 0.",
                              {{"most", std::to_string(most)}}));
  if (const std::optional<Log>& later = records.logs[3]) {
    // After both: later than the ends of segstamp and the first segpeek, where they were recorded.
    Micros both_ended = 0;
    for (const std::size_t run : {std::size_t{1}, std::size_t{2}}) {
      if (const std::optional<Log>& log = records.logs[run]) {
        both_ended = std::max(both_ended, program_life(*log).end);
      }
    }
    figure.notes.push_back(
        later->first >= both_ended
            ? note("segment.outlives",
                   "After both have ended, a later segpeek (segpeek 2) attaches the segment "
                   "again: nattch is 1 once more, and the greeting is still there. The segment "
                   "outlives the processes that used it, until it is removed.")
            : note("segment.not_after",
                   "The later segpeek (segpeek 2) began before both others had ended, so this run "
                   "does not show the greeting outliving them."));
  }
  figure.notes.push_back(note("segment.shells",
                              "The spans marked ipcs -m are the listings each program runs "
                              "through the shell; times are the tour's own, since it presses "
                              "Enter for you."));
}

}  // namespace

Figure segment_figure(const StepRecords& records) {
  Figure figure = figure_of(Mechanism::segment, std::string(segment_title));
  Panel panel = strace_panel(Window{});
  Changes changes;
  std::optional<Level> start;
  std::optional<Window> time;
  for (std::size_t run = 0; run < segment_lanes.size(); ++run) {
    const std::optional<Log>& log = records.logs[run];
    if (!log) {
      continue;
    }
    const SegmentRunFacts facts = find_segment_run(*log);
    segment_lane(panel, segment_lanes[run], facts);
    changes.insert(changes.end(), facts.attachments.begin(), facts.attachments.end());
    if (facts.made && !start) {
      start = Level{*facts.made, 0};
    }
    time = time ? Window{std::min(time->begin, log->first), std::max(time->end, log->last)}
                : Window{log->first, log->last};
  }
  if (panel.lanes.empty()) {
    return not_recorded(Mechanism::segment, std::string(segment_title),
                        "segmake, segstamp and segpeek were not recorded.");
  }
  panel.time = *time;
  Counter nattch;
  nattch.name = "nattch";
  nattch.process = panel.lanes.front().process;
  nattch.levels = step_line(std::move(changes), start.value_or(Level{panel.time.begin, 0}));
  const int most = highest(nattch.levels);
  panel.counters.push_back(std::move(nattch));
  segment_notes(figure, records, most);
  figure.panels.push_back(std::move(panel));
  return figure;
}

void segment_scheduler(Figure& figure, const SchedRun& record) {
  Panel panel = scheduler_panel(record, LaneNames{}, figure.notes);
  figure.notes.push_back(
      note("segment.cpu_running",
           "Scheduler: all the step's processes (the shells and ipcs "
           "included) ran {running} on a CPU in all, out of {length}; the "
           "rest of the time they slept, at their pauses and waits.",
           {{"running", duration(running_in_all(record))}, {"length", duration(panel.time.end)}}));
  figure.panels.push_back(std::move(panel));
}

void segment_schedstat(Figure& figure, const WatchedRuns& runs) {
  figure.totals = schedstat_totals(runs, LaneNames{}, figure.notes);
}

std::vector<Figure> segtear_figures(const LessonRecords& /*records*/) {
  return {};  // segtear's torn copies are told from its output; its log holds nothing to draw
}

}  // namespace lens
