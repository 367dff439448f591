// The semaphore step's four runs as their strace logs show them (gatenew makes the semaphore,
// a first gatetake takes it, a second waits until gategive posts), and gaterace's sections,
// without the semaphore and inside it.
//
// Every Call pointer here points into log.calls of the Log it was found in.
#pragma once

#include <optional>
#include <vector>

#include "facts/tasks.h"
#include "records/strace_log.h"

namespace lens {

// Two strace processes time one moment a little apart (each stamps a call when it gets to it): a
// post that began up to this long after the wait's recorded end still woke it.
inline constexpr Micros clock_skew = 1000;

struct SemaphoreFacts {
  Micros created = 0;     // gatenew makes the semaphore visible, with the value 1
  Micros first_take = 0;  // the first gatetake takes it (approximate: no call shows it)
  // The second gatetake's wait: from its first futex wait to the one that gategive's post ended
  // (its last, where none did).
  std::optional<Interval> wait;
  // Its futex waits that returned before the post: woken by another task's FUTEX_WAKE (anyone who
  // can map the semaphore may call it), or EAGAIN (the value changed as it went to sleep). Each
  // time the value was 0 again, and it waited again: none of them is the wake-up.
  int returned_early = 0;
  const Call* wake = nullptr;  // gategive's futex wake
  Micros given = 0;            // gategive's post where it woke nobody (approximate)
};

SemaphoreFacts find_semaphore(const Log& made, const Log& first, const Log& waiter,
                              const Log& giver);

// How the second gatetake came to take the semaphore, as the logs show it.
enum class Taken {
  woken,         // it slept in a futex wait, and gategive's post woke it
  woke_earlier,  // its futex wait ended before gategive's post began: no wake-up to show
  at_once,       // it did not sleep: the post came first, or the value was above 0
};

Taken how_taken(const SemaphoreFacts& facts);

// One process of gaterace: its critical sections (the pause between reading the shared number
// and writing it back plus one) and its waits for the semaphore.
struct Racer {
  int pid = 0;
  Micros forked = 0;  // its fork's entry, in gaterace's first process
  Life life;
  std::vector<Interval> sections;
  std::vector<Interval> waits;
};

// gaterace's two halves: the processes it forked first, without the semaphore, then those it
// forked for the half inside it. Nothing where the log does not show two halves.
struct Race {
  std::vector<Racer> unlocked;
  std::vector<Racer> locked;
};

std::optional<Race> find_race(const Log& log);

}  // namespace lens
