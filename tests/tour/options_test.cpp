// The tour as a learner chooses it: its lines to the width of their terminal, one step or one
// lesson alone (--only), and wrong input refused before anything is made.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tour/support.h"

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;

const std::string lens_tool = fs::path(bin).parent_path() / "tools" / "lens";

// Every line of the tour's own in a run's output (its "##" lines, lens's among them, its
// headings) and every line of its messages, over `width` columns.
std::vector<std::string> wider_than(std::size_t width, const Result& result) {
  std::vector<std::string> wide;
  for (const std::string& line : own_lines(result.out))
    if (columns(line) > width)
      wide.push_back(line);
  std::istringstream err(result.err);
  for (std::string line; std::getline(err, line);)
    if (columns(line) > width)
      wide.push_back(line);
  return wide;
}

// The steps (their words, and their names in a sentence) and the lessons, as lens names them:
// the names --only takes.
struct Named {
  std::vector<std::string> steps;
  std::vector<std::string> sentences;
  std::vector<std::string> lessons;
};

Named named() {
  Named names;
  std::istringstream text(run(lens_tool, {"names"}).out);
  for (std::string line; std::getline(text, line);) {
    std::istringstream fields(line);
    std::string kind, word, prefix, name, lesson;
    if (fields >> kind >> word >> prefix >> name >> lesson && kind == "step") {
      names.steps.push_back(word);
      std::replace(name.begin(), name.end(), '_', ' ');
      names.sentences.push_back(name);
      names.lessons.push_back(lesson);
    }
  }
  return names;
}

// With COLUMNS at 80 and at 40, the whole tour (its lessons and its timeline too) keeps every
// line of its own within the width, lens's narration included; wrapped, no word of a sentence is
// lost or split, and the programs' and the kernel's lines, the commands too, stay as they were.
// Faults: a line of the tour's or of lens's past the width (the width not given to lens, a
// heading or the end not wrapped), a wrap inside a word, a kernel's row or a command wrapped.
TEST_F(Tour, ItsOwnLinesFitTheColumnsGiven) {
  for (const std::size_t width : {80u, 40u}) {
    SCOPED_TRACE(width);
    TempDir timeline("width-timeline");
    set_env("COLUMNS", std::to_string(width));
    Result result =
        tour({"--bin", bin, "--lessons", "--timeline", timeline / "drawn"}, {.timeout = 280s});
    ASSERT_EQ(result.status, 0) << result.err << result.out;
    EXPECT_GT(own_lines(result.out).size(), 100u);
    EXPECT_EQ(wider_than(width, result), std::vector<std::string>{}) << result.out;
    for (const std::string sentence :
         {"\n## The parent creates a pipe and forks. Each process announces itself with its own "
          "pid: two different numbers.",
          "\n## The kernel's row for the segment: its size, nattch 2 (both attached),",
          "\n==== 3. A shared-memory segment: segmake, segstamp, segpeek ====\n",
          "\n## Every program did what it shows."})
      EXPECT_NE(said(result.out, sentence), std::string::npos) << sentence << " not in:\n"
                                                               << result.out;
    EXPECT_TRUE(std::regex_search(
        result.out,
        std::regex("\n/proc/sysvipc/shm: +key +shmid perms +size +cpid +lpid nattch\n")))
        << result.out;
    EXPECT_TRUE(std::regex_search(
        result.out, std::regex("\n\\$ ls -l /dev/shm/sem\\.ipcwalk-tour-[0-9a-f]{16}\n")))
        << result.out;
  }
}

// Without COLUMNS, on a terminal of 50 columns the tour takes its width, and elsewhere 80.
// Faults: the terminal's width ignored; a width taken from nowhere where the output is a file.
TEST_F(Tour, WithoutColumnsItTakesTheTerminalsWidthElse80) {
  set_env("COLUMNS", std::nullopt);
  set_env("NO_COLOR", "1");
  const std::string line = "stty cols 50 && " + tour_path + " --only pipe --bin " + bin;
  Result narrow = run_kept("/usr/bin/env", {"script", "-qec", line, "/dev/null"}, {.timeout = 60s});
  ASSERT_EQ(narrow.status, 0) << narrow.out;
  std::size_t widest = 0;
  for (const std::string& own : own_lines(narrow.out))
    widest = std::max(widest, columns(own));
  EXPECT_GT(widest, 40u) << narrow.out;
  EXPECT_LE(widest, 50u) << narrow.out;

  Result piped = tour({"--only", "pipe", "--bin", bin}, {.timeout = 60s});
  ASSERT_EQ(piped.status, 0) << piped.err;
  widest = 0;
  for (const std::string& own : own_lines(piped.out))
    widest = std::max(widest, columns(own));
  EXPECT_GT(widest, 60u) << piped.out;
  EXPECT_LE(widest, 80u) << piped.out;
}

// --only runs each step alone, and each lesson with its step, with its clean-up as the whole
// tour's (the fixture checks that nothing is left); "--only=NAME" as well, and --lessons adds a
// step's own lesson. Faults: another step or lesson run too, the named one left out, a name
// that lens knows refused, a lesson without its step.
TEST_F(Tour, OnlyRunsOneStepOrOneLessonWithItsStep) {
  const Named names = named();
  ASSERT_EQ(names.steps.size(), 4u);
  struct Case {
    std::vector<std::string> args;
    std::size_t step;
    bool lesson;
  };
  std::vector<Case> cases;
  for (std::size_t index = 0; index < names.steps.size(); ++index) {
    cases.push_back({{"--only", names.steps[index]}, index, false});
    cases.push_back({{"--only=" + names.lessons[index]}, index, true});
  }
  cases.push_back({{"--lessons", "--only", names.steps[0]}, 0, true});
  for (const Case& each : cases) {
    std::vector<std::string> args = each.args;
    SCOPED_TRACE(testing::PrintToString(args));
    args.insert(args.end(), {"--bin", bin});
    Result result = tour(args, {.timeout = 120s});
    ASSERT_EQ(result.status, 0) << result.err << result.out;
    std::vector<std::string> headings;
    for (const auto& heading : all_matches(result.out, std::regex("\n==== ([^\n]*) ====\n")))
      headings.push_back(heading[1].str().substr(0, heading[1].str().find_first_of(".,")));
    std::vector<std::string> expected = {std::to_string(each.step + 1)};
    if (each.lesson)
      expected.push_back("Lesson: " + names.lessons[each.step]);
    expected.push_back("End of the tour");
    EXPECT_EQ(headings, expected) << result.out;
    EXPECT_NE(said(result.out, "## Every program of step " + std::to_string(each.step + 1) + ", " +
                                   names.sentences[each.step] + ", did what it shows."),
              std::string::npos)
        << result.out;
  }
}

// --only with --timeline draws that step alone, its scheduler's view too where perf records; a
// Ctrl-C in the step alone stops it as in the whole tour, removing what it made. Faults: the
// other steps drawn as "not recorded", or run again under perf; a Ctrl-C that leaves the
// semaphore or the temporary folder behind.
TEST_F(Tour, OnlyDrawsItsStepAloneAndStopsOnCtrlCAsTheWholeTour) {
  TempDir temporary("tour-tmp"), folder("only-timeline");
  set_env("TMPDIR", temporary.path().string());
  Process& process =
      start(setsid, in_own_group({"--only", "semaphore", "--bin", bin}), {.timeout = 100s});
  ASSERT_TRUE(process.wait_for_output("It is waiting", 90s)) << process.out() << process.err();
  kill(-process.pid(), SIGINT);
  Result stopped = process.wait();
  EXPECT_EQ(stopped.status, 1);
  EXPECT_NE(stopped.err.find("tour: interrupted during step 4 ("), std::string::npos)
      << stopped.err;
  EXPECT_NE(stopped.out.find("## Removed the named semaphore"), std::string::npos) << stopped.out;
  EXPECT_EQ(tour_folders(temporary), 0u);

  if (!strace_works())
    GTEST_SKIP() << "strace cannot trace here: the timeline of one step not checked";
  const std::string drawn = folder / "drawn";
  Result result = tour({"--only", "segment", "--bin", bin, "--timeline", drawn}, {.timeout = 120s});
  ASSERT_EQ(result.status, 0) << result.err << result.out;
  std::ifstream file(drawn + "/timeline.json");
  const Json trace = Json::parse(file);
  std::set<std::string> categories;
  for (const Json& event : trace.at("traceEvents"))
    categories.insert(event.at("cat").get<std::string>());
  EXPECT_EQ(categories, std::set<std::string>{"segment"});
  const std::string page = read_file(drawn + "/timeline.html");
  EXPECT_EQ(page.find("Not recorded"), std::string::npos);
  EXPECT_EQ(count(page, "<svg"), 1u);
  if (perf_records()) {
    EXPECT_EQ(count(page, "The scheduler's view below is the same step run again"), 1u);
  }
}

// A copy of the tour and its library in a folder of its own, built nothing yet: a refusal made
// after a build would leave build/ in it.
class Clone {
 public:
  Clone() : dir_("clone") {
    fs::copy_file(tour_path, dir_ / "tour");
    fs::copy(fs::path(tour_path).parent_path() / "tourlib", dir_ / "tourlib");
  }
  std::string tour() const {
    return dir_ / "tour";
  }
  std::vector<std::string> left() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path()))
      names.push_back(entry.path().filename());
    return names;
  }

 private:
  TempDir dir_;
};

// Wrong input gets one clear message and status 2 before anything is made: no build, no
// temporary folder, no timeline folder, no step. Faults: an unknown step name, a COLUMNS that is
// no number, or another user's folder that others may write in taken (with status 0 or 1, or
// after a build or a step), a message past the width.
TEST_F(Tour, WrongInputIsRefusedWithStatus2BeforeAnythingIsMade) {
  TempDir temporary("tour-tmp");
  set_env("TMPDIR", temporary.path().string());
  const Clone clone;
  const auto left = clone.left();
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> columns;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"--only", "nosuch"}, "40", "no step or lesson is called 'nosuch'"},
      {{"--only="}, std::nullopt, "no step or lesson is called ''"},
      {{"--only"}, std::nullopt, "--only needs the name of a step or a lesson"},
      {{"--only", "pipe", "--only", "threads"}, std::nullopt, "--only takes one name"},
      {{"--only", "pipe"}, "abc", "COLUMNS must be a number of columns"},
      {{}, "0", "COLUMNS must be a number of columns"},
      {{"--lessons"}, "80x", "COLUMNS must be a number of columns"},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(testing::PrintToString(each.args) + " COLUMNS=" + each.columns.value_or("unset"));
    set_env("COLUMNS", each.columns);
    Result result = run_kept(clone.tour(), each.args, {.timeout = 30s});
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with("tour: ")) << result.err;
    EXPECT_NE(said(result.err, each.says), std::string::npos) << result.err;
    EXPECT_EQ(clone.left(), left) << "made in the clone";
    EXPECT_EQ(tour_folders(temporary), 0u);
    if (each.columns == "40") {
      EXPECT_EQ(wider_than(40, result), std::vector<std::string>{}) << result.err;
    }
  }
  set_env("COLUMNS", std::nullopt);

  if (geteuid() != 0)
    GTEST_SKIP() << "a folder of another user's takes root: that refusal not checked";
  TempDir outside("others-folder");
  const fs::path theirs = outside / "theirs";
  fs::create_directory(theirs);
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  fs::permissions(theirs, fs::perms::all);
  Result result = tour({"--bin", bin, "--timeline", theirs}, {.timeout = 60s});
  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_NE(said(result.err, "the folder " + theirs.string() +
                                 " for the timeline is not yours, and others may write in it"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.out.find("==== 1."), std::string::npos) << result.out;
  EXPECT_TRUE(fs::is_empty(theirs));
  EXPECT_EQ(tour_folders(temporary), 0u);
  // Another user's folder that only its owner may write in, or one's own open to all, is taken.
  fs::permissions(theirs, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read |
                              fs::perms::group_exec | fs::perms::others_exec);
  const fs::path mine = outside / "mine";
  fs::create_directory(mine);
  fs::permissions(mine, fs::perms::all);
  for (const fs::path& folder : {theirs, mine}) {
    Result taken = tour({"--only", "pipe", "--bin", bin, "--timeline", folder}, {.timeout = 60s});
    EXPECT_EQ(taken.status, 0) << folder << ": " << taken.err;
  }
}

}  // namespace
}  // namespace ipcwalk
