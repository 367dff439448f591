#include "facts.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace lens {
namespace {

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool is_clone(const Call& call) {
  return call.name == "clone" || call.name == "clone3";
}

// The pid or tid that a successful clone, clone3, fork or vfork returned.
std::optional<int> made(const Call& call) {
  const auto number = call.number();
  if (!call.succeeded() || !number || *number <= 0 || *number > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(*number);
}

// The child of a call that made a process (not a thread).
std::optional<int> forked(const Call& call) {
  const bool forks = call.name == "fork" || call.name == "vfork" ||
                     (is_clone(call) && !contains(call.args, "CLONE_THREAD"));
  return forks ? made(call) : std::nullopt;
}

// The tid of a thread that a call made.
std::optional<int> threaded(const Call& call) {
  return is_clone(call) && contains(call.args, "CLONE_THREAD") ? made(call) : std::nullopt;
}

// The two descriptors of a successful pipe or pipe2: "[3, 4], 0" or "[3, 4]".
std::optional<std::pair<int, int>> pipe_ends(const Call& call) {
  if ((call.name != "pipe" && call.name != "pipe2") || !call.succeeded()) {
    return std::nullopt;
  }
  std::string_view args = call.args;
  if (args.substr(0, 1) != "[") {
    return std::nullopt;
  }
  args.remove_prefix(1);
  int read_end = 0;
  int write_end = 0;
  const char* const end = args.data() + args.size();
  const auto first = std::from_chars(args.data(), end, read_end);
  if (first.ec != std::errc{} ||
      std::string_view(first.ptr, static_cast<std::size_t>(end - first.ptr)).substr(0, 2) != ", ") {
    return std::nullopt;
  }
  const auto second = std::from_chars(first.ptr + 2, end, write_end);
  if (second.ec != std::errc{} || second.ptr == end || *second.ptr != ']') {
    return std::nullopt;
  }
  return std::pair{read_end, write_end};
}

// A call on a descriptor: close(3) or write(4, ...) of one process.
struct On {
  int pid = 0;
  std::string_view name;
  int descriptor = -1;
};

// The first call wanted at calls[from] or after.
const Call* first_on(const Log& log, std::size_t from, const On& wanted) {
  for (std::size_t at = from; at < log.calls.size(); ++at) {
    const Call& call = log.calls[at];
    if (call.pid == wanted.pid && call.name == wanted.name &&
        first_argument(call) == wanted.descriptor) {
      return &call;
    }
  }
  return nullptr;
}

// The most threads alive at once, from each one's begin and end.
int most_alive(const std::vector<std::pair<Micros, Micros>>& lives) {
  std::vector<std::pair<Micros, int>> changes;
  changes.reserve(lives.size() * 2);
  for (const auto& [begin, end] : lives) {
    changes.emplace_back(begin, 1);
    changes.emplace_back(std::max(begin, end), -1);
  }
  // At the same microsecond an end comes first: a thread that has ended leaves room.
  std::sort(changes.begin(), changes.end());
  int alive = 0;
  int most = 0;
  for (const auto& change : changes) {
    alive += change.second;
    most = std::max(most, alive);
  }
  return most;
}

// The threads that main made, not yet told apart by their exits; main ends at main_end.
std::vector<Worker> workers_of(const Log& log, Micros main_end) {
  const int main = log.main_pid;
  std::vector<Worker> workers;
  std::unordered_set<int> seen;
  for (const Call& call : log.calls) {
    if (call.pid != main) {
      continue;
    }
    const auto tid = threaded(call);
    if (!tid || !seen.insert(*tid).second) {
      continue;
    }
    Worker worker;
    worker.tid = *tid;
    worker.creation = &call;
    worker.begin = std::min(call.end, log.appears(*tid).value_or(call.end));
    worker.end = std::max(worker.begin, log.ended(*tid).value_or(main_end));
    workers.push_back(worker);
  }
  return workers;
}

}  // namespace

std::optional<int> forked_pid(const Call& call) {
  const bool forks =
      call.name == "fork" || call.name == "vfork" ||
      ((call.name == "clone" || call.name == "clone3") && !contains(call.args, "CLONE_THREAD"));
  const auto child = call.number();
  if (!forks || !call.succeeded() || !child || *child <= 0 ||
      *child > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(*child);
}

std::optional<int> first_argument(const Call& call) {
  int value = 0;
  const auto [rest, error] =
      std::from_chars(call.args.data(), call.args.data() + call.args.size(), value);
  if (error != std::errc{} || (rest != call.args.data() + call.args.size() && *rest != ',')) {
    return std::nullopt;
  }
  return value;
}

std::optional<PipeFacts> find_pipe(const Log& log) {
  std::unordered_map<int, std::size_t> pipes;  // by pid: its last pipe so far
  for (std::size_t at = 0; at < log.calls.size(); ++at) {
    const Call& call = log.calls[at];
    if (pipe_ends(call)) {
      pipes[call.pid] = at;
      continue;
    }
    const auto child = forked(call);
    const auto pipe = pipes.find(call.pid);
    if (!child || pipe == pipes.end()) {
      continue;
    }
    PipeFacts facts;
    facts.parent = call.pid;
    facts.child = *child;
    facts.pipe = &log.calls[pipe->second];
    std::tie(facts.read_end, facts.write_end) = *pipe_ends(*facts.pipe);
    facts.fork = &call;
    facts.parent_close = first_on(log, at + 1, On{facts.parent, "close", facts.read_end});
    facts.write = first_on(log, at + 1, On{facts.parent, "write", facts.write_end});
    facts.child_close = first_on(log, at + 1, On{facts.child, "close", facts.write_end});
    facts.read = first_on(log, at + 1, On{facts.child, "read", facts.read_end});
    return facts;
  }
  return std::nullopt;
}

ThreadFacts find_threads(const Log& log) {
  ThreadFacts facts;
  facts.main = log.main_pid;
  const Micros main_end = log.ended(facts.main).value_or(log.last);
  std::unordered_set<int> exited;
  const Call* after_advice = nullptr;
  for (const Call& call : log.calls) {
    if (call.name == "exit") {
      exited.insert(call.pid);
    }
    if (call.pid != facts.main) {
      continue;
    }
    if (facts.advice == nullptr && call.name == "madvise" && contains(call.args, "MADV_HUGEPAGE")) {
      facts.advice = &call;
    } else if (facts.advice != nullptr && after_advice == nullptr &&
               call.begin >= facts.advice->end) {
      after_advice = &call;
    }
  }
  if (after_advice != nullptr) {
    facts.fill_begin = facts.advice->end;
    facts.fill_end = after_advice->begin;
  }
  facts.workers = workers_of(log, main_end);
  std::vector<std::pair<Micros, Micros>> lives;
  std::unordered_set<int> counted;
  for (Worker& worker : facts.workers) {
    worker.exited = exited.count(worker.tid) != 0;
    lives.emplace_back(worker.begin, worker.end);
    counted.insert(worker.tid);
  }
  for (const int pid : log.pids) {
    if (counted.count(pid) == 0) {
      const Micros begin = log.appears(pid).value_or(log.first);
      lives.emplace_back(begin, log.ended(pid).value_or(main_end));
    }
  }
  facts.most_alive = most_alive(lives);
  return facts;
}

}  // namespace lens
