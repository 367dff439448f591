// lens watch: the scheduler's view for any user who may trace their own processes, as strace
// may, where perf may not record. It starts a program traced (ptrace), follows each process and
// thread it makes, and at each task's end, while the kernel holds it stopped there, reads its
// schedstat and its name from /proc and writes a line of the record (records/schedstat.h). It
// stops a task only as it begins and as it ends, and lets every signal through: far less than
// strace, which stops it at every system call.
//
// The program is the watcher's child, traced by it, as under strace: `lens tracee` finds it.
#pragma once

#include <string>

namespace lens {

// What `lens watch` ended with: the program's status (128 + the signal where one ended it), or,
// where it could not watch or write its record, a status of 1 and why.
struct Watched {
  int status = 0;
  std::string failure;  // empty where the record was written whole
};

// Runs the program argv[0] (found on PATH as a shell finds it) with its arguments (argv ends
// with a null), writing the record into a new regular file at path (never through a link, nor
// into a named pipe or a device planted there).
Watched watch(const std::string& path, char* const argv[]);

}  // namespace lens
