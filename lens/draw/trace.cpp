// The trace-event format: {"systemTraceEvents": "...", "traceEvents": [...], "displayTimeUnit":
// "ms"}, times in microseconds from the first event of strace's run. Each lane of strace's panels
// is a (pid, tid) pair named after it; spans are "X" events, marks "i", step lines "C", arrows a
// flow "s" and "f" with "bp": "e". The scheduler's runs of the steps, where recorded, are the
// kernel's own trace text in systemTraceEvents, from which Perfetto draws its CPU tracks, thread
// states and wakers. Those runs are other runs than strace's, on another clock: each is laid
// after strace's run and after the one before it, so that no two runs share an instant, and a
// global mark says where each begins.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "draw/draw.h"
#include "draw/labels.h"
#include "draw/svg.h"

namespace lens {
namespace {

// Text into a JSON string: quotes and backslashes escaped, a newline as \n, other control
// characters as \u00XX, and any byte that is not part of well-formed UTF-8 as U+FFFD, the
// replacement character.
void append_json(std::string& out, std::string_view text) {
  constexpr std::string_view hex = "0123456789abcdef";
  for (std::size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    const std::size_t length = svg::utf8_length(text, at);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";  // the kernel text's lines
    } else if (c < 0x20) {
      out += "\\u00";
      out += hex[c >> 4U];
      out += hex[c & 0xfU];
    } else {
      out += text.substr(at, length);
    }
    at += length;
  }
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  append_json(out, text);
  out += '"';
  return out;
}

// Where an event of a figure goes: its category, and the lane's process and thread.
struct Track {
  std::string_view category;
  int pid = 0;
  int tid = 0;
};

// The fields every event has: name, category, phase, pid, tid.
std::string head(std::string_view name, const Track& track, char phase) {
  return svg::joined({"{\"name\": ", json_string(name), ", \"cat\": ", json_string(track.category),
                      ", \"ph\": \"", std::string_view(&phase, 1), "\", \"pid\": ",
                      std::to_string(track.pid), ", \"tid\": ", std::to_string(track.tid)});
}

Track track_of(const Figure& figure, const Panel& panel, std::size_t lane) {
  const Lane& found = panel.lanes[lane];
  return Track{svg::mechanism_name(figure.mechanism), found.process, found.id};
}

// The name of a lane's process: the program that the lane of the process itself runs, where it
// has one (a lane made without one is named by its name).
std::string process_name(const Panel& panel, const Lane& lane) {
  for (const Lane& other : panel.lanes) {
    if (other.id == lane.process) {
      return other.program.empty() ? other.name : other.program;
    }
  }
  return lane.program.empty() ? lane.name : lane.program;
}

// The names and order of the lanes of strace's panels, and of each process the first time it
// appears.
void name_lanes(const Figure& figure, const Panel& panel, std::vector<int>& processes,
                std::vector<std::string>& events) {
  const auto metadata = [&](std::string_view name, const Track& track, const std::string& args) {
    events.push_back(head(name, track, 'M') + ", \"ts\": 0, \"args\": {" + args + "}}");
  };
  for (std::size_t index = 0; index < panel.lanes.size(); ++index) {
    const Lane& lane = panel.lanes[index];
    const Track track = track_of(figure, panel, index);
    if (std::find(processes.begin(), processes.end(), lane.process) == processes.end()) {
      processes.push_back(lane.process);
      metadata("process_name", track,
               svg::joined({"\"name\": ", json_string(process_name(panel, lane))}));
      metadata("process_sort_index", track,
               svg::joined({"\"sort_index\": ", std::to_string(processes.size() - 1)}));
    }
    metadata("thread_name", track,
             svg::joined({"\"name\": ", json_string(lane.name + " " + std::to_string(lane.id))}));
    metadata("thread_sort_index", track, svg::joined({"\"sort_index\": ", std::to_string(index)}));
  }
}

// The events of a panel that happen in time: spans, marks, step lines and arrows.
void timed_events(const Figure& figure, const Panel& panel, Micros origin, int& arrows,
                  std::vector<std::string>& events) {
  const auto ts = [origin](Micros at) {
    return svg::joined({", \"ts\": ", std::to_string(at - origin)});
  };
  const auto lane_known = [&panel](std::size_t lane) { return lane < panel.lanes.size(); };
  for (const Span& span : panel.spans) {
    if (lane_known(span.lane)) {
      events.push_back(
          svg::joined({head(span.label, track_of(figure, panel, span.lane), 'X'), ts(span.begin),
                       ", \"dur\": ", std::to_string(svg::length_of(span.begin, span.end)), "}"}));
    }
  }
  for (const Mark& mark : panel.marks) {
    if (lane_known(mark.lane)) {
      events.push_back(svg::joined({head(mark.label, track_of(figure, panel, mark.lane), 'i'),
                                    ts(mark.at), ", \"s\": \"t\"}"}));
    }
  }
  for (const Counter& counter : panel.counters) {
    const Track process{svg::mechanism_name(figure.mechanism), counter.process, counter.process};
    for (const Level& level : counter.levels) {
      events.push_back(
          svg::joined({head(counter.name, process, 'C'), ts(level.at), ", \"args\": {",
                       json_string(counter.name), ": ", std::to_string(level.value), "}}"}));
    }
  }
  for (const Arrow& arrow : panel.arrows) {
    if (lane_known(arrow.from_lane) && lane_known(arrow.to_lane)) {
      const std::string id = std::to_string(++arrows);
      events.push_back(
          svg::joined({head(arrow.label, track_of(figure, panel, arrow.from_lane), 's'),
                       ts(arrow.from), ", \"id\": ", id, "}"}));
      events.push_back(svg::joined({head(arrow.label, track_of(figure, panel, arrow.to_lane), 'f'),
                                    ts(arrow.to), ", \"id\": ", id, ", \"bp\": \"e\"}"}));
    }
  }
}

// ---- The scheduler's runs, as the kernel's own trace text (systemTraceEvents) ----

// Between one run and the next on the trace's clock: the runs come one after another, strace's
// first, each scheduler's run starting at a whole second at least this long after the one before.
constexpr Micros run_gap = 1000000;
constexpr Micros micros_per_second = 1000000;

constexpr std::string_view text_header =
    "# tracer: nop\n"
    "#\n"
    "#           TASK-PID     CPU#  |||||  TIMESTAMP  FUNCTION\n"
    "#              | |         |   |||||     |         |\n";

// A task's name as it goes into the trace text, where nothing may break a line or a field: each
// control character becomes its picture (U+2400 to U+241F, U+2421), as on the page; a blank,
// which ends a field, becomes U+2420 (the symbol for a space); "=", which ends a field's key,
// becomes U+FF1D (the fullwidth equals sign); a byte not part of well-formed UTF-8 becomes
// U+FFFD. Everything else is kept.
std::string kernel_name(std::string_view comm) {
  constexpr unsigned char delete_byte = 0x7f;
  constexpr unsigned char pictures = 0x80;  // U+2400's last byte, for byte 0
  std::string out;
  for (std::size_t at = 0; at < comm.size();) {
    const std::size_t length = svg::utf8_length(comm, at);
    const auto byte = static_cast<unsigned char>(comm[at]);
    if (length == 0) {
      out += "\xef\xbf\xbd";
      ++at;
      continue;
    }
    if (byte < 0x20 || byte == delete_byte) {
      out += "\xe2\x90";
      out += static_cast<char>(byte == delete_byte ? 0xa1 : pictures + byte);
    } else if (byte == ' ') {
      out += "\xe2\x90\xa0";
    } else if (byte == '=') {
      out += "\xef\xbc\x9d";
    } else {
      out += comm.substr(at, length);
    }
    at += length;
  }
  return out;
}

// The task column's name: the idle task as the kernel writes it, "<...>" where the name is not
// known.
std::string task_column(const KernelTask& task) {
  if (task.pid == 0) {
    return "<idle>";
  }
  return task.comm.empty() ? "<...>" : kernel_name(task.comm);
}

// A state as the kernel prints it ("S", "R+", "D|K"): its letters, "+" and "|" up to anything
// else; "?" where it has none.
std::string kernel_state(std::string_view state) {
  const auto end = std::find_if(state.begin(), state.end(), [](char c) {
    return (c < 'A' || c > 'Z') && (c < 'a' || c > 'z') && c != '+' && c != '|';
  });
  return end == state.begin() ? "?" : std::string(state.begin(), end);
}

// One event as a line of the kernel's trace text, at `at` microseconds on the trace's clock; an
// event that the text cannot tell (a negative CPU or pid, a wake-up without its CPU) is none.
std::optional<std::string> kernel_line(const KernelEvent& event, Micros at) {
  if (event.cpu < 0 || event.current.pid < 0 || event.next.pid < 0 ||
      (event.kind != KernelEvent::Kind::switched && event.target_cpu < 0)) {
    return std::nullopt;
  }
  // The task column, right-aligned in 16 (a name may be longer: it is then written whole).
  const std::string task_name = task_column(event.current);
  constexpr std::size_t numbers = 96;  // room for the widest pid, CPU and time that fit their types
  std::string line(task_name.size() + numbers, '\0');
  const int written = std::snprintf(
      line.data(), line.size(), "%16s-%-7d [%03d] ..... %5lld.%06lld: ", task_name.c_str(),
      event.current.pid, event.cpu, static_cast<long long>(at / micros_per_second),
      static_cast<long long>(at % micros_per_second));
  line.resize(static_cast<std::size_t>(std::clamp(written, 0, static_cast<int>(line.size()) - 1)));
  const auto task = [](const KernelTask& one) {
    return svg::joined({"comm=", kernel_name(one.comm), " pid=", std::to_string(one.pid),
                        " prio=", std::to_string(one.prio)});
  };
  if (event.kind == KernelEvent::Kind::switched) {
    svg::append(line, {"sched_switch: prev_comm=", kernel_name(event.current.comm),
                       " prev_pid=", std::to_string(event.current.pid),
                       " prev_prio=", std::to_string(event.current.prio),
                       " prev_state=", kernel_state(event.prev_state), " ==> next_comm=",
                       kernel_name(event.next.comm), " next_pid=", std::to_string(event.next.pid),
                       " next_prio=", std::to_string(event.next.prio), "\n"});
    return line;
  }
  std::array<char, 16> cpu{};
  std::snprintf(cpu.data(), cpu.size(), "%03d", event.target_cpu);
  svg::append(line,
              {event.kind == KernelEvent::Kind::waking ? "sched_waking: " : "sched_wakeup_new: ",
               task(event.next), " target_cpu=", cpu.data(), "\n"});
  return line;
}

// The end of a figure's scheduler's panel, on its own clock: how long its run lasted.
Micros scheduler_end(const Figure& figure) {
  Micros end = 0;
  for (const Panel& panel : figure.panels) {
    if (panel.source == Source::scheduler) {
      end = std::max(end, panel.time.end);
    }
  }
  return end;
}

// The figures' scheduler's runs as the member systemTraceEvents of `out`, the kernel's trace
// text, each run placed on the trace's clock after `after` (the end of strace's run) and after
// the run before it; for each, a mark in events says where it begins. Nothing where no figure has
// one.
void kernel_text(const std::vector<Figure>& figures, Micros after, std::string& out,
                 std::vector<std::string>& events) {
  bool begun = false;
  for (const Figure& figure : figures) {
    if (!figure.kernel || figure.kernel->events.empty()) {
      continue;
    }
    const KernelText& kernel = *figure.kernel;
    const Micros begin = (std::max<Micros>(after, 0) + run_gap + micros_per_second - 1) /
                         micros_per_second * micros_per_second;
    const std::int64_t zero = kernel.clock * nanos_per_micro;
    Micros length = scheduler_end(figure);
    for (const KernelEvent& event : kernel.events) {
      if (event.at < zero) {
        continue;
      }
      const Micros at = (event.at - zero) / nanos_per_micro;
      if (const auto line = kernel_line(event, begin + at)) {
        if (!begun) {
          out += "\"systemTraceEvents\": \"";
          append_json(out, text_header);
          begun = true;
        }
        append_json(out, *line);
        length = std::max(length, at);
      }
    }
    const std::string name =
        svg::joined({"The scheduler's run of ", figure.title,
                     " (perf, the step run again without strace: its own times and pids)"});
    events.push_back(
        svg::joined({head(name, Track{svg::mechanism_name(figure.mechanism), 0, 0}, 'i'),
                     ", \"ts\": ", std::to_string(begin), ", \"s\": \"g\"}"}));
    after = begin + length;
  }
  if (begun) {
    out += "\",\n";
  }
}

}  // namespace

std::string trace_json(const std::vector<Figure>& figures) {
  std::optional<Micros> origin;
  Micros end = 0;
  for (const Figure& figure : figures) {
    for (const Panel& panel : figure.panels) {
      if (figure.missing.empty() && panel.source == Source::strace) {
        origin = std::min(origin.value_or(panel.time.begin), panel.time.begin);
        end = std::max(end, panel.time.end);
      }
    }
  }
  std::vector<std::string> events;
  std::vector<int> processes;
  int arrows = 0;
  for (const Figure& figure : figures) {
    for (const Panel& panel : figure.panels) {
      if (figure.missing.empty() && panel.source == Source::strace) {
        name_lanes(figure, panel, processes, events);
        timed_events(figure, panel, origin.value_or(panel.time.begin), arrows, events);
      }
    }
  }
  // strace's run from 0, then the scheduler's runs after it. Their text comes first, written
  // straight into the file's text: it is as long as the records.
  std::string out = "{";
  kernel_text(figures, origin ? end - *origin : 0, out, events);
  out += "\"traceEvents\": [\n";
  for (std::size_t index = 0; index < events.size(); ++index) {
    out += "  ";
    out += events[index];
    out += index + 1 < events.size() ? ",\n" : "\n";
  }
  out += "],\n\"displayTimeUnit\": \"ms\"}\n";
  return out;
}

}  // namespace lens
