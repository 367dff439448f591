#include "lesson_diagrams.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "facts/pipe.h"
#include "facts/tasks.h"
#include "facts/threads.h"

namespace lens {
namespace {

// The magnified stretch of a gaterace half: its first sections, about this many per process.
constexpr std::size_t sections_magnified_per_process = 3;
// Room around that stretch: a twentieth of its length on each side.
constexpr Micros detail_margin_divisor = 20;
constexpr std::string_view wchan_file = "/wchan";

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// A lane for a forked process: from its fork (or first line) to its end, or the log's.
Lane child_lane(const Log& log, int pid, const Call& fork, std::string role) {
  const Life life = life_of(log, pid, fork, log.last);
  return Lane{pid, pid, "gaterace", std::move(role), life.begin, life.end};
}

// ---- gaterace ----

bool is_pause(const Call& call) {
  return call.name == "clock_nanosleep" || call.name == "nanosleep";
}

// The first sections of a half, a few per process, with a little room around them.
Window first_sections(std::vector<Span> sections, std::size_t processes) {
  std::sort(sections.begin(), sections.end(),
            [](const Span& one, const Span& other) { return one.begin < other.begin; });
  const std::size_t shown = std::min(sections.size(), processes * sections_magnified_per_process);
  Micros end = sections.front().end;
  for (std::size_t index = 0; index < shown; ++index) {
    end = std::max(end, sections[index].end);
  }
  const Micros begin = sections.front().begin;
  const Micros margin = std::max<Micros>((end - begin) / detail_margin_divisor, 1);
  return Window{begin - margin, end + margin};
}

// What a half's notes say of its overlapping sections: gaterace's own count, from its output.
std::string overlap_count(const Parsed<RaceFigures>& output, bool locked) {
  if (!output.figures) {
    return output.problem;
  }
  const RaceHalf& half = locked ? output.figures->locked : output.figures->unlocked;
  return std::to_string(half.overlapping) + " of its " + std::to_string(half.expected) +
         " sections overlapped a section of another process, by gaterace's own count (" +
         std::string(gaterace_output_file) +
         ", its output in this run: the count the tour's terminal gave)";
}

void half_notes(Diagram& diagram, const Parsed<RaceFigures>& output, bool locked) {
  diagram.notes.push_back(
      "Each lane is one process; each solid span is one critical section, the pause "
      "(clock_nanosleep) between reading the shared number and writing it back plus one.");
  const std::string counted = overlap_count(output, locked);
  const std::string told = output.figures
                               ? ": " + counted + "."
                               : ". How many overlapped is not stated here: " + counted + ".";
  if (!locked) {
    diagram.notes.push_back("Without the semaphore nothing keeps the sections apart" + told +
                            " Where two overlap, both read the same number and one update is "
                            "lost.");
  } else {
    diagram.notes.push_back(
        "Inside sem_wait and sem_post one section runs at a time" + told +
        " The others wait for the semaphore in the kernel (futex, hatched) until the holder's "
        "sem_post wakes one of them.");
  }
  diagram.notes.push_back("Magnified: the first sections, a few per process.");
}

// One half of gaterace: the processes forked in `forks`.
Diagram gaterace_half(const Log& log, const std::vector<std::pair<int, const Call*>>& forks,
                      const Parsed<RaceFigures>& output, bool locked) {
  Diagram diagram;
  diagram.mechanism = locked ? "gaterace-locked" : "gaterace-unlocked";
  diagram.recording = strace_recording;
  diagram.title =
      locked ? "Lesson: gaterace, inside the semaphore" : "Lesson: gaterace, without the semaphore";
  std::vector<Span> sections;
  for (const auto& [pid, fork] : forks) {
    diagram.lanes.push_back(
        child_lane(log, pid, *fork, "process " + std::to_string(diagram.lanes.size() + 1)));
    const std::size_t lane = diagram.lanes.size() - 1;
    for (const std::size_t at : log.places_of(pid)) {
      const Call& call = log.calls[at];
      const Micros end = std::max(call.begin, call.end);
      if (is_pause(call)) {
        sections.push_back(Span{lane, "section", call.begin, end, Look::busy});
      } else if (call.name == "futex" && contains(call.args, "FUTEX_WAIT")) {
        diagram.spans.push_back(Span{lane, "wait", call.begin, end, Look::blocked});
      }
    }
  }
  diagram.time = Window{forks.front().second->begin, forks.front().second->begin};
  for (const Lane& lane : diagram.lanes) {
    diagram.time.end = std::max(diagram.time.end, lane.end);
  }
  if (sections.empty()) {
    diagram.missing = "gaterace's log shows no section of these processes.";
    return diagram;
  }
  diagram.detail = first_sections(sections, forks.size());
  diagram.detail_caption = "Magnified: the first sections";
  diagram.overview_lanes = diagram.lanes.size();
  half_notes(diagram, output, locked);
  diagram.spans.insert(diagram.spans.end(), sections.begin(), sections.end());
  // Only the magnified sections and waits are labelled: dozens of labels would hide the spans.
  for (Span& span : diagram.spans) {
    if (span.begin > diagram.detail->end) {
      span.name.clear();
    }
  }
  return diagram;
}

// ---- relaykeep ----

// A call that never gave the program a result: its process ended inside it, or a signal broke
// it off to end the process ("? ERESTARTSYS").
bool never_returned(const Call& call) {
  return !call.returned || call.result.empty() || call.result.front() == '?';
}

void relaykeep_marks(Diagram& diagram, const Log& log, const Call& fork) {
  bool closed = false;
  for (const std::size_t at : log.places_of(log.main_pid)) {
    const Call& call = log.calls[at];
    if (call.name == "pipe" || call.name == "pipe2") {
      diagram.marks.push_back(Mark{0, call.name, call.begin});
    } else if (&call == &fork) {
      diagram.marks.push_back(Mark{0, "fork", call.begin});
    } else if (call.name == "kill" ||
               (call.name == "close" && !closed && call.begin > fork.begin)) {
      // Of the closes, the first after the fork: the pipe's ends, closed one after the other.
      diagram.marks.push_back(Mark{0, call.name, call.begin});
      closed = closed || call.name == "close";
    } else if (call.name == "openat" && contains(call.args, wchan_file)) {
      diagram.marks.push_back(Mark{0, "wchan", call.begin});
    }
  }
}

}  // namespace

std::optional<Diagram> relaykeep_diagram(const Log& log) {
  const auto forks = children_of(log, log.main_pid);
  if (forks.empty()) {
    return std::nullopt;
  }
  const auto [child, fork] = forks.front();
  const Call* read = nullptr;
  for (const std::size_t at : log.places_of(child)) {
    read = log.calls[at].name == "read" ? &log.calls[at] : read;
  }
  if (read == nullptr) {
    return std::nullopt;
  }
  Diagram diagram;
  diagram.mechanism = "relaykeep";
  diagram.recording = strace_recording;
  diagram.title = "Lesson: relaykeep, the read that never returns";
  diagram.time = Window{log.first, log.last};
  diagram.lanes.push_back(Lane{log.main_pid, log.main_pid, "relaykeep", "parent", log.first,
                               std::max(log.first, log.ended(log.main_pid).value_or(log.last))});
  diagram.lanes.push_back(child_lane(log, child, *fork, "child"));
  diagram.lanes.back().program = "relaykeep";
  const Micros ended = diagram.lanes.back().end;
  const bool endless = never_returned(*read);
  const Micros read_end = endless ? ended : std::max(read->begin, read->end);
  diagram.spans.push_back(Span{1, "read", read->begin, read_end, Look::blocked});
  relaykeep_marks(diagram, log, *fork);
  diagram.marks.push_back(Mark{1, endless ? "killed" : "exit", ended});
  diagram.notes.push_back(
      "The parent makes the pipe and forks, then closes both its ends without writing. The "
      "child keeps its own write end and reads (hatched).");
  diagram.notes.push_back(
      !endless ? "This time the child's read returned: a write end closed everywhere after all."
               : "The read never returns: strace shows it unfinished for " +
                     milliseconds(read_end - read->begin) +
                     ", until the parent's kill ends the child. A read ends with end-of-file only "
                     "once no write end is open anywhere, and the child holds one.");
  diagram.notes.push_back(
      "Meanwhile the parent reads the child's /proc/PID/wchan (the marks named wchan): the "
      "kernel function the child sleeps in, the pipe's read.");
  return diagram;
}

std::vector<Diagram> gaterace_diagrams(const Log& log, const Parsed<RaceFigures>& output) {
  const auto forks = children_of(log, log.main_pid);
  if (forks.size() < 2 || forks.size() % 2 != 0) {
    return {};
  }
  const auto middle = forks.begin() + static_cast<std::ptrdiff_t>(forks.size() / 2);
  return {gaterace_half(log, {forks.begin(), middle}, output, false),
          gaterace_half(log, {middle, forks.end()}, output, true)};
}

LessonRun read_lessons(const std::filesystem::path& dir) {
  LessonRun run;
  run.relaykeep = read_log((dir / "lesson-relaykeep-1.strace").string());
  run.gaterace = read_log((dir / "lesson-gaterace-1.strace").string());
  const Output output = read_output((dir / gaterace_output_file).string());
  if (output.text) {
    run.gaterace_output = parse_race(*output.text);
  } else {
    run.gaterace_output.problem =
        std::string(gaterace_output_file) +
        (output.missing ? " is missing from the record" : ": " + output.problem);
  }
  if (!run.gaterace_output.figures && output.text) {
    run.gaterace_output.problem =
        std::string(gaterace_output_file) + ": " + run.gaterace_output.problem;
  }
  return run;
}

std::vector<Diagram> lesson_diagrams(const LessonRun& run) {
  std::vector<Diagram> found;
  if (run.relaykeep) {
    if (auto diagram = relaykeep_diagram(*run.relaykeep)) {
      found.push_back(std::move(*diagram));
    }
  }
  if (run.gaterace) {
    for (Diagram& diagram : gaterace_diagrams(*run.gaterace, run.gaterace_output)) {
      found.push_back(std::move(diagram));
    }
  }
  return found;
}

}  // namespace lens
