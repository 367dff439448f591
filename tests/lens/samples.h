// What the lens tests read: the samples kept in tests/ (strace logs of the tour's steps and
// lessons, and perf's records of them, made by the `record` scripts there), and records made by
// hand as strace and perf print them.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "records/sched_log.h"
#include "records/strace_log.h"

namespace ipcwalk {

inline const std::filesystem::path strace_logs = SOURCE_DIR "/tests/strace_logs";
inline const std::filesystem::path perf_logs = SOURCE_DIR "/tests/perf_logs";

// A log written by hand, as strace prints it.
lens::Log log_of(const std::string& text);

// A record written by hand, read with the processes select lists.
lens::SchedRun sched(const std::string& text, const lens::SchedSelect& select);

// A perf sample of tests/perf_logs, read with the processes listed beside it.
std::optional<lens::SchedRun> sample(const std::string& name);

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
