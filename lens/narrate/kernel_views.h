// The kernel's views of two steps of the tour, printed under its "-- what the kernel saw --":
// the calls of a step picked out of its strace log, each told in a line of narration ("## ...")
// and shown as strace wrote it, after its pid and two spaces.
#pragma once

#include "narrate/narrator.h"
#include "records/strace_log.h"

namespace lens {

// The pipe step, from forkrelay's log: the pipe, the fork, the closes, the write and the read,
// with the bytes that strace dumped under the write and the read.
void pipe_view(const Log& log, Narrator& narrator);

// The threads step, from threetally's log: the huge-page advice, the first worker's creation,
// the workers that ran to their end, and how many threads lived at once.
void threads_view(const Log& log, Narrator& narrator);

}  // namespace lens
