// The trace-event format: {"traceEvents": [...], "displayTimeUnit": "ms"}, times in microseconds
// from the first event of the whole run. Each lane is a (pid, tid) pair named after its program;
// spans are "X" events, marks "i", step lines "C", arrows a flow "s" and "f" with "bp": "e".
#include <algorithm>
#include <set>
#include <sstream>

#include "draw.h"

namespace timeline {
namespace {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      constexpr std::string_view hex = "0123456789abcdef";
      out += "\\u00";
      out += hex[static_cast<unsigned char>(c) >> 4U];
      out += hex[static_cast<unsigned char>(c) & 0xfU];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The fields every event of a lane has: name, category, phase, pid, tid.
std::string head(const std::string& name, const Diagram& diagram, char phase, const Lane& lane) {
  return std::string("{\"name\": ") + quoted(name) + ", \"cat\": " + quoted(diagram.mechanism) +
         ", \"ph\": \"" + phase + "\", \"pid\": " + std::to_string(lane.pid) +
         ", \"tid\": " + std::to_string(lane.tid);
}

}  // namespace

std::string trace_json(const std::vector<Diagram>& diagrams) {
  std::optional<Micros> origin;
  for (const Diagram& diagram : diagrams) {
    if (diagram.missing.empty()) {
      origin = std::min(origin.value_or(diagram.time.begin), diagram.time.begin);
    }
  }
  const auto ts = [&origin](Micros at) {
    return std::string(", \"ts\": ") + std::to_string(at - *origin);
  };

  std::vector<std::string> events;
  std::set<int> named_processes;
  int process_order = 0;
  for (const Diagram& diagram : diagrams) {
    if (!diagram.missing.empty()) {
      continue;
    }
    for (std::size_t index = 0; index < diagram.lanes.size(); ++index) {
      const Lane& lane = diagram.lanes[index];
      if (named_processes.insert(lane.pid).second) {
        events.push_back(head("process_name", diagram, 'M', lane) +
                         ", \"ts\": 0, \"args\": {\"name\": " + quoted(lane.program) + "}}");
        events.push_back(
            head("process_sort_index", diagram, 'M', lane) +
            ", \"ts\": 0, \"args\": {\"sort_index\": " + std::to_string(process_order++) + "}}");
      }
      events.push_back(head("thread_name", diagram, 'M', lane) +
                       ", \"ts\": 0, \"args\": {\"name\": " + quoted(lane.label()) + "}}");
      events.push_back(head("thread_sort_index", diagram, 'M', lane) +
                       ", \"ts\": 0, \"args\": {\"sort_index\": " + std::to_string(index) + "}}");
    }
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
                         quoted(counter.name) + ": " + std::to_string(step.value) + "}}");
      }
    }
    for (const Arrow& arrow : diagram.arrows) {
      const std::string id = std::string(", \"id\": ") + std::to_string(arrow.id);
      events.push_back(head(arrow.name, diagram, 's', diagram.lanes[arrow.from_lane]) +
                       ts(arrow.from) + id + "}");
      events.push_back(head(arrow.name, diagram, 'f', diagram.lanes[arrow.to_lane]) + ts(arrow.to) +
                       id + ", \"bp\": \"e\"}");
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

}  // namespace timeline
