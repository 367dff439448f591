#include "lens/samples.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "records/tour_records.h"

namespace ipcwalk {

std::string words_file(const std::filesystem::path& path, const std::vector<std::uint32_t>& words) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(words.data()),
             static_cast<std::streamsize>(words.size() * sizeof(std::uint32_t)));
  return path.string();
}

lens::Log log_of(const std::string& text) {
  std::istringstream in(text);
  return lens::parse_log(in);
}

lens::SchedRun sched(const std::string& text, const lens::SchedSelect& select) {
  std::istringstream in(text);
  return lens::parse_sched(in, select);
}

// A sample, read with the processes listed beside it.
std::optional<lens::SchedRun> sample(const std::string& name) {
  return lens::read_sched(perf_logs / (name + ".perf"),
                          lens::read_started(perf_logs / (name + ".pids")));
}

lens::WatchedRuns watched_sample(std::size_t step) {
  lens::WatchedRuns runs;
  const lens::StepNames& names = lens::step_names.at(step);
  for (std::size_t run = 0; run < names.runs.size() && !names.runs[run].run.empty(); ++run)
    runs[run] = lens::read_watch(schedstat_logs /
                                 (lens::run_file(names, names.runs[run].run) + ".schedstat"));
  return runs;
}

// A line as `perf script -F tid,cpu,time,event,trace` prints it: the tid padded to 5, the CPU in
// 3 digits, the time padded to 12 and the event's name to 26.
std::string perf_line(const HandLine& line) {
  const auto padded = [](const std::string& text, std::size_t width, char pad) {
    return std::string(width - std::min(width, text.size()), pad) + text;
  };
  return padded(std::to_string(line.tid), 5, ' ') + " [" +
         padded(std::to_string(line.cpu), 3, '0') + "] " + padded(line.time, 12, ' ') + ":" +
         padded("sched:" + line.event + ":", 26, ' ') + " " + line.fields + "\n";
}

std::string switched(const std::string& prev, int prev_pid, const std::string& state,
                     const std::string& next, int next_pid) {
  return "prev_comm=" + prev + " prev_pid=" + std::to_string(prev_pid) +
         " prev_prio=120 prev_state=" + state + " ==> next_comm=" + next +
         " next_pid=" + std::to_string(next_pid) + " next_prio=120";
}
std::string forked(const std::string& parent, int pid, const std::string& child, int child_pid) {
  return "comm=" + parent + " pid=" + std::to_string(pid) + " child_comm=" + child +
         " child_pid=" + std::to_string(child_pid);
}
std::string woke(const std::string& comm, int pid, int cpu) {
  return "comm=" + comm + " pid=" + std::to_string(pid) + " prio=120 target_cpu=00" +
         std::to_string(cpu);
}
std::string exited(const std::string& comm, int pid) {
  return "comm=" + comm + " pid=" + std::to_string(pid) + " prio=120 group_dead=true";
}

// The lines of a hand-made record, each header's tid mapped through `header` (a namespace's
// view: 0 for a task outside it).
std::string joined(const std::vector<HandLine>& lines, const std::map<int, int>& header) {
  std::string text = "# ========\n# nrcpus avail : 2\n# ========\n#\n";
  for (HandLine line : lines) {
    if (!header.empty())
      line.tid = header.count(line.tid) ? header.at(line.tid) : 0;
    text += perf_line(line);
  }
  return text;
}

}  // namespace ipcwalk
