// What the kernel shows in /proc of the processes the tour started, and of what they hold:
// whether a process sits at a pause (asleep reading its standard input), waits on a semaphore
// (asleep in a futex wait), runs or has ended; which child of a strace process is the program
// that strace traces; the rows of a process's memory map, of the kernel's table of segments, and
// what a process sleeps in; the words of a semaphore's file in /dev/shm; a thread's schedstat and
// name; and what a run cost, as the tour counted it. Reading only: what is said of it is
// narrate/'s.
//
// Every reader of /proc takes its root as a parameter, so that tests can give a made-up one. What
// is read is untrusted: every file is read to a bound, only where it is a regular file, and a
// line that is not as the kernel writes it is passed over.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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

// "lens tracee PID": the child of strace process tracer (or of lens's watcher) that it traces and
// that has become the program (its exe differs from the tracer's own, read before and after);
// nothing where there is none yet. strace's other children run strace's binary: those it forks to
// test ptrace as it starts are traced for a moment, then killed.
std::optional<int> tracee(int tracer, std::string_view proc = proc_root);

// The first line of /proc/PID/wchan: the kernel function that pid sleeps in, "" or "0" where the
// kernel hides it (or the file cannot be read).
std::string wchan(int pid, std::string_view proc = proc_root);

// The lines of /proc/PID/maps, as the kernel wrote them.
std::vector<std::string> map_rows(int pid, std::string_view proc = proc_root);

// Whether a line of /proc/PID/maps maps System V segment `segment`: its identifier in the inode
// column, and the kernel's name for it (/SYSV and the key in hex) as the file's.
bool maps_segment(std::string_view row, int segment);

// The columns of /proc/sysvipc/shm that the tour shows: key, shmid, perms, size, cpid, lpid,
// nattch, as the kernel wrote them.
inline constexpr std::size_t shm_columns = 7;
using ShmRow = std::array<std::string, shm_columns>;

// /proc/sysvipc/shm's header and the row of segment, in the table's order; without either where
// it is missing or has fewer columns.
std::vector<ShmRow> shm_rows(int segment, std::string_view proc = proc_root);

// The C library keeps a semaphore in one of two layouts, told apart by the file's size:
// - 32 bytes (64-bit systems): one 64-bit word, the value in its low half and the number of
//   waiters in its high half; then the sharing flag and padding;
// - 16 bytes (32-bit systems): the value shifted left by one, plus 1 while anybody waits; the
//   sharing flag; padding; the number of waiters.
inline constexpr std::size_t semaphore_big_layout = 32;
inline constexpr std::size_t semaphore_small_layout = 16;
struct SemaphoreWords {
  std::size_t size = 0;                  // 32 or 16
  std::uint64_t first = 0;               // the 32-byte layout's 64-bit word
  std::array<std::uint32_t, 4> words{};  // the 16-byte layout's words, or the 32-byte one's first
  std::uint32_t value = 0;
  std::uint32_t waiters = 0;
};

// The words of the semaphore in bytes (the file's whole content), if it has either layout.
std::optional<SemaphoreWords> semaphore_words(std::string_view bytes);

// The words of the semaphore's file at path: opened without following a link and without waiting
// on a named pipe; nothing where it is no regular file, cannot be read or has neither layout.
std::optional<SemaphoreWords> read_semaphore(const std::string& path);

// What /proc/PID/task/TID/schedstat shows of one thread: its time on a CPU, its time runnable but
// waiting for one (both in nanoseconds, since it began), and how many times it was put on one.
struct Schedstat {
  std::int64_t running = 0;
  std::int64_t waiting = 0;
  std::int64_t slices = 0;
};

// The schedstat of thread tid of process pid; nothing where it cannot be read (the thread has
// gone, or the kernel keeps none) or is not three numbers.
std::optional<Schedstat> read_schedstat(int pid, int tid, std::string_view proc = proc_root);

// The process (thread group) that thread tid belongs to, and the parent of that process, from
// /proc/TID/status; nothing where it has gone.
std::optional<int> thread_group(int tid, std::string_view proc = proc_root);
std::optional<int> parent_process(int tid, std::string_view proc = proc_root);

// The name of thread tid of process pid, as /proc/PID/task/TID/comm holds it without its newline:
// any bytes but NUL, a newline included; nothing where it has gone.
std::optional<std::string> thread_name(int pid, int tid, std::string_view proc = proc_root);

// What reading a regular file gave: its first limit + 1 bytes (one more than limit tells a longer
// file), or why there are none. A named pipe planted in its place is opened without waiting for a
// writer, and not read.
struct RegularFile {
  std::optional<std::string> text;
  int error = 0;        // errno, where it could not be opened or read
  bool regular = true;  // false: a named pipe, a device or a folder, not read
};
RegularFile read_regular(const std::string& path, std::size_t limit);

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

}  // namespace lens
