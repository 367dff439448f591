#include "facts/semaphore.h"

#include <algorithm>
#include <limits>
#include <string_view>

namespace lens {
namespace {

// Taking and giving without a waiter make no system call: those moments are known only as near
// the call that maps the semaphore's file (sem_open). 32-bit platforms map with mmap2.
Micros opened(const Log& log) {
  const Call* map = first_call(log, log.main_pid, Wanted{"mmap", "MAP_SHARED"});
  if (map == nullptr) {
    map = first_call(log, log.main_pid, Wanted{"mmap2", "MAP_SHARED"});
  }
  return map != nullptr ? map->end : log.first;
}

// A time plus a duration, saturating at the ends of Micros: a log's times are what strace wrote.
Micros later_by(Micros time, Micros duration) {
  return time > std::numeric_limits<Micros>::max() - duration ? std::numeric_limits<Micros>::max()
                                                              : time + duration;
}

bool is_pause(const Call& call) {
  return call.name == "clock_nanosleep" || call.name == "nanosleep";
}

Racer racer(const Log& log, int pid, const Call& fork) {
  Racer found;
  found.pid = pid;
  found.forked = fork.begin;
  found.life = life_of(log, pid, fork, log.last);
  for (const std::size_t at : log.places_of(pid)) {
    const Call& call = log.calls[at];
    if (is_pause(call)) {
      found.sections.push_back(interval_of(call));
    } else if (call.name == "futex" && has_part(call.args, "FUTEX_WAIT")) {
      found.waits.push_back(interval_of(call));
    }
  }
  return found;
}

}  // namespace

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
    if (call.name == "futex" && has_part(call.args, "FUTEX_WAIT")) {
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
    if (facts.wake->begin <= later_by(waits[index]->end, clock_skew)) {
      ended = index;
      break;
    }
  }
  facts.returned_early = static_cast<int>(ended);
  facts.wait = Interval{waits.front()->begin, std::max(waits.front()->begin, waits[ended]->end)};
  return facts;
}

Taken how_taken(const SemaphoreFacts& facts) {
  if (!facts.wait || facts.wake == nullptr) {
    return Taken::at_once;
  }
  // A post cannot wake a sleeper that had already woken, beyond the two logs' clock skew.
  return facts.wake->begin <= later_by(facts.wait->end, clock_skew) ? Taken::woken
                                                                    : Taken::woke_earlier;
}

std::optional<Race> find_race(const Log& log) {
  const auto forks = children_of(log, log.main_pid);
  if (forks.size() < 2 || forks.size() % 2 != 0) {
    return std::nullopt;
  }
  Race race;
  const std::size_t half = forks.size() / 2;
  for (std::size_t index = 0; index < forks.size(); ++index) {
    const auto& [pid, fork] = forks[index];
    (index < half ? race.unlocked : race.locked).push_back(racer(log, pid, *fork));
  }
  return race;
}

}  // namespace lens
