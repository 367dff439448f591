// The watcher's record of one run: what /proc/PID/task/TID/schedstat showed of each task of the
// run at its very end, where perf may not record the scheduler. Any user may read the schedstat
// of their own threads, but a thread's /proc entry goes with it: lens's watcher (records/watch.h)
// reads it at each task's exit, while the task is stopped there, and writes a line.
//
// The record, a line each, numbers in decimal:
//   lens-watch 1                  what it is, and its form's version
//   cpus N                        how many CPUs the program may run on, as it started
//   task TID PROCESS PARENT BORN ENDED RUNNING WAITING SLICES NAME
// a task line for each task as it ended: its tid, its process (thread group), the task that made
// it (0 for the program the watcher started), when it was made and when it ended (nanoseconds on
// the watcher's monotonic clock), its time on a CPU and its time runnable but waiting for one
// (nanoseconds, from schedstat), the number of times it was put on a CPU, and its name, each byte
// of it that is a blank, a control character or a backslash written \xNN; and last, where some
// task's schedstat could not be read as it ended (it was killed, or the kernel keeps none),
//   unread N                      how many
//
// The record is untrusted: it is read to a bound of size and of tasks, every number is bounded,
// and a line not as written here is passed over. A name is at most 15 bytes once decoded, and
// may then hold any bytes but NUL: escape it before showing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lens {

// The first line of every watcher's record.
inline constexpr std::string_view watch_heading = "lens-watch 1";

// One task of the run, as the watcher saw it end. Times in nanoseconds.
struct WatchedTask {
  int tid = 0;
  int process = 0;  // its thread group: itself for a process
  int parent = 0;   // the task that made it (see watch.h); 0 for the program the watcher started
  std::int64_t born = 0;
  std::int64_t ended = 0;
  std::int64_t running = 0;  // on a CPU
  std::int64_t waiting = 0;  // runnable, waiting for a CPU
  std::int64_t slices = 0;
  std::string name;  // at most 15 bytes, any but NUL
};

struct WatchRecord {
  int cpus = 0;                    // 0 where the record does not say
  std::vector<WatchedTask> tasks;  // in the order they ended
  // What could not be read, a sentence each: tasks the watcher could not read, lines passed
  // over, tasks beyond the bound.
  std::vector<std::string> problems;
};

// A task's line, as the watcher writes it (with its newline).
std::string task_line(const WatchedTask& task);

// Reads a record's text; nothing where it is not a watcher's record (its first line).
std::optional<WatchRecord> parse_watch(std::string_view text);

// The record in the file at path; nothing where it cannot be read, is no regular file, or is not
// a watcher's record.
std::optional<WatchRecord> read_watch(const std::string& path);

}  // namespace lens
