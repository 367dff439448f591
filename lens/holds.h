// What the kernel holds during the tour's steps, read live from /proc and /dev/shm: the segment
// as each process maps it and as the kernel's table lists it; what a waiting taker sleeps in; and
// the semaphore, a small file in /dev/shm that every program maps into its memory, whose words,
// read from outside without taking or giving, give the value and the number of waiters.
// Each view is the text to print: narration lines ("## ...") and what was read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records/proc.h"
#include "views.h"

namespace lens {

// "lens view semaphore FILE": the value and the waiters, with the od command that shows the
// words they come from and what it prints. The file is opened without following a link and
// without waiting on a named pipe.
std::string semaphore_view(const std::string& path, Narration narration);

// "lens view segment ID STAMP PEEK": while segstamp (pid STAMP) and segpeek (PEEK) both hold
// segment ID, each one's mapping of it and the kernel's row; "lens view segment ID": the row once
// both have ended.
std::string segment_view(int segment, const std::vector<int>& holders, Narration narration);

// "lens view taker PID FILE": what the waiting taker PID sleeps in, the semaphore FILE mapped in
// its memory, and the semaphore's words.
std::string taker_view(int taker, const std::string& semaphore, Narration narration);

}  // namespace lens
