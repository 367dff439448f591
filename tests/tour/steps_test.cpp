// The guided tour run as CI and a new user would: start to end on a machine that others share,
// without strace, one step at a time, with its lessons; and its help and options.
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tour/support.h"

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;

TEST_F(Tour, ShowsEverySubsystemAndLeavesTheSystemAsItFoundIt) {
  Result result;
  {
    std::jthread others(churn);
    result = tour({"--bin", bin}, {.timeout = 280s});
  }
  const std::string& out = result.out;

  EXPECT_EQ(result.status, 0) << result.err;
  for (const std::string line :
       {"Child:received\"Message from parent\xEF\xBC\x81\"\n", "\nTotal count= 33554432 \n",
        "\nThe string in SHM is :Hello shared memory!\n\n", " has semaphore,value=0\n",
        "Removed the shared-memory segment", "Removed the named semaphore"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << " not in:\n" << out;
  }
  // A name nobody can guess: 64 random bits, nothing of the tour's pid. Its file is this user's
  // alone (umask 077): nobody else can map it and wake the waiting gatetake.
  EXPECT_TRUE(std::regex_search(out, std::regex("gatenew /ipcwalk-tour-[0-9a-f]{16}\n"))) << out;
  EXPECT_TRUE(std::regex_search(
      out, std::regex("\n-rw------- 1 [^\n]* /dev/shm/sem\\.ipcwalk-tour-[0-9a-f]{16}\n")))
      << out;

  // The segment mapped in each of two processes, at two different addresses.
  std::smatch made;
  ASSERT_TRUE(std::regex_search(out, made, std::regex("created segment : (\\d+) ")));
  std::set<std::string> holders, addresses;
  const std::regex mapping("/proc/(\\d+)/maps: ([0-9a-f]+)-[0-9a-f]+ rw-s 0+ \\S+ " +
                           made[1].str() + " +/SYSV");
  for (const auto& each : all_matches(out, mapping)) {
    holders.insert(each[1]);
    addresses.insert(each[2]);
  }
  EXPECT_EQ(holders.size(), 2u) << out;
  // A 32-bit process's layout has so few random bits that both may land on one address.
  if (sizeof(void*) == 8) {
    EXPECT_EQ(addresses.size(), 2u) << out;
  }
  // The kernel's row of the tour's segment, and no other, while both hold it and after: while
  // others make and remove segments of their own.
  std::vector<std::string> rows;
  for (const auto& row : all_matches(out, std::regex("\n/proc/sysvipc/shm: +(\\S+) +(\\S+)[^\n]* "
                                                     "(\\S+)(?=\n)"))) {
    rows.push_back(row[2].str() == "shmid" ? "header" : row[2].str() + " nattch " + row[3].str());
  }
  EXPECT_EQ(rows, (std::vector<std::string>{"header", made[1].str() + " nattch 2", "header",
                                            made[1].str() + " nattch 0"}))
      << out;

  // The second taker asleep in a futex wait, counted as the semaphore's one waiter: the value
  // and the waiters as the semaphore's file holds them after gatenew, while the taker waits, and
  // after gategive, each with the words it was read from.
  EXPECT_TRUE(std::regex_search(out, std::regex("\n/proc/\\d+/wchan: \\S*futex"))) << out;
  std::vector<std::string> views;
  for (const auto& view :
       all_matches(out, std::regex(flowing("layout\\): value (\\d+), (\\d+) waiting\\.") +
                                   "\n(?:## [^\n]*\n)?\\$ od [^\n]*\n([ 0-9]+)\n"))) {
    views.push_back(view[1].str() + "," + view[2].str());
    // The words it was read from: glibc's 64-bit layout (value, waiters) or 32-bit one (value
    // times two plus 1 while anybody waits, sharing, padding, waiters).
    std::vector<unsigned long> words;
    std::istringstream line(view[3]);
    for (unsigned long word; line >> word;)
      words.push_back(word);
    ASSERT_TRUE(words.size() == 2 || words.size() == 4) << view[3];
    const auto [value, waiters] =
        words.size() == 2 ? std::pair{words[0], words[1]} : std::pair{words[0] >> 1, words[3]};
    EXPECT_EQ(std::to_string(value) + "," + std::to_string(waiters), views.back())
        << "words and text differ";
  }
  ASSERT_EQ(views.size(), 3u) << out;
  EXPECT_EQ(views[0], "1,0");
  EXPECT_EQ(views[1], "0,1");
  EXPECT_TRUE(views[2] == "0,0" || views[2] == "1,0") << views[2];

  if (!strace_works())
    GTEST_SKIP() << "strace cannot trace here: the views of forkrelay and threetally not checked";
  expect_pipe_and_thread_views(out);
}

TEST_F(Tour, WithoutStraceStillPassesAndSaysHowToGetTheView) {
  // Every command of PATH but strace, through links in a folder of the test's own.
  TempDir tools("no-strace"), timeline("no-strace-timeline");
  std::istringstream path(std::getenv("PATH"));
  for (std::string folder; std::getline(path, folder, ':');) {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
      if (entry.path().filename() != "strace")
        fs::create_symlink(entry.path(), tools.path() / entry.path().filename(), ignored);
    }
  }
  set_env("PATH", tools.path().string());
  Result result = tour({"--bin", bin}, {.timeout = 280s});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(
      times_said(result.out, "strace is not installed (Debian, Ubuntu: apt-get install strace)"),
      2u)
      << result.out;
  EXPECT_NE(result.out.find("\nTotal count= 33554432 \n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("==== End of the tour ===="), std::string::npos) << result.out;

  // Asked for a timeline, it says why there is none, and the tour goes on to its end.
  result = tour({"--bin", bin, "--timeline", timeline.path()}, {.timeout = 280s});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(said(result.out,
                 "cannot draw the timeline: the timeline is drawn from strace's "
                 "records, and strace is not installed"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("==== End of the tour ===="), std::string::npos) << result.out;
  EXPECT_TRUE(fs::is_empty(timeline.path()));
}

// --step stops before each step and each lesson, and nowhere else, saying which comes next; q
// ends the tour, which first removes what it made. Faults: a pause before each run or view (15
// Enters to reach step 4), a prompt that does not say what comes next, a step or lesson run
// without its Enter, q leaving the segment or the semaphore behind.
TEST_F(Tour, StepStopsBeforeEachStepAndLessonAndEndsOnQCleaningUpFirst) {
  set_env("NO_COLOR", "1");
  Process& process = start("/usr/bin/env", on_terminal("--step --lessons --bin " + bin),
                           {.hold_input = true, .timeout = 280s});
  const std::vector<std::pair<std::string, std::string>> stops = {
      {"step 1, the pipe", "==== 1."},      {"lesson relaykeep", "==== Lesson: relaykeep"},
      {"step 2, the threads", "==== 2."},   {"lesson tallyrace", "==== Lesson: tallyrace"},
      {"step 3, the segment", "==== 3."},   {"lesson segtear", "==== Lesson: segtear"},
      {"step 4, the semaphore", "==== 4."}, {"lesson gaterace", "==== Lesson: gaterace"}};
  const std::regex any_prompt("Enter: [^\n]*; q: end");
  for (std::size_t at = 0; at < stops.size(); ++at) {
    const auto& [next, heading] = stops[at];
    SCOPED_TRACE(next);
    ASSERT_TRUE(process.wait_for_output("Enter: " + next + "; q: end", 120s)) << process.out();
    if (at == 0) {
      EXPECT_NE(process.out().find(prompt), std::string::npos);
    }
    // It waits there: not one line of what comes next before Enter.
    std::this_thread::sleep_for(at == 0 ? 500ms : 100ms);
    const std::string so_far = process.out();
    EXPECT_EQ(so_far.find(heading), std::string::npos) << "went on without Enter:\n" << so_far;
    ASSERT_EQ(all_matches(so_far, any_prompt).size(), at + 1) << so_far;
    if (at + 1 < stops.size())
      process.send("\n");
  }
  // At the last stop the tour has made its segment and its semaphore: q ends it, removing both.
  process.send("q\n");
  ASSERT_TRUE(process.wait_for_output("==== End of the tour ====", 60s)) << process.out();
  Result result = process.wait();
  EXPECT_EQ(result.status, 0) << result.out;
  const auto end = result.out.find("==== End of the tour ====");
  EXPECT_LT(result.out.find("Removed the shared-memory segment"), end) << result.out;
  EXPECT_LT(result.out.find("Removed the named semaphore"), end) << result.out;
  EXPECT_EQ(result.out.find("==== Lesson: gaterace"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("\x1b"), std::string::npos) << "colour despite NO_COLOR";
}

// Faults: help wider than 80 columns, or missing a name that --only takes (each step's and each
// lesson's, as lens names them); a failed write of it reported as success; a wrong option
// taken; colour where it was turned off.
TEST_F(Tour, HelpBadOptionsAndColour) {
  Result help = tour({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: ./tour [--step] [--only NAME] [--lessons] [--timeline DIR]", 0),
            0u)
      << help.out;
  std::istringstream lines(help.out);
  for (std::string line; std::getline(lines, line);)
    EXPECT_LE(columns(line), 80u) << line;
  std::istringstream names(run(fs::path(bin).parent_path() / "tools" / "lens", {"names"}).out);
  for (std::string kind, word, prefix, name, lesson; names >> kind >> word;) {
    if (kind != "step") {
      names.ignore(1000, '\n');
      continue;
    }
    names >> prefix >> name >> lesson;
    for (const std::string& taken : {word, lesson})
      EXPECT_NE(help.out.find(" " + taken), std::string::npos) << taken << " not in:\n" << help.out;
  }
  // Help that cannot be written is a failure, as for the programs.
  Result lost = tour({"--help"}, {.out = Stream::full});
  EXPECT_EQ(lost.status, 1);
  EXPECT_EQ(lost.err, "tour: write error: No space left on device\n");
  Result missing = tour({"--bin", "/nonexistent"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "\ntour: no program /nonexistent/forkrelay\n");
  Result wrong = tour({"--colour"});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.err.find("unknown argument"), std::string::npos) << wrong.err;
  // An empty folder is no folder: the tour would otherwise run without drawing, and say nothing.
  for (const std::string option : {"--timeline", "--bin"}) {
    Result empty = tour({option, ""});
    EXPECT_EQ(empty.status, 2);
    EXPECT_EQ(empty.err, "tour: " + option + " needs a directory\n");
  }
  // Colour on a terminal, unless asked not to.
  set_env("NO_COLOR", std::nullopt);
  Result coloured = run_kept("/usr/bin/env", on_terminal("--bin /nonexistent"));
  EXPECT_NE(coloured.out.find("\x1b["), std::string::npos) << coloured.out;
  Result plain = run_kept("/usr/bin/env", on_terminal("--no-color --bin /nonexistent"));
  EXPECT_EQ(plain.out.find("\x1b"), std::string::npos) << plain.out;
  EXPECT_NE(plain.out.find("tour: no program"), std::string::npos) << plain.out;
}

// With --lessons, each step is followed by its lesson: the question, the runs, and what they
// measured, told from their output; the lessons' own segments and semaphores are gone after. The
// tour runs confined to the last CPU it may use, as in a container without CPU 0: the lesson
// pinned to one CPU takes one the tour may use.
TEST_F(Tour, LessonsFollowTheirStepsAndLeaveNothingBehind) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  int last = 0;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    last = CPU_ISSET(cpu, &allowed) ? cpu : last;
  Result result = run_kept("/usr/bin/taskset",
                           {"-c", std::to_string(last), tour_path, "--bin", bin, "--lessons"},
                           {.timeout = 280s});
  ASSERT_EQ(result.status, 0) << result.err << result.out;
  const std::string pinned = "\n$ taskset -c " + std::to_string(last) + " tallyrace\n";
  std::size_t at = 0;
  for (const std::string& expected : std::vector<std::string>{
           "==== 1.", "==== Lesson: relaykeep", "\n$ relaykeep limits\n",
           "\n## The child's read never returned: ", "==== 2.", "==== Lesson: tallyrace", pinned,
           "\n## Pinned to one CPU they lost ", "==== 3.", "==== Lesson: segtear",
           "\n## 20000 copies: ", "==== 4.", "==== Lesson: gaterace", "\n$ gaterace kill\n",
           "\n## Inside sem_wait and sem_post: 200 of 200, 0 lost, 0 overlapping",
           "==== End of the tour"}) {
    at = said(result.out, expected, at);
    ASSERT_NE(at, std::string::npos) << expected << " missing, or out of order:\n" << result.out;
  }
}

}  // namespace
}  // namespace ipcwalk
