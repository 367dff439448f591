#include "facts/threads.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "facts/tasks.h"

namespace lens {
namespace {

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
    const auto tid = thread_made(call);
    if (!tid || !seen.insert(*tid).second) {
      continue;
    }
    Worker worker;
    worker.tid = *tid;
    worker.creation = &call;
    const Life life = life_of(log, *tid, call, main_end);
    worker.begin = life.begin;
    worker.end = life.end;
    workers.push_back(worker);
  }
  return workers;
}

}  // namespace

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
    if (facts.advice == nullptr && call.name == "madvise" && has_part(call.args, "MADV_HUGEPAGE")) {
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

Micros main_exit(const Log& log, const ThreadFacts& facts) {
  const Call* const exit = first_call(log, facts.main, Wanted{"exit_group", {}});
  return exit != nullptr ? exit->begin : program_life(log).end;
}

std::optional<Interval> join_of(const Log& log, const ThreadFacts& facts) {
  if (facts.workers.empty()) {
    return std::nullopt;
  }
  const Micros exit = main_exit(log, facts);
  const Micros last_creation = facts.workers.back().creation->end;
  Micros last_end = 0;
  for (const Worker& worker : facts.workers) {
    last_end = std::max(last_end, worker.end);
  }
  Micros join_end = std::min(last_end, exit);
  for (const std::size_t at : log.places_of(facts.main)) {
    const Call& call = log.calls[at];
    if (call.name == "futex" && call.begin >= last_creation && call.end <= exit) {
      join_end = std::max(join_end, call.end);
    }
  }
  if (join_end <= last_creation) {
    return std::nullopt;
  }
  return Interval{last_creation, join_end};
}

}  // namespace lens
