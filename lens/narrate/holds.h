// What the kernel holds during the tour's steps 3 and 4, read live from /proc and /dev/shm and
// printed under its "-- what the kernel holds --": the segment as each process maps it and as
// the kernel's table lists it; what a waiting taker sleeps in; and the semaphore, a small file in
// /dev/shm that every program maps into its memory, whose words, read from outside without
// taking or giving, give the value and the number of waiters. Narration lines ("## ...") and what
// was read, shown as read. Each takes the /proc root that it reads, for the tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "narrate/narrator.h"
#include "records/proc.h"

namespace lens {

// "lens view semaphore FILE": the value and the waiters, with the od command that shows the
// words they come from and what it prints.
void semaphore_view(const std::string& path, Narrator& narrator);

// "lens view segment ID STAMP PEEK": while segstamp (pid STAMP) and segpeek (PEEK) both hold
// segment ID, each one's mapping of it and the kernel's row; "lens view segment ID": the row once
// both have ended.
void segment_view(int segment, const std::vector<int>& holders, Narrator& narrator,
                  std::string_view proc = proc_root);

// "lens view taker PID FILE": what the waiting taker PID sleeps in, the semaphore FILE mapped in
// its memory, and the semaphore's words.
void taker_view(int taker, const std::string& semaphore, Narrator& narrator,
                std::string_view proc = proc_root);

}  // namespace lens
