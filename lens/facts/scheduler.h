// What the scheduler's record of a step shows, in terms every mechanism shares: which of the
// step's tasks the tour started, and the sleeps that a wake-up ended, with when the woken task
// ran again.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "records/sched_log.h"

namespace lens {

// A task whose parent is none of the step's: a program the tour started.
bool is_root(const SchedRun& record, const SchedThread& thread);

// The last sleep among spans, from `after` on, that a task ended by waking it: `waker` where it
// is not 0, any task's otherwise. Null where there is none.
const SchedSpan* woken_sleep(const std::vector<SchedSpan>& spans, int waker, Micros after);

// When a task whose spans these are next ran, from `at` on.
std::optional<Micros> ran_after(const std::vector<SchedSpan>& spans, Micros at);

// A wait made of several sleeps: the sleep at index `last`, which `giver` ended, and the sleeps
// before it in the same state that other tasks ended (another user of a semaphore's memory can
// wake its futex: each time the value was still 0, and it slept again). The index of the first
// of them, and how many were ended by others.
std::pair<std::size_t, int> wait_of(const std::vector<SchedSpan>& spans, std::size_t last,
                                    int giver);

// How long all of a step's tasks were on a CPU.
Micros running_in_all(const SchedRun& record);

}  // namespace lens
