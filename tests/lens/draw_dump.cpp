// A stand-in for the builder of figures until it lands: today's diagrams of a run (diagrams.h,
// sched_view.h, lesson_diagrams.h), written as the figures of model/step.h would hold them, in
// JSON, for the drawing's tests to read (draw_figures.h).
//
// A program of its own: today's Lane, Span, Mark... share their names with the model's, so the
// two may not meet in one program.
//
//   lens_draw_dump TRACEDIR [lessons=DIR] [STEP=RECORD]...
//
// reads the strace logs of one tour run in TRACEDIR (and the scheduler's records there), the
// lessons' logs in DIR where given, and, for each STEP (pipe, threads, segment, semaphore), the
// scheduler's record RECORD.perf with its RECORD.pids in place of the step's own.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "diagrams.h"
#include "lesson_diagrams.h"
#include "sched_view.h"

namespace {

using Json = nlohmann::json;

std::string_view shade_of(lens::Look look) {
  switch (look) {
    case lens::Look::blocked:
      return "blocked";
    case lens::Look::paused:
      return "paused";
    case lens::Look::shell:
      return "shell";
    case lens::Look::alive:
      return "alive";
    case lens::Look::busy:
      break;
  }
  return "busy";
}

std::string_view shade_of(lens::Doing doing) {
  switch (doing) {
    case lens::Doing::runnable:
      return "runnable";
    case lens::Doing::asleep:
      return "asleep";
    case lens::Doing::running:
      break;
  }
  return "running";
}

std::string_view carried(lens::Carries carries) {
  switch (carries) {
    case lens::Carries::bytes:
      return "bytes";
    case lens::Carries::bytes_waking:
      return "bytes_waking";
    case lens::Carries::wake_up:
      break;
  }
  return "wake_up";
}

std::string_view mechanism_of(const std::string& mechanism) {
  if (mechanism == "threads" || mechanism == "segment" || mechanism == "semaphore") {
    return mechanism;
  }
  return mechanism.starts_with("gaterace") ? "semaphore" : "pipe";
}

Json window(lens::Micros begin, lens::Micros end) {
  return Json::array({begin, end});
}

Json strace_panel(const lens::Diagram& diagram) {
  Json panel{{"source", "strace"},
             {"time", window(diagram.time.begin, diagram.time.end)},
             {"overview_lanes", diagram.overview_lanes},
             {"overview_counters", diagram.overview_counters}};
  for (const lens::Lane& lane : diagram.lanes) {
    panel["lanes"].push_back({{"name", lane.program + (lane.role.empty() ? "" : " " + lane.role)},
                              {"id", lane.tid},
                              {"process", lane.pid},
                              {"begin", lane.begin},
                              {"end", lane.end},
                              {"compact", lane.role == "worker"},
                              {"summary", ""}});
  }
  for (const lens::Span& span : diagram.spans) {
    panel["spans"].push_back(
        Json::array({span.lane, shade_of(span.look), span.begin, span.end, span.name, -1}));
  }
  for (const lens::Mark& mark : diagram.marks) {
    panel["marks"].push_back(Json::array({mark.lane, mark.at, mark.name}));
  }
  for (const lens::Counter& counter : diagram.counters) {
    Json levels = Json::array();
    for (const lens::Step& step : counter.steps) {
      levels.push_back(Json::array({step.at, step.value}));
    }
    panel["counters"].push_back(
        {{"name", counter.name}, {"process", counter.pid}, {"levels", levels}});
  }
  for (const lens::Arrow& arrow : diagram.arrows) {
    panel["arrows"].push_back(Json::array({carried(arrow.carries), arrow.from_lane, arrow.from,
                                           arrow.to_lane, arrow.to, arrow.name}));
  }
  if (diagram.detail) {
    panel["magnified"] = {{"time", window(diagram.detail->begin, diagram.detail->end)},
                          {"lanes", diagram.detail_lanes},
                          {"caption", diagram.detail_caption}};
  }
  return panel;
}

// Who woke a sleep, where the lanes show it: "asleep, woken by gategive".
std::string sleep_label(const lens::CpuView& view, const lens::SchedSpan& span) {
  for (const lens::CpuLane& lane : view.lanes) {
    if (lane.tid == span.waker) {
      return "asleep, woken by " + lane.name;
    }
  }
  if (span.waker == 0) {
    return "asleep, woken by an interrupt";
  }
  const auto waker = view.wakers.find(span.waker);
  return waker != view.wakers.end() ? "asleep, woken by " + waker->second : "asleep";
}

Json scheduler_panel(const lens::CpuView& view) {
  Json panel{{"source", "scheduler"},
             {"time", window(0, std::max<lens::Micros>(view.end, 1))},
             {"overview_lanes", view.overview_lanes},
             {"overview_counters", !view.detail_begin}};
  // A worker is a thread of the step's first process; every other lane is a process.
  const int first = view.lanes.empty() ? 0 : view.lanes.front().tid;
  for (std::size_t index = 0; index < view.lanes.size(); ++index) {
    const lens::CpuLane& lane = view.lanes[index];
    panel["lanes"].push_back({{"name", lane.name},
                              {"id", lane.tid},
                              {"process", lane.name == "worker" ? first : lane.tid},
                              {"begin", lane.begin},
                              {"end", lane.end},
                              {"compact", lane.compact},
                              {"summary", lane.summary}});
    for (const lens::SchedSpan& span : lane.spans) {
      const std::string label =
          span.doing == lens::Doing::asleep && !lane.compact ? sleep_label(view, span) : "";
      panel["spans"].push_back(
          Json::array({index, shade_of(span.doing), span.begin, span.end, label, span.cpu}));
    }
  }
  for (const lens::CpuLine& line : view.lines) {
    Json levels = Json::array();
    for (const lens::SchedStep& step : line.steps) {
      levels.push_back(Json::array({step.at, step.count}));
    }
    Json counter{{"name", line.name}, {"process", first}, {"levels", levels}};
    if (line.name == "running at once") {
      counter["ceiling"] = view.cpus;
      counter["ceiling_label"] = std::to_string(view.cpus) + " CPUs";
    }
    panel["counters"].push_back(counter);
  }
  for (const lens::CpuWake& wake : view.wakes) {
    panel["arrows"].push_back(Json::array({"wake_up", wake.from, wake.at, wake.to, wake.ran, ""}));
  }
  if (view.detail_begin) {
    panel["magnified"] = {{"time", window(*view.detail_begin, view.detail_end)},
                          {"lanes", view.detail_lanes},
                          {"caption", view.detail_caption}};
  }
  return panel;
}

Json task(const lens::KernelTask& one) {
  return Json::array({one.comm, one.pid, one.prio});
}

Json figure(const lens::Diagram& diagram) {
  Json out{{"mechanism", mechanism_of(diagram.mechanism)},
           {"title", diagram.title},
           {"missing", diagram.missing},
           {"notes", diagram.notes},
           {"panels", Json::array()}};
  if (!diagram.missing.empty()) {
    return out;
  }
  out["panels"].push_back(strace_panel(diagram));
  if (diagram.cpu) {
    out["panels"].push_back(scheduler_panel(*diagram.cpu));
    Json events = Json::array();
    for (const lens::KernelEvent& event : diagram.cpu->kernel) {
      events.push_back(
          Json::array({static_cast<int>(event.kind), event.at, event.cpu, task(event.current),
                       event.prev_state, task(event.next), event.target_cpu}));
    }
    out["kernel"] = {{"clock", diagram.cpu->clock}, {"events", events}};
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) try {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs("usage: lens_draw_dump TRACEDIR [lessons=DIR] [STEP=RECORD]...\n", stderr);
    return 2;
  }
  lens::Run run = lens::read_run(std::filesystem::path(args[0]));
  std::vector<lens::Diagram> lessons;
  for (std::size_t index = 1; index < args.size(); ++index) {
    const std::string_view arg = args[index];
    const std::size_t equals = arg.find('=');
    const std::string step(arg.substr(0, equals));
    const std::string path(equals == std::string_view::npos ? "" : arg.substr(equals + 1));
    if (step == "lessons") {
      lessons = lens::lesson_diagrams(lens::read_lessons(path));
      continue;
    }
    auto record = lens::read_sched(path + ".perf", lens::step_select(path + ".pids"));
    if (step == "pipe") {
      run.pipe_sched = std::move(record);
    } else if (step == "threads") {
      run.threads_sched = std::move(record);
    } else if (step == "segment") {
      run.segment_sched = std::move(record);
    } else if (step == "semaphore") {
      run.semaphore_sched = std::move(record);
    } else {
      std::fprintf(stderr, "lens_draw_dump: no step %s\n", step.c_str());
      return 2;
    }
  }
  Json figures = Json::array();
  for (const std::vector<lens::Diagram>& diagrams : {lens::diagrams(run), lessons}) {
    for (const lens::Diagram& diagram : diagrams) {
      figures.push_back(figure(diagram));
    }
  }
  const std::string text = figures.dump(-1, ' ', false, Json::error_handler_t::replace);
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0
             ? 0
             : 1;
} catch (const std::exception& error) {
  std::fprintf(stderr, "lens_draw_dump: %s\n", error.what());
  return 1;
}
