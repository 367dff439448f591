// lens's reader of perf's record of the scheduler, on the samples recorded from the tour (in a
// PID namespace too) and on records written by hand: what it follows, and what no name, garbage
// line or absurd time can change.
#include "records/sched_log.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "files.h"
#include "lens/samples.h"
#include "records/tour_records.h"
#include "runner.h"

namespace ipcwalk {
namespace {

using lens::Micros;
namespace fs = std::filesystem;

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

}  // namespace
}  // namespace ipcwalk
