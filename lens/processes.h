// What a process that the tour started is doing, read from /proc: whether it sits at a pause
// (asleep reading its standard input), waits on a semaphore (asleep in a futex wait), runs or has
// ended; and which child of a strace process is the program that strace traces.
// Every function takes the /proc root as a parameter, so that tests can give a made-up one.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lens {

inline constexpr std::string_view proc_root = "/proc";

enum class ProcessState {
  ended,    // no such process, or a zombie
  paused,   // asleep reading descriptor 0, a pipe or FIFO, with no child of its own running
  waiting,  // asleep in a futex wait
  running,  // anything else: running, or asleep elsewhere (nanosleep, wait4, ...)
};

// The word that `lens state` prints: "ended", "paused", "waiting" or "running".
std::string_view state_word(ProcessState state);

// "lens state PID". A wchan that names a function decides: the kernel's pipe read is a pause, a
// futex wait is a wait, anything else runs. Where wchan shows nothing ("" or "0": a kernel that
// hides it), the call the sleeping process is in (/proc/PID/syscall) decides: read on descriptor
// 0 with no child (segstamp and segpeek run `ipcs -m` through a shell before their pause) is a
// pause, futex a wait.
ProcessState process_state(int pid, std::string_view proc = proc_root);

// The children of process pid (of all its threads), in no particular order.
std::vector<int> children(int pid, std::string_view proc = proc_root);

// What one run cost, as the tour counted it from /proc/PID/stat around it: its minor page faults,
// and its CPU time in its own code (user) and in the kernel (system), in milliseconds.
struct RunCost {
  long long faults = 0;
  long long user_ms = 0;
  long long system_ms = 0;
};

// The cost the tour wrote into the file at path ("page faults: N", "user: N ms", "system: N ms");
// nothing where the file is missing or not so.
std::optional<RunCost> read_cost(const std::string& path);

// "lens tracee PID": the child of strace process tracer that strace traces and that has become
// the program (its exe differs from strace's own, read before and after); nothing where there is
// none yet. strace's other children run strace's binary: those it forks to test ptrace as it
// starts are traced for a moment, then killed.
std::optional<int> tracee(int tracer, std::string_view proc = proc_root);

}  // namespace lens
