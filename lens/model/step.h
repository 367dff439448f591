// The one model of a step in time, from which every drawing and every sentence is made: a
// figure of a step (or of a lesson), made of panels, each a recording's view of it (strace's,
// the scheduler's): lanes (a process or thread each), spans, marks, step lines, arrows and a
// stretch drawn again magnified; where perf may not record the scheduler, a table of each task's
// totals from schedstat instead of its panel; and notes, which say what to look at, as data.
//
// The drawing (draw/) turns figures into the page's SVG and the trace file; the narration
// (narrate/) turns notes into sentences. Nothing here knows how either is done: a label is the
// text to show, never a key the drawing looks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "records/sched_log.h"
#include "records/strace_log.h"

namespace lens {

// A stretch of time, in microseconds on its panel's clock.
struct Window {
  Micros begin = 0;
  Micros end = 0;
};

// Which recording a panel comes from.
enum class Source {
  strace,     // every system call, each one stopping the program: slowed
  scheduler,  // perf's record of the scheduler, the step run again: real times, no calls
};

// How a span is drawn; the key says what each means.
enum class Shade {
  busy,      // working: a call, or main filling its table
  blocked,   // in the kernel, waiting
  paused,    // waiting for Enter on standard input
  shell,     // running `ipcs -m` through the shell
  alive,     // a thread, from its creation to its end
  running,   // on a CPU (Span::cpu says which)
  runnable,  // woken or preempted, waiting for a CPU
  asleep,    // waiting for something: a pipe, a futex, a timer
};

// One process or thread.
struct Lane {
  std::string name;      // "forkrelay parent", "worker", "gatetake 2"
  int id = 0;            // its pid or tid, shown beside the name
  int process = 0;       // the pid it belongs to (a thread's process), for the trace file
  Micros begin = 0;      // its first sign of life
  Micros end = 0;        // its end
  bool compact = false;  // one of many alike (a worker, a shell): a thin lane, its spans unlabelled
  std::string summary;   // what it did in all, shown beside it: "ran 1.55 ms, CPU 0"
  std::string program;   // the program it runs, which names its process: "forkrelay"
};

struct Span {
  std::size_t lane = 0;
  Shade shade = Shade::busy;
  Micros begin = 0;
  Micros end = 0;
  std::string label;  // "read", "pause", "asleep, woken by gategive"; none where empty
  int cpu = -1;       // running: the CPU
};

// A moment on a lane: a system call, an end.
struct Mark {
  std::size_t lane = 0;
  Micros at = 0;
  std::string label;
};

// A step line: from each level's moment on, its value, until the next.
struct Level {
  Micros at = 0;
  int value = 0;
};
struct Counter {
  std::string name;  // "threads alive", "nattch", "running at once"
  int process = 0;   // the pid it belongs to, for the trace file
  std::vector<Level> levels;
  // Where set, a value the line can never pass, drawn as a line of its own: the CPUs.
  std::optional<int> ceiling;
  std::string ceiling_label;  // "2 CPUs"
};

// What an arrow stands for; the key says it in words.
enum class Carries {
  wake_up,       // a post, a write or an exit that wakes a sleeper
  bytes,         // bytes written, then read: the reader found them there and did not wait
  bytes_waking,  // bytes written to a reader asleep in its read: they wake it
};

// From inside a span on one lane to inside a span on another.
struct Arrow {
  Carries carries = Carries::wake_up;
  std::size_t from_lane = 0;
  Micros from = 0;
  std::size_t to_lane = 0;
  Micros to = 0;
  std::string label;  // "128 bytes", "wake-up"
};

// A stretch of the panel drawn again, magnified, under the whole of it.
struct Stretch {
  Window time;
  std::vector<std::size_t> lanes;  // the lanes it shows; all where empty
  std::string caption;             // "Magnified: the post and the wake-up"
};

struct Panel {
  Source source = Source::strace;
  std::string recording;  // which recording its lanes come from, and what that costs, in words
  Window time;            // the whole panel
  std::vector<Lane> lanes;
  std::vector<Span> spans;
  std::vector<Mark> marks;
  std::vector<Counter> counters;
  std::vector<Arrow> arrows;
  std::optional<Stretch> magnified;
  // Where the panel is magnified, the whole of it shows only its first overview_lanes lanes
  // (all where 0), and its step lines only where overview_counters is set.
  std::size_t overview_lanes = 0;
  bool overview_counters = true;
};

// A note as data: which note it is (its key, as the tests and the narration know it), the
// sentence it says with a {name} in braces where each value goes, and its values. The narrator
// puts the values in, each made safe for where it is shown.
struct Note {
  std::string_view key;       // "pipe.read_waited"
  std::string_view sentence;  // "The child's read began {before} before the parent's write..."
  std::vector<std::pair<std::string_view, std::string>> values;  // {"before", "0.16 ms"}

  // The value of name, or nothing.
  const std::string* value(std::string_view name) const;
  // The sentence with each {name} replaced by its value (a hole without a value stays as it is).
  std::string text() const;
};

// What a figure is of.
enum class Mechanism { pipe, threads, segment, semaphore };

// The scheduler's own events of a step's run under perf, for the trace file, with the moment
// on perf's clock (microseconds) that its panel's 0 stands for.
struct KernelText {
  std::vector<KernelEvent> events;
  Micros clock = 0;
};

// One task's totals as /proc's schedstat gave them at its end: where perf may not record the
// scheduler, the step run again under lens's watcher gives these, and no spans.
struct TaskTotals {
  std::string name;         // "threetally main", "worker", "gatetake 2"
  int id = 0;               // its pid or tid, shown beside the name
  int process = 0;          // the pid it belongs to
  Micros alive = 0;         // from its making to its end, at least running plus waiting
  Micros running = 0;       // on a CPU
  Micros waiting = 0;       // runnable, waiting for a CPU
  Micros asleep = 0;        // the rest of its life: neither (asleep, or stopped)
  std::int64_t slices = 0;  // how many times it was put on a CPU
};

// The scheduler's view where perf may not record it: a table of the step's tasks, a row each.
struct Totals {
  std::string recording;  // which recording its rows come from, and what it lacks, in words
  std::vector<TaskTotals> rows;
  // Where the mechanism shows them (the threads): the CPUs its tasks could run on.
  std::optional<int> cpus;
};

// A step's figure, or a lesson's.
struct Figure {
  Mechanism mechanism = Mechanism::pipe;
  std::string title;          // "1. Pipe: forkrelay", "Lesson: gaterace, without the semaphore"
  std::string missing;        // where not empty: why there is nothing to draw
  std::vector<Panel> panels;  // strace's first, then the scheduler's where recorded
  std::vector<Note> notes;    // what to look at, strace's first
  std::optional<KernelText> kernel;  // the scheduler's own events, where recorded
  std::optional<Totals> totals;      // where perf did not record: schedstat's totals instead
};

// "0.16 ms", "134 ms": a duration for a sentence; "79 µs" below a millisecond where fine.
std::string milliseconds(Micros duration);
std::string duration(Micros duration);

}  // namespace lens
