#include "diagrams.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <numeric>
#include <string_view>
#include <unordered_map>

#include "facts/pipe.h"
#include "facts/tasks.h"
#include "facts/threads.h"

namespace lens {
namespace {

// How much room a magnified stretch gets around it: 1/before of its length ahead of it and
// 1/after behind it, so that its first and last moments do not sit on the panel's edges.
struct Margins {
  Micros before = 1;
  Micros after = 1;
};
// From pipe2 to the end of forkrelay: a little room before the pipe, less after the exits.
constexpr Margins pipe_margins{25, 50};
// The workers, from the end of the fill to main's end.
constexpr Margins workers_margins{20, 50};
// The post and the wake-up are a fraction of a millisecond apart: the magnified panel shows four
// times their distance on each side, and at least 200 µs.
constexpr Micros wake_up_margin_factor = 4;
constexpr Micros least_wake_up_margin = 200;
// Two strace processes time one moment a little apart (each stamps a call when it gets to it): a
// post that began up to this long after the wait's recorded end still woke it.
constexpr Micros clock_skew = 1000;
// At most this many threads get lanes of their own: a log of thousands of threads (not the
// tour's sixteen) would make a page nobody can read, and a trace file of as many tracks. The
// step line counts them all.
constexpr std::size_t most_worker_lanes = 64;

constexpr Micros latest = std::numeric_limits<Micros>::max();
constexpr Micros earliest = std::numeric_limits<Micros>::min();

// Times are added and multiplied only here, saturating at the ends of Micros: a log's times are
// what strace wrote, and a wrong or hand-made log may hold any.
Micros plus(Micros time, Micros duration) {
  if (duration > 0 && time > latest - duration) {
    return latest;
  }
  if (duration < 0 && time < earliest - duration) {
    return earliest;
  }
  return time + duration;
}

Micros minus(Micros time, Micros duration) {
  if (duration < 0 && time > latest + duration) {
    return latest;
  }
  if (duration > 0 && time < earliest + duration) {
    return earliest;
  }
  return time - duration;
}

// From begin to end, or 0 where end comes first.
Micros length(Micros begin, Micros end) {
  return end > begin ? minus(end, begin) : 0;
}

// A duration (at least 0) times a factor (at least 1).
Micros times(Micros duration, Micros factor) {
  return duration > latest / factor ? latest : duration * factor;
}

// A stretch of time with room around it, as margins says.
Window with_margins(Micros begin, Micros end, Margins margins) {
  const Micros stretch = length(begin, end);
  return Window{minus(begin, stretch / margins.before),
                plus(std::max(begin, end), stretch / margins.after)};
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// A lane for a whole program run: from its first line to its end.
Lane program_lane(const Log& log, std::string program, std::string role) {
  const Micros end = std::max(log.first, log.ended(log.main_pid).value_or(log.last));
  return Lane{log.main_pid, log.main_pid, std::move(program), std::move(role), log.first, end};
}

// Where an arrow leaves one span and enters another: inside the sender's span (its middle, or
// earlier if the receiver ends sooner), and inside the receiver's span just before its end, never
// earlier than it leaves.
Arrow arrow_between(const Span& sender, const Span& receiver) {
  Arrow arrow;
  arrow.from_lane = sender.lane;
  arrow.to_lane = receiver.lane;
  arrow.to = minus(receiver.end, std::min<Micros>(length(receiver.begin, receiver.end) / 2, 1));
  const Micros sender_end = std::max(sender.begin, sender.end);
  arrow.from = std::clamp(std::midpoint(sender.begin, sender_end), sender.begin,
                          std::max(sender.begin, std::min(sender_end, arrow.to)));
  arrow.to = std::max(arrow.to, arrow.from);
  return arrow;
}

// A count's changes over time (+1, -1 at a moment).
using Changes = std::vector<std::pair<Micros, int>>;

// Changes of a count over time, summed into a step line from `start` on. A count of processes,
// threads or a semaphore's value is never below 0: a log that shows more ends than beginnings
// (a wrong or cut log) holds the line at 0 instead.
std::vector<Step> step_line(Changes changes, Step start) {
  std::stable_sort(changes.begin(), changes.end(),
                   [](const auto& one, const auto& other) { return one.first < other.first; });
  constexpr long long most = std::numeric_limits<int>::max();
  long long value = std::clamp<long long>(start.value, 0, most);
  std::vector<Step> steps{Step{start.at, static_cast<int>(value)}};
  for (const auto& [at, change] : changes) {
    value = std::clamp<long long>(value + change, 0, most);
    if (steps.back().at == at) {
      steps.back().value = static_cast<int>(value);
    } else if (steps.back().value != value) {
      steps.push_back(Step{at, static_cast<int>(value)});
    }
  }
  return steps;
}

int highest(const Counter& counter) {
  int most = 0;
  for (const Step& step : counter.steps) {
    most = std::max(most, step.value);
  }
  return most;
}

Diagram not_recorded(std::string mechanism, std::string title, std::string why) {
  Diagram diagram;
  diagram.mechanism = std::move(mechanism);
  diagram.title = std::move(title);
  diagram.missing = std::move(why);
  return diagram;
}

Diagram titled(std::string mechanism, std::string title) {
  Diagram diagram;
  diagram.mechanism = std::move(mechanism);
  diagram.title = std::move(title);
  return diagram;
}

// The time from the first line to the last of the logs given (those present).
Window covering(const std::vector<const Log*>& logs) {
  std::optional<Window> time;
  for (const Log* log : logs) {
    if (log != nullptr) {
      time = time ? Window{std::min(time->begin, log->first), std::max(time->end, log->last)}
                  : Window{log->first, log->last};
    }
  }
  return time.value_or(Window{});
}

// ---- 1. Pipe ----

// "128 bytes": what the write put into the pipe.
std::string bytes_written(const Call& write) {
  const auto bytes = write.number();
  return bytes && *bytes >= 0 ? std::to_string(*bytes) + " bytes" : std::string("bytes");
}

void pipe_lanes(Diagram& diagram, const Log& log, const PipeFacts& facts) {
  diagram.lanes.push_back(program_lane(log, "forkrelay", "parent"));
  const Micros fork_end = facts.fork->end;
  const Micros child_begin = std::min(fork_end, log.appears(facts.child).value_or(fork_end));
  const Micros child_end = std::max(child_begin, log.ended(facts.child).value_or(log.last));
  diagram.lanes.push_back(
      Lane{facts.child, facts.child, "forkrelay", "child", child_begin, child_end});
  diagram.marks.push_back(Mark{0, facts.pipe->name, facts.pipe->begin});
  diagram.marks.push_back(Mark{0, "fork", facts.fork->begin});
  for (std::size_t lane = 0; lane < diagram.lanes.size(); ++lane) {
    if (const auto ended = log.ended(diagram.lanes[lane].pid)) {
      diagram.marks.push_back(Mark{lane, "exit", *ended});
    }
  }
}

// The write, the read and the record between them.
void pipe_record(Diagram& diagram, const Call& write, const Call& read) {
  const Span sent{0, "write", write.begin, std::max(write.begin, write.end), Look::busy};
  const Span received{1, "read", read.begin, std::max(read.begin, read.end),
                      read_waited(write, read) ? Look::blocked : Look::busy};
  diagram.spans.push_back(sent);
  diagram.spans.push_back(received);
  Arrow arrow = arrow_between(sent, received);
  arrow.id = 1;
  arrow.name = bytes_written(write);
  arrow.carries = read_waited(write, read) ? Carries::bytes_waking : Carries::bytes;
  diagram.arrows.push_back(arrow);
}

// Who waited for the record: the child, or nobody.
std::string record_note(const Call& write, const Call& read) {
  const std::string bytes = bytes_written(write);
  if (read_waited(write, read)) {
    return "The child's read (hatched) began " + milliseconds(length(read.begin, write.begin)) +
           " before the parent's write: the child slept in the kernel until the " + bytes +
           " came, and the arrow shows them arrive.";
  }
  return "This time the parent's write came first: the " + bytes +
         " (the arrow) were already in the pipe when the child read, so its read did not wait "
         "and took only " +
         milliseconds(length(read.begin, read.end)) +
         ". Run it again: on another run the child may be the one that waits.";
}

void pipe_notes(Diagram& diagram, const PipeFacts& facts) {
  diagram.notes.push_back(
      "The parent makes the pipe (" + facts.pipe->name +
      ") and forks: from the fork on there are two lanes, the parent and its child, each with "
      "its own pid.");
  diagram.notes.push_back(facts.write != nullptr && facts.read != nullptr
                              ? record_note(*facts.write, *facts.read)
                              : "The log shows no write of the record into the pipe, or no read.");
  diagram.notes.push_back(
      "Each process ends on its own (exit); the parent does not wait for its child.");
}

}  // namespace

Diagram pipe_diagram(const Run& run) {
  const std::string title = "1. Pipe: forkrelay";
  if (!run.forkrelay) {
    return not_recorded("pipe", title, "forkrelay's run was not recorded.");
  }
  const Log& log = *run.forkrelay;
  const auto facts = find_pipe(log);
  if (!facts || facts->parent != log.main_pid) {
    return not_recorded("pipe", title, "forkrelay's log shows no pipe and fork.");
  }
  Diagram diagram = titled("pipe", title);
  diagram.time = Window{log.first, log.last};
  pipe_lanes(diagram, log, *facts);
  if (facts->write != nullptr && facts->read != nullptr) {
    pipe_record(diagram, *facts->write, *facts->read);
  }
  pipe_notes(diagram, *facts);
  // Loading the program takes most of the run: the pipe's part is drawn again, magnified.
  diagram.detail = with_margins(facts->pipe->begin, log.last, pipe_margins);
  diagram.detail_caption = "Magnified: from " + facts->pipe->name + " to the end";
  diagram.overview_lanes = diagram.lanes.size();
  return diagram;
}

namespace {

// ---- 2. Threads ----

// main's join: from the last creation until the last worker has ended, or main's last futex
// wait for one of them has returned, but no later than main's exit.
std::optional<Span> join_span(const Log& log, const ThreadFacts& facts, Micros main_exit) {
  const Micros last_creation = facts.workers.back().creation->end;
  Micros last_end = 0;
  for (const Worker& worker : facts.workers) {
    last_end = std::max(last_end, worker.end);
  }
  Micros join_end = std::min(last_end, main_exit);
  for (const std::size_t at : log.places_of(facts.main)) {
    const Call& call = log.calls[at];
    if (call.name == "futex" && call.begin >= last_creation && call.end <= main_exit) {
      join_end = std::max(join_end, call.end);
    }
  }
  if (join_end <= last_creation) {
    return std::nullopt;
  }
  return Span{0, "join", last_creation, join_end, Look::blocked};
}

// A lane and a life span for each thread that main made, and the count of threads alive.
Counter thread_lanes(Diagram& diagram, const ThreadFacts& facts) {
  const Lane main_lane = diagram.lanes.front();  // a copy: more lanes follow
  Changes changes;
  changes.reserve(facts.workers.size() * 2 + 1);
  for (const Worker& worker : facts.workers) {
    // A thread that never called exit (one a sanitizer's runtime adds) is no worker.
    if (diagram.lanes.size() <= most_worker_lanes) {
      diagram.lanes.push_back(Lane{facts.main, worker.tid, "threetally",
                                   worker.exited ? "worker" : "thread", worker.begin, worker.end});
      diagram.spans.push_back(
          Span{diagram.lanes.size() - 1, "thread", worker.begin, worker.end, Look::alive});
    }
    changes.emplace_back(worker.begin, 1);
    changes.emplace_back(worker.end, -1);
  }
  changes.emplace_back(main_lane.end, -1);
  return Counter{"threads alive", facts.main, step_line(std::move(changes), {main_lane.begin, 1})};
}

void threads_notes(Diagram& diagram, const ThreadFacts& facts) {
  const Micros fill_begin = *facts.fill_begin;
  const Micros fill_end = *facts.fill_end;
  const auto workers = std::count_if(facts.workers.begin(), facts.workers.end(),
                                     [](const Worker& worker) { return worker.exited; });
  const Micros last_creation = facts.workers.back().creation->end;
  diagram.notes.push_back("main asks for huge pages (madvise) and fills the table alone for " +
                          milliseconds(length(fill_begin, fill_end)) +
                          " (the fill): no worker exists yet, so nothing else runs.");
  diagram.notes.push_back(
      "Then main makes " + std::to_string(workers) + " workers, one after another, within " +
      milliseconds(length(fill_end, last_creation)) +
      " (magnified below): each lane is one worker, from its creation to its end. Where lanes "
      "overlap, threads count at the same time; at most " +
      std::to_string(facts.most_alive) +
      " threads were alive at once, main included (the step line).");
  diagram.notes.push_back(
      "main's join waits until the last worker has ended; then main prints the total and ends.");
}

// Where the fill's time went, from what the tour counted of the run (and of the same step run
// again under perf): the fill makes no system call, so strace does not slow it; the kernel
// clearing the table's fresh pages at their first touch does.
void fill_cost_note(Diagram& diagram, const RunCost& cost, const std::optional<RunCost>& again) {
  std::string note =
      "The fill makes no system call, so strace, which stops a program only at its calls, does "
      "not slow it. Its time is the kernel's: this run spent " +
      milliseconds(cost.system_ms * 1000) + " in the kernel (and " +
      milliseconds(cost.user_ms * 1000) + " in its own code) for " + std::to_string(cost.faults) +
      " page faults (strace's own included). Most of that kernel time is the clearing of the "
      "table's 256 MiB of fresh memory, page by page (128 pages of 2 MiB where huge pages were "
      "granted), as main first touches it.";
  if (again) {
    note += " Run again under perf, the step spent " + milliseconds(again->system_ms * 1000) +
            " in the kernel for " + std::to_string(again->faults) +
            " page faults: clearing memory is quick where the machine has just used it, and slow "
            "where the memory comes cold (on a virtual machine, from its host).";
  }
  diagram.notes.push_back(note);
}

}  // namespace

Diagram threads_diagram(const Run& run) {
  const std::string title = "2. Threads: threetally";
  if (!run.threetally) {
    return not_recorded("threads", title, "threetally's run was not recorded.");
  }
  const Log& log = *run.threetally;
  const ThreadFacts facts = find_threads(log);
  if (!facts.fill_begin || !facts.fill_end || facts.workers.empty()) {
    return not_recorded("threads", title,
                        "threetally's log shows no huge-page advice, or no thread made.");
  }
  Diagram diagram = titled("threads", title);
  diagram.time = Window{log.first, log.last};
  diagram.lanes.push_back(program_lane(log, "threetally", "main"));
  const Micros main_end = diagram.lanes.front().end;
  const Call* const exit = first_call(log, facts.main, Wanted{"exit_group", {}});
  const Micros main_exit = exit != nullptr ? exit->begin : main_end;
  diagram.spans.push_back(Span{0, "fill", *facts.fill_begin, *facts.fill_end, Look::busy});
  diagram.counters.push_back(thread_lanes(diagram, facts));
  if (const auto join = join_span(log, facts, main_exit)) {
    diagram.spans.push_back(*join);
  }
  const Micros workers = length(*facts.fill_end, main_exit);
  diagram.detail = Window{minus(*facts.fill_end, workers / workers_margins.before),
                          plus(main_end, workers / workers_margins.after)};
  diagram.detail_caption = "Magnified: the workers, from the end of the fill to main's end";
  diagram.overview_lanes = 1;
  diagram.overview_counters = false;
  threads_notes(diagram, facts);
  if (run.threetally_cost) {
    fill_cost_note(diagram, *run.threetally_cost, run.threads_sched_cost);
  }
  if (facts.workers.size() > most_worker_lanes) {
    diagram.notes.push_back("Only main and the first " + std::to_string(most_worker_lanes) +
                            " of its " + std::to_string(facts.workers.size()) +
                            " threads are drawn as lanes; the step line counts them all.");
  }
  return diagram;
}

namespace {

// ---- 3. Shared memory ----

// A program run of the segment step: which log, and its lane's name.
struct SegmentRun {
  const std::optional<Log>* log;
  const char* program;
  const char* role;
};

// What one call of a segment program adds to its lane: a mark, a pause or a shell; the change
// of nattch it makes. Returns the change: +1 attached, -1 detached, 0 none.
int segment_call(Diagram& diagram, std::size_t lane, const Call& call,
                 const Collections& collections, const Log& log) {
  const bool done = call.succeeded();
  if (done && (call.name == "shmget" || call.name == "shmat" || call.name == "shmdt")) {
    diagram.marks.push_back(Mark{lane, call.name, call.begin});
    return call.name == "shmat" ? 1 : call.name == "shmdt" ? -1 : 0;
  }
  const Micros end = std::max(call.begin, call.end);
  if (call.name == "read" && first_argument(call) == 0) {
    diagram.spans.push_back(Span{lane, "pause", call.begin, end, Look::paused});
  } else if (const auto child = forked_pid(call)) {
    // system("ipcs -m"): from the fork until the wait that collects the shell.
    const Micros collected =
        collections.after(call, *child).value_or(log.ended(*child).value_or(end));
    diagram.spans.push_back(
        Span{lane, "ipcs -m", call.begin, std::max(call.begin, collected), Look::shell});
  }
  return 0;
}

// One program's lane, marks and spans; its attachments and detachments go into changes, and
// the segment's creation, the first, into start.
void segment_program(Diagram& diagram, const SegmentRun& program, Changes& changes,
                     std::optional<Step>& start) {
  const Log& log = **program.log;
  const int pid = log.main_pid;
  diagram.lanes.push_back(program_lane(log, program.program, program.role));
  const std::size_t lane = diagram.lanes.size() - 1;
  const Collections collections(log, pid);
  long long attached = 0;
  for (const std::size_t at : log.places_of(pid)) {
    const Call& call = log.calls[at];
    const int change = segment_call(diagram, lane, call, collections, log);
    if (change != 0) {
      changes.emplace_back(call.end, change);
      attached += change;
    }
    if (call.name == "shmget" && call.succeeded() && !start) {
      start = Step{call.end, 0};
    }
  }
  // A process that ends still attached is detached by the kernel.
  for (; attached > 0; --attached) {
    changes.emplace_back(diagram.lanes.back().end, -1);
  }
}

void segment_notes(Diagram& diagram, const Run& run, int most) {
  diagram.notes.push_back(
      "segmake makes the segment (shmget) and ends; the segment stays, with nattch 0. segstamp "
      "attaches it (shmat), writes the greeting and pauses for Enter, still attached.");
  diagram.notes.push_back(
      "During that pause segpeek attaches the same segment and reads the greeting: nattch rises "
      "to " +
      std::to_string(most) +
      " (the step line), two processes with one piece of memory at once. Each Enter ends a pause "
      "(dotted): shmdt detaches, and nattch falls back to 0.");
  if (run.segpeek_2) {
    // After both: later than the ends of segstamp and the first segpeek, where they were recorded.
    Micros both_ended = 0;
    for (const auto* log : {&run.segstamp, &run.segpeek}) {
      if (*log) {
        both_ended = std::max(both_ended, (*log)->ended((*log)->main_pid).value_or((*log)->last));
      }
    }
    diagram.notes.push_back(
        run.segpeek_2->first >= both_ended
            ? "After both have ended, a later segpeek (segpeek 2) attaches the segment again: "
              "nattch is 1 once more, and the greeting is still there. The segment outlives the "
              "processes that used it, until it is removed."
            : "The later segpeek (segpeek 2) began before both others had ended, so this run "
              "does not show the greeting outliving them.");
  }
  diagram.notes.push_back(
      "The spans marked ipcs -m are the listings each program runs through the shell; times are "
      "the tour's own, since it presses Enter for you.");
}

}  // namespace

Diagram segment_diagram(const Run& run) {
  const std::string title = "3. Shared memory: segmake, segstamp, segpeek";
  const std::array<SegmentRun, 4> programs{
      SegmentRun{&run.segmake, "segmake", ""}, SegmentRun{&run.segstamp, "segstamp", ""},
      SegmentRun{&run.segpeek, "segpeek", "1"}, SegmentRun{&run.segpeek_2, "segpeek", "2"}};
  Diagram diagram = titled("segment", title);
  Changes changes;
  std::optional<Step> start;
  std::vector<const Log*> logs;
  for (const SegmentRun& program : programs) {
    if (*program.log) {
      segment_program(diagram, program, changes, start);
      logs.push_back(&**program.log);
    }
  }
  if (diagram.lanes.empty()) {
    return not_recorded("segment", title, "segmake, segstamp and segpeek were not recorded.");
  }
  diagram.time = covering(logs);
  diagram.counters.push_back(
      Counter{"nattch", diagram.lanes.front().pid,
              step_line(std::move(changes), start.value_or(Step{diagram.time.begin, 0}))});
  segment_notes(diagram, run, highest(diagram.counters.back()));
  return diagram;
}

namespace {

// ---- 4. Named semaphore ----

// Taking and giving without a waiter make no system call: those moments are known only as near
// the call that maps the semaphore's file (sem_open). 32-bit platforms map with mmap2.
Micros opened(const Log& log) {
  const Call* map = first_call(log, log.main_pid, Wanted{"mmap", "MAP_SHARED"});
  if (map == nullptr) {
    map = first_call(log, log.main_pid, Wanted{"mmap2", "MAP_SHARED"});
  }
  return map != nullptr ? map->end : log.first;
}

// What the four logs show of the semaphore.
struct SemaphoreFacts {
  Micros created = 0;     // gatenew makes the semaphore visible, with the value 1
  Micros first_take = 0;  // the first gatetake takes it (approximate)
  // The second gatetake's wait: from its first futex wait to the one that gategive's post ended
  // (its last, where none did).
  std::optional<Span> wait;
  // Its futex waits that returned before the post: woken by another task's FUTEX_WAKE (anyone who
  // can map the semaphore may call it), or EAGAIN (the value changed as it went to sleep). Each
  // time the value was 0 again, and it waited again: none of them is the wake-up.
  int returned_early = 0;
  const Call* wake = nullptr;  // gategive's futex wake
  Micros given = 0;            // gategive's post where it woke nobody (approximate)
};

SemaphoreFacts find_semaphore(const Log& made, const Log& first, const Log& waiter,
                              const Log& giver) {
  SemaphoreFacts facts;
  const Call* link = first_call(made, made.main_pid, Wanted{"link", "/dev/shm/sem."});
  facts.created = link != nullptr ? link->end : opened(made);
  facts.first_take = opened(first);
  facts.wake = first_call(giver, giver.main_pid, Wanted{"futex", "FUTEX_WAKE"});
  facts.given = opened(giver);
  std::vector<const Call*> waits;
  for (const std::size_t at : waiter.places_of(waiter.main_pid)) {
    const Call& call = waiter.calls[at];
    if (call.name == "futex" && contains(call.args, "FUTEX_WAIT")) {
      waits.push_back(&call);
    }
  }
  if (waits.empty()) {
    return facts;
  }
  // The wait that the post ended is the first still waiting as the post began (within the two
  // logs' clock skew); a wait that had returned before it cannot have been woken by it.
  std::size_t ended = waits.size() - 1;
  for (std::size_t index = 0; facts.wake != nullptr && index < waits.size(); ++index) {
    if (facts.wake->begin <= plus(waits[index]->end, clock_skew)) {
      ended = index;
      break;
    }
  }
  facts.returned_early = static_cast<int>(ended);
  facts.wait = Span{2, "wait", waits.front()->begin,
                    std::max(waits.front()->begin, waits[ended]->end), Look::blocked};
  return facts;
}

// How the second gatetake came to take the semaphore, as the logs show it.
enum class Taken {
  woken,         // it slept in a futex wait, and gategive's post woke it
  woke_earlier,  // its futex wait ended before gategive's post began: no wake-up to draw
  at_once,       // it did not sleep: the post came first, or the value was above 0
};

Taken how_taken(const SemaphoreFacts& facts) {
  if (!facts.wait || facts.wake == nullptr) {
    return Taken::at_once;
  }
  // A post cannot wake a sleeper that had already woken, beyond the two logs' clock skew.
  return facts.wake->begin <= plus(facts.wait->end, clock_skew) ? Taken::woken
                                                                : Taken::woke_earlier;
}

// The post that wakes the sleeper: the arrow, the waiter's take, and a magnified panel. The take
// comes after the post, even where the two logs' clocks put the wait's end a little earlier.
void wake_up(Diagram& diagram, const Span& wait, const Span& post, Changes& changes) {
  const Micros taken = std::max(wait.end, plus(post.begin, 1));
  diagram.marks.push_back(Mark{2, "take", taken});
  Arrow arrow = arrow_between(post, Span{wait.lane, wait.name, wait.begin, taken, wait.look});
  arrow.id = 2;
  arrow.name = "wake-up";
  arrow.carries = Carries::wake_up;
  diagram.arrows.push_back(arrow);
  changes.emplace_back(taken, -1);
  const Micros around =
      std::max(times(length(post.begin, taken), wake_up_margin_factor), least_wake_up_margin);
  diagram.detail = Window{minus(post.begin, around), plus(taken, around)};
  diagram.detail_caption = "Magnified: the post and the wake-up";
  diagram.detail_lanes = {2, 3};
  diagram.overview_lanes = diagram.lanes.size();
}

// The wait, the post, the wake-up and the value's step line.
void semaphore_shapes(Diagram& diagram, const SemaphoreFacts& facts, Taken taken) {
  diagram.marks.push_back(Mark{0, "sem_open", facts.created});
  diagram.marks.push_back(Mark{1, "take", facts.first_take});
  Changes changes{{facts.first_take, -1}};
  if (taken == Taken::at_once) {
    changes.emplace_back(facts.given, 1);
    diagram.marks.push_back(Mark{3, "post", facts.given});
  } else {
    const Span post{3, "post", facts.wake->begin, std::max(facts.wake->begin, facts.wake->end),
                    Look::busy};
    diagram.spans.push_back(*facts.wait);
    diagram.spans.push_back(post);
    changes.emplace_back(post.begin, 1);
    if (taken == Taken::woken) {
      wake_up(diagram, *facts.wait, post, changes);
    }
  }
  diagram.counters.push_back(Counter{"value", diagram.lanes.front().pid,
                                     step_line(std::move(changes), {facts.created, 1})});
}

// What the waits that returned before the post were, where there were any.
std::string early_returns(const SemaphoreFacts& facts) {
  if (facts.returned_early == 0) {
    return {};
  }
  const int count = facts.returned_early;
  return " Before the post, its futex wait returned " +
         (count == 1   ? std::string("once")
          : count == 2 ? std::string("twice")
                       : std::to_string(count) + " times") +
         " with the value still 0 (woken by another task's FUTEX_WAKE, or EAGAIN: the value "
         "changed as it went to sleep), and it waited again: no post was behind " +
         (count == 1 ? "that return." : "those returns.");
}

void semaphore_notes(Diagram& diagram, const SemaphoreFacts& facts, Taken taken) {
  diagram.notes.push_back(
      "gatenew makes the semaphore with the value 1. The first gatetake takes it to 0 at once: "
      "taking an available semaphore needs no system call, so that step is drawn where gatetake "
      "maps the semaphore, and its time is approximate.");
  switch (taken) {
    case Taken::woken:
      diagram.notes.push_back(
          "The second gatetake finds 0 and sleeps in the kernel (a futex wait, hatched) for " +
          milliseconds(length(facts.wait->begin, facts.wait->end)) +
          ", until gategive posts: the post raises the value to 1 and wakes the sleeper (the "
          "arrow), which takes it back to 0 at once." +
          early_returns(facts));
      break;
    case Taken::woke_earlier:
      diagram.notes.push_back(
          "The second gatetake's futex wait (hatched) ended before gategive posted: this log "
          "does not show the post waking it." +
          early_returns(facts));
      break;
    case Taken::at_once:
      diagram.notes.push_back(
          "This time the second gatetake did not sleep in the kernel (no futex wait in its log): "
          "gategive's post came first, or it found the value above 0.");
      break;
  }
}

}  // namespace

Diagram semaphore_diagram(const Run& run) {
  const std::string title = "4. Named semaphore: gatenew, gatetake, gategive";
  if (!run.gatenew || !run.gatetake_1 || !run.gatetake_2 || !run.gategive) {
    return not_recorded("semaphore", title,
                        "gatenew, both gatetakes and gategive were not all recorded.");
  }
  Diagram diagram = titled("semaphore", title);
  const Log& made = *run.gatenew;
  const Log& first = *run.gatetake_1;
  const Log& waiter = *run.gatetake_2;
  const Log& giver = *run.gategive;
  diagram.time = covering({&made, &first, &waiter, &giver});
  diagram.lanes.push_back(program_lane(made, "gatenew", ""));
  diagram.lanes.push_back(program_lane(first, "gatetake", "1"));
  diagram.lanes.push_back(program_lane(waiter, "gatetake", "2"));
  diagram.lanes.push_back(program_lane(giver, "gategive", ""));
  const SemaphoreFacts facts = find_semaphore(made, first, waiter, giver);
  const Taken taken = how_taken(facts);
  semaphore_shapes(diagram, facts, taken);
  semaphore_notes(diagram, facts, taken);
  return diagram;
}

std::string Lane::label() const {
  std::string text = program;
  if (!role.empty()) {
    text += " ";
    text += role;
  }
  text += " ";
  text += std::to_string(tid);
  return text;
}

std::string milliseconds(Micros duration) {
  const double ms = static_cast<double>(duration) / 1000.0;
  std::array<char, 32> text{};
  const int decimals = ms < 10 ? 2 : ms < 100 ? 1 : 0;
  std::snprintf(text.data(), text.size(), "%.*f ms", decimals, ms);
  return text.data();
}

Run read_run(const std::filesystem::path& dir) {
  const auto log = [&dir](const char* name) { return read_log((dir / name).string()); };
  Run run;
  run.forkrelay = log("1-pipe-forkrelay.strace");
  run.threetally = log("2-threads-threetally.strace");
  run.segmake = log("3-segment-segmake.strace");
  run.segstamp = log("3-segment-segstamp.strace");
  run.segpeek = log("3-segment-segpeek.strace");
  run.segpeek_2 = log("3-segment-segpeek-2.strace");
  run.gatenew = log("4-semaphore-gatenew.strace");
  run.gatetake_1 = log("4-semaphore-gatetake-1.strace");
  run.gatetake_2 = log("4-semaphore-gatetake-2.strace");
  run.gategive = log("4-semaphore-gategive.strace");
  run.threetally_cost = read_cost((dir / "2-threads-threetally.cost").string());
  run.threads_sched_cost = read_cost((dir / "2-threads.cost").string());
  read_sched_records(dir, run);
  return run;
}

std::vector<Diagram> diagrams(const Run& run) {
  std::vector<Diagram> all{pipe_diagram(run), threads_diagram(run), segment_diagram(run),
                           semaphore_diagram(run)};
  for (const auto& [diagram, record] :
       {std::pair{&all[0], &run.pipe_sched}, std::pair{&all[1], &run.threads_sched},
        std::pair{&all[2], &run.segment_sched}, std::pair{&all[3], &run.semaphore_sched}}) {
    add_scheduler_view(*diagram, *record);
  }
  return all;
}

}  // namespace lens
