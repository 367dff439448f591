// What each step of the tour did, in time: the lanes (processes and threads), spans, marks,
// arrows and step lines of one mechanism, worked out from the step's strace logs. The drawing
// (draw.h) turns these into a page and a trace file; nothing here knows how they are drawn.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/proc.h"
#include "records/strace_log.h"
#include "sched_view.h"

namespace lens {

// The logs of one tour run, one per program run; a run that was not recorded is missing.
struct Run {
  std::optional<Log> forkrelay;
  std::optional<Log> threetally;
  std::optional<Log> segmake;
  std::optional<Log> segstamp;
  std::optional<Log> segpeek;
  std::optional<Log> segpeek_2;  // a later segpeek, after segstamp and segpeek have ended
  std::optional<Log> gatenew;
  std::optional<Log> gatetake_1;  // passes at once
  std::optional<Log> gatetake_2;  // waits for gategive
  std::optional<Log> gategive;
  // The scheduler's records of the steps run again without strace (sched_view.h), where present.
  std::optional<SchedRun> pipe_sched;
  std::optional<SchedRun> threads_sched;
  std::optional<SchedRun> segment_sched;
  std::optional<SchedRun> semaphore_sched;
  // What threetally's two runs cost, as the tour counted them: under strace, and under perf.
  std::optional<RunCost> threetally_cost;
  std::optional<RunCost> threads_sched_cost;
};

// Reads the logs that `./tour --timeline` leaves in dir, by their names.
Run read_run(const std::filesystem::path& dir);

// How a span is drawn; the page's legend says what each means.
enum class Look {
  busy,     // working: a call, or main filling its table
  blocked,  // in the kernel, waiting
  paused,   // waiting for Enter on standard input
  shell,    // running `ipcs -m` through the shell
  alive,    // a thread, from its creation to its end
};

// One process or thread.
struct Lane {
  int pid = 0;
  int tid = 0;
  std::string program;  // "forkrelay"
  std::string role;     // "parent", "worker", "1", or empty
  Micros begin = 0;     // its first sign of life in the log
  Micros end = 0;       // its end

  // "forkrelay parent 3557": the program, the role, the pid or tid.
  std::string label() const;
};

struct Span {
  std::size_t lane = 0;
  std::string name;  // its label, with its length; none where empty
  Micros begin = 0;
  Micros end = 0;
  Look look = Look::busy;
};

// A moment: a system call, or an end.
struct Mark {
  std::size_t lane = 0;
  std::string name;
  Micros at = 0;
};

// A step line: a value from each step on until the next.
struct Step {
  Micros at = 0;
  int value = 0;
};
struct Counter {
  std::string name;  // "threads alive"
  int pid = 0;       // the process it belongs to in the trace file
  std::vector<Step> steps;
};

// What an arrow stands for; the page's key says it in words.
enum class Carries {
  wake_up,       // a post that wakes a sleeper
  bytes,         // bytes written, then read: the reader found them there and did not wait
  bytes_waking,  // bytes written to a reader asleep in its read: they wake it
};

// An arrow from inside one span to inside another: what passes from one lane to the other.
struct Arrow {
  int id = 0;
  std::string name;
  Carries carries = Carries::wake_up;
  std::size_t from_lane = 0;
  Micros from = 0;
  std::size_t to_lane = 0;
  Micros to = 0;
};

struct Window {
  Micros begin = 0;
  Micros end = 0;
};

// What a diagram drawn from strace's logs says of its recording.
inline constexpr std::string_view strace_recording =
    "Recorded by strace: every system call seen, each one stopping the program (slowed)";

struct Diagram {
  std::string mechanism;  // "pipe", "threads", "segment", "semaphore"
  std::string title;      // "1. Pipe: forkrelay"
  std::string missing;    // where not empty: why there is nothing to draw
  Window time;            // the step, from its first line to its last
  std::vector<Lane> lanes;
  std::vector<Span> spans;
  std::vector<Mark> marks;
  std::vector<Counter> counters;
  std::vector<Arrow> arrows;
  std::vector<std::string> notes;  // two or three sentences: what to look at
  // A stretch worth drawing again, magnified, under the whole step; then the whole step shows
  // only its first overview_lanes lanes, and its step lines only where overview_counters is set.
  std::optional<Window> detail;
  std::string detail_caption;
  std::vector<std::size_t> detail_lanes;  // the lanes it shows; all where empty
  std::size_t overview_lanes = 0;
  bool overview_counters = true;
  std::string recording;       // which recording the lanes above come from, and what it costs
  std::optional<CpuView> cpu;  // the scheduler's view of the same step, where recorded
};

Diagram pipe_diagram(const Run& run);
Diagram threads_diagram(const Run& run);
Diagram segment_diagram(const Run& run);
Diagram semaphore_diagram(const Run& run);
// All four, in the tour's order.
std::vector<Diagram> diagrams(const Run& run);

// "0.16 ms", "134 ms": a duration for a sentence.
std::string milliseconds(Micros duration);

}  // namespace lens
