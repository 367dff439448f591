// The trace-event format: {"traceEvents": [...], "displayTimeUnit": "ms"}, times in microseconds
// from the first event of the whole run. Each lane is a (pid, tid) pair named after its program;
// spans are "X" events, marks "i", step lines "C", arrows a flow "s" and "f" with "bp": "e".
// The scheduler's view of a step, where recorded, comes first: a process per step with a track
// per CPU, holding what ran there.
#include <algorithm>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>

#include "draw.h"
#include "draw_parts.h"

namespace lens {
namespace {

// A JSON string: quotes and backslashes escaped, control characters as \u00XX, and any byte that
// is not part of well-formed UTF-8 as U+FFFD, the replacement character.
std::string json_string(std::string_view text) {
  constexpr std::string_view hex = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    const std::size_t length = utf8_length(text, at);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += "\\u00";
      out += hex[c >> 4U];
      out += hex[c & 0xfU];
    } else {
      out += text.substr(at, length);
    }
    at += length;
  }
  return out + "\"";
}

// The fields every event of a lane has: name, category, phase, pid, tid.
std::string head(const std::string& name, const Diagram& diagram, char phase, const Lane& lane) {
  return std::string("{\"name\": ") + json_string(name) +
         ", \"cat\": " + json_string(diagram.mechanism) + ", \"ph\": \"" + phase +
         "\", \"pid\": " + std::to_string(lane.pid) + ", \"tid\": " + std::to_string(lane.tid);
}

// A metadata event: a lane's or a process's name or place in the order.
std::string metadata(const std::string& name, const Diagram& diagram, const Lane& lane,
                     const std::string& args) {
  return head(name, diagram, 'M', lane) + ", \"ts\": 0, \"args\": {" + args + "}}";
}

// The names and order of a diagram's lanes, and of each process the first time it appears.
struct Naming {
  std::set<int> processes;
  int order = 0;

  void add(const Diagram& diagram, std::vector<std::string>& events) {
    for (std::size_t index = 0; index < diagram.lanes.size(); ++index) {
      const Lane& lane = diagram.lanes[index];
      if (processes.insert(lane.pid).second) {
        events.push_back(
            metadata("process_name", diagram, lane, "\"name\": " + json_string(lane.program)));
        events.push_back(metadata("process_sort_index", diagram, lane,
                                  "\"sort_index\": " + std::to_string(order++)));
      }
      events.push_back(
          metadata("thread_name", diagram, lane, "\"name\": " + json_string(lane.label())));
      events.push_back(
          metadata("thread_sort_index", diagram, lane, "\"sort_index\": " + std::to_string(index)));
    }
  }
};

// The events of a diagram that happen in time: spans, marks, step lines and arrows.
void timed_events(const Diagram& diagram, Micros origin, std::vector<std::string>& events) {
  const auto ts = [origin](Micros at) { return ", \"ts\": " + std::to_string(at - origin); };
  for (const Span& span : diagram.spans) {
    events.push_back(head(span.name, diagram, 'X', diagram.lanes[span.lane]) + ts(span.begin) +
                     ", \"dur\": " + std::to_string(std::max<Micros>(span.end - span.begin, 0)) +
                     "}");
  }
  for (const Mark& mark : diagram.marks) {
    events.push_back(head(mark.name, diagram, 'i', diagram.lanes[mark.lane]) + ts(mark.at) +
                     ", \"s\": \"t\"}");
  }
  for (const Counter& counter : diagram.counters) {
    const Lane process{counter.pid, counter.pid, "", "", 0, 0};
    for (const Step& step : counter.steps) {
      events.push_back(head(counter.name, diagram, 'C', process) + ts(step.at) + ", \"args\": {" +
                       json_string(counter.name) + ": " + std::to_string(step.value) + "}}");
    }
  }
  for (const Arrow& arrow : diagram.arrows) {
    const std::string id = ", \"id\": " + std::to_string(arrow.id);
    events.push_back(head(arrow.name, diagram, 's', diagram.lanes[arrow.from_lane]) +
                     ts(arrow.from) + id + "}");
    events.push_back(head(arrow.name, diagram, 'f', diagram.lanes[arrow.to_lane]) + ts(arrow.to) +
                     id + ", \"bp\": \"e\"}");
  }
}

// Above every pid the kernel gives (pid_max is at most 2^22): the processes that hold the
// steps' CPU tracks are never taken for a program's.
constexpr int cpu_tracks_pid = 4194304;

// What ran on one CPU, in one step: the spans of the step's tasks on it, by their lane's name.
void cpu_slices(const Diagram& diagram, int pid, Micros start, std::vector<std::string>& events,
                std::set<int>& cpus) {
  for (const CpuLane& lane : diagram.cpu->lanes) {
    const std::string name = lane.name + " " + std::to_string(lane.tid);
    for (const SchedSpan& span : lane.spans) {
      if (span.doing == Doing::running && span.cpu >= 0) {
        cpus.insert(span.cpu);
        events.push_back(head(name, diagram, 'X', Lane{pid, span.cpu, "", "", 0, 0}) +
                         ", \"ts\": " + std::to_string(start + span.begin) + ", \"dur\": " +
                         std::to_string(std::max<Micros>(span.end - span.begin, 0)) + "}");
      }
    }
  }
}

// The scheduler's view of each step as a process with a track per CPU, placed at the step's
// start as strace drew it. Returns how many steps have one.
int cpu_tracks(const std::vector<Diagram>& diagrams, Micros origin,
               std::vector<std::string>& events) {
  int steps = 0;
  for (const Diagram& diagram : diagrams) {
    if (!diagram.missing.empty() || !diagram.cpu) {
      continue;
    }
    const int pid = cpu_tracks_pid + steps;
    const Lane process{pid, 0, "CPUs, " + diagram.title + " (scheduler, without strace)", "", 0, 0};
    events.push_back(
        metadata("process_name", diagram, process, "\"name\": " + json_string(process.program)));
    events.push_back(metadata("process_sort_index", diagram, process,
                              "\"sort_index\": " + std::to_string(steps)));
    std::vector<std::string> slices;
    std::set<int> cpus;
    cpu_slices(diagram, pid, diagram.time.begin - origin, slices, cpus);
    for (const int cpu : cpus) {
      const Lane track{pid, cpu, "", "", 0, 0};
      events.push_back(metadata("thread_name", diagram, track,
                                "\"name\": " + json_string("CPU " + std::to_string(cpu))));
      events.push_back(
          metadata("thread_sort_index", diagram, track, "\"sort_index\": " + std::to_string(cpu)));
    }
    events.insert(events.end(), slices.begin(), slices.end());
    ++steps;
  }
  return steps;
}

}  // namespace

std::string trace_json(const std::vector<Diagram>& diagrams) {
  std::optional<Micros> origin;
  for (const Diagram& diagram : diagrams) {
    if (diagram.missing.empty()) {
      origin = std::min(origin.value_or(diagram.time.begin), diagram.time.begin);
    }
  }
  // The CPU tracks come first, so that trace viewers show them above the programs' lanes.
  std::vector<std::string> events;
  Naming naming;
  naming.order = origin ? cpu_tracks(diagrams, *origin, events) : 0;
  for (const Diagram& diagram : diagrams) {
    if (diagram.missing.empty()) {
      naming.add(diagram, events);
      timed_events(diagram, origin.value_or(diagram.time.begin), events);
    }
  }
  std::ostringstream out;
  out << "{\"traceEvents\": [\n";
  for (std::size_t index = 0; index < events.size(); ++index) {
    out << "  " << events[index] << (index + 1 < events.size() ? ",\n" : "\n");
  }
  out << "],\n\"displayTimeUnit\": \"ms\"}\n";
  return out.str();
}

}  // namespace lens
