#include "records/sched_log.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <iterator>
#include <span>
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
constexpr Nanos a_day_in_nanos = a_day * nanos_per_micro;
constexpr int most_tid = 4194304;
constexpr int most_cpu = 8191;
// The kernel keeps a task's name in TASK_COMM_LEN (16) bytes, its terminating NUL included.
constexpr std::size_t most_comm = 15;
// Priorities as the kernel prints them run from -1 (deadline) to 139; beyond this is garbage.
constexpr int most_prio = 100000;
// The longest state the scheduler prints: its eight letters joined by '|', and a '+'; twice that.
constexpr std::size_t most_state = 32;
// The longest text of an event's fields that can be perf's: a switch's (two names, four numbers,
// a state and the keys) is under 200 bytes. Past this, an event is dropped unread.
constexpr std::size_t most_text = 256;
// The most processes the tour lists for a step that are read.
constexpr std::size_t most_started = 64;
constexpr std::string_view cpus_header = "# nrcpus avail :";
constexpr std::string_view event_prefix = "sched:sched_";

enum class Kind { switched, waking, wakeup_new, fork, exit };

struct Task {
  std::string comm;
  int pid = -1;
  int prio = 0;
};

// One scheduler event of the record, its tasks as its fields name them.
struct Event {
  Nanos at = 0;
  Kind kind = Kind::switched;
  int cpu = 0;
  // The tid in perf's header: the namespace's in a container, 0 for a task outside it. Used only
  // to map the tour's pids to the kernel's.
  int header = -1;
  Task task;          // switched: prev; a wake-up: the task woken; fork: the parent; exit: the task
  Task other;         // switched: next; fork: the child
  std::string state;  // switched: prev's state as printed
  int target_cpu = -1;   // a wake-up: where the woken task is to run
  bool started = false;  // a fork by the tour of a process it listed
};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
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
  return !text.empty() && std::all_of(text.begin(), text.end(), is_digit);
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

// ---- perf's header: "    2 [000]   461.298776:       sched:sched_switch: " ----

// What perf's header says of an event.
struct Stamp {
  Nanos at = 0;
  int cpu = 0;
  int tid = -1;
};

// A line's header, and where in the line the event's name and fields are.
struct Header {
  Stamp stamp;
  std::string_view name;  // after "sched:sched_": "switch", "process_fork"
  std::string_view text;  // the fields' text, after the name's colon and a space
};

std::size_t skip_blanks(std::string_view line, std::size_t from) {
  while (from < line.size() && line[from] == ' ') {
    ++from;
  }
  return from;
}

std::size_t skip_digits(std::string_view line, std::size_t from) {
  while (from < line.size() && is_digit(line[from])) {
    ++from;
  }
  return from;
}

// The header that begins line, if it begins with one: blanks, the tid (or -1), " [CPU]",
// blanks, "SECONDS.FRACTION:", blanks, "sched:sched_NAME:", and a space before the fields.
std::optional<Header> parse_header(std::string_view line) {
  Header header;
  const std::size_t tid_begin = skip_blanks(line, 0);
  std::size_t at = tid_begin < line.size() && line[tid_begin] == '-' ? tid_begin + 1 : tid_begin;
  at = skip_digits(line, at);
  const auto tid = whole_number(line.substr(tid_begin, at - tid_begin), -1, most_tid);
  if (!tid || line.substr(at, 2) != " [") {
    return std::nullopt;
  }
  const std::size_t cpu_begin = at + 2;
  at = skip_digits(line, cpu_begin);
  const auto cpu = whole_number(line.substr(cpu_begin, at - cpu_begin), 0, most_cpu);
  if (!cpu || line.substr(at, 1) != "]") {
    return std::nullopt;
  }
  const std::size_t time_begin = skip_blanks(line, at + 1);
  const bool blank_before_time = time_begin > at + 1;
  at = skip_digits(line, time_begin);
  at = line.substr(at, 1) == "." ? skip_digits(line, at + 1) : at;
  const auto time = parse_time(line.substr(time_begin, at - time_begin));
  if (!blank_before_time || !time || line.substr(at, 1) != ":") {
    return std::nullopt;
  }
  const std::size_t name_begin = skip_blanks(line, at + 1);
  if (name_begin == at + 1 || line.substr(name_begin, event_prefix.size()) != event_prefix) {
    return std::nullopt;
  }
  at = name_begin + event_prefix.size();
  while (at < line.size() && (is_letter(line[at]) || is_digit(line[at]) || line[at] == '_')) {
    ++at;
  }
  header.name =
      line.substr(name_begin + event_prefix.size(), at - name_begin - event_prefix.size());
  if (header.name.empty() || line.substr(at, 1) != ":" ||
      (at + 1 < line.size() && line[at + 1] != ' ')) {
    return std::nullopt;
  }
  header.stamp = Stamp{*time, *cpu, *tid};
  header.text = line.substr(std::min(line.size(), at + 2));
  return header;
}

std::optional<Kind> kind_of(std::string_view name) {
  constexpr std::array<std::pair<std::string_view, Kind>, 5> kinds{
      {{"switch", Kind::switched},
       {"waking", Kind::waking},
       {"wakeup_new", Kind::wakeup_new},
       {"process_fork", Kind::fork},
       {"process_exit", Kind::exit}}};
  for (const auto& [text, kind] : kinds) {
    if (text == name) {
      return kind;
    }
  }
  return std::nullopt;
}

// ---- An event's fields, by its print format, from the right ----

enum class Part {
  name,    // a task's name: any bytes, at most 15
  whole,   // digits: a pid, a CPU
  number,  // digits after an optional '-': a priority
  state,   // a task's state: letters joined by '|', maybe a '+'
  word,    // letters: "true"
};

// A field of a print format: the fixed text before it, and what it holds.
struct Field {
  std::string_view key;
  Part part;
};

constexpr std::array<Field, 7> switch_format{{{"prev_comm=", Part::name},
                                              {" prev_pid=", Part::whole},
                                              {" prev_prio=", Part::number},
                                              {" prev_state=", Part::state},
                                              {" ==> next_comm=", Part::name},
                                              {" next_pid=", Part::whole},
                                              {" next_prio=", Part::number}}};
constexpr std::array<Field, 4> wake_format{{{"comm=", Part::name},
                                            {" pid=", Part::whole},
                                            {" prio=", Part::number},
                                            {" target_cpu=", Part::whole}}};
// Before Linux 4.x's end, wake-ups also said " success=1".
constexpr std::array<Field, 5> older_wake_format{{{"comm=", Part::name},
                                                  {" pid=", Part::whole},
                                                  {" prio=", Part::number},
                                                  {" success=", Part::number},
                                                  {" target_cpu=", Part::whole}}};
constexpr std::array<Field, 4> fork_format{{{"comm=", Part::name},
                                            {" pid=", Part::whole},
                                            {" child_comm=", Part::name},
                                            {" child_pid=", Part::whole}}};
constexpr std::array<Field, 3> exit_format{
    {{"comm=", Part::name}, {" pid=", Part::whole}, {" prio=", Part::number}}};
// Newer kernels add whether the exit ends the whole thread group.
constexpr std::array<Field, 4> newer_exit_format{{{"comm=", Part::name},
                                                  {" pid=", Part::whole},
                                                  {" prio=", Part::number},
                                                  {" group_dead=", Part::word}}};

constexpr std::size_t most_fields = switch_format.size();
using Pieces = std::array<std::string_view, most_fields>;

bool belongs(Part part, char c) {
  switch (part) {
    case Part::whole:
    case Part::number:
      return is_digit(c);
    case Part::state:
      return is_letter(c) || c == '|' || c == '+';
    case Part::word:
      return is_letter(c);
    case Part::name:
      break;
  }
  return true;
}

// Matches the whole of text to fields, from the right: a number, state or word is the longest
// run of its characters at the end (the key before it ends in '=', which none holds); a name
// in the middle is tried at each length up to 15 that leaves its key before it; the first field's
// name is whatever lies between its key, at the start, and the rest. Two fields' texts never
// leave two ways to match: a name would have to hold its own key and more, over 15 bytes.
bool match(std::string_view text, std::span<const Field> fields, Pieces& pieces) {
  const Field& last = fields.back();
  std::string_view& piece = pieces.at(fields.size() - 1);
  if (last.part == Part::name && fields.size() == 1) {
    piece = text.substr(std::min(text.size(), last.key.size()));
    return text.starts_with(last.key) && piece.size() <= most_comm;
  }
  const auto rest = fields.first(fields.size() - 1);
  if (last.part == Part::name) {
    for (std::size_t length = 0; length <= most_comm && length < text.size(); ++length) {
      const std::string_view before = text.substr(0, text.size() - length);
      if (before.ends_with(last.key) &&
          match(before.substr(0, before.size() - last.key.size()), rest, pieces)) {
        piece = text.substr(text.size() - length);
        return true;
      }
    }
    return false;
  }
  std::size_t start = text.size();
  while (start > 0 && belongs(last.part, text[start - 1])) {
    --start;
  }
  if (last.part == Part::number && start > 0 && text[start - 1] == '-') {
    --start;
  }
  piece = text.substr(start);
  const std::string_view before = text.substr(0, start);
  return !piece.empty() && before.ends_with(last.key) &&
         match(before.substr(0, before.size() - last.key.size()), rest, pieces);
}

// A task from its name, pid and (where its event gives one) priority, as matched.
std::optional<Task> task_of(const std::array<std::string_view, 3>& text) {
  const auto& [comm, pid, prio] = text;
  const auto number = whole_number(pid, 0, most_tid);
  const auto priority =
      prio.empty() ? std::optional<int>(0) : whole_number(prio, -most_prio, most_prio);
  if (!number || !priority) {
    return std::nullopt;
  }
  return Task{std::string(comm), *number, *priority};
}

bool parse_switch(std::string_view text, Event& event) {
  Pieces pieces;
  if (!match(text, switch_format, pieces)) {
    return false;
  }
  auto prev = task_of({pieces[0], pieces[1], pieces[2]});
  auto next = task_of({pieces[4], pieces[5], pieces[6]});
  const std::string_view state = pieces[3];
  if (!prev || !next || state.size() > most_state || !is_letter(state.front())) {
    return false;
  }
  event.task = std::move(*prev);
  event.other = std::move(*next);
  event.state = std::string(state);
  return true;
}

bool parse_wake(std::string_view text, Event& event) {
  Pieces pieces;
  std::string_view target;
  if (match(text, wake_format, pieces)) {
    target = pieces[3];
  } else if (match(text, older_wake_format, pieces)) {
    target = pieces[4];
  } else {
    return false;
  }
  auto woken = task_of({pieces[0], pieces[1], pieces[2]});
  const auto cpu = whole_number(target, 0, most_cpu);
  if (!woken || !cpu) {
    return false;
  }
  event.task = std::move(*woken);
  event.target_cpu = *cpu;
  return true;
}

bool parse_fork(std::string_view text, Event& event) {
  Pieces pieces;
  if (!match(text, fork_format, pieces)) {
    return false;
  }
  auto parent = task_of({pieces[0], pieces[1], {}});
  auto child = task_of({pieces[2], pieces[3], {}});
  if (!parent || !child) {
    return false;
  }
  event.task = std::move(*parent);
  event.other = std::move(*child);
  return true;
}

bool parse_exit(std::string_view text, Event& event) {
  Pieces pieces;
  if (!match(text, exit_format, pieces) && !match(text, newer_exit_format, pieces)) {
    return false;
  }
  auto task = task_of({pieces[0], pieces[1], pieces[2]});
  if (!task) {
    return false;
  }
  event.task = std::move(*task);
  return true;
}

bool parse_fields(std::string_view text, Event& event) {
  if (text.size() > most_text) {
    return false;
  }
  switch (event.kind) {
    case Kind::switched:
      return parse_switch(text, event);
    case Kind::waking:
    case Kind::wakeup_new:
      return parse_wake(text, event);
    case Kind::fork:
      return parse_fork(text, event);
    case Kind::exit:
      return parse_exit(text, event);
  }
  return false;
}

// Reads the record line by line: perf's header lines, then events, each of them a line that
// begins with perf's header and the lines after it that do not.
class Reader {
 public:
  void line(std::string_view text) {
    if (auto header = parse_header(text)) {
      finish();
      began_ = true;
      kind_ = kind_of(header->name);
      if (kind_) {
        stamp_ = header->stamp;
        text_.assign(header->text);
      }
    } else if (!began_) {
      if (text.starts_with(cpus_header)) {
        std::string_view count = text.substr(cpus_header.size());
        count.remove_prefix(std::min(count.size(), count.find_first_not_of(' ')));
        header_cpus_ = whole_number(count, 1, most_cpu + 1).value_or(header_cpus_);
      }
    } else if (kind_ && text_.size() <= most_text) {
      text_ += '\n';
      text_.append(text.substr(0, most_text + 1));
    }
  }

  // The last event, once the record has ended.
  void finish() {
    if (!kind_) {
      return;
    }
    Event event;
    event.at = stamp_.at;
    event.kind = *kind_;
    event.cpu = stamp_.cpu;
    event.header = stamp_.tid;
    if (parse_fields(text_, event)) {
      events_.push_back(std::move(event));
    }
    kind_.reset();
  }

  std::vector<Event>& events() {
    return events_;
  }
  int header_cpus() const {
    return header_cpus_;
  }

 private:
  bool began_ = false;        // an event has been seen: '#' lines are no longer perf's header
  std::optional<Kind> kind_;  // the event being read, where it is one that is read
  Stamp stamp_;
  std::string text_;  // its fields' text so far
  std::vector<Event> events_;
  int header_cpus_ = 0;
};

// ---- Which tasks are the step's ----

// The kernel's pid of each of the tour's pids, where the record shows exactly one: a switch's
// header names its prev, a fork's its parent, an exit's the task exiting. 0 where it shows none,
// -1 where it shows several.
std::unordered_map<int, int> kernel_pids(const std::vector<Event>& events,
                                         const std::vector<Started>& started) {
  std::unordered_map<int, int> found;
  for (const Started& process : started) {
    found.emplace(process.pid, 0);
    found.emplace(process.parent, 0);
  }
  for (const Event& event : events) {
    if (event.header <= 0 || event.task.pid <= 0 || event.kind == Kind::waking ||
        event.kind == Kind::wakeup_new) {
      continue;
    }
    const auto place = found.find(event.header);
    if (place == found.end() || place->second == event.task.pid || place->second == -1) {
      continue;
    }
    place->second = place->second == 0 ? event.task.pid : -1;
  }
  return found;
}

std::string pid_list(const std::vector<Started>& started) {
  std::string text;
  for (const Started& process : started) {
    text += (text.empty() ? "" : ", ") + std::to_string(process.pid);
  }
  return text;
}

// Marks the tour's forks of the processes it listed, and says which the record lacks. Nothing is
// marked, and the one problem says why, where the tour's pids cannot be mapped to the kernel's.
void mark_started(std::vector<Event>& events, const std::vector<Started>& started,
                  std::vector<std::string>& problems) {
  const auto pids = kernel_pids(events, started);
  std::vector<std::pair<int, int>> forks;  // the kernel's parent and child pids, in order
  for (const Started& process : started) {
    for (const auto& [tid, what] :
         {std::pair{process.pid,
                    "process " + std::to_string(process.pid) + ", which the tour started"},
          std::pair{process.parent, "the tour's shell, pid " + std::to_string(process.parent)}}) {
      const int kernel = pids.at(tid);
      if (kernel <= 0) {
        problems.assign(1,
                        "the record does not tell which of the kernel's tasks is " + what +
                            (kernel == 0 ? " (it shows no switch of it)" : " (it shows several)"));
        return;
      }
    }
    forks.emplace_back(pids.at(process.parent), pids.at(process.pid));
  }
  std::vector<bool> found(forks.size(), false);
  for (Event& event : events) {
    if (event.kind != Kind::fork) {
      continue;
    }
    for (std::size_t index = 0; index < forks.size(); ++index) {
      if (!found[index] && forks[index] == std::pair{event.task.pid, event.other.pid}) {
        found[index] = true;
        event.started = true;
        break;
      }
    }
  }
  std::vector<Started> lacking;
  for (std::size_t index = 0; index < forks.size(); ++index) {
    if (!found[index]) {
      lacking.push_back(started[index]);
    }
  }
  if (lacking.size() == started.size()) {
    problems.push_back("the record shows the tour forking none of the processes it listed (" +
                       pid_list(lacking) + ")");
  } else if (!lacking.empty()) {
    problems.push_back("the record does not show the tour forking process" +
                       std::string(lacking.size() > 1 ? "es " : " ") + pid_list(lacking) +
                       ", which it listed: left out");
  }
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

// Follows the step's tasks through the events, in order of time. Invariant: a thread has a
// running span open on CPU c exactly when it is the task on c (on_cpu_[c]), so the number of
// threads running at once never exceeds the number of CPUs.
class Builder {
 public:
  // From the step's first event (its clock), on a record of that many CPUs.
  Builder(const Event& first, int cpus)
      : clock_(first.at), on_cpu_(static_cast<std::size_t>(cpus)) {
    run_.clock = clock_ / nanos_per_micro;
    run_.cpus = cpus;
  }

  void take(const Event& event);
  SchedRun finish(Nanos last);

 private:
  struct Track {
    std::size_t index = 0;               // in run_.threads
    std::optional<SchedSpan> open;       // what it is doing now
    std::optional<std::size_t> pending;  // its last wake-up, in run_.wakeups, until it runs
  };

  Micros micros(Nanos at) const {
    return std::max<Nanos>(0, (at - clock_) / nanos_per_micro);
  }
  SchedThread& thread_of(const Track& track) {
    return run_.threads[track.index];
  }
  KernelTask& on(int cpu) {
    return on_cpu_[static_cast<std::size_t>(cpu)];
  }
  // The step's task of that pid, alive now.
  Track* track(int pid) {
    const auto found = tracks_.find(pid);
    return pid > 0 && found != tracks_.end() ? &found->second : nullptr;
  }
  // The step's thread on cpu, if the task there is one and runs there.
  Track* program_on(int cpu) {
    Track* found = track(on(cpu).pid);
    if (found == nullptr || !found->open || found->open->doing != Doing::running ||
        found->open->cpu != cpu) {
      return nullptr;
    }
    return found;
  }
  bool other_on(int cpu) {
    return on(cpu).pid > 0 && program_on(cpu) == nullptr;
  }
  void close(Track& track, Micros at);
  void begin(Track& track, const SchedSpan& span);
  void end(Track& gone, Micros at);
  void leave(int pid, const std::string& state, Micros at);
  void enter(Track& track, int cpu, Micros at);
  void drop_stale(const Event& event, int there);
  void recount(int cpu, bool was_other, Micros at);
  void switched(const Event& event);
  void woken(const Event& event);
  void forked(const Event& event);
  void record(const Event& event);

  Nanos clock_;
  std::vector<KernelTask> on_cpu_;         // the task on each CPU: pid 0 idle, -1 not yet known
  std::unordered_map<int, Track> tracks_;  // the step's tasks alive now, by pid
  int running_ = 0;                        // the step's threads on a CPU
  int others_ = 0;                         // CPUs running another task
  SchedRun run_;
};

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

// The task has ended: it is followed no more.
void Builder::end(Track& gone, Micros at) {
  close(gone, at);
  SchedThread& thread = thread_of(gone);
  thread.ended = at;
  tracks_.erase(thread.tid);
}

// The thread was switched out, in the state the scheduler gave.
void Builder::leave(int pid, const std::string& state, Micros at) {
  Track& left = *track(pid);
  close(left, at);
  if (state.front() == 'X' || state.front() == 'Z') {
    // Its exit event comes first, while it still runs; it is gone at this last switch-out.
    end(left, at);
  } else if (state.front() == 'R') {
    begin(left, SchedSpan{Doing::runnable, at, at, -1, 'R', -1});
  } else {
    begin(left, SchedSpan{Doing::asleep, at, at, -1, state.front(), -1});
  }
}

// The thread was switched in on cpu: from wherever it was seen running before, if anywhere.
void Builder::enter(Track& track, int cpu, Micros at) {
  if (track.open && track.open->doing == Doing::running) {
    if (track.open->cpu == cpu) {
      return;
    }
    on(track.open->cpu) = KernelTask{};
  }
  close(track, at);
  begin(track, SchedSpan{Doing::running, at, at, cpu, 0, -1});
  if (track.pending) {
    run_.wakeups[*track.pending].ran = at;
    track.pending.reset();
  }
}

// A thread of the step thought to be on cpu, where an event names another task there: its own
// switch-out was lost, and all that is known is that it no longer runs.
void Builder::drop_stale(const Event& event, int there) {
  Track* prior = program_on(event.cpu);
  if (prior != nullptr && on(event.cpu).pid != there) {
    leave(on(event.cpu).pid, "R", micros(event.at));
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
  const bool was_other = other_on(event.cpu);
  drop_stale(event, event.task.pid);
  // A thread that leaves a CPU it was not seen on while running on another: the switch to that
  // other CPU came first in the record, and this one is stale.
  const Track* prev = track(event.task.pid);
  if (prev != nullptr &&
      !(prev->open && prev->open->doing == Doing::running && prev->open->cpu != event.cpu)) {
    thread_of(*prev).comm = event.task.comm;
    leave(event.task.pid, event.state, at);
  }
  on(event.cpu) = KernelTask{event.other.comm, event.other.pid, event.other.prio};
  if (Track* next = track(event.other.pid); next != nullptr) {
    thread_of(*next).comm = event.other.comm;
    enter(*next, event.cpu, at);
  }
  recount(event.cpu, was_other, at);
}

// A thread was woken; the task on that CPU is its waker. Only a sleeper (or a thread just
// forked) is woken.
void Builder::woken(const Event& event) {
  Track* woken = track(event.task.pid);
  if (woken == nullptr || (woken->open && woken->open->doing != Doing::asleep)) {
    return;
  }
  const Micros at = micros(event.at);
  const KernelTask& waker = on(event.cpu);
  if (woken->open) {
    woken->open->waker = waker.pid;
  }
  close(*woken, at);
  begin(*woken, SchedSpan{Doing::runnable, at, at, -1, 'W', -1});
  woken->pending = run_.wakeups.size();
  run_.wakeups.push_back(WakeUp{waker.pid, waker.comm, event.task.pid, at, std::nullopt});
}

// A fork: the step's where the tour forked a process it listed, or a task of the step forked it.
void Builder::forked(const Event& event) {
  const int child = event.other.pid;
  if (child <= 0 || child == event.task.pid) {
    return;
  }
  // A task of the step that still held the child's pid has ended unseen: the pid is reused.
  if (Track* unseen = track(child); unseen != nullptr) {
    end(*unseen, micros(event.at));
  }
  if (!event.started && track(event.task.pid) == nullptr) {
    return;
  }
  Track& added = tracks_[child];
  added.index = run_.threads.size();
  SchedThread thread;
  thread.tid = child;
  thread.parent = event.started ? 0 : event.task.pid;
  thread.comm = event.other.comm;
  thread.born = micros(event.at);
  run_.threads.push_back(std::move(thread));
}

// Every switch and wake-up from the clock on, for the trace text.
void Builder::record(const Event& event) {
  if (event.at < clock_ || event.kind == Kind::fork || event.kind == Kind::exit) {
    return;
  }
  KernelEvent& added = run_.kernel.emplace_back();
  added.at = event.at;
  added.cpu = event.cpu;
  if (event.kind == Kind::switched) {
    added.kind = KernelEvent::Kind::switched;
    added.current = KernelTask{event.task.comm, event.task.pid, event.task.prio};
    added.prev_state = event.state;
    added.next = KernelTask{event.other.comm, event.other.pid, event.other.prio};
    return;
  }
  added.kind =
      event.kind == Kind::waking ? KernelEvent::Kind::waking : KernelEvent::Kind::wakeup_new;
  added.current = on(event.cpu);
  added.next = KernelTask{event.task.comm, event.task.pid, event.task.prio};
  added.target_cpu = event.target_cpu;
}

void Builder::take(const Event& event) {
  record(event);
  switch (event.kind) {
    case Kind::switched:
      switched(event);
      break;
    case Kind::waking:
    case Kind::wakeup_new:
      woken(event);
      break;
    case Kind::fork:
      forked(event);
      break;
    case Kind::exit:
      break;
  }
  // A fork or an exit names the task on its CPU: its name as it is now, after an exec, say.
  if ((event.kind == Kind::fork || event.kind == Kind::exit) &&
      on(event.cpu).pid == event.task.pid) {
    on(event.cpu).comm = event.task.comm;
  }
  if (event.kind == Kind::exit) {
    if (Track* exiting = track(event.task.pid); exiting != nullptr) {
      // Its end for now: its last switch-out, which comes next, is its real one.
      thread_of(*exiting).ended = micros(event.at);
    }
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

SchedRun without_threads(int cpus, std::vector<std::string> problems) {
  SchedRun none;
  none.cpus = cpus;
  none.problems = std::move(problems);
  return none;
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
               [this, waker_comm](const WakeUp& wakeup) {
                 const SchedThread* waker = thread(wakeup.waker);
                 return waker != nullptr && waker->comm == waker_comm;
               });
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
  Reader reader;
  for (std::string line; std::getline(in, line);) {
    reader.line(line);
  }
  reader.finish();
  std::vector<Event>& events = reader.events();
  if (!std::is_sorted(events.begin(), events.end(),
                      [](const Event& one, const Event& other) { return one.at < other.at; })) {
    std::stable_sort(events.begin(), events.end(),
                     [](const Event& one, const Event& other) { return one.at < other.at; });
  }
  keep_near_middle(events);
  int cpus = reader.header_cpus();
  for (const Event& event : events) {
    cpus = std::max(cpus, event.cpu + 1);
  }
  if (events.empty()) {
    return without_threads(cpus, {"the record holds no scheduler event that perf script printed"});
  }
  std::vector<Started> started;
  for (const Started& process : select.started) {
    if (process.pid > 0 && process.parent > 0 && started.size() < most_started &&
        std::none_of(started.begin(), started.end(),
                     [&](const Started& other) { return other.pid == process.pid; })) {
      started.push_back(process);
    }
  }
  if (started.empty()) {
    return without_threads(cpus, {"the tour listed no process it started beside the record"});
  }
  std::vector<std::string> problems;
  mark_started(events, started, problems);
  const auto first =
      std::find_if(events.begin(), events.end(), [](const Event& event) { return event.started; });
  if (first == events.end()) {
    return without_threads(cpus, std::move(problems));
  }
  Builder builder(*first, cpus);
  for (const Event& event : events) {
    builder.take(event);
  }
  SchedRun run = builder.finish(events.back().at);
  run.problems = std::move(problems);
  return run;
}

std::optional<SchedRun> read_sched(const std::string& path, const SchedSelect& select) {
  std::ifstream in(path);
  if (!in) {
    return std::nullopt;
  }
  return parse_sched(in, select);
}

}  // namespace lens
