// The semaphore's figure: gatenew making it, a first gatetake taking it, a second one waiting in
// the kernel until gategive's post wakes it; the wake-up as the scheduler saw it, in real time;
// and gaterace's sections, without the semaphore and inside it.
#include "facts/semaphore.h"

#include <algorithm>
#include <array>

#include "facts/scheduler.h"
#include "model/build.h"
#include "model/figures.h"
#include "model/scheduler.h"

namespace lens {
namespace {

// The post and the wake-up are a fraction of a millisecond apart: the magnified panel shows four
// times their distance on each side, and at least 200 µs.
constexpr Micros wake_up_factor = 4;
constexpr Micros least_wake_up_room = 200;
// The magnified stretch of a gaterace half: its first sections, about this many per process.
constexpr std::size_t sections_magnified_per_process = 3;
// Room around that stretch: a twentieth of its length on each side.
constexpr Micros sections_margin_divisor = 20;

constexpr std::string_view semaphore_title = "4. Named semaphore: gatenew, gatetake, gategive";
constexpr std::array<std::string_view, 4> semaphore_lanes{"gatenew", "gatetake 1", "gatetake 2",
                                                          "gategive"};
constexpr std::size_t waiter_lane = 2;
constexpr std::size_t giver_lane = 3;

// The waits that returned before the post, where there were any.
void early_returns(Figure& figure, const SemaphoreFacts& facts) {
  if (facts.returned_early == 0) {
    return;
  }
  figure.notes.push_back(
      note("semaphore.returned_early",
           "Before the post, its futex wait returned {times} with the value still 0 (woken by "
           "another task's FUTEX_WAKE, or EAGAIN: the value changed as it went to sleep), and it "
           "waited again: no post was behind {those}.",
           {{"times", times_text(facts.returned_early)},
            {"those", facts.returned_early == 1 ? "that return" : "those returns"}}));
}

void semaphore_notes(Figure& figure, const SemaphoreFacts& facts, Taken taken) {
  figure.notes.push_back(note("semaphore.made",
                              "gatenew makes the semaphore with the value 1. The first gatetake "
                              "takes it to 0 at once: taking an available semaphore needs no "
                              "system call, so that step is drawn where gatetake maps the "
                              "semaphore, and its time is approximate."));
  switch (taken) {
    case Taken::woken:
      figure.notes.push_back(
          note("semaphore.woken",
               "The second gatetake finds 0 and sleeps in the kernel (a futex "
               "wait, hatched) for {slept}, until gategive posts: the post "
               "raises the value to 1 and wakes the sleeper (the arrow), which "
               "takes it back to 0 at once.",
               {{"slept", milliseconds(length(facts.wait->begin, facts.wait->end))}}));
      early_returns(figure, facts);
      break;
    case Taken::woke_earlier:
      figure.notes.push_back(note("semaphore.woke_earlier",
                                  "The second gatetake's futex wait (hatched) ended before "
                                  "gategive posted: this log does not show the post waking it."));
      early_returns(figure, facts);
      break;
    case Taken::at_once:
      figure.notes.push_back(note("semaphore.at_once",
                                  "This time the second gatetake did not sleep in the kernel (no "
                                  "futex wait in its log): gategive's post came first, or it found "
                                  "the value above 0."));
      break;
  }
}

// The wait, the post, the wake-up and the value's step line.
void semaphore_shapes(Panel& panel, const SemaphoreFacts& facts, Taken taken) {
  panel.marks.push_back(Mark{0, facts.created, "sem_open"});
  panel.marks.push_back(Mark{1, facts.first_take, "take"});
  Changes changes{{facts.first_take, -1}};
  if (taken == Taken::at_once) {
    changes.emplace_back(facts.given, 1);
    panel.marks.push_back(Mark{giver_lane, facts.given, "post"});
  } else {
    const Span wait = span_of(waiter_lane, Shade::blocked, *facts.wait, "wait");
    const Span post = span_of(giver_lane, Shade::busy, interval_of(*facts.wake), "post");
    panel.spans.push_back(wait);
    panel.spans.push_back(post);
    changes.emplace_back(post.begin, 1);
    if (taken == Taken::woken) {
      // The take comes after the post, even where the two logs' clocks put the wait's end a
      // little earlier.
      const Micros took = std::max(wait.end, plus(post.begin, 1));
      panel.marks.push_back(Mark{waiter_lane, took, "take"});
      panel.arrows.push_back(
          arrow_between(post, span_of(waiter_lane, Shade::blocked, Interval{wait.begin, took}),
                        Carries::wake_up, "wake-up"));
      changes.emplace_back(took, -1);
      panel.magnified = Stretch{around(post.begin, took, wake_up_factor, least_wake_up_room),
                                {waiter_lane, giver_lane},
                                "Magnified: the post and the wake-up"};
      panel.overview_lanes = panel.lanes.size();
    }
  }
  Counter value;
  value.name = "value";
  value.process = panel.lanes.front().process;
  value.levels = step_line(std::move(changes), {facts.created, 1});
  panel.counters.push_back(std::move(value));
}

// What the notes of a gaterace half say of its overlapping sections: gaterace's own count, from
// its output, or why there is none.
void half_notes(Figure& figure, const LessonRecords& records, bool locked) {
  figure.notes.push_back(note("gaterace.sections",
                              "Each lane is one process; each solid span is one critical "
                              "section, the pause (clock_nanosleep) between reading the shared "
                              "number and writing it back plus one."));
  const std::string file = lesson_file("gaterace", 1) + ".out";
  std::string problem;
  std::optional<RaceFigures> figures;
  if (!records.output.text) {
    problem = file + (records.output.missing ? " is missing from the record"
                                             : ": " + records.output.problem);
  } else {
    const Parsed<RaceFigures> parsed = parse_race(*records.output.text);
    figures = parsed.figures;
    problem = figures ? "" : file + ": " + parsed.problem;
  }
  if (figures) {
    const RaceHalf& half = locked ? figures->locked : figures->unlocked;
    const std::vector<std::pair<std::string_view, std::string>> values{
        {"overlapping", std::to_string(half.overlapping)},
        {"sections", std::to_string(half.expected)},
        {"file", file}};
    figure.notes.push_back(
        locked ? note("gaterace.locked_counted",
                      "Inside sem_wait and sem_post one section runs at a time: {overlapping} of "
                      "its {sections} sections overlapped a section of another process, by "
                      "gaterace's own count ({file}, its output in this run: the count the "
                      "tour's terminal gave). The others wait for the semaphore in the kernel "
                      "(futex, hatched) until the holder's sem_post wakes one of them.",
                      values)
               : note("gaterace.unlocked_counted",
                      "Without the semaphore nothing keeps the sections apart: {overlapping} of "
                      "its {sections} sections overlapped a section of another process, by "
                      "gaterace's own count ({file}, its output in this run: the count the "
                      "tour's terminal gave). Where two overlap, both read the same number and "
                      "one update is lost.",
                      values));
  } else {
    figure.notes.push_back(
        locked ? note("gaterace.locked_uncounted",
                      "Inside sem_wait and sem_post one section runs at a time. How many "
                      "overlapped is not stated here: {problem}. The others wait for the "
                      "semaphore in the kernel (futex, hatched) until the holder's sem_post "
                      "wakes one of them.",
                      {{"problem", problem}})
               : note("gaterace.unlocked_uncounted",
                      "Without the semaphore nothing keeps the sections apart. How many "
                      "overlapped is not stated here: {problem}. Where two overlap, both read the "
                      "same number and one update is lost.",
                      {{"problem", problem}}));
  }
  figure.notes.push_back(
      note("gaterace.magnified", "Magnified: the first sections, a few per process."));
}

// The first sections of a half, a few per process, with a little room around them.
Window first_sections(std::vector<Span> sections, std::size_t processes) {
  std::sort(sections.begin(), sections.end(),
            [](const Span& one, const Span& other) { return one.begin < other.begin; });
  const std::size_t shown = std::min(sections.size(), processes * sections_magnified_per_process);
  Micros end = sections.front().end;
  for (std::size_t index = 0; index < shown; ++index) {
    end = std::max(end, sections[index].end);
  }
  const Micros begin = sections.front().begin;
  const Micros margin = std::max<Micros>(length(begin, end) / sections_margin_divisor, 1);
  return Window{minus(begin, margin), plus(end, margin)};
}

Figure gaterace_half(const std::vector<Racer>& racers, const LessonRecords& records, bool locked) {
  Figure figure =
      figure_of(Mechanism::semaphore, locked ? "Lesson: gaterace, inside the semaphore"
                                             : "Lesson: gaterace, without the semaphore");
  Panel panel = strace_panel(Window{racers.front().forked, racers.front().forked});
  std::vector<Span> sections;
  for (const Racer& racer : racers) {
    panel.lanes.push_back(lane_of("gaterace process " + std::to_string(panel.lanes.size() + 1),
                                  racer.pid, racer.life));
    const std::size_t lane = panel.lanes.size() - 1;
    panel.time.end = std::max(panel.time.end, panel.lanes.back().end);
    for (const Interval& section : racer.sections) {
      sections.push_back(span_of(lane, Shade::busy, section, "section"));
    }
    for (const Interval& wait : racer.waits) {
      panel.spans.push_back(span_of(lane, Shade::blocked, wait, "wait"));
    }
  }
  if (sections.empty()) {
    figure.missing = "gaterace's log shows no section of these processes.";
    return figure;
  }
  panel.magnified =
      Stretch{first_sections(sections, racers.size()), {}, "Magnified: the first sections"};
  panel.overview_lanes = panel.lanes.size();
  half_notes(figure, records, locked);
  panel.spans.insert(panel.spans.end(), sections.begin(), sections.end());
  // Only the magnified sections and waits are labelled: dozens of labels would hide the spans.
  for (Span& span : panel.spans) {
    if (span.begin > panel.magnified->time.end) {
      span.label.clear();
    }
  }
  figure.panels.push_back(std::move(panel));
  return figure;
}

}  // namespace

Figure semaphore_figure(const StepRecords& records) {
  for (const std::optional<Log>& log : records.logs) {
    if (!log) {
      return not_recorded(Mechanism::semaphore, std::string(semaphore_title),
                          "gatenew, both gatetakes and gategive were not all recorded.");
    }
  }
  const Log& made = *records.logs[0];
  const Log& first = *records.logs[1];
  const Log& waiter = *records.logs[2];
  const Log& giver = *records.logs[3];
  Figure figure = figure_of(Mechanism::semaphore, std::string(semaphore_title));
  Panel panel = strace_panel(Window{made.first, made.last});
  for (std::size_t run = 0; run < semaphore_lanes.size(); ++run) {
    const Log& log = *records.logs[run];
    panel.lanes.push_back(
        lane_of(std::string(semaphore_lanes[run]), log.main_pid, program_life(log)));
    panel.time = Window{std::min(panel.time.begin, log.first), std::max(panel.time.end, log.last)};
  }
  const SemaphoreFacts facts = find_semaphore(made, first, waiter, giver);
  const Taken taken = how_taken(facts);
  semaphore_shapes(panel, facts, taken);
  semaphore_notes(figure, facts, taken);
  figure.panels.push_back(std::move(panel));
  return figure;
}

void semaphore_scheduler(Figure& figure, const SchedRun& record) {
  Panel panel = scheduler_panel(record, LaneNames{}, figure.notes);
  for (const WakeUp& post : record.wakeups) {
    const SchedThread* giver = record.thread(post.waker);
    const SchedThread* woken = record.thread(post.woken);
    const auto taker = lane_with(panel, post.woken);
    if (giver == nullptr || woken == nullptr || giver->comm != "gategive" ||
        woken->comm != "gatetake" || !taker || !post.latency()) {
      continue;
    }
    const std::vector<SchedSpan>& spans = woken->spans;
    const auto sleep = std::find_if(spans.begin(), spans.end(), [&post](const SchedSpan& span) {
      return span.doing == Doing::asleep && span.end == post.at && span.waker == post.waker;
    });
    if (sleep == spans.end() || !add_wake(panel, record, *taker, *sleep)) {
      continue;
    }
    const auto [first, others] =
        wait_of(spans, static_cast<std::size_t>(sleep - spans.begin()), post.waker);
    figure.notes.push_back(note("semaphore.cpu_woken",
                                "gategive woke the waiting gatetake; it ran {latency} later "
                                "(scheduler, real time), after sleeping {slept}.",
                                {{"latency", duration(*post.latency())},
                                 {"slept", duration(post.at - spans[first].begin)}}));
    if (others > 0) {
      figure.notes.push_back(note("semaphore.cpu_spurious",
                                  "Scheduler: before gategive's post, another task woke the "
                                  "waiting gatetake {times} and it slept again: the value was "
                                  "still 0. Those wake-ups had no post behind them (anyone who can "
                                  "map the semaphore can wake its waiters).",
                                  {{"times", times_text(others)}}));
    }
    const Micros room = std::max(*post.latency() * wake_up_factor, least_wake_up_room);
    panel.overview_lanes = panel.lanes.size();
    panel.magnified =
        Stretch{Window{std::max<Micros>(0, post.at - room), *post.ran + room},
                {*taker, panel.arrows.back().from_lane},
                "Magnified: gategive's post and the wake-up, as the scheduler saw them"};
    figure.panels.push_back(std::move(panel));
    return;
  }
  figure.notes.push_back(note("semaphore.cpu_none",
                              "Scheduler: this time no wake-up of a waiting gatetake by gategive "
                              "was recorded."));
  figure.panels.push_back(std::move(panel));
}

void semaphore_schedstat(Figure& figure, const WatchedRuns& runs) {
  figure.totals = schedstat_totals(runs, LaneNames{}, figure.notes);
}

std::vector<Figure> gaterace_figures(const LessonRecords& records) {
  if (!records.log) {
    return {};
  }
  const auto race = find_race(*records.log);
  if (!race) {
    return {};
  }
  return {gaterace_half(race->unlocked, records, false),
          gaterace_half(race->locked, records, true)};
}

}  // namespace lens
