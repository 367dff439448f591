// The segment step's programs, each as its strace log shows it: the segment calls it made
// (shmget, shmat, shmdt), its pauses for Enter, and the listings it ran through the shell.
//
// Every Call pointer here points into log.calls of the Log it was found in.
#pragma once

#include <optional>
#include <vector>

#include "facts/tasks.h"
#include "records/strace_log.h"

namespace lens {

struct SegmentRunFacts {
  int pid = 0;
  Life life;
  std::vector<const Call*> segment_calls;  // its shmget, shmat and shmdt that succeeded, in order
  std::vector<Interval> pauses;            // its reads of standard input: waiting for Enter
  std::vector<Interval> shells;  // system("ipcs -m"): from the fork to the wait that collects it
  std::optional<Micros> made;    // where it made a segment (shmget's return)
  // Its attachments and detachments, each as +1 or -1 at the call's return; a process that ends
  // still attached is detached by the kernel, at its end.
  std::vector<std::pair<Micros, int>> attachments;
};

SegmentRunFacts find_segment_run(const Log& log);

}  // namespace lens
