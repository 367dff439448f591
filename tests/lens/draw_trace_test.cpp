// The trace file (lens/draw/trace.cpp) drawn from figures: what trace viewers need of strace's
// panels, names that JSON cannot hold raw, and the scheduler's records as the kernel's own
// trace text, each run after strace's run and after the one before it.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "draw/draw.h"
#include "draw_figures.h"
#include "files.h"
#include "runner.h"

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;
using lens::Micros;

const std::vector<lens::Figure>& recorded() {
  static const std::vector<lens::Figure> figures = recorded_figures();
  return figures;
}

// A timed event of a trace file, as a viewer reads it: phase, name, category, lane, time and
// length (flows without their ids, which only pair them).
using Event = std::tuple<std::string, std::string, std::string, int, int, double, double>;
std::multiset<Event> timed(const Json& trace) {
  std::multiset<Event> events;
  for (const Json& event : trace.at("traceEvents")) {
    const auto phase = event.at("ph").get<std::string>();
    if (phase == "M")
      continue;
    std::string name = event.at("name");
    if (phase == "C")
      name += "=" + event.at("args").begin().value().dump();
    events.emplace(phase, name, event.at("cat"), event.at("pid"), event.at("tid"), event.at("ts"),
                   event.value("dur", 0.0));
  }
  return events;
}

// Faults: a kind of event lost or its times shifted in the move from today's drawing (the lens
// tool's timeline.json, from the same logs) to the drawing from figures; lanes named otherwise.
TEST(DrawTrace, HoldsTheEventsOfTodaysTraceFile) {
  TempDir out("trace");
  const Result made = run(LENS_TOOL, {"timeline", strace_logs.string(), out.path().string()});
  ASSERT_EQ(made.status, 0) << made.err;
  const Json today = Json::parse(read_file(out.path() / "timeline.json"));
  const Json drawn = Json::parse(lens::trace_json(recorded()));
  EXPECT_EQ(drawn.at("displayTimeUnit"), "ms");
  EXPECT_EQ(timed(drawn), timed(today));
  const auto thread_names = [](const Json& trace) {
    std::set<std::string> names;
    for (const Json& event : trace.at("traceEvents"))
      if (event.at("name") == "thread_name")
        names.insert(event.at("args").at("name").get<std::string>());
    return names;
  };
  EXPECT_EQ(thread_names(drawn), thread_names(today));
  EXPECT_GE(timed(drawn).size(), 50U);
}

TEST(DrawTrace, ParsesAndHoldsWhatTraceViewersNeed) {
  const Json trace = Json::parse(lens::trace_json(recorded()));
  using Lane = std::pair<int, int>;  // pid, tid
  std::map<Lane, std::vector<std::pair<double, double>>> spans;
  std::map<std::string, const Json*> flow_starts;
  std::vector<const Json*> flow_ends;
  std::map<int, std::string> processes;
  for (const Json& event : trace.at("traceEvents")) {
    const auto phase = event.at("ph").get<std::string>();
    const auto category = event.at("cat").get<std::string>();
    EXPECT_TRUE(category == "pipe" || category == "threads" || category == "segment" ||
                category == "semaphore");
    const Lane lane{event.at("pid").get<int>(), event.at("tid").get<int>()};
    if (phase == "X") {
      ASSERT_TRUE(event.contains("dur")) << event.at("name");
      const auto ts = event.at("ts").get<double>();
      spans[lane].emplace_back(ts, ts + event.at("dur").get<double>());
    } else if (phase == "s") {
      EXPECT_EQ(flow_starts.count(event.at("id").dump()), 0U);  // ids pair one flow each
      flow_starts[event.at("id").dump()] = &event;
    } else if (phase == "f") {
      EXPECT_EQ(event.at("bp"), "e");
      flow_ends.push_back(&event);
    } else if (phase == "M" && event.at("name") == "process_name") {
      EXPECT_EQ(processes.count(lane.first), 0U) << lane.first;  // named once
      processes[lane.first] = event.at("args").at("name").get<std::string>();
    }
  }
  // Each process is named after the program it runs.
  std::set<std::string> names;
  for (const auto& [pid, name] : processes)
    names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"forkrelay", "threetally", "segmake", "segstamp",
                                          "segpeek", "gatenew", "gatetake", "gategive"}));
  // Spans on one lane nest: each one either ends before the next begins or holds it whole.
  for (auto& [lane, list] : spans) {
    std::sort(list.begin(), list.end());
    for (std::size_t index = 1; index < list.size(); ++index)
      EXPECT_TRUE(list[index].first >= list[index - 1].second ||
                  list[index].second <= list[index - 1].second);
  }
  const auto inside_a_span = [&spans](const Json& event) {
    const auto& list = spans[{event.at("pid").get<int>(), event.at("tid").get<int>()}];
    const auto ts = event.at("ts").get<double>();
    return std::any_of(list.begin(), list.end(),
                       [ts](const auto& span) { return ts >= span.first && ts <= span.second; });
  };
  ASSERT_EQ(flow_ends.size(), 2U);
  ASSERT_EQ(flow_starts.size(), 2U);
  for (const Json* end : flow_ends) {
    const Json* start = flow_starts.at(end->at("id").dump());
    EXPECT_EQ(start->at("cat"), end->at("cat"));
    EXPECT_GE(end->at("ts").get<double>(), start->at("ts").get<double>());
    EXPECT_TRUE(inside_a_span(*start) && inside_a_span(*end)) << end->at("name");
  }
}

// A figure of one process whose names hold what JSON and HTML cannot take raw: control
// characters, quotes, a backslash, and (where `stray` is set) a byte that is not UTF-8.
lens::Figure oddly_named(bool stray) {
  const std::string program = stray ? "seg\xffpeek" : "seg\x01peek\n\"q\" \\ \x7f <b>&";
  lens::Figure figure = strace_figure({program}, 1000);
  figure.panels[0].spans.push_back({0, lens::Shade::blocked, 100, 200, "wait\tfor\x1f", -1});
  figure.panels[0].counters.push_back(counter("alive\x02", {{0, 1}, {500, 0}}));
  return figure;
}

std::set<std::string> texts_of(const Json& trace) {
  std::set<std::string> texts;
  for (const Json& event : trace.at("traceEvents")) {
    texts.insert(event.at("name").get<std::string>());
    const Json args = event.value("args", Json::object());
    for (const auto& [key, value] : args.items()) {
      texts.insert(key);
      if (value.is_string())
        texts.insert(value.get<std::string>());
    }
  }
  return texts;
}

// A name that JSON cannot hold raw comes out escaped, and a strict reader reads back the same
// text; a byte that is not UTF-8 (which would make the whole file unreadable) becomes U+FFFD.
TEST(DrawTrace, NamesWithControlCharactersReadBackTheSame) {
  const lens::Figure odd = oddly_named(false);
  const std::set<std::string> texts = texts_of(Json::parse(lens::trace_json({odd})));
  const lens::Panel& panel = odd.panels[0];
  for (const std::string& name : {panel.lanes[0].name, panel.lanes[0].name + " 9",
                                  panel.spans[0].label, panel.counters[0].name})
    EXPECT_TRUE(texts.count(name)) << Json(name).dump();
  const lens::Figure stray = oddly_named(true);
  EXPECT_TRUE(texts_of(Json::parse(lens::trace_json({stray}))).count("seg\xef\xbf\xbdpeek"));
}

// One line of the kernel's trace text in a trace file, as its shape gives it.
struct TextLine {
  std::string task;  // the task column's name
  int pid = 0;
  int cpu = 0;
  double seconds = 0;
  std::string event;                // "sched_switch", "sched_waking", "sched_wakeup_new"
  std::vector<std::string> fields;  // switch: prev's comm, pid, prio, state, next's comm, pid,
                                    // prio; a wake-up: comm, pid, prio, target CPU
};

// The lines of the trace file's kernel text (systemTraceEvents), each checked against the shape
// that Perfetto's reader of that text takes: "TASK-PID [CPU] FLAGS SECONDS: EVENT: FIELDS", the
// fields in the kernel's own print format, no name holding a blank, an "=" or a control
// character (any of which would cut a field or a line short).
std::vector<TextLine> kernel_text(const Json& trace) {
  std::vector<TextLine> lines;
  if (!trace.contains("systemTraceEvents"))
    return lines;
  EXPECT_TRUE(trace.at("systemTraceEvents").is_string());
  const auto text = trace.at("systemTraceEvents").get<std::string>();
  EXPECT_TRUE(std::none_of(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == '\x7f';
  }));
  const std::regex shape(R"(^ *(.+)-(\d+) +\[(\d{3,})\] [^ ]{4,5} +(\d+\.\d{6}): )"
                         R"((sched_switch|sched_waking|sched_wakeup_new): (.*)$)");
  const std::regex switched(
      R"(^prev_comm=([^ =]*) prev_pid=(\d+) prev_prio=(-?\d+) prev_state=([A-Za-z+|?]+) )"
      R"(==> next_comm=([^ =]*) next_pid=(\d+) next_prio=(-?\d+)$)");
  const std::regex woken(R"(^comm=([^ =]*) pid=(\d+) prio=(-?\d+) target_cpu=(\d{3,})$)");
  std::istringstream in(text);
  bool header = true;
  for (std::string line; std::getline(in, line);) {
    if (header && line.starts_with("#"))
      continue;
    header = false;
    std::smatch parts;
    std::smatch fields;
    if (!std::regex_match(line, parts, shape)) {
      ADD_FAILURE() << line;
      continue;
    }
    TextLine read{parts[1], std::stoi(parts[2]), std::stoi(parts[3]), std::stod(parts[4]), parts[5],
                  {}};
    const std::string rest = parts[6];
    if (!std::regex_match(rest, fields, read.event == "sched_switch" ? switched : woken)) {
      ADD_FAILURE() << line;
      continue;
    }
    for (std::size_t index = 1; index < fields.size(); ++index)
      read.fields.push_back(fields[index]);
    lines.push_back(read);
  }
  return lines;
}

// Where the kernel text goes back in time on a CPU, or a switch's prev_pid is not the task that
// the previous switch on that CPU put there: how many such switches.
int broken_chains(const std::vector<TextLine>& lines) {
  std::map<int, double> last_time;
  std::map<int, std::string> running;
  int broken = 0;
  for (const TextLine& line : lines) {
    EXPECT_GE(line.seconds, last_time[line.cpu]) << line.cpu;
    last_time[line.cpu] = line.seconds;
    if (line.event != "sched_switch")
      continue;
    if (running.count(line.cpu) && running[line.cpu] != line.fields[1])
      ++broken;
    running[line.cpu] = line.fields[5];
  }
  return broken;
}

// The strace run's end in a trace file: the latest end of its timed events, in microseconds.
double strace_end(const Json& trace) {
  double end = 0;
  for (const Json& event : trace.at("traceEvents"))
    if (event.at("ph") != "M" && event.value("s", "") != "g")
      end = std::max(end, event.at("ts").get<double>() + event.value("dur", 0.0));
  return end;
}

std::vector<double> run_marks(const Json& trace) {
  std::vector<double> marks;
  for (const Json& event : trace.at("traceEvents"))
    if (event.value("s", "") == "g")
      marks.push_back(event.at("ts").get<double>() / 1e6);
  return marks;
}

lens::KernelEvent switched(std::int64_t at, int cpu, lens::KernelTask prev, std::string state,
                           lens::KernelTask next) {
  return {lens::KernelEvent::Kind::switched,
          at,
          cpu,
          std::move(prev),
          std::move(state),
          std::move(next),
          -1};
}
lens::KernelEvent woke(std::int64_t at, int cpu, lens::KernelTask waker, lens::KernelTask woken,
                       int target, bool new_task = false) {
  return {new_task ? lens::KernelEvent::Kind::wakeup_new : lens::KernelEvent::Kind::waking,
          at,
          cpu,
          std::move(waker),
          "",
          std::move(woken),
          target};
}

// Faults: the scheduler's run laid on strace's run (another run, read as simultaneous) or two
// steps' runs on one another; a name that breaks the text's line or fields (a blank, "=", a
// control character, a byte not UTF-8); the idle task not named as the kernel names it; a
// switch lost or written twice; an event before the step's clock, or one that the text cannot
// tell, written anyway.
TEST(DrawTrace, SchedulerRunsAreTheKernelsTraceTextAfterStracesRun) {
  std::vector<lens::Figure> steps = recorded();
  ASSERT_EQ(steps.size(), 4U);
  const lens::KernelTask idle{"swapper/0", 0, 120};
  const lens::KernelTask worker{"prog worker", 21, 120};
  const lens::KernelTask odd{"a=b\x01\n", 22, 100};
  const lens::KernelTask stray{"\xff\xfe-1 [000]", 23, 120};
  constexpr std::int64_t second = 1'000'000'000;
  lens::KernelText pipe;
  pipe.clock = 5'000'000;  // 5 s on perf's clock
  pipe.events = {
      switched(4 * second, 0, idle, "R", worker),  // before the clock: not the step's
      switched(5 * second, 0, idle, "R", worker),
      woke(5 * second + 1000, 0, worker, odd, 1),
      woke(5 * second + 1500, 0, worker, odd, -1),  // no CPU to tell: left out
      switched(5 * second + 2000, 1, {"swapper/1", 0, 120}, "R", odd),
      switched(5 * second + 3000, 1, odd, "S\n==> x", stray),
      woke(5 * second + 3500, 1, stray, {"new", 24, 120}, 0, true),
      switched(5 * second + 4000, 0, worker, "R+", idle),
  };
  lens::KernelText semaphore;
  semaphore.clock = 1'000'000;  // an earlier clock than the pipe's: its own
  semaphore.events = {switched(second, 0, idle, "R", {"gategive", 30, 120}),
                      switched(second + 9000, 0, {"gategive", 30, 120}, "D|K", idle)};
  steps[0].kernel = pipe;
  steps[0].panels.push_back(scheduler_panel({"forkrelay"}, 3000));
  steps[3].kernel = semaphore;
  steps[3].panels.push_back(scheduler_panel({"gategive"}, 10));
  const Json trace = Json::parse(lens::trace_json(steps));
  const std::vector<TextLine> lines = kernel_text(trace);
  ASSERT_EQ(lines.size(), 8U);
  EXPECT_EQ(broken_chains(lines), 0);
  std::vector<std::string> told;
  for (const TextLine& line : lines)
    told.push_back(line.task + "-" + std::to_string(line.pid) + " " + line.event + " " +
                   line.fields[0] + " " + line.fields.back());
  EXPECT_EQ(told, (std::vector<std::string>{
                      "<idle>-0 sched_switch swapper/0 120",
                      "prog\u2420worker-21 sched_waking a\uff1db\u2401\u240a 001",
                      "<idle>-0 sched_switch swapper/1 100",
                      "a\uff1db\u2401\u240a-22 sched_switch a\uff1db\u2401\u240a 120",
                      "\ufffd\ufffd-1\u2420[000]-23 sched_wakeup_new new 000",
                      "prog\u2420worker-21 sched_switch prog\u2420worker 120",
                      "<idle>-0 sched_switch swapper/0 120",
                      "gategive-30 sched_switch gategive 120",
                  }));
  EXPECT_EQ(lines[3].fields[3], "S");  // the state's letters only
  // strace's run first, then the pipe's scheduler's run, then the semaphore's, each with a mark.
  EXPECT_GT(lines.front().seconds * 1e6, strace_end(trace));
  EXPECT_GT(lines[6].seconds, lines[5].seconds + 0.5);
  EXPECT_NEAR(lines[5].seconds - lines[0].seconds, 0.000004, 1e-9);
  const std::vector<double> marks = run_marks(trace);
  ASSERT_EQ(marks.size(), 2U);
  EXPECT_DOUBLE_EQ(marks[0], lines[0].seconds);
  EXPECT_DOUBLE_EQ(marks[1], lines[6].seconds);
  // No stand-in processes for CPUs: every pid is a program's, or the marks' 0.
  for (const Json& event : trace.at("traceEvents"))
    EXPECT_LT(event.at("pid").get<int>(), 4194304);
  // Without a scheduler's record, no kernel text at all.
  EXPECT_FALSE(Json::parse(lens::trace_json(recorded())).contains("systemTraceEvents"));
}

// What a perf record holds from `from` (microseconds on perf's clock) on: its switches, and how
// many of them have a prev_pid other than what the record's previous switch on that CPU put there.
std::pair<int, int> switches_in(const fs::path& record, Micros from) {
  const std::regex switch_line(
      R"(\[(\d+)\] +(\d+)\.(\d{6}): +sched:sched_switch: .* prev_pid=(\d+) .* next_pid=(\d+) )");
  std::ifstream in(record);
  std::map<std::string, std::string> running;
  int switches = 0;
  int broken = 0;
  for (std::string line; std::getline(in, line);) {
    std::smatch parts;
    if (!std::regex_search(line, parts, switch_line) ||
        std::stoll(parts[2]) * 1'000'000 + std::stoll(parts[3]) < from)
      continue;
    ++switches;
    if (running.count(parts[1]) && running[parts[1]] != parts[4])
      ++broken;
    running[parts[1]] = parts[5];
  }
  return {switches, broken};
}

// Faults, on perf's records of the four steps: a switch of the record lost or written twice in
// the kernel text, or one out of order on its CPU (a switch whose prev_pid is not what the
// previous one put there, where the record has it); the steps' runs laid on strace's run or on
// one another.
TEST(DrawTrace, SchedulerRunsFromTheRecordsAreTheirKernelText) {
  const std::vector<std::string> samples{"1-pipe-uncut", "2-threads-threetally", "3-segment",
                                         "4-semaphore"};
  const std::vector<lens::Figure> read =
      recorded_figures({"pipe=" + samples[0], "threads=" + samples[1], "segment=" + samples[2],
                        "semaphore=" + samples[3]});
  ASSERT_EQ(read.size(), samples.size());
  const Json trace = Json::parse(lens::trace_json(read));
  const std::vector<TextLine> lines = kernel_text(trace);
  std::vector<double> marks = run_marks(trace);
  ASSERT_EQ(marks.size(), samples.size());
  ASSERT_FALSE(lines.empty());
  EXPECT_GE(marks.front() * 1e6, strace_end(trace));
  marks.push_back(lines.back().seconds + 1);
  for (std::size_t step = 0; step < samples.size(); ++step) {
    ASSERT_TRUE(read[step].kernel) << samples[step];
    std::vector<TextLine> run;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(run), [&](const TextLine& line) {
      return line.seconds >= marks[step] && line.seconds < marks[step + 1];
    });
    ASSERT_FALSE(run.empty()) << samples[step];
    EXPECT_LT(run.front().seconds, marks[step] + 0.5) << samples[step];
    const auto [switches, broken] =
        switches_in(perf_logs / (samples[step] + ".perf"), read[step].kernel->clock);
    const auto written = std::count_if(
        run.begin(), run.end(), [](const TextLine& line) { return line.event == "sched_switch"; });
    EXPECT_EQ(written, switches) << samples[step];
    EXPECT_EQ(broken_chains(run), broken) << samples[step];
  }
}

}  // namespace
}  // namespace ipcwalk
