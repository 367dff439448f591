#include "records/tour_records.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>

namespace lens {
namespace {

// The most processes a step starts that a .pids file may name (the segment step starts four).
constexpr std::size_t most_listed = 16;
// The most a pid can be (the kernel's PID_MAX_LIMIT).
constexpr int most_pid = 4194304;

// A pid as the tour wrote it, from 1 up.
std::optional<int> pid_in(const std::string& text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > most_pid) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

SchedSelect read_started(const std::filesystem::path& pids) {
  SchedSelect select;
  std::ifstream file(pids);
  for (std::string line; select.started.size() < most_listed && std::getline(file, line);) {
    std::istringstream words(line);
    std::string pid;
    std::string parent;
    std::string more;
    if (words >> pid >> parent && !(words >> more)) {
      const auto process = pid_in(pid);
      const auto shell = pid_in(parent);
      if (process && shell) {
        select.started.push_back(Started{*process, *shell});
      }
    }
  }
  return select;
}

TourRecords read_tour_records(const std::filesystem::path& dir) {
  TourRecords records;
  for (std::size_t index = 0; index < step_names.size(); ++index) {
    const StepNames& names = step_names[index];
    StepRecords& step = records.steps[index];
    for (std::size_t run = 0; run < names.runs.size() && !names.runs[run].run.empty(); ++run) {
      const std::string file = run_file(names, names.runs[run].run);
      step.logs[run] = read_log((dir / (file + ".strace")).string());
      step.watched[run] = read_watch((dir / (file + ".schedstat")).string());
    }
    const std::string prefix(names.prefix);
    step.sched =
        read_sched((dir / (prefix + ".perf")).string(), read_started(dir / (prefix + ".pids")));
    step.strace_cost =
        read_cost((dir / (run_file(names, names.runs.front().run) + ".cost")).string());
    step.sched_cost = read_cost((dir / (prefix + ".cost")).string());
    LessonRecords& lesson = records.lessons[index];
    const std::string first = lesson_file(names.lesson, 1);
    lesson.log = read_log((dir / (first + ".strace")).string());
    lesson.output = read_output((dir / (first + ".out")).string());
  }
  return records;
}

}  // namespace lens
