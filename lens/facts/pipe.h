// forkrelay's pipe, as its strace log shows it: which calls made the pipe, forked the child
// and carried the record through it; and relaykeep's, whose child reads with its own write end
// still open.
//
// Every Call pointer here points into log.calls of the Log it was found in: it lives as long as
// that Log object, and a copy of the Log does not carry it over.
#pragma once

#include <optional>
#include <vector>

#include "facts/tasks.h"
#include "records/strace_log.h"

namespace lens {

// forkrelay: the parent makes a pipe, forks, and sends the child one record through it.
struct PipeFacts {
  int parent = 0;
  int child = 0;
  int read_end = -1;
  int write_end = -1;
  const Call* pipe = nullptr;          // pipe2 (or pipe) in the parent
  const Call* fork = nullptr;          // the fork (fork, vfork, or clone without CLONE_THREAD)
  const Call* parent_close = nullptr;  // the parent's close of the read end, after the fork
  const Call* write = nullptr;         // the parent's write into the write end, after the fork
  const Call* child_close = nullptr;   // the child's close of the write end
  const Call* read = nullptr;          // the child's read from the read end
};

// The first pipe and fork of the log: the first process fork after a successful pipe in the same
// process. Nothing where the log shows no pipe and fork. The closes, the write and the read are
// null where the log does not show them.
std::optional<PipeFacts> find_pipe(const Log& log);

// relaykeep: the parent makes a pipe, forks, closes both its ends without writing, looks at its
// child from outside and ends it; the child keeps its own write end and reads.
struct RelayFacts {
  int parent = 0;
  int child = 0;
  Life parent_life;
  Life child_life;
  const Call* fork = nullptr;
  const Call* read = nullptr;  // the child's read (its last)
  // Whether the read gave the program a result: it did not where the child ended inside it, or a
  // signal broke it off to end the child ("? ERESTARTSYS").
  bool read_returned = false;
  // The parent's calls of note, in order: the pipe, the fork, its first close after the fork
  // (the pipe's ends go one after the other), its reads of /proc/CHILD/wchan, and the kill.
  std::vector<const Call*> parent_calls;
};

// Nothing where the log shows no fork, or no read of the child's.
std::optional<RelayFacts> find_relay(const Log& log);

// The read that a child waited in: did a written record come first, so that it did not wait?
// The child's read waited only where it began before the parent's write.
bool read_waited(const Call& write, const Call& read);

}  // namespace lens
