#include "diagrams.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <map>
#include <string_view>

namespace timeline {
namespace {

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// A new process: fork, vfork, or a clone that makes no thread (as fork() and system() do).
std::optional<int> forked_pid(const Call& call) {
  const bool forks =
      call.name == "fork" || call.name == "vfork" ||
      ((call.name == "clone" || call.name == "clone3") && !contains(call.args, "CLONE_THREAD"));
  const auto child = call.number();
  if (!forks || !call.succeeded() || !child || *child <= 0) {
    return std::nullopt;
  }
  return static_cast<int>(*child);
}

// A new thread of the same process: a clone with CLONE_THREAD; its tid.
std::optional<int> thread_tid(const Call& call) {
  const auto tid = call.number();
  if ((call.name != "clone" && call.name != "clone3") || !contains(call.args, "CLONE_THREAD") ||
      !call.succeeded() || !tid || *tid <= 0) {
    return std::nullopt;
  }
  return static_cast<int>(*tid);
}

// A system call looked for: its name and, where not empty, a part of its arguments.
struct Wanted {
  std::string_view name;
  std::string_view part;
};

// The first of pid's calls that is the one wanted.
std::optional<Call> first_call(const Log& log, int pid, Wanted wanted) {
  for (const Call& call : log.calls_of(pid, wanted.name)) {
    if (wanted.part.empty() || contains(call.args, wanted.part)) {
      return call;
    }
  }
  return std::nullopt;
}

// The first number of a system call's arguments: the descriptor of read(3, ...).
std::optional<int> first_argument(const Call& call) {
  int value = 0;
  const std::string& args = call.args;
  const auto [rest, error] = std::from_chars(args.data(), args.data() + args.size(), value);
  if (error != std::errc{}) {
    return std::nullopt;
  }
  return value;
}

// A lane for a whole program run: from its first line to its end.
Lane program_lane(const Log& log, std::string program, std::string role) {
  return Lane{log.main_pid,    log.main_pid, std::move(program),
              std::move(role), log.first,    log.ended(log.main_pid).value_or(log.last)};
}

// Where an arrow leaves one span and enters another: inside the sender's span (its middle, or
// earlier if the receiver ends sooner), and inside the receiver's span just before its end, never
// earlier than it leaves.
Arrow arrow_between(const Span& sender, const Span& receiver) {
  Arrow arrow;
  arrow.from_lane = sender.lane;
  arrow.to_lane = receiver.lane;
  const Micros receiver_length = receiver.end - receiver.begin;
  arrow.to = receiver.end - std::min<Micros>(receiver_length / 2, 1);
  arrow.from = std::clamp(sender.begin + (sender.end - sender.begin) / 2, sender.begin,
                          std::max(sender.begin, std::min(sender.end, arrow.to)));
  arrow.to = std::max(arrow.to, arrow.from);
  return arrow;
}

// Changes of a count over time, summed into a step line from `start` on.
std::vector<Step> step_line(std::vector<std::pair<Micros, int>> changes, Step start) {
  std::stable_sort(changes.begin(), changes.end(),
                   [](const auto& one, const auto& other) { return one.first < other.first; });
  std::vector<Step> steps{start};
  int value = start.value;
  for (const auto& [at, change] : changes) {
    value += change;
    if (steps.back().at == at) {
      steps.back().value = value;
    } else if (steps.back().value != value) {
      steps.push_back(Step{at, value});
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

}  // namespace

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
  run.gatenew = log("4-semaphore-gatenew.strace");
  run.gatetake_1 = log("4-semaphore-gatetake-1.strace");
  run.gatetake_2 = log("4-semaphore-gatetake-2.strace");
  run.gategive = log("4-semaphore-gategive.strace");
  return run;
}

Diagram pipe_diagram(const Run& run) {
  std::string title = "1. Pipe: forkrelay";
  if (!run.forkrelay) {
    return not_recorded("pipe", title, "forkrelay's run was not recorded.");
  }
  const Log& log = *run.forkrelay;
  const int parent = log.main_pid;
  auto pipe = first_call(log, parent, Wanted{"pipe2", {}});
  if (!pipe) {
    pipe = first_call(log, parent, Wanted{"pipe", {}});
  }
  std::optional<Call> fork;
  std::optional<int> child;
  for (const Call& call : log.calls_of(parent)) {
    child = forked_pid(call);
    if (child && pipe && call.begin >= pipe->end) {
      fork = call;
      break;
    }
  }
  // "[3, 4]": the read end, then the write end.
  int read_end = -1;
  int write_end = -1;
  if (pipe && pipe->args.size() > 1 && pipe->args.front() == '[') {
    std::string_view ends = std::string_view(pipe->args).substr(1);
    const auto [after_read, read_error] =
        std::from_chars(ends.data(), ends.data() + ends.size(), read_end);
    ends.remove_prefix(static_cast<std::size_t>(after_read - ends.data()));
    while (!ends.empty() && (ends.front() == ',' || ends.front() == ' ')) {
      ends.remove_prefix(1);
    }
    const auto [after_write, write_error] =
        std::from_chars(ends.data(), ends.data() + ends.size(), write_end);
    if (read_error != std::errc{} || write_error != std::errc{} || !pipe->succeeded()) {
      read_end = write_end = -1;
    }
  }
  if (!fork || read_end < 0) {
    return not_recorded("pipe", title, "forkrelay's log shows no pipe and fork.");
  }

  Diagram diagram;
  diagram.mechanism = "pipe";
  diagram.title = title;
  diagram.time = Window{log.first, log.last};
  diagram.lanes.push_back(program_lane(log, "forkrelay", "parent"));
  const Micros child_begin = std::min(fork->end, log.appears(*child).value_or(fork->end));
  diagram.lanes.push_back(Lane{*child, *child, "forkrelay", "child", child_begin,
                               log.ended(*child).value_or(log.last)});
  diagram.marks.push_back(Mark{0, "pipe2", pipe->begin});
  diagram.marks.push_back(Mark{0, "fork", fork->begin});
  for (std::size_t lane = 0; lane < diagram.lanes.size(); ++lane) {
    if (const auto ended = log.ended(diagram.lanes[lane].pid)) {
      diagram.marks.push_back(Mark{lane, "exit", *ended});
    }
  }

  std::optional<Span> write;
  std::optional<Span> read;
  for (const Call& call : log.calls_of(parent, "write")) {
    if (call.begin >= fork->begin && first_argument(call) == write_end) {
      write = Span{0, "write", call.begin, call.end, Look::busy};
      break;
    }
  }
  for (const Call& call : log.calls_of(*child, "read")) {
    if (first_argument(call) == read_end) {
      read = Span{1, "read", call.begin, call.end, Look::blocked};
      break;
    }
  }
  diagram.notes.push_back(
      "The parent makes the pipe (pipe2) and forks: from the fork on there are two lanes, the "
      "parent and its child, each with its own pid.");
  if (write && read) {
    diagram.spans.push_back(*write);
    diagram.spans.push_back(*read);
    Arrow arrow = arrow_between(*write, *read);
    arrow.id = 1;
    arrow.name = "128 bytes";
    diagram.arrows.push_back(arrow);
    if (read->begin < write->begin) {
      diagram.notes.push_back(std::string("The child's read (hatched) began ") +
                              milliseconds(write->begin - read->begin) +
                              " before the parent's write: the child slept in the kernel until "
                              "the 128 bytes came, and the arrow shows them arrive.");
    } else {
      diagram.notes.push_back(
          std::string("This time the parent's write came first: the 128 bytes (the arrow) were "
                      "already in the pipe when the child read, so its read (hatched) took only ") +
          milliseconds(read->end - read->begin) +
          ". Run it again: on another run the child may be the one that waits.");
    }
  } else {
    diagram.notes.push_back("The log shows no write of the record into the pipe, or no read.");
  }
  diagram.notes.push_back(
      "Each process ends on its own (exit); the parent does not wait for its child.");
  // Loading the program takes most of the run: the pipe's part is drawn again, magnified.
  const Micros pipe_part = log.last - pipe->begin;
  diagram.detail = Window{pipe->begin - pipe_part / 25, log.last + pipe_part / 50};
  diagram.detail_caption = "Magnified: from pipe2 to the end";
  diagram.overview_lanes = diagram.lanes.size();
  return diagram;
}

Diagram threads_diagram(const Run& run) {
  std::string title = "2. Threads: threetally";
  if (!run.threetally) {
    return not_recorded("threads", title, "threetally's run was not recorded.");
  }
  const Log& log = *run.threetally;
  const int main = log.main_pid;
  Diagram diagram;
  diagram.mechanism = "threads";
  diagram.title = title;
  diagram.time = Window{log.first, log.last};
  diagram.lanes.push_back(program_lane(log, "threetally", "main"));
  const Lane main_lane = diagram.lanes.front();  // a copy: more lanes follow

  // The fill: from the huge-page advice to main's next system call (the first worker's stack);
  // filling the table itself makes no system call.
  const auto advice = first_call(log, main, Wanted{"madvise", "MADV_HUGEPAGE"});
  std::optional<Span> fill;
  if (advice) {
    for (const Call& call : log.calls_of(main)) {
      if (call.begin >= advice->end && call.begin > advice->begin) {
        fill = Span{0, "fill", advice->end, call.begin, Look::busy};
        break;
      }
    }
  }

  std::vector<std::pair<Micros, int>> changes;
  std::optional<Micros> last_creation;
  Micros last_worker_end = 0;
  for (const Call& call : log.calls_of(main)) {
    const auto tid = thread_tid(call);
    if (!tid) {
      continue;
    }
    const Micros begin = std::min(call.end, log.appears(*tid).value_or(call.end));
    const Micros end = log.ended(*tid).value_or(main_lane.end);
    diagram.lanes.push_back(Lane{main, *tid, "threetally", "worker", begin, end});
    diagram.spans.push_back(Span{diagram.lanes.size() - 1, "thread", begin, end, Look::alive});
    changes.emplace_back(begin, 1);
    changes.emplace_back(end, -1);
    last_creation = call.end;
    last_worker_end = std::max(last_worker_end, end);
  }
  if (!fill || !last_creation) {
    return not_recorded("threads", title,
                        "threetally's log shows no huge-page advice, or no thread made.");
  }
  diagram.spans.insert(diagram.spans.begin(), *fill);
  changes.emplace_back(main_lane.end, -1);

  // The join: from the last creation until the last worker has ended, or main's last futex wait
  // for one of them has returned, but no later than main's exit.
  const auto exit = first_call(log, main, Wanted{"exit_group", {}});
  const Micros main_exit = exit ? exit->begin : main_lane.end;
  Micros join_end = std::min(last_worker_end, main_exit);
  for (const Call& call : log.calls_of(main, "futex")) {
    if (call.begin >= *last_creation && call.end <= main_exit) {
      join_end = std::max(join_end, call.end);
    }
  }
  if (join_end > *last_creation) {
    diagram.spans.push_back(Span{0, "join", *last_creation, join_end, Look::blocked});
  }
  Counter alive{"threads alive", main, step_line(changes, Step{main_lane.begin, 1})};
  const int most = highest(alive);
  diagram.counters.push_back(alive);

  const std::size_t workers = diagram.lanes.size() - 1;
  const Micros all_workers = main_exit - fill->end;
  diagram.detail = Window{fill->end - all_workers / 20, main_lane.end + all_workers / 50};
  diagram.detail_caption = "Magnified: the workers, from the end of the fill to main's end";
  diagram.overview_lanes = 1;
  diagram.overview_counters = false;
  diagram.notes.push_back(
      std::string("main asks for huge pages (madvise) and fills the table alone for ") +
      milliseconds(fill->end - fill->begin) +
      " (the fill): no worker exists yet, so nothing else runs.");
  diagram.notes.push_back(
      std::string("Then main makes ") + std::to_string(workers) +
      " workers, one after another, within " + milliseconds(*last_creation - fill->end) +
      " (magnified below): each lane is one worker, from its creation to its end. Where lanes "
      "overlap, threads count at the same time; at most " +
      std::to_string(most) + " threads were alive at once, main included (the step line).");
  diagram.notes.push_back(
      "main's join waits until the last worker has ended; then main prints the total and ends.");
  return diagram;
}

Diagram segment_diagram(const Run& run) {
  std::string title = "3. Shared memory: segmake, segstamp, segpeek";
  struct Program {
    const std::optional<Log>* log;
    const char* name;
  };
  const std::array<Program, 3> programs{Program{&run.segmake, "segmake"},
                                        Program{&run.segstamp, "segstamp"},
                                        Program{&run.segpeek, "segpeek"}};
  Diagram diagram;
  diagram.mechanism = "segment";
  diagram.title = title;
  std::vector<std::pair<Micros, int>> changes;
  std::optional<Step> start;
  for (const Program& program : programs) {
    if (!*program.log) {
      continue;
    }
    const Log& log = **program.log;
    const int pid = log.main_pid;
    if (diagram.lanes.empty()) {
      diagram.time = Window{log.first, log.last};
    }
    diagram.time.begin = std::min(diagram.time.begin, log.first);
    diagram.time.end = std::max(diagram.time.end, log.last);
    diagram.lanes.push_back(program_lane(log, program.name, ""));
    const std::size_t lane = diagram.lanes.size() - 1;
    int attached = 0;
    for (const Call& call : log.calls_of(pid)) {
      if (call.name == "shmget" && call.succeeded()) {
        diagram.marks.push_back(Mark{lane, "shmget", call.begin});
        start = start.value_or(Step{call.end, 0});
      } else if (call.name == "shmat" && call.succeeded()) {
        diagram.marks.push_back(Mark{lane, "shmat", call.begin});
        changes.emplace_back(call.end, 1);
        ++attached;
      } else if (call.name == "shmdt" && call.succeeded()) {
        diagram.marks.push_back(Mark{lane, "shmdt", call.begin});
        changes.emplace_back(call.end, -1);
        --attached;
      } else if (call.name == "read" && first_argument(call) == 0) {
        diagram.spans.push_back(Span{lane, "pause", call.begin, call.end, Look::paused});
      } else if (const auto child = forked_pid(call)) {
        // system("ipcs -m"): from the fork until the wait that collects the shell.
        Micros end = log.ended(*child).value_or(call.end);
        for (const Call& wait : log.calls_of(pid, "wait4")) {
          if (wait.begin >= call.begin && wait.number() == *child) {
            end = wait.end;
            break;
          }
        }
        diagram.spans.push_back(Span{lane, "ipcs -m", call.begin, end, Look::shell});
      }
    }
    // A process that ends still attached is detached by the kernel.
    for (; attached > 0; --attached) {
      changes.emplace_back(diagram.lanes.back().end, -1);
    }
  }
  if (diagram.lanes.empty()) {
    return not_recorded("segment", title, "segmake, segstamp and segpeek were not recorded.");
  }
  diagram.counters.push_back(
      Counter{"nattch", diagram.lanes.front().pid,
              step_line(changes, start.value_or(Step{diagram.time.begin, 0}))});
  const int most = highest(diagram.counters.back());
  diagram.notes.push_back(
      "segmake makes the segment (shmget) and ends; the segment stays, with nattch 0. segstamp "
      "attaches it (shmat), writes the greeting and pauses for Enter, still attached.");
  diagram.notes.push_back(
      std::string("During that pause segpeek attaches the same segment and reads the greeting: "
                  "nattch rises to ") +
      std::to_string(most) +
      " (the step line), two processes with one piece of memory at once. Each Enter ends a pause "
      "(dotted): shmdt detaches, and nattch falls back to 0.");
  diagram.notes.push_back(
      "The spans marked ipcs -m are the listings each program runs through the shell; times are "
      "the tour's own, since it presses Enter for you.");
  return diagram;
}

Diagram semaphore_diagram(const Run& run) {
  std::string title = "4. Named semaphore: gatenew, gatetake, gategive";
  if (!run.gatenew || !run.gatetake_1 || !run.gatetake_2 || !run.gategive) {
    return not_recorded("semaphore", title,
                        "gatenew, both gatetakes and gategive were not all recorded.");
  }
  Diagram diagram;
  diagram.mechanism = "semaphore";
  diagram.title = title;
  const Log& made = *run.gatenew;
  const Log& first = *run.gatetake_1;
  const Log& waiter = *run.gatetake_2;
  const Log& giver = *run.gategive;
  diagram.time = Window{made.first, made.last};
  for (const Log* log : {&first, &waiter, &giver}) {
    diagram.time.begin = std::min(diagram.time.begin, log->first);
    diagram.time.end = std::max(diagram.time.end, log->last);
  }
  diagram.lanes.push_back(program_lane(made, "gatenew", ""));
  diagram.lanes.push_back(program_lane(first, "gatetake", "1"));
  diagram.lanes.push_back(program_lane(waiter, "gatetake", "2"));
  diagram.lanes.push_back(program_lane(giver, "gategive", ""));

  // Taking and giving without a waiter make no system call: those moments are known only as
  // near the call that maps the semaphore's file (sem_open), or, for gatenew, makes it visible.
  // 32-bit platforms map with mmap2.
  const auto opened = [](const Log& log) {
    auto map = first_call(log, log.main_pid, Wanted{"mmap", "MAP_SHARED"});
    if (!map) {
      map = first_call(log, log.main_pid, Wanted{"mmap2", "MAP_SHARED"});
    }
    return map ? map->end : log.first;
  };
  const auto link = first_call(made, made.main_pid, Wanted{"link", "/dev/shm/sem."});
  const Micros created = link ? link->end : opened(made);
  diagram.marks.push_back(Mark{0, "sem_open", created});
  const Micros first_take = opened(first);
  diagram.marks.push_back(Mark{1, "take", first_take});

  std::optional<Span> wait;
  for (const Call& call : waiter.calls_of(waiter.main_pid, "futex")) {
    if (contains(call.args, "FUTEX_WAIT") &&
        (!wait || call.end - call.begin > wait->end - wait->begin)) {
      wait = Span{2, "wait", call.begin, call.end, Look::blocked};
    }
  }
  const auto wake = first_call(giver, giver.main_pid, Wanted{"futex", "FUTEX_WAKE"});
  std::vector<std::pair<Micros, int>> changes{{first_take, -1}};
  diagram.notes.push_back(
      "gatenew makes the semaphore with the value 1. The first gatetake takes it to 0 at once: "
      "taking an available semaphore needs no system call, so that step is drawn where gatetake "
      "maps the semaphore, and its time is approximate.");
  if (wait && wake) {
    const Span post{3, "post", wake->begin, wake->end, Look::busy};
    diagram.spans.push_back(*wait);
    diagram.spans.push_back(post);
    diagram.marks.push_back(Mark{2, "take", wait->end});
    Arrow arrow = arrow_between(post, *wait);
    arrow.id = 2;
    arrow.name = "wake-up";
    diagram.arrows.push_back(arrow);
    changes.emplace_back(post.begin, 1);
    changes.emplace_back(wait->end, -1);
    // The post and the wake-up are a fraction of a millisecond apart: drawn again, magnified.
    const Micros around = std::max<Micros>((wait->end - post.begin) * 4, 200);
    diagram.detail = Window{post.begin - around, wait->end + around};
    diagram.detail_caption = "Magnified: the post and the wake-up";
    diagram.detail_lanes = {2, 3};
    diagram.overview_lanes = diagram.lanes.size();
    diagram.notes.push_back(
        std::string("The second gatetake finds 0 and sleeps in the kernel (a futex wait, hatched) "
                    "for ") +
        milliseconds(wait->end - wait->begin) +
        ", until gategive posts: the post raises the value to 1 and wakes the sleeper (the "
        "arrow), which takes it back to 0 at once.");
  } else {
    const Micros given = opened(giver);
    changes.emplace_back(given, 1);
    diagram.marks.push_back(Mark{3, "post", given});
    diagram.notes.push_back(
        "This time the second gatetake did not sleep in the kernel (no futex wait in its log): "
        "gategive's post came first, or it found the value above 0.");
  }
  diagram.counters.push_back(Counter{"value", made.main_pid, step_line(changes, Step{created, 1})});
  return diagram;
}

std::vector<Diagram> diagrams(const Run& run) {
  return {pipe_diagram(run), threads_diagram(run), segment_diagram(run), semaphore_diagram(run)};
}

}  // namespace timeline
