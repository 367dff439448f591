#include "sched_log.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <unordered_map>
#include <utility>

namespace lens {
namespace {

using Nanos = std::int64_t;

// Bounds on what a line may say, past which it is garbage: nine digits of seconds (31 years of
// perf's clock, which starts at boot) keep every time below 10^18 ns; tids stay below the
// kernel's own limit; CPU numbers below a size no machine reaches.
constexpr std::size_t most_second_digits = 9;
constexpr std::size_t most_fraction_digits = 9;
constexpr Nanos nanos_per_second = 1000000000;
constexpr Nanos nanos_per_micro = 1000;
constexpr Nanos a_day_in_nanos = a_day * nanos_per_micro;
constexpr int most_tid = 4194304;
constexpr int most_cpu = 8191;
// How many times a line's text "sched:" is tried as the event's name.
constexpr int most_tries = 4;
constexpr std::string_view event_prefix = "sched:";
constexpr std::string_view perf_child = "perf-exec";
constexpr std::string_view cpus_header = "# nrcpus avail :";

enum class Kind { switched, waking, wakeup, wakeup_new, migrate, fork, exec, exit };

// One scheduler event. `task` and `other` are, by kind: switched: prev and next; the wake-ups,
// migrate and exit: the task; fork: parent and child; exec: the process.
struct Event {
  Nanos at = 0;
  Kind kind = Kind::switched;
  int cpu = 0;
  int current = -1;  // the task running when the event was recorded
  std::string current_comm;
  int task = -1;
  std::string task_comm;
  int other = -1;
  std::string other_comm;
  char state = 0;  // switched: prev's state
};

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// The whole of text as a whole number within [low, high].
std::optional<int> whole_number(std::string_view text, int low, int high) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

bool all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](char digit) { return digit >= '0' && digit <= '9'; });
}

// "3148.116746" (seconds, a point, up to nine digits of fraction) in nanoseconds.
std::optional<Nanos> parse_time(std::string_view text) {
  const auto point = text.find('.');
  if (point == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view seconds = text.substr(0, point);
  const std::string_view fraction = text.substr(point + 1);
  if (!all_digits(seconds) || !all_digits(fraction) || seconds.size() > most_second_digits ||
      fraction.size() > most_fraction_digits) {
    return std::nullopt;
  }
  Nanos nanos = 0;
  for (const char digit : seconds) {
    nanos = nanos * 10 + (digit - '0');
  }
  nanos *= nanos_per_second;
  Nanos scale = nanos_per_second / 10;
  for (const char digit : fraction) {
    nanos += (digit - '0') * scale;
    scale /= 10;
  }
  return nanos;
}

// Splits the last space-separated word off text: {what is before it, the word}.
std::pair<std::string_view, std::string_view> split_last(std::string_view text) {
  text = trim(text);
  const auto space = text.find_last_of(" \t");
  if (space == std::string_view::npos) {
    return {{}, text};
  }
  return {text.substr(0, space), text.substr(space + 1)};
}

// The line's part before the event's name: "COMM TID [CPU] SECONDS:". The name may hold spaces
// (perf pads it on the left); the tid is -1 where the task is already gone.
bool parse_prefix(std::string_view prefix, Event& event) {
  auto [before_time, time] = split_last(prefix);
  if (time.size() < 2 || time.back() != ':') {
    return false;
  }
  const auto at = parse_time(time.substr(0, time.size() - 1));
  auto [before_cpu, cpu] = split_last(before_time);
  if (!at || cpu.size() < 3 || cpu.front() != '[' || cpu.back() != ']') {
    return false;
  }
  const auto cpu_number = whole_number(cpu.substr(1, cpu.size() - 2), 0, most_cpu);
  auto [comm, tid] = split_last(before_cpu);
  // perf prints "PID/TID" where asked to show both.
  if (const auto slash = tid.find('/'); slash != std::string_view::npos) {
    tid.remove_prefix(slash + 1);
  }
  const auto tid_number = whole_number(tid, -1, most_tid);
  if (!cpu_number || !tid_number) {
    return false;
  }
  event.at = *at;
  event.cpu = *cpu_number;
  event.current = *tid_number;
  event.current_comm = std::string(trim(comm));
  return true;
}

// The value of "key=VALUE" in text, where key starts text or follows a space, up to a space.
std::string_view value_of(std::string_view text, std::string_view key) {
  for (std::size_t from = 0;;) {
    const auto place = text.find(key, from);
    if (place == std::string_view::npos) {
      return {};
    }
    const auto after = place + key.size();
    if ((place == 0 || text[place - 1] == ' ') && after < text.size() && text[after] == '=') {
      const std::string_view rest = text.substr(after + 1);
      return rest.substr(0, rest.find(' '));
    }
    from = place + 1;
  }
}

// The keys of a task's name and number in an event's text: "comm" and "pid", say.
struct Keys {
  std::string_view name;
  std::string_view id;
};

// Where the last " KEY=" in text starts, or npos.
std::size_t last_key(std::string_view text, std::string_view key) {
  for (auto place = text.rfind(key); place != std::string_view::npos && place > 0;
       place = text.rfind(key, place - 1)) {
    if (text[place - 1] == ' ' && text.substr(place + key.size(), 1) == "=") {
      return place - 1;
    }
  }
  return std::string_view::npos;
}

// "NAME_KEY=some name ID_KEY=N ...": the name (which may hold spaces) and the number. The name
// runs to the last " ID_KEY=", so that a name that holds those words still ends where perf
// ended it.
bool named_task(std::string_view text, const Keys& keys, std::string& name, int& id) {
  const std::string_view name_key = keys.name;
  const std::string_view id_key = keys.id;
  if (text.substr(0, name_key.size()) != name_key || text.substr(name_key.size(), 1) != "=") {
    return false;
  }
  const auto end = last_key(text, id_key);
  if (end == std::string_view::npos || end < name_key.size()) {
    return false;
  }
  const auto number = whole_number(value_of(text.substr(end + 1), id_key), 0, most_tid);
  if (!number) {
    return false;
  }
  name = std::string(text.substr(name_key.size() + 1, end - name_key.size() - 1));
  id = *number;
  return true;
}

bool parse_switch(std::string_view args, Event& event) {
  constexpr std::string_view arrow = " ==> ";
  const auto place = args.rfind(" ==> next_comm=");
  if (place == std::string_view::npos) {
    return false;
  }
  const std::string_view prev = args.substr(0, place);
  const std::string_view next = args.substr(place + arrow.size());
  if (!named_task(prev, {"prev_comm", "prev_pid"}, event.task_comm, event.task) ||
      !named_task(next, {"next_comm", "next_pid"}, event.other_comm, event.other)) {
    return false;
  }
  const std::string_view state = value_of(prev.substr(last_key(prev, "prev_pid")), "prev_state");
  event.state = state.empty() ? '?' : state.front();
  return true;
}

bool parse_fork(std::string_view args, Event& event) {
  const auto place = args.rfind(" child_comm=");
  return place != std::string_view::npos &&
         named_task(args.substr(0, place), {"comm", "pid"}, event.task_comm, event.task) &&
         named_task(args.substr(place + 1), {"child_comm", "child_pid"}, event.other_comm,
                    event.other);
}

std::optional<Kind> kind_of(std::string_view name) {
  constexpr std::pair<std::string_view, Kind> kinds[] = {
      {"sched_switch", Kind::switched},      {"sched_waking", Kind::waking},
      {"sched_wakeup", Kind::wakeup},        {"sched_wakeup_new", Kind::wakeup_new},
      {"sched_migrate_task", Kind::migrate}, {"sched_process_fork", Kind::fork},
      {"sched_process_exec", Kind::exec},    {"sched_process_exit", Kind::exit}};
  for (const auto& [text, kind] : kinds) {
    if (text == name) {
      return kind;
    }
  }
  return std::nullopt;
}

bool parse_args(std::string_view args, Event& event) {
  switch (event.kind) {
    case Kind::switched:
      return parse_switch(args, event);
    case Kind::fork:
      return parse_fork(args, event);
    case Kind::exec: {
      std::string file;
      if (!named_task(args, {"filename", "pid"}, file, event.task)) {
        return false;
      }
      event.task_comm = file.substr(file.rfind('/') + 1);
      return true;
    }
    default:
      return named_task(args, {"comm", "pid"}, event.task_comm, event.task);
  }
}

// One line of perf script's text as an event, or nothing where it is not one of the scheduler
// events read here.
std::optional<Event> parse_line(std::string_view line) {
  std::size_t from = 0;
  for (int tries = 0; tries < most_tries; ++tries) {
    const auto place = line.find(event_prefix, from);
    if (place == std::string_view::npos || place == 0) {
      return std::nullopt;
    }
    from = place + 1;
    const std::string_view rest = line.substr(place + event_prefix.size());
    const auto colon = rest.find(": ");
    if (line[place - 1] != ' ' || colon == std::string_view::npos) {
      continue;
    }
    Event event;
    const auto kind = kind_of(rest.substr(0, colon));
    if (!parse_prefix(line.substr(0, place), event)) {
      continue;
    }
    if (!kind) {
      return std::nullopt;
    }
    event.kind = *kind;
    if (parse_args(trim(rest.substr(colon + 1)), event)) {
      return event;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

// Which tids are the program's, the tid that forked each, and the time from which its events
// are the program's (a process named by pid or program joins at its exec; before it, it is
// still the shell or strace that started it).
struct Member {
  int parent = 0;
  Nanos from = std::numeric_limits<Nanos>::min();
};
using Members = std::unordered_map<int, Member>;

bool named_in(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The tids that the program starts from (see SchedSelect).
std::vector<int> program_roots(const std::vector<Event>& events, const SchedSelect& select) {
  if (!select.pids.empty()) {
    return select.pids;
  }
  std::vector<int> found;
  for (const Event& event : events) {
    if (event.kind == Kind::exec && !select.programs.empty() &&
        named_in(select.programs, event.task_comm) &&
        std::find(found.begin(), found.end(), event.task) == found.end()) {
      found.push_back(event.task);
    }
  }
  if (!select.programs.empty()) {
    return found;
  }
  for (const Event& event : events) {
    for (const auto& [tid, comm] :
         {std::pair<int, const std::string&>{event.current, event.current_comm},
          {event.task, event.task_comm},
          {event.other, event.other_comm}}) {
      if (tid > 0 && comm == perf_child) {
        return {tid};
      }
    }
  }
  const auto exec = std::find_if(events.begin(), events.end(),
                                 [](const Event& event) { return event.kind == Kind::exec; });
  return exec == events.end() ? found : std::vector<int>{exec->task};
}

// The roots and everything forked from them after they joined, found in any order of the forks.
Members find_members(const std::vector<Event>& events, const SchedSelect& select) {
  Members members;
  std::unordered_map<int, std::vector<const Event*>> forks;
  for (const Event& event : events) {
    if (event.kind == Kind::fork) {
      forks[event.task].push_back(&event);
    }
  }
  std::vector<int> waiting;
  for (const int root : program_roots(events, select)) {
    Member member;
    for (const Event& event : events) {
      if (event.kind == Kind::exec && event.task == root &&
          (select.programs.empty() || named_in(select.programs, event.task_comm))) {
        member.from = event.at;
        break;
      }
    }
    if (root > 0 && members.emplace(root, member).second) {
      waiting.push_back(root);
    }
  }
  while (!waiting.empty()) {
    const int parent = waiting.back();
    waiting.pop_back();
    const Nanos joined = members.at(parent).from;
    for (const Event* fork : forks[parent]) {
      if (fork->at >= joined && fork->other > 0 &&
          members.emplace(fork->other, Member{parent, std::numeric_limits<Nanos>::min()}).second) {
        waiting.push_back(fork->other);
      }
    }
  }
  return members;
}

bool is_member(const Members& members, int tid, Nanos at) {
  const auto found = members.find(tid);
  return tid > 0 && found != members.end() && at >= found->second.from;
}

// The first event of the program: the start of the run's clock.
std::optional<Nanos> first_of_program(const std::vector<Event>& events, const Members& members) {
  for (const Event& event : events) {
    if (is_member(members, event.current, event.at) || is_member(members, event.task, event.at) ||
        is_member(members, event.other, event.at)) {
      return event.at;
    }
  }
  return std::nullopt;
}

void add_step(std::vector<SchedStep>& line, Micros at, int count) {
  if (!line.empty() && line.back().count == count) {
    return;
  }
  if (!line.empty() && line.back().at == at) {
    line.pop_back();
    if (!line.empty() && line.back().count == count) {
      return;
    }
  }
  line.push_back(SchedStep{at, count});
}

// Follows the program's threads through the events, in order of time. Invariant: a thread has a
// running span open on CPU c exactly when it is the task on c (on_cpu_[c]), so the number of
// threads running at once never exceeds the number of CPUs.
class Builder {
 public:
  Builder(Nanos clock, const Members& members, int cpus)
      : members_(members), clock_(clock), on_cpu_(static_cast<std::size_t>(cpus), unknown) {
    run_.clock = clock / nanos_per_micro;
    run_.cpus = cpus;
  }

  void take(const Event& event);
  SchedRun finish(Nanos last);

 private:
  static constexpr int unknown = -1;
  struct Track {
    std::size_t index = 0;               // in run_.threads
    std::optional<SchedSpan> open;       // what it is doing now
    std::optional<std::size_t> pending;  // its last wake-up, in run_.wakeups, until it runs
    bool dead = false;
  };

  Micros micros(Nanos at) const {
    return std::max<Nanos>(0, (at - clock_) / nanos_per_micro);
  }
  SchedThread& thread_of(const Track& track) {
    return run_.threads[track.index];
  }
  // The program's thread on cpu, if the task there is one and runs there.
  Track* program_on(int cpu) {
    const auto found = tracks_.find(on_cpu_[static_cast<std::size_t>(cpu)]);
    if (found == tracks_.end() || !found->second.open ||
        found->second.open->doing != Doing::running || found->second.open->cpu != cpu) {
      return nullptr;
    }
    return &found->second;
  }
  bool other_on(int cpu) {
    return on_cpu_[static_cast<std::size_t>(cpu)] > 0 && program_on(cpu) == nullptr;
  }
  Track* track(int tid, Nanos at, const std::string& comm);
  void close(Track& track, Micros at);
  void begin(Track& track, const SchedSpan& span);
  void leave(Track& track, char state, Micros at);
  void enter(Track& track, int cpu, Micros at);
  void drop_stale(const Event& event, int there);
  void recount(int cpu, bool was_other, Micros at);
  void switched(const Event& event);
  void current(const Event& event);
  void woken(const Event& event);

  const Members& members_;
  Nanos clock_;
  std::vector<int> on_cpu_;  // the tid on each CPU: 0 idle, -1 not yet known
  std::unordered_map<int, Track> tracks_;
  int running_ = 0;  // the program's threads on a CPU
  int others_ = 0;   // CPUs running another task
  SchedRun run_;
};

// The track of tid where it is the program's at that time, made at its first sight.
Builder::Track* Builder::track(int tid, Nanos at, const std::string& comm) {
  if (!is_member(members_, tid, at)) {
    return nullptr;
  }
  auto [place, added] = tracks_.try_emplace(tid);
  Track& found = place->second;
  if (added) {
    found.index = run_.threads.size();
    SchedThread thread;
    thread.tid = tid;
    thread.parent = members_.at(tid).parent;
    thread.born = micros(at);
    run_.threads.push_back(std::move(thread));
  }
  if (!comm.empty()) {
    thread_of(found).comm = comm;
  }
  return &found;
}

void Builder::close(Track& track, Micros at) {
  if (!track.open) {
    return;
  }
  SchedSpan span = *track.open;
  track.open.reset();
  if (span.doing == Doing::running) {
    --running_;
  }
  span.end = std::max(at, span.begin);
  if (span.end > span.begin) {
    thread_of(track).spans.push_back(span);
  }
}

void Builder::begin(Track& track, const SchedSpan& span) {
  track.open = span;
  if (span.doing == Doing::running) {
    ++running_;
  }
}

// The thread was switched out, in the state the scheduler gave.
void Builder::leave(Track& track, char state, Micros at) {
  close(track, at);
  if (state == 'X' || state == 'Z') {
    // Its exit event comes first, while it still runs; it is gone at its last switch-out.
    track.dead = true;
    SchedThread& thread = thread_of(track);
    thread.ended = std::max(thread.ended.value_or(at), at);
  } else if (state == 'R') {
    begin(track, SchedSpan{Doing::runnable, at, at, -1, 'R', -1});
  } else {
    begin(track, SchedSpan{Doing::asleep, at, at, -1, state, -1});
  }
}

// The thread was switched in on cpu: from wherever it was seen running before, if anywhere.
void Builder::enter(Track& track, int cpu, Micros at) {
  if (track.dead) {
    return;
  }
  if (track.open && track.open->doing == Doing::running) {
    if (track.open->cpu == cpu) {
      return;
    }
    on_cpu_[static_cast<std::size_t>(track.open->cpu)] = unknown;
  }
  close(track, at);
  begin(track, SchedSpan{Doing::running, at, at, cpu, 0, -1});
  if (track.pending) {
    run_.wakeups[*track.pending].ran = at;
    track.pending.reset();
  }
}

// A thread of the program thought to be on cpu, where an event names another task there: its own
// switch-out was lost, and all that is known is that it no longer runs.
void Builder::drop_stale(const Event& event, int there) {
  Track* prior = program_on(event.cpu);
  if (prior != nullptr && on_cpu_[static_cast<std::size_t>(event.cpu)] != there) {
    leave(*prior, 'R', micros(event.at));
  }
}

// After cpu changed hands: the count of CPUs running other tasks, and both step lines.
void Builder::recount(int cpu, bool was_other, Micros at) {
  others_ += (other_on(cpu) ? 1 : 0) - (was_other ? 1 : 0);
  add_step(run_.running_at_once, at, running_);
  add_step(run_.others_at_once, at, others_);
}

// A CPU switched from one task to another.
void Builder::switched(const Event& event) {
  const Micros at = micros(event.at);
  const auto cpu = static_cast<std::size_t>(event.cpu);
  const bool was_other = other_on(event.cpu);
  drop_stale(event, event.task);
  // A thread that leaves a CPU it was not seen on while running on another: the switch to that
  // other CPU came first in the record, and this one is stale.
  Track* prev = track(event.task, event.at, event.task_comm);
  if (prev != nullptr && !prev->dead &&
      !(prev->open && prev->open->doing == Doing::running && prev->open->cpu != event.cpu)) {
    leave(*prev, event.state, at);
  }
  on_cpu_[cpu] = event.other;
  if (Track* next = track(event.other, event.at, event.other_comm); next != nullptr) {
    enter(*next, event.cpu, at);
  }
  recount(event.cpu, was_other, at);
}

// The task that recorded an event runs on its CPU. Where that is how the program first shows a
// thread (a process that joins at its exec is already running), its running starts here.
void Builder::current(const Event& event) {
  Track* found = track(event.current, event.at, event.current_comm);
  if (found == nullptr || found->dead || found->open || !thread_of(*found).spans.empty()) {
    return;
  }
  const Micros at = micros(event.at);
  const bool was_other = other_on(event.cpu);
  drop_stale(event, event.current);
  on_cpu_[static_cast<std::size_t>(event.cpu)] = event.current;
  enter(*found, event.cpu, at);
  recount(event.cpu, was_other, at);
}

// A thread was woken; the task running at the event is its waker. Only a sleeper (or a thread
// not seen before) is woken: a second report of the same wake-up (sched_wakeup after
// sched_waking) finds it runnable already.
void Builder::woken(const Event& event) {
  Track* woken = track(event.task, event.at, event.task_comm);
  if (woken == nullptr || woken->dead || (woken->open && woken->open->doing != Doing::asleep)) {
    return;
  }
  const Micros at = micros(event.at);
  if (woken->open) {
    woken->open->waker = event.current;
  }
  close(*woken, at);
  begin(*woken, SchedSpan{Doing::runnable, at, at, -1, 'W', -1});
  woken->pending = run_.wakeups.size();
  run_.wakeups.push_back(WakeUp{event.current, event.current_comm, event.task, at, std::nullopt});
}

void Builder::take(const Event& event) {
  if (event.kind != Kind::switched) {
    current(event);
  }
  switch (event.kind) {
    case Kind::switched:
      switched(event);
      break;
    case Kind::waking:
    case Kind::wakeup:
    case Kind::wakeup_new:
      woken(event);
      break;
    case Kind::fork:
      if (Track* child = track(event.other, event.at, event.other_comm); child != nullptr) {
        SchedThread& thread = thread_of(*child);
        thread.born = std::min(thread.born, micros(event.at));
      }
      break;
    case Kind::exec:
      break;  // its task, the current one, is followed from here where it is the program
    case Kind::exit:
      if (Track* gone = track(event.task, event.at, event.task_comm); gone != nullptr) {
        SchedThread& thread = thread_of(*gone);
        thread.ended = std::max(thread.ended.value_or(micros(event.at)), micros(event.at));
      }
      break;
    case Kind::migrate:
      break;  // the switch onto the new CPU shows it
  }
}

SchedRun Builder::finish(Nanos last) {
  const Micros end = micros(last);
  run_.length = end;
  std::vector<std::pair<Micros, int>> changes;
  for (auto& [tid, track] : tracks_) {
    close(track, end);
  }
  for (SchedThread& thread : run_.threads) {
    for (const SchedSpan& span : thread.spans) {
      if (span.doing == Doing::running) {
        thread.running += span.end - span.begin;
        thread.cpus.push_back(span.cpu);
      }
    }
    std::sort(thread.cpus.begin(), thread.cpus.end());
    thread.cpus.erase(std::unique(thread.cpus.begin(), thread.cpus.end()), thread.cpus.end());
    if (thread.ended) {
      thread.ended = std::max(*thread.ended, thread.born);
    }
    changes.emplace_back(thread.born, 1);
    changes.emplace_back(thread.ended.value_or(end), -1);
  }
  std::sort(changes.begin(), changes.end());
  int alive = 0;
  for (const auto& [at, change] : changes) {
    alive += change;
    add_step(run_.alive_at_once, at, alive);
  }
  return std::move(run_);
}

// Drops the events more than a day from the middle one (in time), where absurd times lie.
void keep_near_middle(std::vector<Event>& events) {
  if (events.empty()) {
    return;
  }
  const Nanos middle = events[events.size() / 2].at;
  const auto before = [](const Event& event, Nanos at) { return event.at < at; };
  const auto after = [](Nanos at, const Event& event) { return at < event.at; };
  events.erase(std::upper_bound(events.begin(), events.end(), middle + a_day_in_nanos, after),
               events.end());
  events.erase(events.begin(),
               std::lower_bound(events.begin(), events.end(), middle - a_day_in_nanos, before));
}

}  // namespace

std::optional<Micros> WakeUp::latency() const {
  if (!ran) {
    return std::nullopt;
  }
  return *ran - at;
}

const SchedThread* SchedRun::thread(int tid) const {
  const auto found = std::find_if(threads.begin(), threads.end(),
                                  [tid](const SchedThread& thread) { return thread.tid == tid; });
  return found == threads.end() ? nullptr : &*found;
}

std::vector<WakeUp> SchedRun::wakeups_by(std::string_view waker_comm) const {
  std::vector<WakeUp> found;
  std::copy_if(wakeups.begin(), wakeups.end(), std::back_inserter(found),
               [waker_comm](const WakeUp& wakeup) { return wakeup.waker_comm == waker_comm; });
  return found;
}

int most_at_once(const std::vector<SchedStep>& steps) {
  int most = 0;
  for (const SchedStep& step : steps) {
    most = std::max(most, step.count);
  }
  return most;
}

SchedRun parse_sched(std::istream& in, const SchedSelect& select) {
  std::vector<Event> events;
  int header_cpus = 0;
  std::string line;
  while (std::getline(in, line)) {
    const std::string_view text = line;
    if (text.starts_with(cpus_header)) {
      header_cpus = whole_number(trim(text.substr(cpus_header.size())), 1, most_cpu + 1)
                        .value_or(header_cpus);
    } else if (auto event = parse_line(text)) {
      events.push_back(std::move(*event));
    }
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const Event& one, const Event& other) { return one.at < other.at; });
  keep_near_middle(events);
  int cpus = header_cpus;
  for (const Event& event : events) {
    cpus = std::max(cpus, event.cpu + 1);
  }
  const Members members = find_members(events, select);
  const auto clock = first_of_program(events, members);
  if (!clock) {
    SchedRun none;
    none.cpus = cpus;
    return none;
  }
  Builder builder(*clock, members, cpus);
  for (const Event& event : events) {
    builder.take(event);
  }
  return builder.finish(events.back().at);
}

std::optional<SchedRun> read_sched(const std::string& path, const SchedSelect& select) {
  std::ifstream in(path);
  if (!in) {
    return std::nullopt;
  }
  SchedRun run = parse_sched(in, select);
  if (run.threads.empty()) {
    return std::nullopt;
  }
  return run;
}

}  // namespace lens
