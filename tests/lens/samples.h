// What the lens tests read: the samples kept in tests/ (strace logs of the tour's steps and
// lessons, and perf's and the watcher's records of them, made by the `record` scripts there), and
// records made by hand as strace and perf print them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/sched_log.h"
#include "records/strace_log.h"
#include "records/tour_records.h"

namespace ipcwalk {

inline const std::filesystem::path strace_logs = SOURCE_DIR "/tests/strace_logs";
inline const std::filesystem::path perf_logs = SOURCE_DIR "/tests/perf_logs";
inline const std::filesystem::path schedstat_logs = SOURCE_DIR "/tests/schedstat_logs";

// Outputs as gaterace prints them: a run of 20 rounds, and a run of `gaterace kill`.
inline constexpr std::string_view race_out =
    "semaphore: /gaterace-b532990b57c2c59e\nprocesses: 4\nrounds: 20\npause: 300 us\n"
    "unlocked expected: 80\nunlocked final: 21\nunlocked lost: 59\nunlocked overlapping: 71\n"
    "locked expected: 80\nlocked final: 80\nlocked lost: 0\nlocked overlapping: 0\n";
inline constexpr std::string_view kill_out =
    "semaphore: /gaterace-8ccb9db360f66137\nholder pid: 21428\nvalue while held: 0\n"
    "holder signal: 9 (Killed)\nvalue after kill: 0\n"
    "next taker: gave up: the semaphore stayed taken\nnext taker waited: 1.03 s\n";

// A file of 32-bit words, as a semaphore's file holds them; its path.
std::string words_file(const std::filesystem::path& path, const std::vector<std::uint32_t>& words);

// A log written by hand, as strace prints it.
lens::Log log_of(const std::string& text);

// A record written by hand, read with the processes select lists.
lens::SchedRun sched(const std::string& text, const lens::SchedSelect& select);

// A perf sample of tests/perf_logs, read with the processes listed beside it.
std::optional<lens::SchedRun> sample(const std::string& name);

// The watcher's records of a step's runs, kept in tests/schedstat_logs.
lens::WatchedRuns watched_sample(std::size_t step);

// One line of a record made by hand: perf's header (the tid, the CPU, the time) and the event.
struct HandLine {
  int tid = 0;
  int cpu = 0;
  std::string time;
  std::string event;
  std::string fields;
};

// A line as `perf script -F tid,cpu,time,event,trace` prints it.
std::string perf_line(const HandLine& line);

// The fields of the events, as the kernel prints them.
std::string switched(const std::string& prev, int prev_pid, const std::string& state,
                     const std::string& next, int next_pid);
std::string forked(const std::string& parent, int pid, const std::string& child, int child_pid);
std::string woke(const std::string& comm, int pid, int cpu);
std::string exited(const std::string& comm, int pid);

// The lines of a hand-made record, each header's tid mapped through `header` (a namespace's
// view: 0 for a task outside it).
std::string joined(const std::vector<HandLine>& lines, const std::map<int, int>& header = {});

}  // namespace ipcwalk
