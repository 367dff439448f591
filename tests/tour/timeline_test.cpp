// The tour's timeline: drawn from what the tour recorded under strace and perf, whatever perf
// does or may not do, and never written through a link or into a named pipe.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tour/support.h"

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;

// The tour draws the timeline from what it recorded; the lens it runs here notes the files it
// is given first, so that the test sees that the tour recorded each run under the name lens
// reads it by.
TEST_F(Tour, DrawsTheRunAsATimeline) {
  if (!strace_works())
    GTEST_SKIP() << "strace cannot trace here";
  TempDir folder("timeline"), noting("noting-lens");
  const std::string out_dir = folder / "drawn";  // the tour makes it
  const std::string lens = fs::path(bin).parent_path() / "tools" / "lens";
  const std::string listed = noting / "recorded";
  fs::create_directories(noting.path() / "bin");
  fs::create_directories(noting.path() / "tools");
  for (const std::string& name : programs)
    fs::create_symlink(fs::path(bin) / name, noting.path() / "bin" / name);
  write_script(noting / "tools/lens", "[ \"$1\" != timeline ] || ls -- \"$2\" >'" + listed +
                                          "'\nexec '" + lens + "' \"$@\"\n");
  Result result = tour({"--bin", noting / "bin", "--timeline", out_dir}, {.timeout = 280s});
  ASSERT_EQ(result.status, 0) << result.err << result.out;
  std::set<std::string> recorded;
  std::istringstream listing(read_file(listed));
  for (std::string file; std::getline(listing, file);)
    recorded.insert(file);
  const NamedRecords records = named_records(lens);
  ASSERT_EQ(records.strace.size(), 10u);
  EXPECT_EQ(records.perf.size(), 8u);
  for (const std::string& name : records.strace)
    EXPECT_TRUE(recorded.count(name)) << name << " not recorded: " << read_file(listed);
  for (const std::string& name : recorded)
    EXPECT_TRUE(!name.ends_with(".strace") || records.strace.count(name)) << name << " unnamed";
  EXPECT_NE(said(result.out, out_dir + "/timeline.html (open it in a browser)"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find(out_dir + "/timeline.json"), std::string::npos) << result.out;
  EXPECT_TRUE(fs::is_regular_file(out_dir + "/timeline.html"));
  // The kernel views read strace's logs with their timestamps as well.
  expect_pipe_and_thread_views(result.out);

  std::ifstream file(out_dir + "/timeline.json");
  const Json trace = Json::parse(file);
  const Json& events = trace.at("traceEvents");
  ASSERT_FALSE(events.empty());
  // A lane is a process and a thread of it.
  const auto lane_of = [](const Json& event) {
    return std::pair{event.at("pid").get<double>(), event.at("tid").get<double>()};
  };
  std::set<std::string> named;
  std::map<std::pair<double, double>, std::string> lanes;  // thread names
  std::map<std::pair<double, double>, int> on_lane;
  for (const Json& event : events) {
    EXPECT_TRUE(std::set<std::string>({"pipe", "threads", "segment", "semaphore"})
                    .count(event.at("cat").get<std::string>()))
        << event.at("name");
    if (event.at("ph") != "M")
      ++on_lane[lane_of(event)];
    else if (event.at("name") == "process_name")
      named.insert(event.at("args").at("name").get<std::string>());
    else if (event.at("name") == "thread_name")
      lanes[lane_of(event)] = event.at("args").at("name").get<std::string>();
  }
  for (const std::string& name : programs)
    EXPECT_TRUE(named.count(name)) << name << " not named";
  EXPECT_FALSE(lanes.empty()) << "no lane named";
  for (const auto& [lane, name] : lanes)
    EXPECT_GT(on_lane[lane], 0) << "no events on the lane " << name;

  // Both arrows: from the pipe's write to the read, from the give to the waiting take.
  for (const auto& [cat, id] : {std::pair{"pipe", 1.0}, std::pair{"semaphore", 2.0}}) {
    std::optional<double> from, to;
    for (const Json& event : events) {
      const auto phase = event.at("ph").get<std::string>();
      if ((phase == "s" || phase == "f") && event.at("cat") == cat &&
          event.at("id").get<double>() == id)
        (phase == "s" ? from : to) = event.at("ts").get<double>();
    }
    ASSERT_TRUE(from && to) << cat << " arrow missing";
    EXPECT_LE(*from, *to) << cat << " arrow points back in time";
  }
  // The second gatetake's wait ends after gategive's post.
  std::optional<double> wait_end, post;
  for (const Json& event : events) {
    const std::string lane = lanes[lane_of(event)];
    if (event.at("name") == "wait" && lane.rfind("gatetake 2", 0) == 0)
      wait_end = event.at("ts").get<double>() + event.at("dur").get<double>();
    if (event.at("name") == "post" && lane.rfind("gategive", 0) == 0)
      post = event.at("ts").get<double>();
  }
  ASSERT_TRUE(wait_end && post);
  EXPECT_GT(*wait_end, *post);

  // Where perf may record the scheduler, each step ran once more under it: the trace holds the
  // kernel's trace text of each step's run, with a mark where each begins, and the page draws
  // the scheduler's view of each.
  if (!perf_records())
    GTEST_SKIP() << "perf may not record the scheduler here: the CPUs' view is not checked";
  EXPECT_NE(said(result.out, "\n## Each step once more, without strace"), std::string::npos);
  EXPECT_EQ(said(result.out, "no view of the CPUs"), std::string::npos) << result.out;
  for (const std::string& name : records.perf)
    EXPECT_TRUE(recorded.count(name)) << name << " not recorded: " << read_file(listed);
  std::size_t runs = 0;
  for (const Json& event : events)
    runs += event.at("ph") == "i" && event.value("s", "") == "g";
  EXPECT_EQ(runs, 4u);
  ASSERT_TRUE(trace.contains("systemTraceEvents"));
  EXPECT_GT(count(trace.at("systemTraceEvents").get<std::string>(), ": sched_switch: prev_comm="),
            0u);
  const std::string page = read_file(out_dir + "/timeline.html");
  EXPECT_EQ(count(page, "The scheduler's view below is the same step run again"), 4u);
  // What both runs of threetally cost, as the tour counted it, says where the fill's time went.
  EXPECT_TRUE(std::regex_search(page, std::regex("this run spent [0-9.]+ ms in the kernel")));
  EXPECT_TRUE(
      std::regex_search(page, std::regex("Run again under perf, the step spent [0-9.]+ ms")));
}

// Where perf may not record, the steps run once more under lens's watcher, and the timeline keeps
// a view of the CPUs: schedstat's.
void expect_the_schedstat_pass(const std::string& out) {
  EXPECT_NE(said(out, "\n## Each step once more, without strace, each task's schedstat"),
            std::string::npos)
      << out;
  EXPECT_EQ(said(out, "no view of the CPUs"), std::string::npos) << out;
}

// Where perf may not record the scheduler (an ordinary user, a container: a stand-in perf that
// refuses as perf does), the tour draws strace's timeline, runs each step once more under lens's
// watcher, and the page gives each of threetally's workers its time on a CPU and its time waiting
// for one; the end says in one line where the CPU view comes from, and why not perf. Faults: no
// CPU view at all where perf refuses; a worker's row lost (its schedstat read once its /proc entry
// had gone, or never); a step's table missing; why perf refused left unsaid.
TEST_F(Tour, WherePerfRefusesTheCpuViewComesFromSchedstat) {
  if (!strace_works())
    GTEST_SKIP() << "strace cannot trace here: nor can the watcher";
  TempDir tools("refusing-perf"), folder("timeline");
  write_script(tools / "perf",
               "echo 'Error: Access to performance monitoring is limited.' >&2\n"
               "exit 255\n");
  set_env("PATH", path_with(tools.path()));
  Result result = tour({"--bin", bin, "--timeline", folder / "drawn"}, {.timeout = 280s});
  EXPECT_EQ(result.status, 0) << result.err;
  // As root, perf's own words; otherwise how to let perf record.
  EXPECT_NE(
      said(result.out,
           "\n## Its view of the CPUs is each thread's time on a CPU and waiting for one, from "
           "schedstat (/proc); perf's would also show which CPU, when, and who woke whom, but " +
               std::string(geteuid() == 0 ? "perf cannot record the scheduler's events here "
                                            "(Error: Access to performance monitoring is "
                                            "limited.).\n"
                                          : "perf may not record the scheduler here "
                                            "(kernel.perf_event_paranoid is ")),
      std::string::npos)
      << result.out;
  expect_the_schedstat_pass(result.out);
  const std::string page = read_file(folder / "drawn/timeline.html");
  EXPECT_EQ(count(page, "<div class=\"totals\">"), 4U);
  const std::size_t threads = page.find("<section id=\"threads\">");
  ASSERT_NE(threads, std::string::npos);
  const std::string section = page.substr(threads, page.find("</section>", threads) - threads);
  const std::regex worker(
      "<tr><th scope=\"row\">worker</th><td>tid [0-9]+</td><td>[0-9.]+ ms</td>"
      "<td>([0-9.]+) (ms|\u00b5s)</td><td>[0-9.]+ (ms|\u00b5s)</td>");
  std::size_t workers = 0;
  for (auto found = std::sregex_iterator(section.begin(), section.end(), worker);
       found != std::sregex_iterator(); ++found, ++workers)
    EXPECT_GT(std::stod((*found)[1]), 0) << found->str();
  EXPECT_EQ(workers, 16U) << section;
  EXPECT_TRUE(std::regex_search(section, std::regex("; [1-9][0-9]* CPUs to run its threads</p>")));
}

// Root's tour may be run with another user's HOME (sudo -E) or PERF_* settings: perf, which
// fills a build-id cache with a copy of the kernel's symbols by default, writes nothing outside
// the tour's own folder and the timeline's, and never through a link planted in that HOME.
TEST_F(Tour, ThePerfRecordingWritesNothingOutsideItsOwnFolders) {
  if (!strace_works() || !perf_records())
    GTEST_SKIP() << "strace or perf cannot record here";
  TempDir home("their-home"), theirs("their-folder"), elsewhere("elsewhere");
  fs::create_directory_symlink(theirs.path(), home / ".debug");
  std::ofstream(elsewhere / "perfconfig") << "[buildid]\n\tdir = " << elsewhere / "cache"
                                          << "\n";
  set_env("HOME", home.path().string());
  set_env("PERF_BUILDID_DIR", elsewhere / "buildid");
  set_env("PERF_CONFIG", elsewhere / "perfconfig");
  Result result = tour({"--bin", bin, "--timeline", elsewhere / "drawn"}, {.timeout = 280s});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(said(result.out, "no view of the CPUs"), std::string::npos) << result.out;
  EXPECT_TRUE(fs::is_empty(theirs.path())) << "perf wrote through the planted link";
  std::set<std::string> written;
  for (const auto& entry : fs::recursive_directory_iterator(elsewhere.path()))
    written.insert(fs::relative(entry.path(), elsewhere.path()));
  EXPECT_EQ(written, (std::set<std::string>{"perfconfig", "drawn", "drawn/timeline.html",
                                            "drawn/timeline.json"}));
  EXPECT_EQ(std::distance(fs::directory_iterator(home.path()), fs::directory_iterator()), 1);
}

// Whatever perf does, the tour draws strace's timeline and ends with status 0; a step that perf
// could not record has no CPU view, and one line says which and why; where perf cannot record at
// all, the CPU view comes from schedstat, and one line says why not perf. Stand-ins for perf: one
// killed while it records step 2, one that lacks one of the events the tour records.
TEST_F(Tour, APerfThatFailsCostsOnlyTheCpuViewItCouldNotRecord) {
  if (!strace_works() || !perf_records())
    GTEST_SKIP() << "strace or perf cannot record here";
  const std::string perf = command_path("perf");
  TempDir killed("killed-perf"), lacking("lacking-perf"), folder("timeline");
  write_script(killed / "perf",
               "case \"$*\" in *record*2-threads.data*)\n"
               "  (sleep 0.5; kill -KILL $$) &\n"
               "esac\n"
               "exec " +
                   perf + " \"$@\"\n");
  write_script(lacking / "perf",
               "case \"$*\" in *sched_wakeup_new*)\n"
               "  echo \"event syntax error: 'sched:sched_wakeup_new'\" >&2\n"
               "  exit 129\n"
               "esac\n"
               "exec " +
                   perf + " \"$@\"\n");
  // Each first on PATH in turn.
  const std::string with_killed = path_with(killed.path());
  const std::string with_lacking = path_with(lacking.path());
  {
    set_env("PATH", with_killed);
    Result result = tour({"--bin", bin, "--timeline", folder / "one"}, {.timeout = 280s});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(times_said(result.out, "has no view of the CPUs"), 1u) << result.out;
    EXPECT_NE(said(result.out,
                   "\n## Step 2 (the threads) has no view of the CPUs: perf was killed "
                   "(signal 9) while it recorded.\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(count(read_file(folder / "one/timeline.html"),
                    "The scheduler's view below is the same step run again"),
              3u);
  }
  set_env("PATH", with_lacking);
  Result result = tour({"--bin", bin, "--timeline", folder / "two"}, {.timeout = 280s});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(said(result.out,
                 ", but perf cannot record the scheduler's events here (event syntax "
                 "error: 'sched:sched_wakeup_new').\n"),
            std::string::npos)
      << result.out;
  expect_the_schedstat_pass(result.out);
  EXPECT_EQ(count(read_file(folder / "two/timeline.html"), "<div class=\"totals\">"), 4U);
}

// Another user's folder, or any folder the tour is pointed at, with timeline.html planted as a
// link to a file of ours, or as a named pipe that would hang whoever opens it: the tour refuses
// before its steps, writes through neither, and says why.
TEST_F(Tour, NeverWritesItsTimelineThroughALinkNorIntoANamedPipe) {
  TempDir folder("planted");
  const std::string ours = folder / "ours";
  std::ofstream(ours) << "ours";
  const std::string page = folder / "timeline.html";
  const std::vector<std::pair<std::string, std::function<void()>>> planted = {
      {"a link", [&] { fs::create_symlink(ours, page); }},
      {"a named pipe", [&] { ASSERT_EQ(mkfifo(page.c_str(), 0600), 0); }},
  };
  for (const auto& [what, plant] : planted) {
    SCOPED_TRACE(what);
    plant();
    Result result = tour({"--bin", bin, "--timeline", folder.path()}, {.timeout = 60s});
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(said(result.err, page + " is not a regular file"), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("==== 1."), std::string::npos) << result.out;
    EXPECT_EQ(read_file(ours), "ours");
    fs::remove(page);
  }
}

}  // namespace
}  // namespace ipcwalk
