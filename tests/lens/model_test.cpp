// The model of the tour's steps and lessons (lens/model): their figures as the samples recorded
// from a real run give them (tests/strace_logs, tests/perf_logs), and as logs and records written
// by hand give them where a sample cannot show a case: the lanes, spans, marks, step lines and
// arrows each mechanism draws, its notes as data, and the table that makes every figure.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "lens/samples.h"
#include "model/build.h"
#include "model/figures.h"
#include "model/mechanisms.h"
#include "records/tour_records.h"

namespace ipcwalk {
namespace {

using lens::Figure;
using lens::Micros;
using lens::Panel;
namespace fs = std::filesystem;

const std::vector<Figure>& recorded() {
  static const std::vector<Figure> figures = lens::figures(lens::read_tour_records(strace_logs));
  return figures;
}

// The step's records from the samples, as the table reads them.
lens::StepRecords step_records(std::size_t step) {
  return lens::read_tour_records(strace_logs).steps.at(step);
}

const Panel& strace_panel(const Figure& figure) {
  EXPECT_FALSE(figure.panels.empty()) << figure.title;
  static const Panel none;
  return figure.panels.empty() ? none : figure.panels.front();
}

std::vector<std::string> labels(const std::vector<lens::Mark>& marks) {
  std::vector<std::string> found;
  for (const auto& mark : marks)
    found.push_back(mark.label);
  return found;
}

std::vector<std::string> lane_names(const Panel& panel) {
  std::vector<std::string> found;
  for (const auto& lane : panel.lanes)
    found.push_back(lane.name + " " + std::to_string(lane.id));
  return found;
}

std::vector<int> values(const lens::Counter& counter) {
  std::vector<int> found;
  for (const auto& level : counter.levels)
    found.push_back(level.value);
  return found;
}

// The figure's note of that key; a failure where it has none.
const lens::Note& note_of(const Figure& figure, std::string_view key) {
  static const lens::Note none;
  for (const auto& note : figure.notes)
    if (note.key == key)
      return note;
  ADD_FAILURE() << figure.title << " has no note " << key;
  return none;
}

bool has_note(const Figure& figure, std::string_view key) {
  return std::any_of(figure.notes.begin(), figure.notes.end(),
                     [key](const lens::Note& note) { return note.key == key; });
}

std::string value(const lens::Note& note, std::string_view name) {
  const std::string* found = note.value(name);
  EXPECT_NE(found, nullptr) << note.key << " has no value " << name;
  return found != nullptr ? *found : "";
}

// The table: every step in the tour's order, each made by its own row, and a note's text made
// from its data.
TEST(TimelineModel, EveryStepComesFromItsRowInTheTable) {
  ASSERT_EQ(recorded().size(), 4U);
  for (std::size_t index = 0; index < recorded().size(); ++index) {
    EXPECT_EQ(recorded()[index].mechanism, lens::mechanisms()[index].mechanism);
    EXPECT_EQ(&lens::row_of(recorded()[index].mechanism), &lens::mechanisms()[index]);
    EXPECT_EQ(recorded()[index].missing, "") << recorded()[index].title;
  }
  EXPECT_EQ(lens::row_of(lens::Mechanism::segment).names->prefix, "3-segment");
  const lens::Note made = lens::Note{"k", "a {x} and {y}, {z}", {{"x", "one"}, {"y", "two"}}};
  EXPECT_EQ(made.text(), "a one and two, {z}");
}

TEST(TimelineDiagrams, PipeLanesMarksAndTheRecordFromWriteToRead) {
  const Figure& pipe = recorded()[0];
  const Panel& panel = strace_panel(pipe);
  EXPECT_EQ(lane_names(panel),
            (std::vector<std::string>{"forkrelay parent 6700", "forkrelay child 6701"}));
  EXPECT_EQ(labels(panel.marks), (std::vector<std::string>{"pipe2", "fork", "exit", "exit"}));
  EXPECT_LT(panel.marks[0].at, panel.marks[1].at);
  ASSERT_EQ(panel.spans.size(), 2U);
  const auto& write = panel.spans[0];
  const auto& read = panel.spans[1];
  EXPECT_EQ(write.label + "@" + std::to_string(write.lane), "write@0");
  EXPECT_EQ(read.label + "@" + std::to_string(read.lane), "read@1");
  // The child's read(3, ...): from its entry to its return, 27 microseconds by -T. It began
  // after the parent's write: the record was already there, so it is drawn as no wait.
  EXPECT_EQ(read.begin, Micros{1796746026177438});
  EXPECT_EQ(read.end - read.begin, 27);
  EXPECT_LT(write.begin, read.begin);
  EXPECT_EQ(read.shade, lens::Shade::busy);
  ASSERT_EQ(panel.arrows.size(), 1U);
  const auto& arrow = panel.arrows[0];
  EXPECT_EQ(arrow.carries, lens::Carries::bytes);
  EXPECT_EQ(arrow.label, "128 bytes");
  EXPECT_TRUE(arrow.from >= write.begin && arrow.from <= write.end);
  EXPECT_TRUE(arrow.to >= read.begin && arrow.to <= read.end && arrow.to >= arrow.from);
  EXPECT_EQ(value(note_of(pipe, "pipe.write_first"), "bytes"), "128 bytes");
}

TEST(TimelineDiagrams, PipeReadThatBeganBeforeTheWriteIsDrawnWaiting) {
  lens::StepRecords records;
  records.logs[0] = log_of(
      "500 1000.000000 pipe2([3, 4], 0) = 0 <0.000010>\n"
      "500 1000.000100 clone(child_stack=NULL, flags=CLONE_CHILD_SETTID|SIGCHLD) = 501 <0.000050>\n"
      "501 1000.000200 read(3,  <unfinished ...>\n"
      "500 1000.000300 write(4, \"Message\", 128) = 128 <0.000020>\n"
      "501 1000.000400 <... read resumed>\"Message\", 128) = 128 <0.000200>\n");
  const Figure pipe = lens::pipe_figure(records);
  ASSERT_EQ(pipe.missing, "");
  const Panel& panel = strace_panel(pipe);
  ASSERT_EQ(panel.spans.size(), 2U);
  EXPECT_EQ(panel.spans[1].label, "read");
  EXPECT_EQ(panel.spans[1].shade, lens::Shade::blocked);
  EXPECT_EQ(panel.arrows.at(0).carries, lens::Carries::bytes_waking);
  EXPECT_EQ(value(note_of(pipe, "pipe.read_waited"), "before"), "0.10 ms");
  EXPECT_FALSE(has_note(pipe, "pipe.write_first"));
}

TEST(TimelineDiagrams, ThreadsFillThenSixteenWorkersThenJoin) {
  const Figure& threads = recorded()[1];
  const Panel& panel = strace_panel(threads);
  ASSERT_EQ(panel.lanes.size(), 17U);
  const auto& main = panel.lanes[0];
  EXPECT_EQ(lane_names(panel)[0], "threetally main 6706");
  EXPECT_EQ(lane_names(panel)[1], "threetally worker 6707");
  EXPECT_EQ(panel.lanes[1].process, 6706);
  const auto& fill = panel.spans.front();
  ASSERT_EQ(fill.label, "fill");
  Micros last_end = 0;
  for (std::size_t lane = 1; lane < panel.lanes.size(); ++lane) {
    // Every worker lives after the fill, within main's life.
    EXPECT_GE(panel.lanes[lane].begin, fill.end);
    EXPECT_LE(panel.lanes[lane].end, main.end);
    last_end = std::max(last_end, panel.lanes[lane].end);
  }
  const auto& join = panel.spans.back();
  ASSERT_EQ(join.label, "join");
  EXPECT_EQ(join.end, last_end);
  const auto alive = values(panel.counters.at(0));
  EXPECT_EQ(alive.front(), 1);
  EXPECT_EQ(alive.back(), 0);
  EXPECT_EQ(*std::max_element(alive.begin(), alive.end()), 10);
  EXPECT_EQ(value(note_of(threads, "threads.workers"), "most"), "10");
}

// Where the fill's time went: the notes state the tour's counts of both runs as they were
// written (milliseconds), and there are none where a count is not one.
TEST(TimelineDiagrams, TheFillsCostIsWhatTheTourCounted) {
  lens::StepRecords records = step_records(1);
  ASSERT_FALSE(records.strace_cost);  // the recorded sample has none
  EXPECT_FALSE(has_note(lens::threads_figure(records), "threads.fill_cost"));
  TempDir dir("costs");
  std::ofstream(dir / "strace.cost") << "page faults: 281\nuser: 40 ms\nsystem: 1520 ms\n";
  std::ofstream(dir / "perf.cost") << "page faults: 279\nuser: 30 ms\nsystem: 45 ms\n";
  std::ofstream(dir / "bad.cost") << "page faults: 281\nuser: 40 s\nsystem: 1520 ms\n";
  records.strace_cost = lens::read_cost(dir / "strace.cost");
  records.sched_cost = lens::read_cost(dir / "perf.cost");
  ASSERT_TRUE(records.strace_cost && records.sched_cost);
  EXPECT_FALSE(lens::read_cost(dir / "bad.cost"));
  EXPECT_FALSE(lens::read_cost(dir / "missing.cost"));
  const Figure threads = lens::threads_figure(records);
  const lens::Note& cost = note_of(threads, "threads.fill_cost");
  EXPECT_EQ(value(cost, "system"), "1520 ms");
  EXPECT_EQ(value(cost, "user"), "40.0 ms");
  EXPECT_EQ(value(cost, "faults"), "281");
  const lens::Note& again = note_of(threads, "threads.fill_cost_again");
  EXPECT_EQ(value(again, "system"), "45.0 ms");
  EXPECT_EQ(value(again, "faults"), "279");
}

TEST(TimelineDiagrams, SegmentAttachmentsOverlapDuringTheFirstPause) {
  const Panel& segment = strace_panel(recorded()[2]);
  ASSERT_EQ(segment.lanes.size(), 4U);
  EXPECT_EQ(labels(segment.marks), (std::vector<std::string>{"shmget", "shmat", "shmdt", "shmat",
                                                             "shmdt", "shmat", "shmdt"}));
  // The later segpeek attaches once more after both have ended.
  EXPECT_EQ(values(segment.counters.at(0)), (std::vector<int>{0, 1, 2, 1, 0, 1, 0}));
  std::map<std::size_t, std::vector<lens::Span>> pauses;
  for (const auto& span : segment.spans)
    if (span.shade == lens::Shade::paused)
      pauses[span.lane].push_back(span);
  // Both Enters came at once: each program's two getchar()s took them in one read.
  ASSERT_EQ(pauses[1].size(), 1U);
  ASSERT_EQ(pauses[2].size(), 1U);
  // segpeek attaches and detaches while segstamp sits in its first pause.
  EXPECT_LT(pauses[1][0].begin, segment.lanes[2].begin);
  EXPECT_GT(pauses[1][0].end, pauses[2][0].end);
  EXPECT_EQ(value(note_of(recorded()[2], "segment.shared"), "most"), "2");
}

TEST(TimelineDiagrams, SegmentLaterSegpeekFindsTheGreetingAfterBothEnded) {
  const Panel& segment = strace_panel(recorded()[2]);
  ASSERT_EQ(segment.lanes.size(), 4U);
  const auto& later = segment.lanes[3];
  EXPECT_EQ(lane_names(segment)[3], "segpeek 2 6763");
  EXPECT_GT(later.begin, segment.lanes[1].end);
  EXPECT_GT(later.begin, segment.lanes[2].end);
  // Its own listings through the shell, before and after it detaches.
  const auto shells = std::count_if(
      segment.spans.begin(), segment.spans.end(),
      [](const auto& span) { return span.lane == 3 && span.shade == lens::Shade::shell; });
  EXPECT_EQ(shells, 2);
  EXPECT_TRUE(has_note(recorded()[2], "segment.outlives"));
  EXPECT_FALSE(has_note(recorded()[2], "segment.not_after"));
}

TEST(TimelineDiagrams, SemaphoreWaitEndsAfterThePostThatWakesIt) {
  const Panel& semaphore = strace_panel(recorded()[3]);
  ASSERT_EQ(semaphore.lanes.size(), 4U);
  EXPECT_EQ(lane_names(semaphore)[2], "gatetake 2 6782");
  ASSERT_EQ(semaphore.spans.size(), 2U);
  const auto& wait = semaphore.spans[0];
  const auto& post = semaphore.spans[1];
  EXPECT_EQ(wait.label + "@" + std::to_string(wait.lane), "wait@2");
  EXPECT_EQ(post.label + "@" + std::to_string(post.lane), "post@3");
  EXPECT_EQ(wait.end - wait.begin, 123157);
  EXPECT_LT(post.begin, wait.end);
  EXPECT_EQ(values(semaphore.counters.at(0)), (std::vector<int>{1, 0, 1, 0}));
  EXPECT_EQ(semaphore.arrows.at(0).carries, lens::Carries::wake_up);
  // The step runs from gatenew's first line, not from the last program's, and holds every lane.
  EXPECT_EQ(semaphore.time.begin, semaphore.lanes[0].begin);
  for (const auto& lane : semaphore.lanes)
    EXPECT_TRUE(lane.begin >= semaphore.time.begin && lane.end <= semaphore.time.end);
  EXPECT_EQ(value(note_of(recorded()[3], "semaphore.woken"), "slept"), "123 ms");
}

// Recorded from 32-bit programs, the wait's end by the waiter's clock comes 15 microseconds
// before the post by the giver's: still the post that woke it, and the take comes after it.
TEST(TimelineDiagrams, SemaphoreWakeUpDespiteTheTwoLogsClocks) {
  const Figure semaphore =
      lens::semaphore_figure(lens::read_tour_records(strace_logs / "i386").steps[3]);
  ASSERT_EQ(semaphore.missing, "");
  const Panel& panel = strace_panel(semaphore);
  ASSERT_EQ(panel.arrows.size(), 1U);
  EXPECT_EQ(values(panel.counters.at(0)), (std::vector<int>{1, 0, 1, 0}));
  EXPECT_EQ(labels(panel.marks), (std::vector<std::string>{"sem_open", "take", "take"}));
  EXPECT_GT(panel.marks[2].at, panel.spans.at(1).begin);
}

// Fault: a futex wait that returned before gategive's post (another task's FUTEX_WAKE on the
// semaphore's memory, or EAGAIN) taken for the one that the post ended, because it was the
// longest; the wait not drawn from its first sleep; those returns not said.
TEST(TimelineDiagrams, SemaphoreWaitsThatReturnedBeforeThePostAreNotItsWakeUp) {
  std::ifstream file(strace_logs / "4-semaphore-gatetake-2.strace");
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  const std::string call =
      "futex(0x7f4e87575000, FUTEX_WAIT_BITSET|FUTEX_CLOCK_REALTIME, 0, NULL, "
      "FUTEX_BITSET_MATCH_ANY) = ";
  const std::string wait = "6782  1796746027.360459 " + call + "0 <0.123157>\n";
  ASSERT_NE(text.find(wait), std::string::npos);
  text.replace(text.find(wait), wait.size(),
               "6782  1796746027.360459 " + call + "0 <0.100000>\n" + "6782  1796746027.460500 " +
                   call + "-1 EAGAIN (Resource temporarily unavailable) <0.000010>\n" +
                   "6782  1796746027.460600 " + call + "0 <0.023016>\n");
  lens::StepRecords records = step_records(3);
  records.logs[2] = log_of(text);
  const Figure semaphore = lens::semaphore_figure(records);
  const Panel& panel = strace_panel(semaphore);
  ASSERT_EQ(panel.spans.size(), 2U);
  EXPECT_EQ(panel.spans[0].label, "wait");
  EXPECT_EQ(panel.spans[0].end - panel.spans[0].begin, 123157);
  ASSERT_EQ(panel.arrows.size(), 1U);
  EXPECT_EQ(values(panel.counters.at(0)), (std::vector<int>{1, 0, 1, 0}));
  EXPECT_EQ(value(note_of(semaphore, "semaphore.woken"), "slept"), "123 ms");
  EXPECT_EQ(value(note_of(semaphore, "semaphore.returned_early"), "times"), "twice");
  // Untouched, the recorded wait returned once, at the post: nothing to say.
  EXPECT_FALSE(has_note(recorded()[3], "semaphore.returned_early"));
}

TEST(TimelineDiagrams, MissingLogsGiveFiguresThatSaySo) {
  TempDir empty("timeline");
  const auto figures = lens::figures(lens::read_tour_records(empty.path()));
  ASSERT_EQ(figures.size(), 4U);
  for (const auto& figure : figures) {
    EXPECT_NE(figure.missing, "") << figure.title;
    EXPECT_TRUE(figure.panels.empty()) << figure.title;
  }
  EXPECT_EQ(figures[3].missing, "gatenew, both gatetakes and gategive were not all recorded.");
}

// Times far apart (a wrong clock, a log made by hand): nothing overflows (the sanitizer build
// stops at an overflow), no step line goes below 0, and no magnified stretch ends before it
// begins.
TEST(TimelineDiagrams, TimesFarApartNeitherOverflowNorCountBelowZero) {
  const auto sane = [](const Figure& figure, const std::string& what) {
    ASSERT_FALSE(figure.panels.empty()) << what;
    for (const Panel& panel : figure.panels) {
      for (const auto& counter : panel.counters)
        for (const int level : values(counter))
          EXPECT_GE(level, 0) << what << ": " << counter.name;
      if (panel.magnified) {
        EXPECT_LE(panel.magnified->time.begin, panel.magnified->time.end) << what;
      }
    }
  };
  const std::string futex = " futex(0x7f0000000000, FUTEX_";
  struct Case {
    const char* what;
    std::string wait_took;
    std::string post_at;
  };
  for (const auto& [what, took, at] :
       {Case{"a wait said to last 3e12 s, which the post ends", "3000000000000.000000",
             "1000.300000"},
        Case{"a post 1000 s after the wait ended", "0.000100", "2000.000000"}}) {
    lens::StepRecords records;
    records.logs[0] =
        log_of("100 1000.000000 link(\"/dev/shm/sem.a\", \"/dev/shm/sem.g\") = 0 <0.0>\n");
    records.logs[1] =
        log_of("101 1000.100000 mmap(NULL, 32, 3, MAP_SHARED, 3, 0) = 0x7f00 <0.0>\n");
    records.logs[2] = log_of("102 1000.200000" + futex + "WAIT_BITSET, 0) = 0 <" + took + ">\n");
    records.logs[3] = log_of("103 " + at + futex + "WAKE, 1) = 1 <0.000010>\n");
    sane(lens::semaphore_figure(records), what);
  }
  lens::StepRecords records;
  records.logs[1] = log_of("200 1000.000000 shmdt(0x7f0000000000) = 0 <0.000010>\n");
  sane(lens::segment_figure(records), "a detach without an attach");
}

// ---- The scheduler's view in the figures, on the perf samples ----

// The samples' steps, with a step's record from a perf sample beside them.
lens::TourRecords with_record(std::size_t step, const std::string& name) {
  lens::TourRecords records = lens::read_tour_records(strace_logs);
  records.steps[step].sched = sample(name);
  EXPECT_TRUE(records.steps[step].sched) << name;
  return records;
}

const Panel& scheduler_panel(const Figure& figure) {
  static const Panel none;
  for (const Panel& panel : figure.panels)
    if (panel.source == lens::Source::scheduler)
      return panel;
  ADD_FAILURE() << figure.title << " has no scheduler's panel";
  return none;
}

bool has_scheduler_panel(const Figure& figure) {
  return std::any_of(figure.panels.begin(), figure.panels.end(),
                     [](const Panel& panel) { return panel.source == lens::Source::scheduler; });
}

std::vector<std::string> names_only(const Panel& panel) {
  std::vector<std::string> found;
  for (const auto& lane : panel.lanes)
    found.push_back(lane.name);
  return found;
}

// Fault: the running-at-once line counting threads whose spans overlap rather than the CPUs that
// run them, or drawn without the CPUs as its ceiling; a worker's lane lost, or its running put on
// no CPU of the record; main's join not shown woken by a worker.
void expect_threetally_drawn(const Figure& threads) {
  const Panel& panel = scheduler_panel(threads);
  ASSERT_EQ(panel.counters.size(), 2U);
  EXPECT_EQ(panel.counters[0].ceiling, 2);
  EXPECT_EQ(panel.counters[0].ceiling_label, "2 CPUs");
  EXPECT_EQ(lens::highest(panel.counters[0].levels), 2) << panel.counters[0].name;
  EXPECT_GT(lens::highest(panel.counters[1].levels), 2) << panel.counters[1].name;
  EXPECT_FALSE(panel.counters[1].ceiling);
  ASSERT_EQ(panel.lanes.size(), 17U);
  EXPECT_EQ(panel.lanes[0].name, "threetally main");
  for (std::size_t index = 1; index < panel.lanes.size(); ++index) {
    EXPECT_EQ(panel.lanes[index].name, "worker");
    EXPECT_TRUE(panel.lanes[index].compact);
    EXPECT_TRUE(std::any_of(panel.spans.begin(), panel.spans.end(), [index](const auto& span) {
      return span.lane == index && span.shade == lens::Shade::running && span.cpu >= 0 &&
             span.cpu < 2;
    })) << panel.lanes[index].id;
  }
  ASSERT_FALSE(panel.arrows.empty());
  EXPECT_EQ(panel.arrows.back().to_lane, 0U);
  EXPECT_GT(panel.arrows.back().from_lane, 0U);
  EXPECT_EQ(value(note_of(threads, "threads.cpu_workers"), "running"), "2");
}

TEST(TimelineSched, ThreadsRunAtMostTheRecordsCpusEachWorkerOnItsOwn) {
  expect_threetally_drawn(lens::figures(with_record(1, "2-threads-threetally"))[1]);
}

// The semaphore's view of a run: its post's latency, as the note and the arrow give it.
// Fault: the figure taken from another wake-up (the first gatetake's, a shell's) or measured to
// the wrong switch; the two gatetakes not told apart; the arrow from the wrong lane, or the
// magnified stretch missing it.
void expect_post_drawn(const Figure& semaphore, Micros latency) {
  const Panel& panel = scheduler_panel(semaphore);
  EXPECT_EQ(names_only(panel),
            (std::vector<std::string>{"gatenew", "gatetake 1", "gatetake 2", "gategive"}));
  ASSERT_EQ(panel.arrows.size(), 1U);
  EXPECT_EQ(panel.arrows[0].from_lane, 3U);
  EXPECT_EQ(panel.arrows[0].to_lane, 2U);
  EXPECT_EQ(panel.arrows[0].to - panel.arrows[0].from, latency);
  EXPECT_EQ(value(note_of(semaphore, "semaphore.cpu_woken"), "latency"),
            std::to_string(latency) + " \u00b5s");
  ASSERT_TRUE(panel.magnified);
  EXPECT_LT(panel.magnified->time.begin, panel.arrows[0].from);
  EXPECT_GT(panel.magnified->time.end, panel.arrows[0].to);
}

TEST(TimelineSched, SemaphoreNoteGivesTheWakeUpTheRecordHolds) {
  const lens::TourRecords records = with_record(3, "4-semaphore");
  const auto posts = records.steps[3].sched->wakeups_by("gategive");
  ASSERT_EQ(posts.size(), 1U);
  ASSERT_EQ(posts[0].latency(), 14);
  expect_post_drawn(lens::figures(records)[3], 14);
}

// Fault: other tasks' wake-ups of the waiting gatetake (anyone who maps the semaphore may wake
// its futex) taken for gategive's post, even from a task that calls itself gategive; its sleep
// measured from the last of them instead of from the start of its wait; those wake-ups not said.
TEST(TimelineSched, SpuriousWakeUpsOfTheWaitingGatetakeAreNotThePost) {
  const auto lines = [](bool spurious) {
    std::vector<HandLine> made{
        {10, 0, "200.000000", "sched_process_fork", forked("bash", 10, "bash", 20)},
        {10, 0, "200.000000", "sched_wakeup_new", woke("bash", 20, 0)},
        {10, 0, "200.000005", "sched_switch", switched("bash", 10, "S", "gatenew", 20)},
        {20, 0, "200.000050", "sched_process_exit", exited("gatenew", 20)},
        {20, 0, "200.000055", "sched_switch", switched("gatenew", 20, "Z", "bash", 10)},
        {10, 0, "200.000100", "sched_process_fork", forked("bash", 10, "bash", 21)},
        {10, 0, "200.000100", "sched_wakeup_new", woke("bash", 21, 0)},
        {10, 0, "200.000105", "sched_switch", switched("bash", 10, "S", "gatetake", 21)},
        {21, 0, "200.000150", "sched_process_exit", exited("gatetake", 21)},
        {21, 0, "200.000155", "sched_switch", switched("gatetake", 21, "Z", "bash", 10)},
        {10, 0, "200.000200", "sched_process_fork", forked("bash", 10, "bash", 22)},
        {10, 0, "200.000200", "sched_wakeup_new", woke("bash", 22, 0)},
        {10, 0, "200.000205", "sched_switch", switched("bash", 10, "S", "gatetake", 22)},
        {22, 0, "200.000250", "sched_switch", switched("gatetake", 22, "S", "swapper/0", 0)},
        {0, 1, "200.002990", "sched_switch", switched("swapper/1", 0, "R", "bash", 10)},
        {10, 1, "200.003000", "sched_process_fork", forked("bash", 10, "bash", 23)},
        {10, 1, "200.003000", "sched_wakeup_new", woke("bash", 23, 1)},
        {10, 1, "200.003005", "sched_switch", switched("bash", 10, "S", "gategive", 23)},
        {23, 1, "200.003100", "sched_waking", woke("gatetake", 22, 0)},
        {0, 0, "200.003150", "sched_switch", switched("swapper/0", 0, "R", "gatetake", 22)},
        {23, 1, "200.003200", "sched_process_exit", exited("gategive", 23)},
        {23, 1, "200.003210", "sched_switch", switched("gategive", 23, "Z", "swapper/1", 0)},
        {22, 0, "200.003300", "sched_process_exit", exited("gatetake", 22)},
        {22, 0, "200.003310", "sched_switch", switched("gatetake", 22, "Z", "swapper/0", 0)},
    };
    if (spurious) {
      // Another user's task, named gategive too, wakes the waiter twice; each time it finds the
      // value 0 and sleeps again.
      made.insert(
          made.begin() + 14,
          {{0, 1, "200.000990", "sched_switch", switched("swapper/1", 0, "R", "gategive", 66)},
           {66, 1, "200.001000", "sched_waking", woke("gatetake", 22, 0)},
           {0, 0, "200.001010", "sched_switch", switched("swapper/0", 0, "R", "gatetake", 22)},
           {22, 0, "200.001020", "sched_switch", switched("gatetake", 22, "S", "swapper/0", 0)},
           {66, 1, "200.002000", "sched_waking", woke("gatetake", 22, 0)},
           {0, 0, "200.002010", "sched_switch", switched("swapper/0", 0, "R", "gatetake", 22)},
           {22, 0, "200.002020", "sched_switch", switched("gatetake", 22, "S", "swapper/0", 0)},
           {66, 1, "200.002100", "sched_switch", switched("gategive", 66, "S", "swapper/1", 0)}});
    }
    return joined(made);
  };
  for (const bool spurious : {false, true}) {
    lens::TourRecords records = lens::read_tour_records(strace_logs);
    records.steps[3].sched = sched(lines(spurious), {{{20, 10}, {21, 10}, {22, 10}, {23, 10}}});
    const Figure semaphore = lens::figures(records)[3];
    expect_post_drawn(semaphore, 50);
    EXPECT_EQ(value(note_of(semaphore, "semaphore.cpu_woken"), "slept"), "2.85 ms") << spurious;
    EXPECT_EQ(has_note(semaphore, "semaphore.cpu_spurious"), spurious);
    if (!spurious)
      continue;
    EXPECT_EQ(value(note_of(semaphore, "semaphore.cpu_spurious"), "times"), "twice");
    // The other user's task is named nowhere: not on the page's lanes, and in the kernel's text
    // only as "other", under a number that is no pid of the machine's.
    const Panel& panel = scheduler_panel(semaphore);
    EXPECT_EQ(std::count_if(panel.spans.begin(), panel.spans.end(),
                            [](const lens::Span& span) {
                              return span.label == "asleep, woken by another task";
                            }),
              2);
    ASSERT_TRUE(semaphore.kernel);
    bool other_seen = false;
    for (const auto& event : semaphore.kernel->events)
      for (const lens::KernelTask* task : {&event.current, &event.next}) {
        EXPECT_NE(task->pid, 66);
        if (task->pid > 4194304) {
          EXPECT_EQ(task->comm, "other");
          other_seen = true;
        }
      }
    EXPECT_TRUE(other_seen);
  }
}

// Fault: on an uncut record, the shell that started the program or another task taken as the
// program, or the child's sleep in its read not shown ended by the parent; a garbage record, one
// without the tour's list, or one of other programs, giving a step a panel or changing strace's
// panel, or leaving the figure silent on why there is no panel.
TEST(TimelineSched, RecordsReadByNameAndBadOnesChangeNothing) {
  TempDir dir("sched");
  for (const auto& entry : fs::directory_iterator(strace_logs))
    if (entry.path().extension() == ".strace")
      fs::copy_file(entry.path(), dir.path() / entry.path().filename());
  fs::copy_file(perf_logs / "1-pipe-uncut.perf", dir.path() / "1-pipe.perf");
  fs::copy_file(perf_logs / "1-pipe-uncut.pids", dir.path() / "1-pipe.pids");
  std::ofstream(dir.path() / "2-threads.perf") << "\x01\xff sched: ==> :\n# nrcpus avail : 9\n";
  fs::copy_file(perf_logs / "2-threads-threetally.pids", dir.path() / "2-threads.pids");
  fs::copy_file(perf_logs / "4-semaphore.perf", dir.path() / "3-segment.perf");
  fs::copy_file(perf_logs / "3-segment.pids", dir.path() / "3-segment.pids");
  fs::copy_file(perf_logs / "4-semaphore.perf", dir.path() / "4-semaphore.perf");
  const std::vector<Figure> read = lens::figures(lens::read_tour_records(dir.path()));
  ASSERT_EQ(read.size(), 4U);
  const Panel& pipe = scheduler_panel(read[0]);
  EXPECT_EQ(names_only(pipe), (std::vector<std::string>{"forkrelay parent", "forkrelay child"}));
  ASSERT_EQ(pipe.arrows.size(), 1U);
  EXPECT_EQ(pipe.arrows[0].from_lane, 0U);
  EXPECT_EQ(value(note_of(read[0], "pipe.cpu_woken"), "slept"), "27 \u00b5s");
  for (std::size_t step = 1; step < read.size(); ++step) {
    EXPECT_FALSE(has_scheduler_panel(read[step])) << read[step].title;
    // One line says why, and the rest of the figure is strace's alone.
    ASSERT_FALSE(read[step].notes.empty());
    EXPECT_EQ(read[step].notes.back().key, "scheduler.none") << read[step].title;
    EXPECT_EQ(read[step].notes.size(), recorded()[step].notes.size() + 1) << read[step].title;
    EXPECT_EQ(read[step].panels.size(), 1U);
  }
  EXPECT_EQ(value(read[3].notes.back(), "why"),
            "the tour listed no process it started beside the record");
}

// Fault: another run of the same program at the same time (a second tour, a test) taken for the
// tour's own: the pids the tour wrote beside the record pick its run out of the two, and without
// them there is no view rather than a guess.
TEST(TimelineSched, ThePidsTheTourStartedPickItsRunOutOfTwo) {
  const auto names = [](const std::filesystem::path& pids) {
    const auto record =
        lens::read_sched(perf_logs / "1-pipe-two-runs.perf", lens::read_started(pids));
    std::vector<std::string> comms;
    if (record)
      for (const auto& thread : record->threads)
        comms.push_back(thread.comm + " " + std::to_string(thread.parent != 0));
    return comms;
  };
  EXPECT_EQ(names(perf_logs / "1-pipe-two-runs.pids"),
            (std::vector<std::string>{"forkrelay 0", "forkrelay 1"}));
  EXPECT_TRUE(names(perf_logs / "no-such.pids").empty());
}

// Fault: in a container (a PID namespace of its own), the steps' tasks not found or drawn from
// the header's tids: each lane one slice then waiting for a CPU to the end, forkrelay's child or
// threetally's workers missing, no wake-up of the waiting gatetake by gategive.
TEST(TimelineSched, InAContainerTheStepsAreDrawnAsOutside) {
  lens::TourRecords records = lens::read_tour_records(strace_logs);
  records.steps[0].sched = sample("ns-1-pipe-forkrelay");
  records.steps[1].sched = sample("ns-2-threads-threetally");
  records.steps[3].sched = sample("ns-4-semaphore");
  for (const std::size_t step : {0U, 1U, 3U}) {
    const auto& record = records.steps[step].sched;
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->problems.empty());
    // Each task lives from its fork to its end, running at times, its last span ending with it.
    for (const auto& thread : record->threads) {
      EXPECT_GT(thread.running, 0) << thread.tid;
      ASSERT_TRUE(thread.ended) << thread.tid;
      EXPECT_EQ(thread.spans.back().end, *thread.ended) << thread.tid;
      EXPECT_EQ(thread.spans.back().doing, lens::Doing::running) << thread.tid;
    }
  }
  const std::vector<Figure> drawn = lens::figures(records);
  EXPECT_EQ(names_only(scheduler_panel(drawn[0])),
            (std::vector<std::string>{"forkrelay parent", "forkrelay child"}));
  expect_threetally_drawn(drawn[1]);
  expect_post_drawn(drawn[3], *records.steps[3].sched->wakeups_by("gategive").at(0).latency());
  // The kernel's own events travel with the figure, for the trace file.
  ASSERT_TRUE(drawn[1].kernel);
  EXPECT_EQ(drawn[1].kernel->events.size(), records.steps[1].sched->kernel.size());
  EXPECT_EQ(drawn[1].kernel->clock, records.steps[1].sched->clock);
}

// ---- schedstat's table, where perf may not record, on the watcher's samples ----

// The samples' steps, with the watcher's records of every step's runs beside them.
lens::TourRecords with_watched() {
  lens::TourRecords records = lens::read_tour_records(strace_logs);
  for (std::size_t step = 0; step < records.steps.size(); ++step)
    records.steps[step].watched = watched_sample(step);
  return records;
}

std::vector<std::string> row_names(const Figure& figure) {
  std::vector<std::string> found;
  for (const auto& row : figure.totals->rows)
    found.push_back(row.name);
  return found;
}

// Faults: a row's figures not its task's (another task's, or nanoseconds not made microseconds);
// the workers not named as their lanes are, or a task of another process counted among them;
// the programs the step runs twice not told apart; the CPU count missing from the threads' table
// or given another's; what only perf shows left unsaid; a step that perf recorded given the
// table too; a record that shows no task giving an empty table rather than a note that says why.
TEST(TimelineSchedstat, EachStepsTableIsItsTasksAsTheWatcherRecordedThem) {
  lens::TourRecords records = with_watched();
  const std::vector<Figure> figures = lens::figures(records);
  for (const Figure& figure : figures) {
    ASSERT_TRUE(figure.totals) << figure.title;
    EXPECT_FALSE(has_scheduler_panel(figure)) << figure.title;
    EXPECT_NE(
        note_of(figure, "schedstat.source")
            .text()
            .find("What only perf shows: which CPU ran each thread, when, and who woke whom."),
        std::string::npos);
  }
  EXPECT_EQ(row_names(figures[0]),
            (std::vector<std::string>{"forkrelay parent", "forkrelay child"}));
  EXPECT_EQ(row_names(figures[3]),
            (std::vector<std::string>{"gatenew", "gatetake 1", "gatetake 2", "gategive"}));
  const std::vector<std::string> segment = row_names(figures[2]);
  EXPECT_EQ(std::count(segment.begin(), segment.end(), "segpeek 1"), 1);
  EXPECT_EQ(std::count(segment.begin(), segment.end(), "segpeek 2"), 1);
  EXPECT_EQ(std::count(segment.begin(), segment.end(), "sh"), 7) << testing::PrintToString(segment);
  for (const std::size_t step : {0U, 2U, 3U})
    EXPECT_FALSE(figures[step].totals->cpus) << figures[step].title;

  const lens::WatchRecord& run = *records.steps[1].watched[0];
  const lens::Totals& threads = *figures[1].totals;
  EXPECT_EQ(threads.cpus, 2);
  ASSERT_EQ(threads.rows.size(), 17U);
  EXPECT_EQ(threads.rows[0].name, "threetally main");
  Micros least = lens::a_day;
  for (const lens::TaskTotals& row : threads.rows) {
    SCOPED_TRACE(row.id);
    const auto task = std::find_if(run.tasks.begin(), run.tasks.end(),
                                   [&row](const auto& each) { return each.tid == row.id; });
    ASSERT_NE(task, run.tasks.end());
    EXPECT_EQ(row.name, task->parent == 0 ? "threetally main" : "worker");
    EXPECT_EQ(row.process, task->process);
    EXPECT_EQ(row.running, task->running / 1000);
    EXPECT_EQ(row.waiting, task->waiting / 1000);
    EXPECT_EQ(row.slices, task->slices);
    EXPECT_GE(row.alive, (task->ended - task->born) / 1000);
    EXPECT_EQ(row.asleep, row.alive - row.running - row.waiting);
    if (task->parent != 0)
      least = std::min(least, row.running);
  }
  const lens::Note& workers = note_of(figures[1], "threads.schedstat_workers");
  EXPECT_EQ(value(workers, "workers"), "16");
  EXPECT_EQ(value(workers, "cpus"), "2 CPUs");
  EXPECT_EQ(value(workers, "least"), lens::duration(least));

  // Where perf recorded a step, its view stays as it is.
  records.steps[1].sched = sample("2-threads-threetally");
  const Figure recorded_by_perf = lens::figures(records)[1];
  EXPECT_FALSE(recorded_by_perf.totals);
  EXPECT_TRUE(has_scheduler_panel(recorded_by_perf));
  EXPECT_FALSE(has_note(recorded_by_perf, "schedstat.source"));

  // A record of no task: a note says why there is no table.
  records.steps[3].watched = {lens::parse_watch("lens-watch 1\nunread 3\n"), std::nullopt,
                              lens::parse_watch("lens-watch 1\n"), std::nullopt};
  const Figure none = lens::figures(records)[3];
  EXPECT_FALSE(none.totals);
  EXPECT_EQ(value(note_of(none, "schedstat.none"), "why"),
            "3 task(s) ended where lens could not read their schedstat");
}

// ---- The lessons' figures ----

const lens::LessonRecords& lesson_records(std::size_t step) {
  static const lens::TourRecords records = lens::read_tour_records(strace_logs / "lessons");
  return records.lessons.at(step);
}

TEST(LessonDiagrams, SectionsInsideTheSemaphoreNeverOverlap) {
  const std::vector<Figure> halves = lens::gaterace_figures(lesson_records(3));
  ASSERT_EQ(halves.size(), 2U);
  for (const Figure& half : halves) {
    EXPECT_EQ(half.missing, "") << half.title;
    const Panel& panel = strace_panel(half);
    ASSERT_EQ(panel.lanes.size(), 4U) << half.title;
    std::vector<lens::Span> sections;
    for (const auto& span : panel.spans)
      if (span.shade == lens::Shade::busy)  // a section (only the magnified ones are named)
        sections.push_back(span);
    // The record was made with 5 rounds: each of the four processes paused once a section.
    EXPECT_EQ(sections.size(), 20U) << half.title;
    ASSERT_TRUE(panel.magnified);
    EXPECT_LT(panel.magnified->time.end - panel.magnified->time.begin,
              panel.time.end - panel.time.begin);
    if (&half == &halves.front())
      continue;
    for (const auto& one : sections)
      for (const auto& other : sections)
        EXPECT_FALSE(one.lane != other.lane && one.begin < other.end && other.begin < one.end)
            << "lanes " << one.lane << " and " << other.lane << " at " << one.begin;
    EXPECT_EQ(value(note_of(half, "gaterace.locked_counted"), "overlapping"), "0");
  }
}

// The page and the tour's terminal state one count of overlapping sections: gaterace's own,
// from its output beside the log (where strace's times, slowed, could count otherwise); where
// the output is missing, or a FIFO planted in its place, the figure says so and never waits.
TEST(LessonDiagrams, TheOverlapCountsComeFromGateracesOwnOutput) {
  const std::vector<Figure> halves = lens::gaterace_figures(lesson_records(3));
  ASSERT_EQ(halves.size(), 2U);
  // The output of the run recorded: "unlocked overlapping: 16", "locked overlapping: 0".
  const lens::Note& unlocked = note_of(halves[0], "gaterace.unlocked_counted");
  EXPECT_EQ(value(unlocked, "overlapping"), "16");
  EXPECT_EQ(value(unlocked, "sections"), "20");
  EXPECT_EQ(value(unlocked, "file"), "lesson-gaterace-1.out");
  EXPECT_EQ(value(note_of(halves[1], "gaterace.locked_counted"), "overlapping"), "0");

  TempDir dir("lesson-record");
  fs::copy_file(strace_logs / "lessons" / "lesson-gaterace-1.strace",
                dir / "lesson-gaterace-1.strace");
  const auto stated = [&] {
    const auto drawn = lens::gaterace_figures(lens::read_tour_records(dir.path()).lessons[3]);
    EXPECT_EQ(drawn.size(), 2U);
    if (drawn.empty() || !has_note(drawn[0], "gaterace.unlocked_uncounted"))
      return std::string("(no note)");
    return value(note_of(drawn[0], "gaterace.unlocked_uncounted"), "problem");
  };
  EXPECT_EQ(stated(), "lesson-gaterace-1.out is missing from the record");
  ASSERT_EQ(mkfifo((dir / "lesson-gaterace-1.out").c_str(), 0600), 0);
  EXPECT_NE(stated().find("not a regular file"), std::string::npos);
  fs::remove(dir / "lesson-gaterace-1.out");
  std::string output = read_file(strace_logs / "lessons" / "lesson-gaterace-1.out");
  output.replace(output.find("rounds: 5"), 9, "rounds: 6");
  std::ofstream(dir / "lesson-gaterace-1.out") << output;
  EXPECT_NE(stated().find("lesson-gaterace-1.out: unlocked expected 20 is not"), std::string::npos)
      << stated();
}

TEST(LessonDiagrams, TheChildsReadHasNoEndUntilTheParentEndsIt) {
  const std::vector<Figure> figures = lens::relaykeep_figures(lesson_records(0));
  ASSERT_EQ(figures.size(), 1U);
  const Panel& panel = strace_panel(figures[0]);
  ASSERT_EQ(panel.lanes.size(), 2U);
  const auto read = std::find_if(panel.spans.begin(), panel.spans.end(),
                                 [](const lens::Span& span) { return span.label == "read"; });
  ASSERT_NE(read, panel.spans.end());
  EXPECT_EQ(read->lane, 1U);
  EXPECT_EQ(read->shade, lens::Shade::blocked);
  // strace shows the read broken off by the signal (no result): it lasts until the child dies.
  EXPECT_EQ(read->end, panel.lanes[1].end);
  const auto log = lens::read_log(strace_logs / "lessons" / "lesson-relaykeep-1.strace");
  ASSERT_TRUE(log);
  EXPECT_EQ(*log->ended(panel.lanes[1].id), read->end);
  EXPECT_TRUE(has_note(figures[0], "relaykeep.endless"));
  const auto marks = labels(panel.marks);
  EXPECT_NE(std::find(marks.begin(), marks.end(), "kill"), marks.end());
  EXPECT_NE(std::find(marks.begin(), marks.end(), "killed"), marks.end());
  // A run whose lessons were not recorded draws none of them; the lessons' figures follow the
  // steps' in the tour's order.
  EXPECT_EQ(lens::figures(lens::read_tour_records(strace_logs / "i386")).size(), 4U);
  const auto all = lens::figures(lens::read_tour_records(strace_logs / "lessons"));
  ASSERT_EQ(all.size(), 4U + 3U);
  EXPECT_EQ(all[4].title, "Lesson: relaykeep, the read that never returns");
  EXPECT_EQ(all[6].title, "Lesson: gaterace, inside the semaphore");
}

}  // namespace
}  // namespace ipcwalk
