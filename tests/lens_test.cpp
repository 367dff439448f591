// The tour's reader, lens, on strace logs of the four steps recorded on a real run (kept in
// tests/strace_logs, made by its `record` script): what it reads from them, the trace file it
// writes, and its page as a real browser shows it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "diagrams.h"
#include "draw.h"
#include "files.h"
#include "runner.h"

namespace ipcwalk {
namespace {

using lens::Diagram;
using lens::Micros;
namespace fs = std::filesystem;

const fs::path logs = SOURCE_DIR "/tests/strace_logs";

const std::vector<Diagram>& recorded() {
  static const std::vector<Diagram> diagrams = lens::diagrams(lens::read_run(logs));
  return diagrams;
}

std::vector<std::string> names(const std::vector<lens::Mark>& marks) {
  std::vector<std::string> found;
  for (const auto& mark : marks)
    found.push_back(mark.name);
  return found;
}

std::vector<int> values(const lens::Counter& counter) {
  std::vector<int> found;
  for (const auto& step : counter.steps)
    found.push_back(step.value);
  return found;
}

TEST(TimelineLog, JoinsSplitCallsAndSkipsTheBytesDumpedUnderThem) {
  const auto log = lens::read_log(logs / "1-pipe-forkrelay.strace");
  ASSERT_TRUE(log);
  EXPECT_EQ(log->main_pid, 6700);
  EXPECT_EQ(log->pids, (std::vector<int>{6700, 6701}));
  // "6700 1796746026.177362 write(4, "Message from parent..., 128 <unfinished ...>", then,
  // after a line of the child, "<... write resumed>) = 128 <0.000034>".
  const auto writes = log->calls_of(6700, "write");
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0].args.substr(0, 27), "4, \"Message from parent\\xef");
  EXPECT_EQ(writes[0].result, "128");
  EXPECT_EQ(writes[0].begin, Micros{1796746026177362});
  EXPECT_EQ(writes[0].end, Micros{1796746026177362 + 34});
  // The hex dumps of -e read=all and -e write=all are no calls of their own.
  for (const auto& call : log->calls)
    EXPECT_TRUE(call.pid == 6700 || call.pid == 6701) << call.name;
  EXPECT_EQ(log->ended(6701), Micros{1796746026177895});
  // exit_group never returns: it is no success, and ends where it began.
  const auto ends = log->calls_of(6701, "exit_group");
  ASSERT_EQ(ends.size(), 1U);
  EXPECT_FALSE(ends[0].succeeded());
  EXPECT_TRUE(
      std::is_sorted(log->calls.begin(), log->calls.end(),
                     [](const auto& one, const auto& other) { return one.begin < other.begin; }));
}

TEST(TimelineDiagrams, PipeLanesMarksAndTheRecordFromWriteToRead) {
  const Diagram& pipe = recorded()[0];
  ASSERT_EQ(pipe.missing, "");
  ASSERT_EQ(pipe.lanes.size(), 2U);
  EXPECT_EQ(pipe.lanes[0].label(), "forkrelay parent 6700");
  EXPECT_EQ(pipe.lanes[1].label(), "forkrelay child 6701");
  EXPECT_EQ(names(pipe.marks), (std::vector<std::string>{"pipe2", "fork", "exit", "exit"}));
  EXPECT_LT(pipe.marks[0].at, pipe.marks[1].at);
  ASSERT_EQ(pipe.spans.size(), 2U);
  const auto& write = pipe.spans[0];
  const auto& read = pipe.spans[1];
  EXPECT_EQ(write.name + "@" + std::to_string(write.lane), "write@0");
  EXPECT_EQ(read.name + "@" + std::to_string(read.lane), "read@1");
  // The child's read(3, ...): from its entry to its return, 27 microseconds by -T. It began
  // after the parent's write: the record was already there, so it is drawn as no wait.
  EXPECT_EQ(read.begin, Micros{1796746026177438});
  EXPECT_EQ(read.end - read.begin, 27);
  EXPECT_LT(write.begin, read.begin);
  EXPECT_EQ(read.look, lens::Look::busy);
  ASSERT_EQ(pipe.arrows.size(), 1U);
  const auto& arrow = pipe.arrows[0];
  EXPECT_TRUE(arrow.from >= write.begin && arrow.from <= write.end);
  EXPECT_TRUE(arrow.to >= read.begin && arrow.to <= read.end && arrow.to >= arrow.from);
}

TEST(TimelineDiagrams, ThreadsFillThenSixteenWorkersThenJoin) {
  const Diagram& threads = recorded()[1];
  ASSERT_EQ(threads.missing, "");
  ASSERT_EQ(threads.lanes.size(), 17U);
  const auto& main = threads.lanes[0];
  EXPECT_EQ(main.label(), "threetally main 6706");
  EXPECT_EQ(threads.lanes[1].label(), "threetally worker 6707");
  const auto& fill = threads.spans.front();
  ASSERT_EQ(fill.name, "fill");
  Micros last_end = 0;
  for (std::size_t lane = 1; lane < threads.lanes.size(); ++lane) {
    // Every worker lives after the fill, within main's life.
    EXPECT_GE(threads.lanes[lane].begin, fill.end);
    EXPECT_LE(threads.lanes[lane].end, main.end);
    last_end = std::max(last_end, threads.lanes[lane].end);
  }
  const auto& join = threads.spans.back();
  ASSERT_EQ(join.name, "join");
  EXPECT_EQ(join.end, last_end);
  const auto alive = values(threads.counters.at(0));
  EXPECT_EQ(alive.front(), 1);
  EXPECT_EQ(alive.back(), 0);
  EXPECT_EQ(*std::max_element(alive.begin(), alive.end()), 10);
}

TEST(TimelineDiagrams, SegmentAttachmentsOverlapDuringTheFirstPause) {
  const Diagram& segment = recorded()[2];
  ASSERT_EQ(segment.missing, "");
  ASSERT_EQ(segment.lanes.size(), 4U);
  EXPECT_EQ(names(segment.marks), (std::vector<std::string>{"shmget", "shmat", "shmdt", "shmat",
                                                            "shmdt", "shmat", "shmdt"}));
  // The later segpeek attaches once more after both have ended.
  EXPECT_EQ(values(segment.counters.at(0)), (std::vector<int>{0, 1, 2, 1, 0, 1, 0}));
  std::map<std::size_t, std::vector<lens::Span>> pauses;
  for (const auto& span : segment.spans)
    if (span.name == "pause")
      pauses[span.lane].push_back(span);
  // Both Enters came at once: each program's two getchar()s took them in one read.
  ASSERT_EQ(pauses[1].size(), 1U);
  ASSERT_EQ(pauses[2].size(), 1U);
  // segpeek attaches and detaches while segstamp sits in its first pause.
  EXPECT_LT(pauses[1][0].begin, segment.lanes[2].begin);
  EXPECT_GT(pauses[1][0].end, pauses[2][0].end);
}

TEST(TimelineDiagrams, SegmentLaterSegpeekFindsTheGreetingAfterBothEnded) {
  const Diagram& segment = recorded()[2];
  ASSERT_EQ(segment.lanes.size(), 4U);
  const auto& later = segment.lanes[3];
  EXPECT_EQ(later.label(), "segpeek 2 6763");
  EXPECT_GT(later.begin, segment.lanes[1].end);
  EXPECT_GT(later.begin, segment.lanes[2].end);
  // Its own listings through the shell, before and after it detaches.
  const auto shells = std::count_if(
      segment.spans.begin(), segment.spans.end(),
      [](const auto& span) { return span.lane == 3 && span.look == lens::Look::shell; });
  EXPECT_EQ(shells, 2);
  EXPECT_TRUE(std::any_of(segment.notes.begin(), segment.notes.end(), [](const auto& note) {
    return note.find("greeting is still there") != std::string::npos;
  }));
}

TEST(TimelineDiagrams, SemaphoreWaitEndsAfterThePostThatWakesIt) {
  const Diagram& semaphore = recorded()[3];
  ASSERT_EQ(semaphore.missing, "");
  ASSERT_EQ(semaphore.lanes.size(), 4U);
  EXPECT_EQ(semaphore.lanes[2].label(), "gatetake 2 6782");
  ASSERT_EQ(semaphore.spans.size(), 2U);
  const auto& wait = semaphore.spans[0];
  const auto& post = semaphore.spans[1];
  EXPECT_EQ(wait.name + "@" + std::to_string(wait.lane), "wait@2");
  EXPECT_EQ(post.name + "@" + std::to_string(post.lane), "post@3");
  EXPECT_EQ(wait.end - wait.begin, 123157);
  EXPECT_LT(post.begin, wait.end);
  EXPECT_EQ(values(semaphore.counters.at(0)), (std::vector<int>{1, 0, 1, 0}));
}

TEST(TimelineDiagrams, MissingLogsGiveDiagramsThatSaySo) {
  TempDir empty("timeline");
  const auto diagrams = lens::diagrams(lens::read_run(empty.path()));
  ASSERT_EQ(diagrams.size(), 4U);
  for (const auto& diagram : diagrams)
    EXPECT_NE(diagram.missing, "") << diagram.title;
  const std::string page = lens::page_html(diagrams);
  EXPECT_NE(page.find("Not recorded: gatenew"), std::string::npos);
  EXPECT_EQ(lens::trace_json(diagrams),
            "{\"traceEvents\": [\n],\n\"displayTimeUnit\": \"ms\"}\n");
}

// A log written by hand, as strace prints it.
lens::Log log_of(const std::string& text) {
  std::istringstream in(text);
  return lens::parse_log(in);
}

TEST(TimelineDiagrams, PipeReadThatBeganBeforeTheWriteIsDrawnWaiting) {
  lens::Run run;
  run.forkrelay = log_of(
      "500 1000.000000 pipe2([3, 4], 0) = 0 <0.000010>\n"
      "500 1000.000100 clone(child_stack=NULL, flags=CLONE_CHILD_SETTID|SIGCHLD) = 501 <0.000050>\n"
      "501 1000.000200 read(3,  <unfinished ...>\n"
      "500 1000.000300 write(4, \"Message\", 128) = 128 <0.000020>\n"
      "501 1000.000400 <... read resumed>\"Message\", 128) = 128 <0.000200>\n");
  const Diagram pipe = lens::pipe_diagram(run);
  ASSERT_EQ(pipe.missing, "");
  ASSERT_EQ(pipe.spans.size(), 2U);
  EXPECT_EQ(pipe.spans[1].name, "read");
  EXPECT_EQ(pipe.spans[1].look, lens::Look::blocked);
  EXPECT_NE(pipe.notes.at(1).find("began 0.10 ms before the parent's write"), std::string::npos);
}

// Times far apart (a wrong clock, a log made by hand): nothing overflows (the sanitizer build
// stops at an overflow), no step line goes below 0, and no magnified window ends before it begins.
TEST(TimelineDiagrams, TimesFarApartNeitherOverflowNorCountBelowZero) {
  const auto sane = [](const Diagram& diagram, const std::string& what) {
    for (const auto& counter : diagram.counters)
      for (const int value : values(counter))
        EXPECT_GE(value, 0) << what << ": " << counter.name;
    if (diagram.detail) {
      EXPECT_LE(diagram.detail->begin, diagram.detail->end) << what;
    }
  };
  const std::string futex = " futex(0x7f0000000000, FUTEX_";
  struct Case {
    const char* what;
    std::string wait_took;
    std::string post_at;
  };
  for (const auto& [what, took, at] :
       {Case{"a wait said to last 3e12 s, which the post ends", "3000000000000.000000",
             "1000.300000"},
        Case{"a post 1000 s after the wait ended", "0.000100", "2000.000000"}}) {
    lens::Run run;
    run.gatenew =
        log_of("100 1000.000000 link(\"/dev/shm/sem.a\", \"/dev/shm/sem.g\") = 0 <0.0>\n");
    run.gatetake_1 = log_of("101 1000.100000 mmap(NULL, 32, 3, MAP_SHARED, 3, 0) = 0x7f00 <0.0>\n");
    run.gatetake_2 = log_of("102 1000.200000" + futex + "WAIT_BITSET, 0) = 0 <" + took + ">\n");
    run.gategive = log_of("103 " + at + futex + "WAKE, 1) = 1 <0.000010>\n");
    sane(lens::semaphore_diagram(run), what);
  }
  lens::Run run;
  run.segstamp = log_of("200 1000.000000 shmdt(0x7f0000000000) = 0 <0.000010>\n");
  sane(lens::segment_diagram(run), "a detach without an attach");
}

TEST(TimelineJson, ParsesAndHoldsWhatTraceViewersNeed) {
  std::istringstream text(lens::trace_json(recorded()));
  const Json trace = parse_json(text);
  EXPECT_TRUE((text >> std::ws).eof());
  EXPECT_EQ(trace["displayTimeUnit"].text(), "ms");
  std::map<std::pair<double, double>, std::vector<std::pair<double, double>>> spans;  // per lane
  std::map<std::string, const Json*> flow_starts;
  std::vector<const Json*> flow_ends;
  std::map<double, std::string> processes;
  for (const Json& event : trace["traceEvents"].items()) {
    const std::string& phase = event["ph"].text();
    const std::string& category = event["cat"].text();
    EXPECT_TRUE(category == "pipe" || category == "threads" || category == "segment" ||
                category == "semaphore");
    const auto lane = std::make_pair(event["pid"].number(), event["tid"].number());
    if (phase == "X") {
      ASSERT_TRUE(event.has("dur")) << event["name"].text();
      spans[lane].emplace_back(event["ts"].number(), event["ts"].number() + event["dur"].number());
    } else if (phase == "s") {
      flow_starts[category + std::to_string(event["id"].number())] = &event;
    } else if (phase == "f") {
      EXPECT_EQ(event["bp"].text(), "e");
      flow_ends.push_back(&event);
    } else if (phase == "M" && event["name"].text() == "process_name") {
      processes[lane.first] = event["args"]["name"].text();
    }
  }
  std::set<std::string> programs;
  for (const auto& [pid, name] : processes)
    programs.insert(name);
  EXPECT_EQ(programs, (std::set<std::string>{"forkrelay", "gategive", "gatenew", "gatetake",
                                             "segmake", "segpeek", "segstamp", "threetally"}));
  // Spans on one lane nest: each one either ends before the next begins or holds it whole.
  for (auto& [lane, list] : spans) {
    std::sort(list.begin(), list.end());
    for (std::size_t index = 1; index < list.size(); ++index)
      EXPECT_TRUE(list[index].first >= list[index - 1].second ||
                  list[index].second <= list[index - 1].second);
  }
  const auto inside_a_span = [&spans](const Json& event) {
    const auto& list = spans[{event["pid"].number(), event["tid"].number()}];
    return std::any_of(list.begin(), list.end(), [&](const auto& span) {
      return event["ts"].number() >= span.first && event["ts"].number() <= span.second;
    });
  };
  ASSERT_EQ(flow_ends.size(), 2U);
  ASSERT_EQ(flow_starts.size(), 2U);
  for (const Json* end : flow_ends) {
    const Json* start =
        flow_starts.at((*end)["cat"].text() + std::to_string((*end)["id"].number()));
    EXPECT_GE((*end)["ts"].number(), (*start)["ts"].number());
    EXPECT_TRUE(inside_a_span(*start) && inside_a_span(*end)) << (*end)["name"].text();
  }
}

TEST(TimelineTool, WritesBothFilesOrSaysWhatFailed) {
  TempDir out("timeline");
  const Result made = run(LENS_TOOL, {"timeline", logs.string(), out.path().string()});
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(read_file(out.path() / "timeline.json"), lens::trace_json(recorded()));
  const std::string page = read_file(out.path() / "timeline.html");
  EXPECT_EQ(page, lens::page_html(recorded()));
  // Self-contained: nothing to run, nothing to fetch.
  for (const char* outside : {"<script", "src=", "href=", "@import", "url(http"})
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;

  const Result no_folder = run(LENS_TOOL, {"timeline", logs.string(), (out.path() / "none").string()});
  EXPECT_EQ(no_folder.status, 1);
  EXPECT_EQ(no_folder.err,
            "lens: " + (out.path() / "none").string() + ": no such folder to write into\n");
  const Result no_arguments = run(LENS_TOOL);
  EXPECT_EQ(no_arguments.status, 1);
  EXPECT_EQ(no_arguments.err.substr(0, 6), "lens: ");
}

// Chromium, where it is installed: found on PATH as Debian installs it.
std::string chromium() {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    for (const char* name : {"chromium", "chromium-browser"}) {
      const fs::path candidate = fs::path(folder) / name;
      if (!folder.empty() && access(candidate.c_str(), X_OK) == 0)
        return candidate.string();
    }
  }
  return "";
}

TEST(TimelinePage, ChromiumShowsTheFourDiagrams) {
  const std::string browser = chromium();
  if (browser.empty())
    GTEST_SKIP() << "no chromium on PATH";
  TempDir out("timeline");
  ASSERT_EQ(run(LENS_TOOL, {"timeline", logs.string(), out.path().string()}).status, 0);
  std::ofstream(out.path() / "blank.html") << "<!DOCTYPE html><title>blank</title>\n";
  // Headless, as root too, with a profile of its own; each run bounded in time.
  const auto show = [&](const std::string& page, const std::vector<std::string>& what) {
    std::vector<std::string> args{"--headless",
                                  "--no-sandbox",
                                  "--disable-gpu",
                                  "--hide-scrollbars",
                                  "--user-data-dir=" + (out.path() / "profile").string(),
                                  "--window-size=1000,2600"};
    args.insert(args.end(), what.begin(), what.end());
    args.push_back("file://" + (out.path() / page).string());
    Options options;
    options.timeout = 90s;
    const Result shown = run(browser, args, options);
    EXPECT_FALSE(shown.timed_out);
    EXPECT_EQ(shown.status, 0) << shown.err;
    return shown.out;
  };
  const std::string dom = show("timeline.html", {"--dump-dom"});
  EXPECT_EQ(count(dom, "<svg"), 4U);
  for (const char* title : {">1. Pipe: forkrelay</title>", ">2. Threads: threetally</title>",
                            ">3. Shared memory: segmake, segstamp, segpeek</title>",
                            ">4. Named semaphore: gatenew, gatetake, gategive</title>"})
    EXPECT_NE(dom.find(title), std::string::npos) << title;

  // Not blank: the diagrams' lines and text make the screenshot far larger than that of an empty
  // page of the same size, which compresses to next to nothing.
  show("timeline.html", {"--screenshot=" + (out.path() / "timeline.png").string()});
  show("blank.html", {"--screenshot=" + (out.path() / "blank.png").string()});
  const std::string shot = read_file(out.path() / "timeline.png");
  const std::string blank = read_file(out.path() / "blank.png");
  ASSERT_EQ(shot.substr(0, 8), "\x89PNG\r\n\x1a\n");
  ASSERT_EQ(blank.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_GT(shot.size(), 10 * blank.size());
}

}  // namespace
}  // namespace ipcwalk
