// The tour's reader, lens, on strace logs of the four steps recorded on a real run (kept in
// tests/strace_logs, made by its `record` script): what it reads from them, the trace file it
// writes, and its page as a real browser shows it.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "diagrams.h"
#include "draw.h"
#include "facts/pipe.h"
#include "facts/tasks.h"
#include "facts/threads.h"
#include "files.h"
#include "lesson_diagrams.h"
#include "records/sched_log.h"
#include "runner.h"

namespace ipcwalk {
namespace {

using lens::Diagram;
using lens::Micros;
namespace fs = std::filesystem;

const fs::path logs = SOURCE_DIR "/tests/strace_logs";

const std::vector<Diagram>& recorded() {
  static const std::vector<Diagram> diagrams = lens::diagrams(lens::read_run(logs));
  return diagrams;
}

std::vector<std::string> names(const std::vector<lens::Mark>& marks) {
  std::vector<std::string> found;
  for (const auto& mark : marks)
    found.push_back(mark.name);
  return found;
}

std::vector<int> values(const lens::Counter& counter) {
  std::vector<int> found;
  for (const auto& step : counter.steps)
    found.push_back(step.value);
  return found;
}

TEST(TimelineLog, JoinsSplitCallsAndSkipsTheBytesDumpedUnderThem) {
  const auto log = lens::read_log(logs / "1-pipe-forkrelay.strace");
  ASSERT_TRUE(log);
  EXPECT_EQ(log->main_pid, 6700);
  EXPECT_EQ(log->pids, (std::vector<int>{6700, 6701}));
  // "6700 1796746026.177362 write(4, "Message from parent..., 128 <unfinished ...>", then,
  // after a line of the child, "<... write resumed>) = 128 <0.000034>".
  const auto writes = log->calls_of(6700, "write");
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0].args.substr(0, 27), "4, \"Message from parent\\xef");
  EXPECT_EQ(writes[0].result, "128");
  EXPECT_EQ(writes[0].begin, Micros{1796746026177362});
  EXPECT_EQ(writes[0].end, Micros{1796746026177362 + 34});
  // The hex dumps of -e read=all and -e write=all are no calls of their own.
  for (const auto& call : log->calls)
    EXPECT_TRUE(call.pid == 6700 || call.pid == 6701) << call.name;
  EXPECT_EQ(log->ended(6701), Micros{1796746026177895});
  // exit_group never returns: it is no success, and ends where it began.
  const auto ends = log->calls_of(6701, "exit_group");
  ASSERT_EQ(ends.size(), 1U);
  EXPECT_FALSE(ends[0].succeeded());
  EXPECT_TRUE(
      std::is_sorted(log->calls.begin(), log->calls.end(),
                     [](const auto& one, const auto& other) { return one.begin < other.begin; }));
}

// A log of a few lines as parse_log reads it, each call summed up as "PID TEXT @BEGIN+LENGTH",
// BEGIN counted from the log's first line, then what else it has.
std::vector<std::string> calls_in(const std::string& text) {
  std::istringstream in(text);
  const lens::Log log = lens::parse_log(in);
  std::vector<std::string> found;
  for (const auto& call : log.calls) {
    std::string line = std::to_string(call.pid) + " " + call.text + " @" +
                       std::to_string(call.begin - log.first) + "+" +
                       std::to_string(call.end - call.begin);
    if (!call.returned)
      line += " never returned";
    if (!call.dump.empty())
      line += " dump " + std::to_string(call.dump.size());
    found.push_back(line);
  }
  return found;
}

struct LogCase {
  std::string what;
  std::string log;
  std::vector<std::string> calls;
};

TEST(LensLog, EachKindOfLineReadAsStraceMeantIt) {
  const std::vector<LogCase> cases = {
      {"a signal is no call; the padding before = stays",
       "10 100.000000 wait4(-1, NULL, 0, NULL) = 11 <0.000005>\n"
       "10 100.000010 --- SIGCHLD {si_signo=SIGCHLD, si_code=CLD_EXITED, si_pid=11} ---\n"
       "10 100.000020 close(3)        = 0 <0.000002>\n",
       {"10 wait4(-1, NULL, 0, NULL) = 11 @0+5", "10 close(3)        = 0 @20+2"}},
      {"exit_group never returns",
       "10 100.000000 exit_group(0)   = ?\n10 100.000050 +++ exited with 0 +++\n",
       {"10 exit_group(0)   = ? @0+0 never returned"}},
      {"two processes' split calls, interleaved, each with its dump under its return",
       "10 100.000000 read(3,  <unfinished ...>\n"
       "11 100.000010 write(4, \"ab\", 2 <unfinished ...>\n"
       "11 100.000020 <... write resumed>) = 2 <0.000010>\n"
       " | 00000  61 62                                             ab               |\n"
       "10 100.000030 <... read resumed>\"ab\", 2) = 2 <0.000030>\n"
       " | 00000  61 62                                             ab               |\n",
       {"10 read(3, \"ab\", 2) = 2 @0+30 dump 1", "11 write(4, \"ab\", 2) = 2 @10+10 dump 1"}},
      {"a return whose entry the log lacks is dropped, its dump too",
       "10 100.000000 getpid() = 10 <0.000001>\n"
       "11 100.000010 <... read resumed>\"x\", 1) = 1 <0.000010>\n"
       " | 00000  78                                                x                |\n",
       {"10 getpid() = 10 @0+1"}},
      {"a process killed inside a call",
       "10 100.000000 read(0,  <unfinished ...>\n10 100.000500 +++ killed by SIGKILL +++\n",
       {"10 read(0,  @0+500 never returned"}},
      {"one process killed inside a call while the other carries on with split calls",
       "10 100.000000 read(0,  <unfinished ...>\n"
       "11 100.000010 futex(0x1, FUTEX_WAIT, 0, NULL <unfinished ...>\n"
       "10 100.000500 +++ killed by SIGKILL +++\n"
       "11 100.000600 <... futex resumed>) = 0 <0.000590>\n"
       "11 100.000700 close(3) = 0 <0.000002>\n",
       {"10 read(0,  @0+500 never returned", "11 futex(0x1, FUTEX_WAIT, 0, NULL) = 0 @10+590",
        "11 close(3) = 0 @700+2"}},
      {"a duration over a day is none",
       "10 100.000000 nanosleep({tv_sec=1, tv_nsec=0}, NULL) = 0 <86400.000001>\n",
       {"10 nanosleep({tv_sec=1, tv_nsec=0}, NULL) = 0 @0+0"}},
      {"a time more than a day from the first line's is skipped",
       "10 200000.000000 getpid() = 10 <0.000001>\n"
       "10 4611686018427.999999 getppid() = 1 <0.000001>\n"
       "10 100000.000000 getuid() = 0 <0.000001>\n"
       "10 200000.000100 gettid() = 10 <0.000001>\n",
       {"10 getpid() = 10 @0+1", "10 gettid() = 10 @100+1"}},
      {"the largest time and duration a log can hold, and a time past it",
       "10 4611686018427.999999 read(0, \"\", 1) = 0 <4611686018427.999999>\n"
       "10 9223372036854.775807 getpid() = 10 <0.000001>\n",
       {"10 read(0, \"\", 1) = 0 @0+0"}},
  };
  for (const auto& one : cases)
    EXPECT_EQ(calls_in(one.log), one.calls) << one.what;
}

TEST(LensLog, IndexByPidAgreesWithTheCalls) {
  const auto log = lens::read_log(logs / "2-threads-threetally.strace");
  ASSERT_TRUE(log);
  EXPECT_EQ(log->pids.size(), 17U);
  for (const int pid : log->pids) {
    std::size_t seen = 0;
    for (const std::size_t place : log->places_of(pid)) {
      EXPECT_EQ(log->calls[place].pid, pid);
      EXPECT_EQ(log->calls[place].begin, log->calls_of(pid)[seen++].begin);
    }
    EXPECT_EQ(seen, log->calls_of(pid).size());
    EXPECT_LE(log->appears(pid), log->ended(pid)) << pid;
  }
  EXPECT_TRUE(log->places_of(1).empty());
  EXPECT_FALSE(log->appears(1));
}

TEST(TimelineDiagrams, PipeLanesMarksAndTheRecordFromWriteToRead) {
  const Diagram& pipe = recorded()[0];
  ASSERT_EQ(pipe.missing, "");
  ASSERT_EQ(pipe.lanes.size(), 2U);
  EXPECT_EQ(pipe.lanes[0].label(), "forkrelay parent 6700");
  EXPECT_EQ(pipe.lanes[1].label(), "forkrelay child 6701");
  EXPECT_EQ(names(pipe.marks), (std::vector<std::string>{"pipe2", "fork", "exit", "exit"}));
  EXPECT_LT(pipe.marks[0].at, pipe.marks[1].at);
  ASSERT_EQ(pipe.spans.size(), 2U);
  const auto& write = pipe.spans[0];
  const auto& read = pipe.spans[1];
  EXPECT_EQ(write.name + "@" + std::to_string(write.lane), "write@0");
  EXPECT_EQ(read.name + "@" + std::to_string(read.lane), "read@1");
  // The child's read(3, ...): from its entry to its return, 27 microseconds by -T. It began
  // after the parent's write: the record was already there, so it is drawn as no wait.
  EXPECT_EQ(read.begin, Micros{1796746026177438});
  EXPECT_EQ(read.end - read.begin, 27);
  EXPECT_LT(write.begin, read.begin);
  EXPECT_EQ(read.look, lens::Look::busy);
  ASSERT_EQ(pipe.arrows.size(), 1U);
  const auto& arrow = pipe.arrows[0];
  EXPECT_TRUE(arrow.from >= write.begin && arrow.from <= write.end);
  EXPECT_TRUE(arrow.to >= read.begin && arrow.to <= read.end && arrow.to >= arrow.from);
}

TEST(TimelineDiagrams, ThreadsFillThenSixteenWorkersThenJoin) {
  const Diagram& threads = recorded()[1];
  ASSERT_EQ(threads.missing, "");
  ASSERT_EQ(threads.lanes.size(), 17U);
  const auto& main = threads.lanes[0];
  EXPECT_EQ(main.label(), "threetally main 6706");
  EXPECT_EQ(threads.lanes[1].label(), "threetally worker 6707");
  const auto& fill = threads.spans.front();
  ASSERT_EQ(fill.name, "fill");
  Micros last_end = 0;
  for (std::size_t lane = 1; lane < threads.lanes.size(); ++lane) {
    // Every worker lives after the fill, within main's life.
    EXPECT_GE(threads.lanes[lane].begin, fill.end);
    EXPECT_LE(threads.lanes[lane].end, main.end);
    last_end = std::max(last_end, threads.lanes[lane].end);
  }
  const auto& join = threads.spans.back();
  ASSERT_EQ(join.name, "join");
  EXPECT_EQ(join.end, last_end);
  const auto alive = values(threads.counters.at(0));
  EXPECT_EQ(alive.front(), 1);
  EXPECT_EQ(alive.back(), 0);
  EXPECT_EQ(*std::max_element(alive.begin(), alive.end()), 10);
}

// Where the fill's time went: the note states the tour's counts of both runs as they were
// written (milliseconds), and says nothing where a count is not one.
TEST(TimelineDiagrams, TheFillsCostIsWhatTheTourCounted) {
  lens::Run run = lens::read_run(logs);
  ASSERT_FALSE(run.threetally_cost);  // the recorded sample has none
  TempDir dir("costs");
  std::ofstream(dir / "strace.cost") << "page faults: 281\nuser: 40 ms\nsystem: 1520 ms\n";
  std::ofstream(dir / "perf.cost") << "page faults: 279\nuser: 30 ms\nsystem: 45 ms\n";
  std::ofstream(dir / "bad.cost") << "page faults: 281\nuser: 40 s\nsystem: 1520 ms\n";
  run.threetally_cost = lens::read_cost(dir / "strace.cost");
  run.threads_sched_cost = lens::read_cost(dir / "perf.cost");
  ASSERT_TRUE(run.threetally_cost && run.threads_sched_cost);
  EXPECT_FALSE(lens::read_cost(dir / "bad.cost"));
  EXPECT_FALSE(lens::read_cost(dir / "missing.cost"));
  const Diagram threads = lens::threads_diagram(run);
  const std::string& note = threads.notes.back();
  for (const char* part : {"this run spent 1520 ms in the kernel (and 40.0 ms in its own code) for "
                           "281 page faults (strace's own included)",
                           "Run again under perf, the step spent 45.0 ms in the kernel for 279"}) {
    EXPECT_NE(note.find(part), std::string::npos) << note;
  }
}

TEST(TimelineDiagrams, SegmentAttachmentsOverlapDuringTheFirstPause) {
  const Diagram& segment = recorded()[2];
  ASSERT_EQ(segment.missing, "");
  ASSERT_EQ(segment.lanes.size(), 4U);
  EXPECT_EQ(names(segment.marks), (std::vector<std::string>{"shmget", "shmat", "shmdt", "shmat",
                                                            "shmdt", "shmat", "shmdt"}));
  // The later segpeek attaches once more after both have ended.
  EXPECT_EQ(values(segment.counters.at(0)), (std::vector<int>{0, 1, 2, 1, 0, 1, 0}));
  std::map<std::size_t, std::vector<lens::Span>> pauses;
  for (const auto& span : segment.spans)
    if (span.name == "pause")
      pauses[span.lane].push_back(span);
  // Both Enters came at once: each program's two getchar()s took them in one read.
  ASSERT_EQ(pauses[1].size(), 1U);
  ASSERT_EQ(pauses[2].size(), 1U);
  // segpeek attaches and detaches while segstamp sits in its first pause.
  EXPECT_LT(pauses[1][0].begin, segment.lanes[2].begin);
  EXPECT_GT(pauses[1][0].end, pauses[2][0].end);
}

TEST(TimelineDiagrams, SegmentLaterSegpeekFindsTheGreetingAfterBothEnded) {
  const Diagram& segment = recorded()[2];
  ASSERT_EQ(segment.lanes.size(), 4U);
  const auto& later = segment.lanes[3];
  EXPECT_EQ(later.label(), "segpeek 2 6763");
  EXPECT_GT(later.begin, segment.lanes[1].end);
  EXPECT_GT(later.begin, segment.lanes[2].end);
  // Its own listings through the shell, before and after it detaches.
  const auto shells = std::count_if(
      segment.spans.begin(), segment.spans.end(),
      [](const auto& span) { return span.lane == 3 && span.look == lens::Look::shell; });
  EXPECT_EQ(shells, 2);
  EXPECT_TRUE(std::any_of(segment.notes.begin(), segment.notes.end(), [](const auto& note) {
    return note.find("greeting is still there") != std::string::npos;
  }));
}

TEST(TimelineDiagrams, SemaphoreWaitEndsAfterThePostThatWakesIt) {
  const Diagram& semaphore = recorded()[3];
  ASSERT_EQ(semaphore.missing, "");
  ASSERT_EQ(semaphore.lanes.size(), 4U);
  EXPECT_EQ(semaphore.lanes[2].label(), "gatetake 2 6782");
  ASSERT_EQ(semaphore.spans.size(), 2U);
  const auto& wait = semaphore.spans[0];
  const auto& post = semaphore.spans[1];
  EXPECT_EQ(wait.name + "@" + std::to_string(wait.lane), "wait@2");
  EXPECT_EQ(post.name + "@" + std::to_string(post.lane), "post@3");
  EXPECT_EQ(wait.end - wait.begin, 123157);
  EXPECT_LT(post.begin, wait.end);
  EXPECT_EQ(values(semaphore.counters.at(0)), (std::vector<int>{1, 0, 1, 0}));
  // The step runs from gatenew's first line, not from the last program's, and holds every lane.
  EXPECT_EQ(semaphore.time.begin, semaphore.lanes[0].begin);
  for (const auto& lane : semaphore.lanes)
    EXPECT_TRUE(lane.begin >= semaphore.time.begin && lane.end <= semaphore.time.end);
}

// Recorded from 32-bit programs, the wait's end by the waiter's clock comes 15 microseconds
// before the post by the giver's: still the post that woke it, and the take comes after it.
TEST(TimelineDiagrams, SemaphoreWakeUpDespiteTheTwoLogsClocks) {
  const Diagram semaphore = lens::semaphore_diagram(lens::read_run(logs / "i386"));
  ASSERT_EQ(semaphore.missing, "");
  ASSERT_EQ(semaphore.arrows.size(), 1U);
  EXPECT_EQ(values(semaphore.counters.at(0)), (std::vector<int>{1, 0, 1, 0}));
  EXPECT_EQ(names(semaphore.marks), (std::vector<std::string>{"sem_open", "take", "take"}));
  EXPECT_GT(semaphore.marks[2].at, semaphore.spans.at(1).begin);
}

// Fault: a futex wait that returned before gategive's post (another task's FUTEX_WAKE on the
// semaphore's memory, or EAGAIN) taken for the one that the post ended, because it was the
// longest; the wait not drawn from its first sleep; those returns not said.
TEST(TimelineDiagrams, SemaphoreWaitsThatReturnedBeforeThePostAreNotItsWakeUp) {
  std::ifstream file(logs / "4-semaphore-gatetake-2.strace");
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
  lens::Run run = lens::read_run(logs);
  std::istringstream in(text);
  run.gatetake_2 = lens::parse_log(in);
  const Diagram semaphore = lens::semaphore_diagram(run);
  ASSERT_EQ(semaphore.spans.size(), 2U);
  EXPECT_EQ(semaphore.spans[0].name, "wait");
  EXPECT_EQ(semaphore.spans[0].end - semaphore.spans[0].begin, 123157);
  ASSERT_EQ(semaphore.arrows.size(), 1U);
  EXPECT_EQ(values(semaphore.counters.at(0)), (std::vector<int>{1, 0, 1, 0}));
  const auto said = [&semaphore](const std::string& part) {
    return std::any_of(
        semaphore.notes.begin(), semaphore.notes.end(),
        [&](const std::string& note) { return note.find(part) != std::string::npos; });
  };
  EXPECT_TRUE(
      said("sleeps in the kernel (a futex wait, hatched) for 123 ms, until gategive posts"));
  EXPECT_TRUE(said("Before the post, its futex wait returned twice with the value still 0"));
  // Untouched, the recorded wait returned once, at the post: nothing to say.
  EXPECT_FALSE(std::any_of(
      recorded()[3].notes.begin(), recorded()[3].notes.end(),
      [](const std::string& note) { return note.find("Before the post") != std::string::npos; }));
}

TEST(TimelineDiagrams, MissingLogsGiveDiagramsThatSaySo) {
  TempDir empty("timeline");
  const auto diagrams = lens::diagrams(lens::read_run(empty.path()));
  ASSERT_EQ(diagrams.size(), 4U);
  for (const auto& diagram : diagrams)
    EXPECT_NE(diagram.missing, "") << diagram.title;
  const std::string page = lens::page_html(diagrams);
  EXPECT_NE(page.find("Not recorded: gatenew"), std::string::npos);
  EXPECT_EQ(lens::trace_json(diagrams), "{\"traceEvents\": [\n],\n\"displayTimeUnit\": \"ms\"}\n");
}

// A log written by hand, as strace prints it.
lens::Log log_of(const std::string& text) {
  std::istringstream in(text);
  return lens::parse_log(in);
}

TEST(TimelineDiagrams, PipeReadThatBeganBeforeTheWriteIsDrawnWaiting) {
  lens::Run run;
  run.forkrelay = log_of(
      "500 1000.000000 pipe2([3, 4], 0) = 0 <0.000010>\n"
      "500 1000.000100 clone(child_stack=NULL, flags=CLONE_CHILD_SETTID|SIGCHLD) = 501 <0.000050>\n"
      "501 1000.000200 read(3,  <unfinished ...>\n"
      "500 1000.000300 write(4, \"Message\", 128) = 128 <0.000020>\n"
      "501 1000.000400 <... read resumed>\"Message\", 128) = 128 <0.000200>\n");
  const Diagram pipe = lens::pipe_diagram(run);
  ASSERT_EQ(pipe.missing, "");
  ASSERT_EQ(pipe.spans.size(), 2U);
  EXPECT_EQ(pipe.spans[1].name, "read");
  EXPECT_EQ(pipe.spans[1].look, lens::Look::blocked);
  EXPECT_NE(pipe.notes.at(1).find("began 0.10 ms before the parent's write"), std::string::npos);
}

// Times far apart (a wrong clock, a log made by hand): nothing overflows (the sanitizer build
// stops at an overflow), no step line goes below 0, and no magnified window ends before it begins.
TEST(TimelineDiagrams, TimesFarApartNeitherOverflowNorCountBelowZero) {
  const auto sane = [](const Diagram& diagram, const std::string& what) {
    for (const auto& counter : diagram.counters)
      for (const int value : values(counter))
        EXPECT_GE(value, 0) << what << ": " << counter.name;
    if (diagram.detail) {
      EXPECT_LE(diagram.detail->begin, diagram.detail->end) << what;
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
    lens::Run run;
    run.gatenew =
        log_of("100 1000.000000 link(\"/dev/shm/sem.a\", \"/dev/shm/sem.g\") = 0 <0.0>\n");
    run.gatetake_1 = log_of("101 1000.100000 mmap(NULL, 32, 3, MAP_SHARED, 3, 0) = 0x7f00 <0.0>\n");
    run.gatetake_2 = log_of("102 1000.200000" + futex + "WAIT_BITSET, 0) = 0 <" + took + ">\n");
    run.gategive = log_of("103 " + at + futex + "WAKE, 1) = 1 <0.000010>\n");
    sane(lens::semaphore_diagram(run), what);
  }
  lens::Run run;
  run.segstamp = log_of("200 1000.000000 shmdt(0x7f0000000000) = 0 <0.000010>\n");
  sane(lens::segment_diagram(run), "a detach without an attach");
}

TEST(TimelineJson, ParsesAndHoldsWhatTraceViewersNeed) {
  const Json trace = Json::parse(lens::trace_json(recorded()));
  EXPECT_EQ(trace.at("displayTimeUnit"), "ms");
  using Lane = std::pair<int, int>;  // pid, tid
  std::map<Lane, std::vector<std::pair<double, double>>> spans;
  std::map<std::string, const Json*> flow_starts;
  std::vector<const Json*> flow_ends;
  std::map<int, std::string> processes;
  for (const Json& event : trace.at("traceEvents")) {
    const auto phase = event.at("ph").get<std::string>();
    const auto category = event.at("cat").get<std::string>();
    EXPECT_TRUE(category == "pipe" || category == "threads" || category == "segment" ||
                category == "semaphore");
    const Lane lane{event.at("pid").get<int>(), event.at("tid").get<int>()};
    if (phase == "X") {
      ASSERT_TRUE(event.contains("dur")) << event.at("name");
      const auto ts = event.at("ts").get<double>();
      spans[lane].emplace_back(ts, ts + event.at("dur").get<double>());
    } else if (phase == "s") {
      flow_starts[category + event.at("id").dump()] = &event;
    } else if (phase == "f") {
      EXPECT_EQ(event.at("bp"), "e");
      flow_ends.push_back(&event);
    } else if (phase == "M" && event.at("name") == "process_name") {
      processes[lane.first] = event.at("args").at("name").get<std::string>();
    }
  }
  std::set<std::string> programs;
  for (const auto& [pid, name] : processes)
    programs.insert(name);
  EXPECT_EQ(programs, (std::set<std::string>{"forkrelay", "gategive", "gatenew", "gatetake",
                                             "segmake", "segpeek", "segstamp", "threetally"}));
  // Spans on one lane nest: each one either ends before the next begins or holds it whole.
  for (auto& [lane, list] : spans) {
    std::sort(list.begin(), list.end());
    for (std::size_t index = 1; index < list.size(); ++index)
      EXPECT_TRUE(list[index].first >= list[index - 1].second ||
                  list[index].second <= list[index - 1].second);
  }
  const auto inside_a_span = [&spans](const Json& event) {
    const auto& list = spans[{event.at("pid").get<int>(), event.at("tid").get<int>()}];
    const auto ts = event.at("ts").get<double>();
    return std::any_of(list.begin(), list.end(),
                       [ts](const auto& span) { return ts >= span.first && ts <= span.second; });
  };
  ASSERT_EQ(flow_ends.size(), 2U);
  ASSERT_EQ(flow_starts.size(), 2U);
  for (const Json* end : flow_ends) {
    const Json* start = flow_starts.at(end->at("cat").get<std::string>() + end->at("id").dump());
    EXPECT_GE(end->at("ts").get<double>(), start->at("ts").get<double>());
    EXPECT_TRUE(inside_a_span(*start) && inside_a_span(*end)) << end->at("name");
  }
}

// A diagram of one process whose names hold what JSON and HTML cannot take raw: control
// characters, quotes, a backslash, and (where `stray` is set) a byte that is not UTF-8.
Diagram oddly_named(bool stray) {
  Diagram diagram;
  diagram.mechanism = "pipe";
  diagram.title = "odd names";
  diagram.time = {1000, 2000};
  const std::string program = stray ? "seg\xffpeek" : "seg\x01peek\n\"q\" \\ \x7f <b>&";
  diagram.lanes.push_back(lens::Lane{7, 7, program, "", 1000, 2000});
  diagram.spans.push_back(lens::Span{0, "wait\tfor\x1f", 1100, 1200, lens::Look::blocked});
  diagram.counters.push_back(lens::Counter{"alive\x02", 7, {{1000, 1}, {1500, 0}}});
  return diagram;
}

// Every name and text of a trace file, as a strict reader reads them back.
std::set<std::string> texts_of(const Json& trace) {
  std::set<std::string> texts;
  for (const Json& event : trace.at("traceEvents")) {
    texts.insert(event.at("name").get<std::string>());
    const Json args = event.value("args", Json::object());
    for (const auto& [key, value] : args.items()) {
      texts.insert(key);
      if (value.is_string())
        texts.insert(value.get<std::string>());
    }
  }
  return texts;
}

// A name that JSON cannot hold raw comes out escaped, and a strict reader reads back the same
// text; a byte that is not UTF-8 (which would make the whole file unreadable) becomes U+FFFD.
TEST(TimelineJson, NamesWithControlCharactersReadBackTheSame) {
  const Diagram odd = oddly_named(false);
  const std::set<std::string> texts = texts_of(Json::parse(lens::trace_json({odd})));
  for (const std::string& name :
       {odd.lanes[0].program, odd.lanes[0].label(), odd.spans[0].name, odd.counters[0].name})
    EXPECT_TRUE(texts.count(name)) << Json(name).dump();

  const Diagram stray = oddly_named(true);
  EXPECT_TRUE(texts_of(Json::parse(lens::trace_json({stray}))).count("seg\xef\xbf\xbdpeek"));
}

// One line of the kernel's trace text in a trace file, as its shape gives it.
struct TextLine {
  std::string task;  // the task column's name
  int pid = 0;
  int cpu = 0;
  double seconds = 0;
  std::string event;                // "sched_switch", "sched_waking", "sched_wakeup_new"
  std::vector<std::string> fields;  // switch: prev's comm, pid, prio, state, next's comm, pid,
                                    // prio; a wake-up: comm, pid, prio, target CPU
};

// The lines of the trace file's kernel text (systemTraceEvents), each checked against the shape
// that Perfetto's reader of that text takes: "TASK-PID [CPU] FLAGS SECONDS: EVENT: FIELDS", the
// fields in the kernel's own print format, no name holding a blank, an "=" or a control
// character (any of which would cut a field or a line short).
std::vector<TextLine> kernel_text(const Json& trace) {
  std::vector<TextLine> lines;
  if (!trace.contains("systemTraceEvents"))
    return lines;
  EXPECT_TRUE(trace.at("systemTraceEvents").is_string());
  const auto text = trace.at("systemTraceEvents").get<std::string>();
  EXPECT_TRUE(std::none_of(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == '\x7f';
  }));
  const std::regex shape(R"(^ *(.+)-(\d+) +\[(\d{3,})\] [^ ]{4,5} +(\d+\.\d{6}): )"
                         R"((sched_switch|sched_waking|sched_wakeup_new): (.*)$)");
  const std::regex switched(
      R"(^prev_comm=([^ =]*) prev_pid=(\d+) prev_prio=(-?\d+) prev_state=([A-Za-z+|?]+) )"
      R"(==> next_comm=([^ =]*) next_pid=(\d+) next_prio=(-?\d+)$)");
  const std::regex woken(R"(^comm=([^ =]*) pid=(\d+) prio=(-?\d+) target_cpu=(\d{3,})$)");
  std::istringstream in(text);
  bool header = true;
  for (std::string line; std::getline(in, line);) {
    if (header && line.starts_with("#"))
      continue;
    header = false;
    std::smatch parts;
    std::smatch fields;
    if (!std::regex_match(line, parts, shape)) {
      ADD_FAILURE() << line;
      continue;
    }
    TextLine read{parts[1], std::stoi(parts[2]), std::stoi(parts[3]), std::stod(parts[4]), parts[5],
                  {}};
    const std::string rest = parts[6];
    if (!std::regex_match(rest, fields, read.event == "sched_switch" ? switched : woken)) {
      ADD_FAILURE() << line;
      continue;
    }
    for (std::size_t index = 1; index < fields.size(); ++index)
      read.fields.push_back(fields[index]);
    lines.push_back(read);
  }
  return lines;
}

// Where the kernel text goes back in time on a CPU, or a switch's prev_pid is not the task that
// the previous switch on that CPU put there: how many such switches.
int broken_chains(const std::vector<TextLine>& lines) {
  std::map<int, double> last_time;
  std::map<int, std::string> running;
  int broken = 0;
  for (const TextLine& line : lines) {
    EXPECT_GE(line.seconds, last_time[line.cpu]) << line.cpu;
    last_time[line.cpu] = line.seconds;
    if (line.event != "sched_switch")
      continue;
    if (running.count(line.cpu) && running[line.cpu] != line.fields[1])
      ++broken;
    running[line.cpu] = line.fields[5];
  }
  return broken;
}

// The strace run's end in a trace file: the latest end of its timed events, in microseconds.
double strace_end(const Json& trace) {
  double end = 0;
  for (const Json& event : trace.at("traceEvents"))
    if (event.at("ph") != "M" && event.value("s", "") != "g")
      end = std::max(end, event.at("ts").get<double>() + event.value("dur", 0.0));
  return end;
}

lens::KernelEvent switched(std::int64_t at, int cpu, lens::KernelTask prev, std::string state,
                           lens::KernelTask next) {
  return {lens::KernelEvent::Kind::switched,
          at,
          cpu,
          std::move(prev),
          std::move(state),
          std::move(next),
          -1};
}
lens::KernelEvent woke(std::int64_t at, int cpu, lens::KernelTask waker, lens::KernelTask woken,
                       int target, bool new_task = false) {
  return {new_task ? lens::KernelEvent::Kind::wakeup_new : lens::KernelEvent::Kind::waking,
          at,
          cpu,
          std::move(waker),
          "",
          std::move(woken),
          target};
}

// Faults: the scheduler's run laid on strace's run (another run, read as simultaneous) or two
// steps' runs on one another; a name that breaks the text's line or fields (a blank, "=", a
// control character, a byte not UTF-8); the idle task not named as the kernel names it; a
// switch lost or written twice; an event before the step's clock, or one that the text cannot
// tell, written anyway.
TEST(TimelineJson, SchedulerRunsAreTheKernelsTraceTextAfterStracesRun) {
  std::vector<Diagram> steps = recorded();
  const lens::KernelTask idle{"swapper/0", 0, 120};
  const lens::KernelTask worker{"prog worker", 21, 120};
  const lens::KernelTask odd{"a=b\x01\n", 22, 100};
  const lens::KernelTask stray{"\xff\xfe-1 [000]", 23, 120};
  constexpr std::int64_t second = 1'000'000'000;
  lens::CpuView pipe;
  pipe.clock = 5'000'000;  // 5 s on perf's clock
  pipe.end = 3000;
  pipe.kernel = {
      switched(4 * second, 0, idle, "R", worker),  // before the clock: not the step's
      switched(5 * second, 0, idle, "R", worker),
      woke(5 * second + 1000, 0, worker, odd, 1),
      woke(5 * second + 1500, 0, worker, odd, -1),  // no CPU to tell: left out
      switched(5 * second + 2000, 1, {"swapper/1", 0, 120}, "R", odd),
      switched(5 * second + 3000, 1, odd, "S\n==> x", stray),
      woke(5 * second + 3500, 1, stray, {"new", 24, 120}, 0, true),
      switched(5 * second + 4000, 0, worker, "R+", idle),
  };
  lens::CpuView semaphore;
  semaphore.clock = 1'000'000;  // an earlier clock than the pipe's: its own
  semaphore.end = 10;
  semaphore.kernel = {switched(second, 0, idle, "R", {"gategive", 30, 120}),
                      switched(second + 9000, 0, {"gategive", 30, 120}, "D|K", idle)};
  steps[0].cpu = pipe;
  steps[3].cpu = semaphore;
  const Json trace = Json::parse(lens::trace_json(steps));
  const std::vector<TextLine> lines = kernel_text(trace);
  ASSERT_EQ(lines.size(), 8U);
  EXPECT_EQ(broken_chains(lines), 0);
  std::vector<std::string> told;
  for (const TextLine& line : lines)
    told.push_back(line.task + "-" + std::to_string(line.pid) + " " + line.event + " " +
                   line.fields[0] + " " + line.fields.back());
  EXPECT_EQ(told, (std::vector<std::string>{
                      "<idle>-0 sched_switch swapper/0 120",
                      "prog\u2420worker-21 sched_waking a\uff1db\u2401\u240a 001",
                      "<idle>-0 sched_switch swapper/1 100",
                      "a\uff1db\u2401\u240a-22 sched_switch a\uff1db\u2401\u240a 120",
                      "\ufffd\ufffd-1\u2420[000]-23 sched_wakeup_new new 000",
                      "prog\u2420worker-21 sched_switch prog\u2420worker 120",
                      "<idle>-0 sched_switch swapper/0 120",
                      "gategive-30 sched_switch gategive 120",
                  }));
  EXPECT_EQ(lines[3].fields[3], "S");  // the state's letters only
  // strace's run first, then the pipe's scheduler's run, then the semaphore's, each with a mark.
  EXPECT_GT(lines.front().seconds * 1e6, strace_end(trace));
  EXPECT_GT(lines[6].seconds, lines[5].seconds + 0.5);
  EXPECT_NEAR(lines[5].seconds - lines[0].seconds, 0.000004, 1e-9);
  std::vector<double> marks;
  for (const Json& event : trace.at("traceEvents"))
    if (event.value("s", "") == "g")
      marks.push_back(event.at("ts").get<double>() / 1e6);
  ASSERT_EQ(marks.size(), 2U);
  EXPECT_DOUBLE_EQ(marks[0], lines[0].seconds);
  EXPECT_DOUBLE_EQ(marks[1], lines[6].seconds);
  // No stand-in processes for CPUs any more: every pid is a program's, or the marks' 0.
  for (const Json& event : trace.at("traceEvents"))
    EXPECT_LT(event.at("pid").get<int>(), 4194304);
  // Without a scheduler's record, no kernel text at all.
  EXPECT_FALSE(Json::parse(lens::trace_json(recorded())).contains("systemTraceEvents"));
}

// The page shows control characters as their pictures (U+2400 on), never raw: HTML forbids most
// of them, and a raw newline would break the name in two. Faults: the scheduler's panel escaping
// a name otherwise than strace's panel on the same page ("a\u2401b" there, "a\ufffdb" here); a
// byte that is not UTF-8 sent raw, which leaves the page invalid.
TEST(TimelinePage, ShowsControlCharactersAsTheirPictures) {
  for (const bool stray : {false, true}) {
    Diagram odd = oddly_named(stray);
    odd.cpu = lens::CpuView{};
    odd.cpu->end = 1000;
    odd.cpu->lanes.push_back({odd.lanes[0].program, 7, 0, 1000, {}});
    const std::string page = lens::page_html({odd});
    for (const char raw : {'\x01', '\x02', '\x1f', '\x7f', '\t', '\xff'})
      EXPECT_EQ(page.find(raw), std::string::npos) << int{raw};
    const std::string shown =
        stray ? "seg\ufffdpeek" : "seg\u2401peek\u240a&quot;q&quot; \\ \u2421 &lt;b&gt;&amp;";
    EXPECT_EQ(count(page, ">" + shown + "</text>"), 1U);                         // strace's lane
    EXPECT_EQ(count(page, ">" + shown + " <tspan class=\"id\">7</tspan>"), 1U);  // the CPUs'
    if (!stray) {
      EXPECT_NE(page.find("wait\u2409for\u241f"), std::string::npos);
      EXPECT_EQ(page.find("<b>"), std::string::npos);  // a name's markup is text, not markup
    }
  }
}

// Each running bar's "CPU n" names the CPU its own span ran on: two lanes, each running the whole
// step on a CPU of its own, the first on CPU 1 and the second on CPU 0. A label taken from the
// lane's place, or from another span, names the wrong one.
TEST(TimelinePage, ARunningBarNamesTheCpuItsSpanRanOn) {
  Diagram diagram = oddly_named(false);
  diagram.cpu = lens::CpuView{};
  diagram.cpu->cpus = 2;
  diagram.cpu->end = 1000;
  for (const auto& [tid, cpu] : {std::pair{21, 1}, std::pair{22, 0}}) {
    const lens::SchedSpan running{lens::Doing::running, 0, 1000, cpu, 0, -1};
    diagram.cpu->lanes.push_back({"lane" + std::to_string(tid), tid, 0, 1000, {running}});
  }
  const std::string page = lens::page_html({diagram});
  // The y of each lane's name, and of each "CPU n" text.
  std::map<double, std::string> at;
  const std::regex text(
      "<text class=\"(lane|oncpu)\" x=\"[0-9.]+\" y=\"([0-9.]+)\">"
      "(lane[0-9]+|CPU [0-9]+)");
  for (std::sregex_iterator it(page.begin(), page.end(), text), end; it != end; ++it)
    at[std::stod((*it)[2])] += (*it)[3].str() + " ";
  std::vector<std::string> rows;
  for (const auto& [y, texts] : at)
    rows.push_back(texts);
  EXPECT_EQ(rows, (std::vector<std::string>{"lane21 CPU 1 ", "lane22 CPU 0 "})) << page;
}

// Every fill and arrowhead the page asks for is defined, once: a url(#...) with no such id draws
// a span empty or an arrow headless, and no browser says why.
TEST(TimelinePage, EveryUrlItUsesIsDefinedOnce) {
  const std::string page = lens::page_html(recorded());
  std::map<std::string, int> ids;
  const std::regex id_pattern("id=\"([^\"]+)\"");
  for (std::sregex_iterator it(page.begin(), page.end(), id_pattern), end; it != end; ++it)
    ++ids[(*it)[1]];
  std::set<std::string> used;
  const std::regex url_pattern("url\\(#([^)]+)\\)");
  for (std::sregex_iterator it(page.begin(), page.end(), url_pattern), end; it != end; ++it)
    used.insert((*it)[1]);
  EXPECT_GE(used.size(), 4U * 2);  // at least a fill and the arrowhead of each diagram
  for (const std::string& id : used)
    EXPECT_EQ(ids[id], 1) << id;
}

// A diagram of one lane over a second, with a step line of the given steps.
Diagram stepping(const std::vector<lens::Step>& steps) {
  Diagram diagram;
  diagram.mechanism = "semaphore";
  diagram.time = {0, 1'000'000};
  diagram.lanes.push_back(lens::Lane{9, 9, "gategive", "", 0, 1'000'000});
  diagram.counters.push_back(lens::Counter{"value", 9, steps});
  return diagram;
}

// The values written on the page's step lines: x, y and text of each.
struct Written {
  double x;
  double y;
  std::string text;
};
std::vector<Written> written_values(const std::string& page) {
  std::vector<Written> found;
  const std::regex value("<text class=\"value\" x=\"([-0-9.]+)\" y=\"([-0-9.]+)\">([^<]*)</text>");
  for (std::sregex_iterator it(page.begin(), page.end(), value), end; it != end; ++it)
    found.push_back({std::stod((*it)[1]), std::stod((*it)[2]), (*it)[3]});
  std::sort(found.begin(), found.end(), [](const auto& one, const auto& other) {
    return std::tie(one.x, one.y) < std::tie(other.x, other.y);
  });
  return found;
}

// Steps closer than a label can be wide (a post and the wake-up, microseconds apart in a step of
// a second) must not leave the page saying the line ends on a value it left: the last value
// written is the final one, the highest is written somewhere, and no two values overlap.
TEST(TimelinePage, StepLineValuesStayTrueWhereStepsCrowd) {
  const auto last_and_all = [](const std::vector<lens::Step>& steps) {
    const auto written = written_values(lens::page_html({stepping(steps)}));
    std::vector<std::string> texts;
    for (const auto& each : written)
      texts.push_back(each.text);
    return std::make_pair(written.empty() ? "" : written.back().text, texts);
  };
  const auto [last, texts] = last_and_all({{0, 1}, {10'000, 0}, {990'000, 1}, {990'010, 0}});
  EXPECT_EQ(last, "0");
  EXPECT_NE(std::find(texts.begin(), texts.end(), "1"), texts.end());
  // Where the highest is only in the crowd, and too close to the final value to have a place of
  // its own, the final value says that the line went there first.
  EXPECT_EQ(last_and_all({{0, 0}, {999'000, 10}, {999'010, 9}}).first, "10\u21929");

  // Ten threads started and ended a few microseconds apart: values only where they have room.
  std::vector<lens::Step> crowd;
  for (int value = 0; value <= 10; ++value)
    crowd.push_back({value * 5, value});
  for (int value = 9; value >= 0; --value)
    crowd.push_back({crowd.back().at + 7, value});
  const auto written = written_values(lens::page_html({stepping(crowd)}));
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(written.back().text, "0");
  for (std::size_t one = 0; one < written.size(); ++one)
    for (std::size_t other = one + 1; other < written.size(); ++other)
      EXPECT_TRUE(std::abs(written[one].y - written[other].y) >= 10 ||
                  written[other].x - written[one].x >=
                      6.0 * static_cast<double>(written[one].text.size()))
          << written[one].text << " and " << written[other].text << " overlap";
}

// A span that outlasts the magnified window (a post longer than the wake-up it causes) is drawn
// to the window's edge with a sign that it goes on, and the key says what that sign means.
TEST(TimelinePage, ASpanCutByTheWindowShowsThatItGoesOn) {
  Diagram diagram = stepping({{0, 0}});
  diagram.spans.push_back(lens::Span{0, "post", 400'000, 900'000, lens::Look::busy});
  const std::string whole = lens::page_html({diagram});
  EXPECT_EQ(count(whole, "class=\"cut\""), 0U);
  EXPECT_EQ(count(whole, "goes on past the edge"), 0U);
  diagram.detail = lens::Window{300'000, 500'000};
  diagram.overview_lanes = 1;
  const std::string cut = lens::page_html({diagram});
  EXPECT_EQ(count(cut, "class=\"cut\""), 1U);
  EXPECT_EQ(count(cut, "goes on past the edge"), 1U);
}

// Slices of `length` µs from 0 on, each running on the next of `cpus` in turn and then doing
// `between` for as long, `count` of each.
std::vector<lens::SchedSpan> slices(int count, const std::vector<int>& cpus, lens::Doing between,
                                    Micros length) {
  std::vector<lens::SchedSpan> spans;
  for (int index = 0; index < count; ++index) {
    const Micros at = 2 * length * index;
    const int cpu = cpus[static_cast<std::size_t>(index) % cpus.size()];
    spans.push_back({lens::Doing::running, at, at + length, cpu, 0, -1});
    spans.push_back({between, at + length, at + 2 * length, -1, 'S', -1});
  }
  return spans;
}

// A step whose scheduler's view has three lanes over 200 ms: one running `count` short slices on
// CPU 1, asleep between; one on CPUs 0 and 1 in turn, waiting between; and one asleep but for
// one short slice on CPU 0 in the middle.
Diagram busy_step(int count) {
  constexpr Micros length = 200'000;
  Diagram diagram = stepping({{0, 0}});
  lens::CpuView view;
  view.cpus = 2;
  view.end = length;
  const Micros slice = length / count / 2;
  view.lanes.push_back({"one", 1, 0, length, slices(count, {1}, lens::Doing::asleep, slice)});
  view.lanes.push_back({"two", 2, 0, length, slices(count, {0, 1}, lens::Doing::runnable, slice)});
  view.lanes.push_back({"blip",
                        3,
                        0,
                        length,
                        {{lens::Doing::asleep, 0, length / 2, -1, 'S', -1},
                         {lens::Doing::running, length / 2, length / 2 + 1, 0, 0, -1},
                         {lens::Doing::asleep, length / 2 + 1, length, -1, 'S', -1}}});
  diagram.cpu = view;
  return diagram;
}

// Faults: a shape for every slice of the scheduler's record (a 100 MB record made a 62 MB page);
// slices too short to see merged into something they were not (a run of slices on one CPU not
// shown running on that CPU; slices on two CPUs shown on one); a lone short slice lost among
// long sleeps; busy pieces drawn without a key that says what they are.
TEST(TimelinePage, SlicesTooShortToSeeAreMergedKeepingWhatTheyMean) {
  const std::string few = lens::page_html({busy_step(1'000)});
  const std::string many = lens::page_html({busy_step(100'000)});
  EXPECT_LT(many.size(), few.size() + 100);
  EXPECT_EQ(count(many, ">CPU 1, 100000 switches</text>"), 1U);
  EXPECT_EQ(count(many, ">busy, 100000 switches</text>"), 1U);
  EXPECT_EQ(count(many, "busy: switches too short to draw apart"), 1U);
  // The blip is the only piece running on CPU 0 (#0072b2), and the key's swatch of CPU 0.
  EXPECT_EQ(count(many, "fill=\"#0072b2\" d=\"M"), 1U);
  EXPECT_EQ(count(many, "#0072b2"), 2U);
  // Without busy pieces, no busy key.
  Diagram calm = busy_step(1'000);
  calm.cpu->lanes.erase(calm.cpu->lanes.begin() + 1);
  EXPECT_EQ(count(lens::page_html({calm}), "busy: switches"), 0U);
}

// Faults: a shape and a label for every one of thousands of calls on a lane (strace's panels),
// or every span told in the figure's description; spans of different looks merged into one of
// them.
TEST(TimelinePage, StraceSpansTooShortToSeeAreMergedToo) {
  constexpr int spans = 20'000;
  Diagram diagram = stepping({{0, 0}});
  diagram.lanes.push_back(lens::Lane{9, 10, "gategive", "worker", 0, 1'000'000});
  for (int index = 0; index < spans; ++index) {
    const Micros at = index * 50;
    diagram.spans.push_back(lens::Span{0, "wait", at, at + 10, lens::Look::blocked});
    diagram.spans.push_back(lens::Span{1, index % 2 == 0 ? "read" : "pause", at, at + 10,
                                       index % 2 == 0 ? lens::Look::busy : lens::Look::paused});
  }
  const std::string page = lens::page_html({diagram});
  EXPECT_LT(page.size(), 50'000U);
  EXPECT_EQ(count(page, ">wait \u00d720000</text>"), 1U);
  EXPECT_EQ(count(page, ">spans \u00d720000</text>"), 1U);
  EXPECT_EQ(count(page, "spans too short to draw apart, merged (cross-hatched)"), 1U);
  EXPECT_EQ(count(page, "(40000 spans in all)"), 1U);
}

// Fault: the pipe's arrow keyed "who wakes whom" where the write came first and nobody slept.
TEST(TimelinePage, TheKeySaysWhatEachArrowCarries) {
  const std::string recorded_page = lens::page_html(recorded());
  EXPECT_EQ(count(recorded_page, ">the bytes, written, then read</text>"), 1U);
  EXPECT_EQ(count(recorded_page, ">who wakes whom</text>"), 1U);  // the semaphore's post
  lens::Run run;
  run.forkrelay = log_of(
      "500 1000.000000 pipe2([3, 4], 0) = 0 <0.000010>\n"
      "500 1000.000100 clone(child_stack=NULL, flags=CLONE_CHILD_SETTID|SIGCHLD) = 501 <0.000050>\n"
      "501 1000.000200 read(3,  <unfinished ...>\n"
      "500 1000.000300 write(4, \"Message\", 128) = 128 <0.000020>\n"
      "501 1000.000400 <... read resumed>\"Message\", 128) = 128 <0.000200>\n");
  const std::string waited = lens::page_html({lens::pipe_diagram(run)});
  EXPECT_EQ(count(waited, ">the bytes, written, then read: the write wakes the waiting read<"), 1U);
  EXPECT_EQ(count(waited, "who wakes whom"), 0U);
}

TEST(TimelineTool, WritesBothFilesOrSaysWhatFailed) {
  TempDir out("timeline");
  const Result made = run(LENS_TOOL, {"timeline", logs.string(), out.path().string()});
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(read_file(out.path() / "timeline.json"), lens::trace_json(recorded()));
  const std::string page = read_file(out.path() / "timeline.html");
  EXPECT_EQ(page, lens::page_html(recorded()));
  // Self-contained: nothing to run, nothing to fetch.
  for (const char* outside : {"<script", "src=", "href=", "@import", "url(http"})
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;

  const Result no_folder =
      run(LENS_TOOL, {"timeline", logs.string(), (out.path() / "none").string()});
  EXPECT_EQ(no_folder.status, 1);
  EXPECT_EQ(no_folder.err,
            "lens: " + (out.path() / "none").string() + ": no such folder to write into\n");
  const Result empty_folder = run(LENS_TOOL, {"timeline", logs.string(), ""});
  EXPECT_EQ(empty_folder.status, 1);
  EXPECT_EQ(empty_folder.err, "lens: : no such folder to write into\n");
}

TEST(LensTool, TimelineWritesNeitherThroughALinkNorIntoAFifo) {
  TempDir out("lens-planted");
  const std::string victim = out / "victim";
  std::ofstream(victim) << "root's";
  ASSERT_EQ(symlink(victim.c_str(), (out / "timeline.html").c_str()), 0);
  const Result linked = run(LENS_TOOL, {"timeline", logs.string(), out.path().string()});
  EXPECT_EQ(linked.status, 1);
  EXPECT_EQ(linked.err, "lens: " + (out / "timeline.html") +
                            " is not a regular file (a link, a FIFO or a device): not written "
                            "over\n");
  EXPECT_EQ(read_file(victim), "root's");
  ASSERT_EQ(unlink((out / "timeline.html").c_str()), 0);

  ASSERT_EQ(mkfifo((out / "timeline.json").c_str(), 0600), 0);
  Options bounded;
  bounded.timeout = 10s;
  const Result fifo = run(LENS_TOOL, {"timeline", logs.string(), out.path().string()}, bounded);
  EXPECT_FALSE(fifo.timed_out);
  EXPECT_EQ(fifo.status, 1);
  EXPECT_NE(fifo.err.find("timeline.json is not a regular file"), std::string::npos) << fifo.err;
  // No temporary file left behind: only what the test made, and the page written before.
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(out.path()))
    names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"timeline.html", "timeline.json", "victim"}));

  // Over a regular file, with the mode of a shell's redirection.
  ASSERT_EQ(unlink((out / "timeline.json").c_str()), 0);
  const mode_t mask = umask(027);
  const Result written = run(LENS_TOOL, {"timeline", logs.string(), out.path().string()});
  umask(mask);
  EXPECT_EQ(written.status, 0) << written.err;
  struct stat json {};
  ASSERT_EQ(stat((out / "timeline.json").c_str(), &json), 0);
  EXPECT_EQ(json.st_mode & 0777U, 0640U);
  EXPECT_EQ(run(LENS_TOOL, {"timeline", logs.string(), ""}).status, 1);
}

// Chromium, where it is installed: found on PATH as Debian installs it.
std::string chromium() {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    for (const char* name : {"chromium", "chromium-browser"}) {
      const fs::path candidate = fs::path(folder) / name;
      if (!folder.empty() && access(candidate.c_str(), X_OK) == 0)
        return candidate.string();
    }
  }
  return "";
}

// A page that shows timeline.html in a frame `width` CSS pixels wide and, once the frame has
// loaded (before the parent's own load, so before Chromium dumps the DOM), writes what it measured
// in the frame: the smallest text of its SVGs as drawn, in CSS pixels; how many drawings scroll
// sideways; and whether the page itself fits the width.
std::string measuring_page(int width) {
  constexpr std::string_view script = R"(<script>
function measure(frame) {
  const page = frame.contentDocument;
  const view = frame.contentWindow;
  let smallest = Infinity;
  for (const text of page.querySelectorAll("svg text")) {
    const size = parseFloat(view.getComputedStyle(text).fontSize) * text.getScreenCTM().a;
    smallest = Math.min(smallest, size);
  }
  const drawings = [...page.querySelectorAll("figure .drawing")];
  const scrolling = drawings.filter(drawing => drawing.scrollWidth > drawing.clientWidth).length;
  const fits = page.documentElement.scrollWidth <= view.innerWidth;
  document.body.insertAdjacentHTML("afterbegin", "<pre id=probe>width=" + view.innerWidth +
      " smallest=" + smallest.toFixed(2) + " scrolling=" + scrolling + " fits=" + fits + "</pre>");
}
</script>
)";
  return "<!DOCTYPE html><title>measure</title><style>body { margin: 0; } iframe { border: 0; "
         "width: " +
         std::to_string(width) + "px; height: 2000px; }</style>\n" + std::string(script) +
         "<iframe src=\"timeline.html\" onload=\"measure(this)\"></iframe>\n";
}

TEST(TimelinePage, ChromiumShowsTheFourDiagrams) {
  const std::string browser = chromium();
  if (browser.empty())
    GTEST_SKIP() << "no chromium on PATH";
  TempDir out("timeline");
  ASSERT_EQ(run(LENS_TOOL, {"timeline", logs.string(), out.path().string()}).status, 0);
  std::ofstream(out.path() / "blank.html") << "<!DOCTYPE html><title>blank</title>\n";
  // Headless, as root too, with a profile of its own; each run bounded in time.
  const auto show = [&](const std::string& page, const std::vector<std::string>& what) {
    std::vector<std::string> args{"--headless",
                                  "--no-sandbox",
                                  "--disable-gpu",
                                  "--hide-scrollbars",
                                  "--user-data-dir=" + (out.path() / "profile").string(),
                                  "--window-size=1000,2600"};
    args.insert(args.end(), what.begin(), what.end());
    args.push_back("file://" + (out.path() / page).string());
    Options options;
    options.timeout = 90s;
    const Result shown = run(browser, args, options);
    EXPECT_FALSE(shown.timed_out);
    EXPECT_EQ(shown.status, 0) << shown.err;
    return shown.out;
  };
  const std::string dom = show("timeline.html", {"--dump-dom"});
  EXPECT_EQ(count(dom, "<svg"), 4U);
  for (const char* title : {">1. Pipe: forkrelay</title>", ">2. Threads: threetally</title>",
                            ">3. Shared memory: segmake, segstamp, segpeek</title>",
                            ">4. Named semaphore: gatenew, gatetake, gategive</title>"})
    EXPECT_NE(dom.find(title), std::string::npos) << title;

  // Not blank: the diagrams' lines and text make the screenshot far larger than that of an empty
  // page of the same size, which compresses to next to nothing.
  show("timeline.html", {"--screenshot=" + (out.path() / "timeline.png").string()});
  show("blank.html", {"--screenshot=" + (out.path() / "blank.png").string()});
  const std::string shot = read_file(out.path() / "timeline.png");
  const std::string blank = read_file(out.path() / "blank.png");
  ASSERT_EQ(shot.substr(0, 8), "\x89PNG\r\n\x1a\n");
  ASSERT_EQ(blank.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_GT(shot.size(), 10 * blank.size());

  // Readable at a phone's width as on a wide screen: no text of the diagrams drawn under about
  // 10 px (the labels were once 4 px high at 420 px); where the column is too narrow, each drawing
  // scrolls sideways (its caption does not) and the page itself does not. Measured in a frame of
  // that width, since headless Chromium's window is never narrower than 500 px.
  const std::regex measured(
      "<pre id=\"probe\">width=(\\d+) smallest=([0-9.]+) scrolling=(\\d+) fits=(\\w+)</pre>");
  for (const auto& [width, scrolling] : {std::pair{420, "4"}, std::pair{1000, "0"}}) {
    const std::string name = "measure-" + std::to_string(width) + ".html";
    std::ofstream(out.path() / name) << measuring_page(width);
    const std::string probe = show(name, {"--allow-file-access-from-files", "--dump-dom"});
    std::smatch found;
    ASSERT_TRUE(std::regex_search(probe, found, measured)) << probe.substr(0, 400);
    EXPECT_EQ(found[1], std::to_string(width));
    EXPECT_GE(std::stod(found[2]), 9.95) << "at " << width << " px";
    EXPECT_EQ(found[3], scrolling) << "drawings scrolling at " << width << " px";
    EXPECT_EQ(found[4], "true") << "the page is wider than " << width << " px";
  }
}

// The scheduler's record (lens/sched_log.*), on perf's samples of the steps (kept in
// tests/perf_logs, made by its `record` script, the ns-* ones in a PID namespace of their own)
// and on hand-made lines.

const fs::path perf_logs = SOURCE_DIR "/tests/perf_logs";

lens::SchedRun sched(const std::string& text, const lens::SchedSelect& select) {
  std::istringstream in(text);
  return lens::parse_sched(in, select);
}

// A sample, read with the processes listed beside it.
std::optional<lens::SchedRun> sample(const std::string& name) {
  return lens::read_sched(perf_logs / (name + ".perf"),
                          lens::step_select(perf_logs / (name + ".pids")));
}

// The count of a step line at a time.
int at_once(const std::vector<lens::SchedStep>& steps, Micros at) {
  int count = 0;
  for (const auto& step : steps)
    if (step.at <= at)
      count = step.count;
  return count;
}

// Where a run shows more threads running than alive, at any step of either line.
void expect_running_only_while_alive(const lens::SchedRun& run) {
  for (const auto* line : {&run.running_at_once, &run.alive_at_once})
    for (const auto& step : *line)
      EXPECT_LE(at_once(run.running_at_once, step.at), at_once(run.alive_at_once, step.at))
          << step.at;
}

// Fault: counting threads whose spans overlap instead of the CPUs that run them (more threads
// running than CPUs); workers lost where forks are not followed; a thread counted running outside
// its life (its end taken at the exit event, before its last switch-out).
TEST(LensSched, ThreetallyRunsAtMostTwoOfItsThreadsWhileMoreLive) {
  const auto run = sample("2-threads-threetally");
  ASSERT_TRUE(run);
  EXPECT_EQ(run->cpus, 2);
  EXPECT_EQ(lens::most_at_once(run->running_at_once), 2);
  EXPECT_GT(lens::most_at_once(run->alive_at_once), run->cpus);
  expect_running_only_while_alive(*run);

  const lens::SchedThread& main = run->threads.front();
  EXPECT_EQ(main.comm, "threetally");
  std::vector<const lens::SchedThread*> workers;
  for (const auto& thread : run->threads)
    if (thread.parent == main.tid)
      workers.push_back(&thread);
  ASSERT_EQ(workers.size(), 16U);
  Micros first_worker = run->length;
  Micros longest_worker = 0;
  for (const auto* worker : workers) {
    EXPECT_GT(worker->running, 0) << worker->tid;
    EXPECT_FALSE(worker->cpus.empty()) << worker->tid;
    EXPECT_GE(worker->spans.front().begin, worker->born) << worker->tid;
    first_worker = std::min(first_worker, worker->born);
    longest_worker = std::max(longest_worker, worker->running);
  }
  // The fill: main alone, only ever preempted, never waiting for anything, for longer than any
  // worker runs.
  Micros filling = 0;
  for (const auto& span : main.spans) {
    if (span.begin >= first_worker)
      continue;
    EXPECT_NE(span.doing, lens::Doing::asleep) << span.begin;
    if (span.doing == lens::Doing::running)
      filling += span.end - span.begin;
  }
  EXPECT_GT(filling, longest_worker);
  EXPECT_EQ(at_once(run->running_at_once, first_worker - 1), 1);
}

// Fault: the wake-up's waker taken from the header's tid instead of the task that the switches
// put on that CPU; the latency measured to the wrong switch; a program counted running after its
// end (taken at its exit event, before its last switch-out).
TEST(LensSched, SemaphorePostWakesTheWaitingTaker) {
  const auto run = sample("4-semaphore");
  ASSERT_TRUE(run);
  ASSERT_EQ(run->threads.size(), 4U);
  const std::vector<lens::WakeUp> posts = run->wakeups_by("gategive");
  ASSERT_EQ(posts.size(), 1U);
  const lens::SchedThread* taker = run->thread(posts[0].woken);
  ASSERT_NE(taker, nullptr);
  EXPECT_EQ(taker->comm, "gatetake");
  ASSERT_TRUE(posts[0].latency());
  EXPECT_GT(*posts[0].latency(), 0);
  const auto slept = std::find_if(taker->spans.begin(), taker->spans.end(), [&](const auto& span) {
    return span.doing == lens::Doing::asleep && span.end == posts[0].at;
  });
  ASSERT_NE(slept, taker->spans.end());
  EXPECT_EQ(slept->waker, posts[0].waker);
  EXPECT_EQ(run->thread(posts[0].waker)->comm, "gategive");
  // Each program's exit event comes while it still runs: it lives until its last switch-out.
  expect_running_only_while_alive(*run);
}

// Fault: the pipe and segment steps' children (forkrelay's reader, the programs' sh and ipcs)
// lost, or other tasks of the machine taken in.
TEST(LensSched, SamplesFollowTheProgramAndWhatItForks) {
  const auto pipe = sample("1-pipe-forkrelay");
  ASSERT_TRUE(pipe);
  ASSERT_EQ(pipe->threads.size(), 2U);
  EXPECT_EQ(pipe->threads[1].parent, pipe->threads[0].tid);
  const auto segment = sample("3-segment");
  ASSERT_TRUE(segment);
  std::set<std::string> comms;
  for (const auto& thread : segment->threads) {
    comms.insert(thread.comm);
    EXPECT_TRUE(thread.parent == 0 || segment->thread(thread.parent)) << thread.tid;
  }
  EXPECT_EQ(comms, (std::set<std::string>{"segmake", "segstamp", "segpeek", "sh", "ipcs"}));
}

// One event of a hand-made record: the header's tid as the kernel knows it (mapped to a
// namespace's where a test asks), the CPU, the time, the event and its fields.
struct HandLine {
  int tid = 0;
  int cpu = 0;
  std::string time;
  std::string event;
  std::string fields;
};

// A line as `perf script -F tid,cpu,time,event,trace` prints it: the tid padded to 5, the CPU in
// 3 digits, the time padded to 12 and the event's name to 26.
std::string perf_line(const HandLine& line) {
  const auto padded = [](const std::string& text, std::size_t width, char pad) {
    return std::string(width - std::min(width, text.size()), pad) + text;
  };
  return padded(std::to_string(line.tid), 5, ' ') + " [" +
         padded(std::to_string(line.cpu), 3, '0') + "] " + padded(line.time, 12, ' ') + ":" +
         padded("sched:" + line.event + ":", 26, ' ') + " " + line.fields + "\n";
}

std::string switched(const std::string& prev, int prev_pid, const std::string& state,
                     const std::string& next, int next_pid) {
  return "prev_comm=" + prev + " prev_pid=" + std::to_string(prev_pid) +
         " prev_prio=120 prev_state=" + state + " ==> next_comm=" + next +
         " next_pid=" + std::to_string(next_pid) + " next_prio=120";
}
std::string forked(const std::string& parent, int pid, const std::string& child, int child_pid) {
  return "comm=" + parent + " pid=" + std::to_string(pid) + " child_comm=" + child +
         " child_pid=" + std::to_string(child_pid);
}
std::string woke(const std::string& comm, int pid, int cpu) {
  return "comm=" + comm + " pid=" + std::to_string(pid) + " prio=120 target_cpu=00" +
         std::to_string(cpu);
}
std::string exited(const std::string& comm, int pid) {
  return "comm=" + comm + " pid=" + std::to_string(pid) + " prio=120 group_dead=true";
}

// The lines of a hand-made record, each header's tid mapped through `header` (a namespace's
// view: 0 for a task outside it).
std::string joined(const std::vector<HandLine>& lines, const std::map<int, int>& header = {}) {
  std::string text = "# ========\n# nrcpus avail : 2\n# ========\n#\n";
  for (HandLine line : lines) {
    if (!header.empty())
      line.tid = header.count(line.tid) ? header.at(line.tid) : 0;
    text += perf_line(line);
  }
  return text;
}

// A run by hand: the tour's shell (10) forks prog (20), which forks "prog worker" (21, a name
// with a space). 21 runs on CPU 1, is preempted by `other` (30), moves to CPU 0 while prog
// sleeps, wakes prog and exits; prog exits. Times in microseconds from 100 s.
std::vector<HandLine> hand_made(const std::string& other = "gdbus worker") {
  return {
      {10, 0, "100.000000", "sched_process_fork", forked("bash", 10, "bash", 20)},
      {10, 0, "100.000001", "sched_wakeup_new", woke("bash", 20, 0)},
      {10, 0, "100.000010", "sched_switch", switched("bash", 10, "S", "bash", 20)},
      {20, 0, "100.000100", "sched_process_fork", forked("prog", 20, "prog", 21)},
      {20, 0, "100.000110", "sched_wakeup_new", woke("prog", 21, 1)},
      {0, 1, "100.000120", "sched_switch", switched("swapper/1", 0, "R", "prog", 21)},
      {20, 0, "100.000150", "sched_waking", woke(other, 30, 1)},
      {21, 1, "100.000200", "sched_switch", switched("prog worker", 21, "R+", other, 30)},
      {30, 1, "100.000260", "sched_switch", switched(other, 30, "S", "swapper/1", 0)},
      {20, 0, "100.000300", "sched_switch", switched("prog", 20, "S", "prog worker", 21)},
      {21, 0, "100.000400", "sched_waking", woke("prog", 20, 0)},
      {21, 0, "100.000405", "sched_process_exit", exited("prog worker", 21)},
      {21, 0, "100.000410", "sched_switch", switched("prog worker", 21, "X", "prog", 20)},
      {20, 0, "100.000490", "sched_process_exit", exited("prog", 20)},
      {20, 0, "100.000500", "sched_switch", switched("prog", 20, "Z", "swapper/0", 0)},
  };
}
const lens::SchedSelect hand_made_select{{{20, 10}}};

using SpanFacts = std::tuple<lens::Doing, Micros, Micros, int, int>;
std::vector<SpanFacts> facts_of(const lens::SchedThread& thread) {
  std::vector<SpanFacts> found;
  for (const auto& span : thread.spans)
    found.emplace_back(span.doing, span.begin, span.end, span.cpu, span.waker);
  return found;
}

// Everything the reader took from a record: its threads' spans and lives, its wake-ups, and the
// kernel's events with their tasks, names aside.
std::vector<std::string> everything(const lens::SchedRun& run) {
  std::vector<std::string> found{"cpus " + std::to_string(run.cpus) + " length " +
                                 std::to_string(run.length)};
  for (const auto& thread : run.threads) {
    std::ostringstream line;
    line << thread.tid << " of " << thread.parent << " " << thread.born << "-"
         << thread.ended.value_or(-1) << ":";
    for (const auto& [doing, begin, end, cpu, waker] : facts_of(thread))
      line << " " << static_cast<int>(doing) << "/" << begin << "/" << end << "/" << cpu << "/"
           << waker;
    found.push_back(line.str());
  }
  for (const auto& wakeup : run.wakeups)
    found.push_back("wake " + std::to_string(wakeup.waker) + ">" + std::to_string(wakeup.woken) +
                    " at " + std::to_string(wakeup.at));
  for (const auto& event : run.kernel)
    found.push_back(std::to_string(event.at) + " " + std::to_string(static_cast<int>(event.kind)) +
                    " cpu " + std::to_string(event.cpu) + " " + std::to_string(event.current.pid) +
                    " " + event.prev_state + " " + std::to_string(event.next.pid) + " " +
                    std::to_string(event.target_cpu));
  return found;
}

// Fault: a thread that moves to another CPU counted on both, or its CPUs not all named; a waker
// lost, or taken from the header's tid; names with spaces split into a name and a wrong tid; the
// kernel's events missing a CPU's wake-ups, or a wake-up's current task not the one the switches
// put there.
TEST(LensSched, MigratingThreadAndItsWakeUpsByHand) {
  const lens::SchedRun run = sched(joined(hand_made()), hand_made_select);
  EXPECT_TRUE(run.problems.empty());
  ASSERT_EQ(run.threads.size(), 2U);
  EXPECT_EQ(run.cpus, 2);
  const lens::SchedThread* worker = run.thread(21);
  ASSERT_NE(worker, nullptr);
  EXPECT_EQ(worker->comm, "prog worker");
  using lens::Doing;
  EXPECT_EQ(facts_of(*worker), (std::vector<SpanFacts>{{Doing::runnable, 110, 120, -1, -1},
                                                       {Doing::running, 120, 200, 1, -1},
                                                       {Doing::runnable, 200, 300, -1, -1},
                                                       {Doing::running, 300, 410, 0, -1}}));
  EXPECT_EQ(worker->cpus, (std::vector<int>{0, 1}));
  EXPECT_EQ(worker->running, 190);
  EXPECT_EQ(worker->born, 100);
  EXPECT_EQ(worker->ended, 410);
  const lens::SchedThread& prog = run.threads.front();
  EXPECT_EQ(prog.comm, "prog");
  EXPECT_EQ(prog.parent, 0);
  EXPECT_EQ(prog.spans.at(2).doing, Doing::asleep);
  EXPECT_EQ(prog.spans.at(2).waker, 21);
  ASSERT_EQ(run.wakeups.size(), 3U);
  EXPECT_EQ(run.wakeups[2].latency(), 10);
  EXPECT_EQ(run.wakeups[2].waker_comm, "prog worker");
  std::vector<std::pair<Micros, int>> running;
  for (const auto& step : run.running_at_once)
    running.emplace_back(step.at, step.count);
  EXPECT_EQ(running, (std::vector<std::pair<Micros, int>>{{10, 1}, {120, 2}, {200, 1}, {500, 0}}));
  EXPECT_EQ(at_once(run.others_at_once, 250), 1);

  // Every switch and wake-up, on both CPUs; a wake-up's current task from the switches.
  ASSERT_EQ(run.kernel.size(), 11U);
  const lens::KernelEvent& waking = run.kernel.at(8);
  EXPECT_EQ(waking.kind, lens::KernelEvent::Kind::waking);
  EXPECT_EQ(waking.at, 100000400000);
  EXPECT_EQ(std::tie(waking.current.comm, waking.current.pid), std::tuple("prog worker", 21));
  EXPECT_EQ(std::tie(waking.next.comm, waking.next.pid, waking.target_cpu),
            std::tuple("prog", 20, 0));
  EXPECT_EQ(run.kernel.front().current.pid, -1);  // no switch on CPU 0 before it
  EXPECT_EQ(run.kernel.front().at, 100000001000);
  const lens::KernelEvent& preempted = run.kernel.at(5);
  EXPECT_EQ(std::tie(preempted.current.pid, preempted.prev_state, preempted.next.comm),
            std::tuple(21, "R+", "gdbus worker"));
}

// Fault: a task's name, which its owner chooses, splitting perf's lines so that an event is lost
// (the program's switch into a task so named), made up (a forged perf line), or misread; or a
// name longer than the kernel keeps taken as perf's.
TEST(LensSched, NamesThatHoldNewlinesNeitherAddNorHideEvents) {
  const lens::SchedRun plain = sched(joined(hand_made()), hand_made_select);
  // prctl(PR_SET_NAME) takes any 15 bytes: a newline, then what looks like a perf line's start.
  for (const std::string hostile : {"ab\nX 9 [0] 1.5:", "\n0 [0] 1.0: sch", "\n   30 [001]  "}) {
    std::vector<HandLine> lines = hand_made(hostile);
    // An exec'd file's name holds any bytes (the tour no longer records execs): skipped whole.
    lines.insert(lines.begin() + 4, {20, 0, "100.000105", "sched_process_exec",
                                     "filename=/tmp/x\nMALLORY 21 [001] 1.0: sched:sched_switch: "
                                     "prev_comm=prog pid=21 old_pid=21"});
    // A name longer than 15 bytes is not perf's: the event is dropped, not read as a switch.
    lines.insert(lines.begin() + 9, {30, 1, "100.000210", "sched_switch",
                                     switched(hostile, 30, "S", "0123456789abcdef", 21)});
    const lens::SchedRun run = sched(joined(lines), hand_made_select);
    EXPECT_EQ(everything(run), everything(plain)) << hostile;
    ASSERT_EQ(run.kernel.size(), plain.kernel.size());
    const lens::KernelEvent& into = run.kernel.at(5);  // the worker's switch into the task so named
    EXPECT_EQ(std::tie(into.current.pid, into.next.comm, into.next.pid),
              std::tuple(21, hostile, 30));
    EXPECT_EQ(run.kernel.at(6).current.comm, hostile);
  }
}

// Fault: as perf really prints a task named with a newline (prctl), its lines split so that the
// reader loses the task, or the switches into and out of it.
TEST(LensSched, ALiveRecordOfATaskNamedWithANewline) {
  TempDir dir("perf-live");
  const std::string data = dir / "live.data";
  if (run("/usr/bin/env", {"perf", "record", "-q", "-e", "sched:sched_switch", "-a", "-o",
                           dir / "probe.data", "true"})
          .status != 0)
    GTEST_SKIP() << "perf may not record the scheduler here (not root, or no perf)";
  Process recorder("/usr/bin/env",
                   {"perf", "record", "-q", "-B", "-N", "-e",
                    "sched:sched_switch,sched:sched_waking,sched:sched_wakeup_new,"
                    "sched:sched_process_fork,sched:sched_process_exit",
                    "-a", "-o", data},
                   {.timeout = 30s});
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!(fs::exists(data) && fs::file_size(data) > 0) && recorder.running() &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(recorder.running()) << "perf record ended: " << recorder.wait().err;
  std::this_thread::sleep_for(300ms);
  const std::string name = "ab\nX 9 [0] 1.5:";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Named as another user could name a task, it sleeps, then runs a little, and ends.
    prctl(PR_SET_NAME, name.c_str());
    usleep(20000);
    const auto until = std::chrono::steady_clock::now() + 2ms;
    while (std::chrono::steady_clock::now() < until) {
    }
    _exit(0);
  }
  int status = 0;
  for (int tries = 0; waitpid(child, &status, WNOHANG) == 0 && tries < 1000; ++tries)
    std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(100ms);
  kill(recorder.pid(), SIGINT);
  const Result recorded = recorder.wait();  // perf ends as SIGINT asks, after writing its record
  ASSERT_TRUE(recorded.status == 0 || recorded.signal == SIGINT) << recorded.err;
  const Result script = run(
      "/usr/bin/env", {"perf", "script", "--header", "-F", "tid,cpu,time,event,trace", "-i", data});
  ASSERT_EQ(script.status, 0) << script.err;
  const lens::SchedRun read = sched(script.out, {{{child, getpid()}}});
  EXPECT_TRUE(read.problems.empty()) << read.problems.front();
  ASSERT_EQ(read.threads.size(), 1U);
  EXPECT_EQ(read.threads[0].comm, name);
  EXPECT_GT(read.threads[0].running, 0);
  EXPECT_TRUE(read.threads[0].ended);
  // Its switch-out into its sleep, the switch back in (its first came before it named itself),
  // and its last switch-out.
  std::map<std::string, int> switches;
  for (const auto& event : read.kernel) {
    if (event.kind != lens::KernelEvent::Kind::switched)
      continue;
    if (event.next.pid == child && event.next.comm == name)
      ++switches["in"];
    if (event.current.pid == child && event.current.comm == name)
      ++switches[event.prev_state.substr(0, 1)];
  }
  EXPECT_GE(switches["in"], 1);
  EXPECT_GE(switches["S"], 1);
  EXPECT_EQ(switches["Z"], 1);
}

// Fault: a pid listed by the tour followed before the tour forked it (an earlier task of that
// pid) or after it ended (another process given the pid again, "secretjob" drawn as the
// program), or a fork by such a stranger followed; a listed process that the record does not
// show forked drawn anyway, or silently left out.
TEST(LensSched, EachProcessFollowedFromTheToursForkToItsEndOnly) {
  const std::vector<HandLine> lines{
      {0, 1, "300.000000", "sched_switch", switched("swapper/1", 0, "R", "oldjob", 20)},
      {20, 1, "300.000005", "sched_switch", switched("oldjob", 20, "S", "swapper/1", 0)},
      {10, 0, "300.000010", "sched_process_fork", forked("bash", 10, "bash", 20)},
      {10, 0, "300.000010", "sched_wakeup_new", woke("bash", 20, 0)},
      {10, 0, "300.000020", "sched_switch", switched("bash", 10, "S", "bash", 20)},
      {20, 0, "300.000030", "sched_process_exit", exited("segmake", 20)},
      {20, 0, "300.000040", "sched_switch", switched("segmake", 20, "Z", "swapper/0", 0)},
      {5, 1, "300.000050", "sched_process_fork", forked("cron", 5, "cron", 20)},
      {5, 1, "300.000050", "sched_wakeup_new", woke("cron", 20, 1)},
      {5, 1, "300.000060", "sched_switch", switched("cron", 5, "S", "cron", 20)},
      {0, 0, "300.000070", "sched_switch", switched("swapper/0", 0, "R", "x", 25)},
      {25, 0, "300.000080", "sched_switch", switched("x", 25, "S", "swapper/0", 0)},
      {20, 1, "300.000085", "sched_process_fork", forked("secretjob", 20, "secretjob", 27)},
      {20, 1, "300.000090", "sched_switch", switched("secretjob", 20, "S", "swapper/1", 0)},
  };
  const lens::SchedRun run = sched(joined(lines), {{{20, 10}, {25, 10}}});
  ASSERT_EQ(run.threads.size(), 1U);
  const lens::SchedThread& segmake = run.threads.front();
  EXPECT_EQ(segmake.comm, "segmake");
  EXPECT_EQ(segmake.born, 0);
  EXPECT_EQ(segmake.ended, 30);
  EXPECT_EQ(facts_of(segmake), (std::vector<SpanFacts>{{lens::Doing::runnable, 0, 10, -1, -1},
                                                       {lens::Doing::running, 10, 30, 0, -1}}));
  EXPECT_EQ(run.wakeups.size(), 1U);
  EXPECT_EQ(at_once(run.alive_at_once, 31), 0);
  EXPECT_EQ(at_once(run.running_at_once, 50), 0);
  EXPECT_EQ(run.problems, (std::vector<std::string>{"the record does not show the tour forking "
                                                    "process 25, which it listed: left out"}));

  // Without the tour's list, or with none of its forks, no task is the step's, and why is said.
  for (const lens::SchedSelect& none : {lens::SchedSelect{}, lens::SchedSelect{{{25, 10}}}}) {
    const lens::SchedRun nothing = sched(joined(lines), none);
    EXPECT_TRUE(nothing.threads.empty());
    EXPECT_TRUE(nothing.kernel.empty());
    ASSERT_EQ(nothing.problems.size(), 1U);
  }
  EXPECT_EQ(sched(joined(lines), {}).problems.front(),
            "the tour listed no process it started beside the record");
}

// Fault: in a PID namespace (a container), the header's tids (the namespace's; 0 for tasks
// outside it) taken for the kernel's pids in the fields: the tour's pids not found, or a
// wake-up's waker taken from the header; or, where the tour's pids cannot be mapped to the
// kernel's, a view drawn anyway.
TEST(LensSched, InANamespaceTheHeadersTidsOnlyMapTheToursPids) {
  const std::map<int, int> namespace_of{{10, 1}, {20, 3}, {21, 4}};
  const lens::SchedRun outside = sched(joined(hand_made()), hand_made_select);
  const lens::SchedRun inside = sched(joined(hand_made(), namespace_of), {{{3, 1}}});
  EXPECT_TRUE(inside.problems.empty());
  EXPECT_EQ(everything(inside), everything(outside));

  // No header names the tour's process (it was never switched out within the namespace): no view.
  const lens::SchedRun unmapped = sched(joined(hand_made(), {{99, 99}}), {{{3, 1}}});
  EXPECT_TRUE(unmapped.threads.empty());
  EXPECT_EQ(unmapped.problems,
            (std::vector<std::string>{"the record does not tell which of the kernel's tasks is "
                                      "process 3, which the tour started (it shows no switch of "
                                      "it)"}));
  // Two of the kernel's tasks under the shell's tid: which forked the process cannot be told.
  std::vector<HandLine> lines = hand_made();
  lines.insert(lines.begin(),
               {10, 1, "99.000000", "sched_switch", switched("bash", 40, "S", "swapper/1", 0)});
  const lens::SchedRun ambiguous = sched(joined(lines, namespace_of), {{{3, 1}}});
  EXPECT_TRUE(ambiguous.threads.empty());
  ASSERT_EQ(ambiguous.problems.size(), 1U);
  EXPECT_NE(ambiguous.problems.front().find("is the tour's shell, pid 1 (it shows several)"),
            std::string::npos);
}

// Fault: lines taken in the file's order rather than by time; a far or absurd time
// (overflowing when scaled) kept; a garbage, cut or unknown line read as an event, or an unknown
// event's continuation read as one; a wake-up before a fork given to the task that fork made.
TEST(LensSched, OrderGarbageAndAbsurdTimesChangeNothing) {
  std::vector<HandLine> lines = hand_made();
  const lens::SchedRun clean = sched(joined(lines), hand_made_select);
  std::reverse(lines.begin(), lines.end());
  EXPECT_EQ(everything(sched(joined(lines), hand_made_select)), everything(clean));

  lines = hand_made();
  const std::string far = perf_line(
      {20, 0, "100000000.000000", "sched_switch", switched("prog", 20, "S", "swapper/0", 0)});
  const std::string absurd = perf_line({20, 0, "99999999999999999999.999999", "sched_switch",
                                        switched("prog", 20, "S", "swapper/0", 0)});
  const std::string cut = perf_line(lines[5]).substr(0, 70) + "\n";
  const std::string unknown =
      perf_line({20, 0, "100.000290", "sched_migrate_task", "comm=prog worker pid=21 prio=120"}) +
      perf_line(
          {21, 1, "100.000150", "sched_switch", switched("prog worker", 21, "S", "swapper/1", 0)})
          .substr(6);
  std::string text = joined(lines);
  // Before the first event, lines that are not perf's header; among the events, others.
  text.insert(text.find("#\n") + 2, absurd + "\x01\xff garbage sched: ==> : \n\n" +
                                        "# nrcpus avail : 99999999999999999999\n");
  const std::string fourth = perf_line(lines[4]);
  text.insert(text.find(fourth) + fourth.size(), far + cut + unknown);
  const lens::SchedRun dirty = sched(text, hand_made_select);
  EXPECT_EQ(everything(dirty), everything(clean));

  const lens::SchedRun alone =
      sched("# nrcpus avail : 99999999999999999999\n" + absurd +
                perf_line({10, 0, "100000000.000000", "sched_process_fork",
                           forked("bash", 10, "bash", 20)}) +
                perf_line({20, 0, "100000000.000000", "sched_process_exit", exited("bash", 20)}),
            hand_made_select);
  EXPECT_EQ(alone.threads.size(), 1U);
  EXPECT_EQ(alone.length, 0);
  EXPECT_EQ(alone.cpus, 1);

  // The worker's wake-up recorded before its fork: before the worker's life, so not its own.
  lines = hand_made();
  lines[4].time = "100.000095";
  std::swap(lines[3], lines[4]);
  const lens::SchedRun early = sched(joined(lines), hand_made_select);
  ASSERT_NE(early.thread(21), nullptr);
  EXPECT_EQ(early.thread(21)->born, 100);
  EXPECT_EQ(facts_of(*early.thread(21)).front(),
            (SpanFacts{lens::Doing::running, 120, 200, 1, -1}));
}

// ---- The scheduler's view in the timeline (lens/sched_view.*, lens/draw_cpu.*), on the samples
// ----

// The strace logs' run, with a step's record from a perf sample beside them.
lens::Run with_record(std::optional<lens::SchedRun> lens::Run::*step, const std::string& name) {
  lens::Run run = lens::read_run(logs);
  run.*step = sample(name);
  EXPECT_TRUE(run.*step) << name;
  return run;
}

std::vector<std::string> lane_names(const lens::CpuView& view) {
  std::vector<std::string> found;
  for (const auto& lane : view.lanes)
    found.push_back(lane.name);
  return found;
}

bool has_note(const Diagram& diagram, const std::string& part) {
  return std::any_of(diagram.notes.begin(), diagram.notes.end(),
                     [&](const std::string& note) { return note.find(part) != std::string::npos; });
}

// Fault: the running-at-once line counting threads whose spans overlap rather than the CPUs that
// run them; a worker's lane lost, or its running put on no CPU of the record; main's join not
// shown woken by a worker.
void expect_threetally_drawn(const Diagram& threads) {
  ASSERT_TRUE(threads.cpu);
  const lens::CpuView& view = *threads.cpu;
  EXPECT_EQ(view.cpus, 2);
  ASSERT_EQ(view.lines.size(), 2U);
  EXPECT_EQ(lens::most_at_once(view.lines[0].steps), 2) << view.lines[0].name;
  EXPECT_GT(lens::most_at_once(view.lines[1].steps), view.cpus) << view.lines[1].name;
  ASSERT_EQ(lane_names(view).size(), 17U);
  EXPECT_EQ(view.lanes[0].name, "threetally main");
  for (std::size_t index = 1; index < view.lanes.size(); ++index) {
    const auto& spans = view.lanes[index].spans;
    EXPECT_EQ(view.lanes[index].name, "worker");
    EXPECT_TRUE(std::any_of(spans.begin(), spans.end(), [](const auto& span) {
      return span.doing == lens::Doing::running && span.cpu >= 0 && span.cpu < 2;
    })) << view.lanes[index].tid;
  }
  ASSERT_FALSE(view.wakes.empty());
  EXPECT_EQ(view.wakes.back().to, 0U);
  EXPECT_GT(view.wakes.back().from, 0U);
  EXPECT_TRUE(has_note(threads, "at most 2 of threetally's threads ran at once"));
}

TEST(TimelineSched, ThreadsRunAtMostTheRecordsCpusEachWorkerOnItsOwn) {
  const lens::Run run = with_record(&lens::Run::threads_sched, "2-threads-threetally");
  const Diagram threads = lens::diagrams(run)[1];
  expect_threetally_drawn(threads);
  const std::string page = lens::page_html({threads});
  EXPECT_EQ(count(page, ">2 CPUs</text>"), 1U);
}

// The semaphore's view of a run: its post's latency, as the note and the arrow give it.
// Fault: the figure taken from another wake-up (the first gatetake's, a shell's) or measured to
// the wrong switch; the two gatetakes not told apart; the arrow from the wrong lane, or the
// magnified stretch missing it.
void expect_post_drawn(const Diagram& semaphore, Micros latency) {
  ASSERT_TRUE(semaphore.cpu);
  const lens::CpuView& view = *semaphore.cpu;
  EXPECT_EQ(lane_names(view),
            (std::vector<std::string>{"gatenew", "gatetake 1", "gatetake 2", "gategive"}));
  ASSERT_EQ(view.wakes.size(), 1U);
  EXPECT_EQ(view.wakes[0].from, 3U);
  EXPECT_EQ(view.wakes[0].to, 2U);
  EXPECT_EQ(view.wakes[0].ran - view.wakes[0].at, latency);
  EXPECT_TRUE(has_note(semaphore, "gategive woke the waiting gatetake; it ran " +
                                      std::to_string(latency) +
                                      " \u00b5s later (scheduler, real time)"));
  ASSERT_TRUE(view.detail_begin);
  EXPECT_LT(*view.detail_begin, view.wakes[0].at);
  EXPECT_GT(view.detail_end, view.wakes[0].ran);
}

TEST(TimelineSched, SemaphoreNoteGivesTheWakeUpTheRecordHolds) {
  const lens::Run run = with_record(&lens::Run::semaphore_sched, "4-semaphore");
  const auto posts = run.semaphore_sched->wakeups_by("gategive");
  ASSERT_EQ(posts.size(), 1U);
  ASSERT_EQ(posts[0].latency(), 14);
  expect_post_drawn(lens::diagrams(run)[3], 14);
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
    lens::Run run = lens::read_run(logs);
    run.semaphore_sched = sched(lines(spurious), {{{20, 10}, {21, 10}, {22, 10}, {23, 10}}});
    const Diagram semaphore = lens::diagrams(run)[3];
    expect_post_drawn(semaphore, 50);
    EXPECT_TRUE(has_note(semaphore, "after sleeping 2.85 ms.")) << spurious;
    EXPECT_EQ(has_note(semaphore,
                       "another task woke the waiting gatetake twice and it slept "
                       "again: the value was still 0"),
              spurious);
  }
}

// Fault: on an uncut record, the shell that started the program or another task taken as the
// program, or the child's sleep in its read not shown ended by the parent; a garbage record, one
// without the tour's list, or one of other programs, giving a step a panel or changing strace's
// lanes, or leaving the page silent on why there is no panel.
TEST(TimelineSched, RecordsReadByNameAndBadOnesChangeNothing) {
  TempDir dir("sched");
  for (const auto& entry : fs::directory_iterator(logs))
    if (entry.path().extension() == ".strace")
      fs::copy_file(entry.path(), dir.path() / entry.path().filename());
  fs::copy_file(perf_logs / "1-pipe-uncut.perf", dir.path() / "1-pipe.perf");
  fs::copy_file(perf_logs / "1-pipe-uncut.pids", dir.path() / "1-pipe.pids");
  std::ofstream(dir.path() / "2-threads.perf") << "\x01\xff sched: ==> :\n# nrcpus avail : 9\n";
  fs::copy_file(perf_logs / "2-threads-threetally.pids", dir.path() / "2-threads.pids");
  fs::copy_file(perf_logs / "4-semaphore.perf", dir.path() / "3-segment.perf");
  fs::copy_file(perf_logs / "3-segment.pids", dir.path() / "3-segment.pids");
  fs::copy_file(perf_logs / "4-semaphore.perf", dir.path() / "4-semaphore.perf");
  const std::vector<Diagram> read = lens::diagrams(lens::read_run(dir.path()));
  ASSERT_EQ(read.size(), 4U);
  ASSERT_TRUE(read[0].cpu);
  EXPECT_EQ(lane_names(*read[0].cpu),
            (std::vector<std::string>{"forkrelay parent", "forkrelay child"}));
  ASSERT_EQ(read[0].cpu->wakes.size(), 1U);
  EXPECT_EQ(read[0].cpu->wakes[0].from, 0U);
  EXPECT_TRUE(has_note(read[0],
                       "the child slept 27 \u00b5s in its read until the parent's "
                       "write woke it"));
  for (std::size_t step = 1; step < read.size(); ++step) {
    EXPECT_FALSE(read[step].cpu) << read[step].title;
    // One line says why, and the rest of the diagram is strace's alone.
    Diagram without = read[step];
    ASSERT_FALSE(without.notes.empty());
    EXPECT_TRUE(without.notes.back().starts_with("Scheduler: no CPU view for this step: "))
        << without.notes.back();
    without.notes.pop_back();
    EXPECT_EQ(lens::page_html({without}), lens::page_html({recorded()[step]}));
  }
  EXPECT_EQ(read[3].notes.back(),
            "Scheduler: no CPU view for this step: the tour listed no process it started "
            "beside the record.");
}

// Fault: another run of the same program at the same time (a second tour, a test) taken for the
// tour's own: the pids the tour wrote beside the record pick its run out of the two, and without
// them there is no view rather than a guess.
TEST(TimelineSched, ThePidsTheTourStartedPickItsRunOutOfTwo) {
  const auto names = [](const std::filesystem::path& pids) {
    const auto record =
        lens::read_sched(perf_logs / "1-pipe-two-runs.perf", lens::step_select(pids));
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
  lens::Run run = lens::read_run(logs);
  run.pipe_sched = sample("ns-1-pipe-forkrelay");
  run.threads_sched = sample("ns-2-threads-threetally");
  run.semaphore_sched = sample("ns-4-semaphore");
  for (const auto* record : {&run.pipe_sched, &run.threads_sched, &run.semaphore_sched}) {
    ASSERT_TRUE(*record);
    EXPECT_TRUE((*record)->problems.empty());
    // Each task lives from its fork to its end, running at times, its last span ending with it.
    for (const auto& thread : (*record)->threads) {
      EXPECT_GT(thread.running, 0) << thread.tid;
      ASSERT_TRUE(thread.ended) << thread.tid;
      EXPECT_EQ(thread.spans.back().end, *thread.ended) << thread.tid;
      EXPECT_EQ(thread.spans.back().doing, lens::Doing::running) << thread.tid;
    }
  }
  const std::vector<Diagram> drawn = lens::diagrams(run);
  ASSERT_TRUE(drawn[0].cpu);
  EXPECT_EQ(lane_names(*drawn[0].cpu),
            (std::vector<std::string>{"forkrelay parent", "forkrelay child"}));
  expect_threetally_drawn(drawn[1]);
  expect_post_drawn(drawn[3], *run.semaphore_sched->wakeups_by("gategive").at(0).latency());
}

// What a perf record holds from `from` (microseconds on perf's clock) on: its switches, and how
// many of them have a prev_pid other than what the record's previous switch on that CPU put there.
std::pair<int, int> switches_in(const fs::path& record, Micros from) {
  const std::regex switch_line(
      R"(\[(\d+)\] +(\d+)\.(\d{6}): +sched:sched_switch: .* prev_pid=(\d+) .* next_pid=(\d+) )");
  std::ifstream in(record);
  std::map<std::string, std::string> running;
  int switches = 0;
  int broken = 0;
  for (std::string line; std::getline(in, line);) {
    std::smatch parts;
    if (!std::regex_search(line, parts, switch_line) ||
        std::stoll(parts[2]) * 1'000'000 + std::stoll(parts[3]) < from)
      continue;
    ++switches;
    if (running.count(parts[1]) && running[parts[1]] != parts[4])
      ++broken;
    running[parts[1]] = parts[5];
  }
  return {switches, broken};
}

// Faults, on perf's records of the four steps: a switch of the record lost or written twice in
// the kernel text, or one out of order on its CPU (a switch whose prev_pid is not what the
// previous one put there, where the record has it); the steps' runs laid on strace's run or on
// one another.
TEST(TimelineJson, SchedulerRunsFromTheRecordsAreTheirKernelText) {
  TempDir dir("kernel-text");
  for (const auto& entry : fs::directory_iterator(logs))
    if (entry.path().extension() == ".strace")
      fs::copy_file(entry.path(), dir.path() / entry.path().filename());
  const std::vector<std::pair<std::string, std::string>> records{
      {"1-pipe-uncut", "1-pipe"},
      {"2-threads-threetally", "2-threads"},
      {"3-segment", "3-segment"},
      {"4-semaphore", "4-semaphore"}};
  for (const auto& [sample, step] : records) {
    for (const char* kind : {".perf", ".pids"})
      fs::copy_file(perf_logs / (sample + kind), dir.path() / (step + kind));
  }
  const std::vector<Diagram> read = lens::diagrams(lens::read_run(dir.path()));
  const Json trace = Json::parse(lens::trace_json(read));
  const std::vector<TextLine> lines = kernel_text(trace);
  std::vector<double> marks;
  for (const Json& event : trace.at("traceEvents"))
    if (event.value("s", "") == "g")
      marks.push_back(event.at("ts").get<double>() / 1e6);
  ASSERT_EQ(marks.size(), records.size());
  ASSERT_FALSE(lines.empty());
  EXPECT_GE(marks.front() * 1e6, strace_end(trace));
  marks.push_back(lines.back().seconds + 1);
  for (std::size_t step = 0; step < records.size(); ++step) {
    ASSERT_TRUE(read[step].cpu) << records[step].first;
    std::vector<TextLine> run;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(run), [&](const TextLine& line) {
      return line.seconds >= marks[step] && line.seconds < marks[step + 1];
    });
    ASSERT_FALSE(run.empty()) << records[step].first;
    EXPECT_LT(run.front().seconds, marks[step] + 0.5) << records[step].first;
    const auto [switches, broken] =
        switches_in(perf_logs / (records[step].first + ".perf"), read[step].cpu->clock);
    const auto written = std::count_if(
        run.begin(), run.end(), [](const TextLine& line) { return line.event == "sched_switch"; });
    EXPECT_EQ(written, switches) << records[step].first;
    EXPECT_EQ(broken_chains(run), broken) << records[step].first;
  }
}

// ---- The lessons' diagrams ----

// gaterace's output as it prints it, with figures no text could hold by chance.
constexpr std::string_view race_out =
    "semaphore: /gaterace-b532990b57c2c59e\nprocesses: 4\nrounds: 20\npause: 300 us\n"
    "unlocked expected: 80\nunlocked final: 21\nunlocked lost: 59\nunlocked overlapping: 71\n"
    "locked expected: 80\nlocked final: 80\nlocked lost: 0\nlocked overlapping: 0\n";

std::string replaced(std::string_view text, const std::string& from, const std::string& to) {
  std::string changed(text);
  changed.replace(changed.find(from), from.size(), to);
  return changed;
}

TEST(LessonDiagrams, SectionsInsideTheSemaphoreNeverOverlap) {
  const auto log = lens::read_log(logs / "lessons" / "lesson-gaterace-1.strace");
  ASSERT_TRUE(log);
  const std::vector<Diagram> halves =
      lens::gaterace_diagrams(*log, lens::read_lessons(logs / "lessons").gaterace_output);
  ASSERT_EQ(halves.size(), 2U);
  for (const Diagram& half : halves) {
    EXPECT_EQ(half.missing, "") << half.title;
    ASSERT_EQ(half.lanes.size(), 4U) << half.title;
    std::vector<lens::Span> sections;
    for (const auto& span : half.spans)
      if (span.look == lens::Look::busy)  // a section (only the magnified ones are named)
        sections.push_back(span);
    // The record was made with 5 rounds: each of the four processes paused once a section.
    EXPECT_EQ(sections.size(), 20U) << half.title;
    ASSERT_TRUE(half.detail);
    EXPECT_LT(half.detail->end - half.detail->begin, half.time.end - half.time.begin);
    if (half.mechanism != "gaterace-locked")
      continue;
    for (const auto& one : sections)
      for (const auto& other : sections)
        EXPECT_FALSE(one.lane != other.lane && one.begin < other.end && other.begin < one.end)
            << "lanes " << one.lane << " and " << other.lane << " at " << one.begin;
    EXPECT_NE(half.notes[1].find(": 0 of its 20 sections overlapped"), std::string::npos)
        << half.notes[1];
  }
}

// The page and the tour's terminal state one count of overlapping sections: gaterace's own,
// from its output beside the log (where strace's times, slowed, could count otherwise); where
// the output is missing, or a FIFO planted in its place, the page says so and never waits.
TEST(LessonDiagrams, TheOverlapCountsComeFromGateracesOwnOutput) {
  const auto recorded = lens::lesson_diagrams(lens::read_lessons(logs / "lessons"));
  ASSERT_EQ(recorded.size(), 3U);
  // The output of the run recorded: "unlocked overlapping: 16", "locked overlapping: 0".
  EXPECT_NE(recorded[1].notes[1].find(": 16 of its 20 sections overlapped"), std::string::npos)
      << recorded[1].notes[1];
  EXPECT_NE(recorded[2].notes[1].find(": 0 of its 20 sections overlapped"), std::string::npos)
      << recorded[2].notes[1];
  EXPECT_NE(recorded[1].notes[1].find("lesson-gaterace-1.out"), std::string::npos);

  TempDir dir("lesson-record");
  fs::copy_file(logs / "lessons" / "lesson-gaterace-1.strace", dir / "lesson-gaterace-1.strace");
  const auto stated = [&] {
    const auto drawn = lens::lesson_diagrams(lens::read_lessons(dir.path()));
    EXPECT_EQ(drawn.size(), 2U);
    return drawn.empty() ? std::string() : drawn[0].notes[1];
  };
  const std::string missing = stated();
  EXPECT_NE(missing.find("lesson-gaterace-1.out is missing from the record"), std::string::npos)
      << missing;
  EXPECT_EQ(missing.find(" of its "), std::string::npos) << missing;
  ASSERT_EQ(mkfifo((dir / "lesson-gaterace-1.out").c_str(), 0600), 0);
  EXPECT_NE(stated().find("not a regular file"), std::string::npos);
  fs::remove(dir / "lesson-gaterace-1.out");
  std::ofstream(dir / "lesson-gaterace-1.out") << replaced(race_out, "rounds: 20", "rounds: 21");
  EXPECT_NE(stated().find("lesson-gaterace-1.out: unlocked expected 80 is not"), std::string::npos);
}

TEST(LessonDiagrams, TheChildsReadHasNoEndUntilTheParentEndsIt) {
  const auto log = lens::read_log(logs / "lessons" / "lesson-relaykeep-1.strace");
  ASSERT_TRUE(log);
  const auto diagram = lens::relaykeep_diagram(*log);
  ASSERT_TRUE(diagram);
  ASSERT_EQ(diagram->lanes.size(), 2U);
  const auto read = std::find_if(diagram->spans.begin(), diagram->spans.end(),
                                 [](const lens::Span& span) { return span.name == "read"; });
  ASSERT_NE(read, diagram->spans.end());
  EXPECT_EQ(read->lane, 1U);
  EXPECT_EQ(read->look, lens::Look::blocked);
  // strace shows the read broken off by the signal (no result): it lasts until the child dies.
  EXPECT_EQ(read->end, diagram->lanes[1].end);
  EXPECT_EQ(*log->ended(diagram->lanes[1].pid), read->end);
  EXPECT_EQ(diagram->notes[1].substr(0, 22), "The read never returns");
  const auto marks = names(diagram->marks);
  EXPECT_NE(std::find(marks.begin(), marks.end(), "kill"), marks.end());
  EXPECT_NE(std::find(marks.begin(), marks.end(), "killed"), marks.end());
  // A run whose lessons were not recorded draws none of them.
  EXPECT_TRUE(lens::lesson_diagrams(lens::read_lessons(logs / "i386")).empty());
  EXPECT_EQ(lens::lesson_diagrams(lens::read_lessons(logs / "lessons")).size(), 3U);
}

}  // namespace
}  // namespace ipcwalk
