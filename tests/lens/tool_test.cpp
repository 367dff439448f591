// The lens tool itself, run as the tour runs it: its commands, their output and statuses, its
// refusals of wrong usage, and the names of the record files it gives the tour and the scripts
// that record the tests' samples.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "draw/draw.h"
#include "files.h"
#include "lens/samples.h"
#include "model/mechanisms.h"
#include "narrate/kernel_views.h"
#include "narrate/narrator.h"
#include "records/record_files.h"
#include "runner.h"

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;

const fs::path logs = SOURCE_DIR "/tests/strace_logs";
const fs::path source = SOURCE_DIR;

// lens state and tracee as the tour asks them. Faults: a process reading a held pipe not a pause;
// a pid printed (or a word said) where there is no tracee; a wrong pid or an option taken.
TEST(LensTool, StateAndTraceeAsTheTourCallsThem) {
  Options held;
  held.hold_input = true;
  Process reader("/usr/bin/cat", {}, held);
  ASSERT_TRUE(reader.wait_until_reading_input());
  EXPECT_EQ(run(LENS_TOOL, {"state", std::to_string(reader.pid())}).out, "paused\n");
  const Result none = run(LENS_TOOL, {"tracee", std::to_string(getpid())});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out + none.err, "");
  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {"state"}, {"state", "-1"}, {"tracee", "x"}, {"--color", "state", "1"}}) {
    const Result refused = run(LENS_TOOL, wrong);
    EXPECT_EQ(refused.status, 2) << testing::PrintToString(wrong);
    EXPECT_NE(refused.err.find("lens state PID"), std::string::npos);
  }
}

TEST(LensTool, ViewAndShowAsTheTourCallsThem) {
  const fs::path pipe_log = logs / "1-pipe-forkrelay.strace";
  const Result plain = run(LENS_TOOL, {"view", "pipe", pipe_log.string()});
  EXPECT_EQ(plain.status, 0) << plain.err;
  lens::Narrator narrator(lens::Narration::plain);
  std::ifstream log(pipe_log);
  lens::pipe_view(lens::parse_log(log), narrator);
  EXPECT_EQ(plain.out, narrator.take());
  const Result colored = run(LENS_TOOL, {"--color", "view", "threads", pipe_log.string()});
  EXPECT_EQ(colored.out.substr(0, 8), "\x1b[36m## ");

  Options input;
  input.input = "pid 7 has semaphore\x1b]0;owned\x07!\xef\xbc\x81\n";
  const Result shown = run(LENS_TOOL, {"show"}, input);
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(shown.out, "pid 7 has semaphore\\x1b]0;owned\\x07!\xef\xbc\x81\n");
  TempDir dir("lens-show");
  std::ofstream(dir / "out") << "\x1b[2J";
  EXPECT_EQ(run(LENS_TOOL, {"show", dir / "out"}).out, "\\x1b[2J");
  EXPECT_EQ(run(LENS_TOOL, {"show", "-"}, input).out, shown.out);

  // Failures: status 1 and what failed; wrong usage: status 2 and the usage.
  Options full;
  full.out = Stream::full;
  const Result unwritten = run(LENS_TOOL, {"view", "pipe", pipe_log.string()}, full);
  EXPECT_EQ(unwritten.status, 1);
  EXPECT_EQ(unwritten.err.substr(0, 19), "lens: write error: ");
  EXPECT_EQ(run(LENS_TOOL, {"show", dir / "out"}, full).status, 1);
  const Result missing = run(LENS_TOOL, {"view", "pipe", dir / "none\x1b]0;x\x07"});
  EXPECT_EQ(missing.status, 1);
  // The name as given, made visible: no escape of anybody's reaches the terminal.
  EXPECT_EQ(missing.err,
            "lens: " + dir / "none\\x1b]0;x\\x07: cannot read: No such file or directory\n");
  EXPECT_EQ(run(LENS_TOOL, {"show", dir / "none"}).status, 1);
  for (const std::vector<std::string>& wrong :
       std::vector<std::vector<std::string>>{{},
                                             {"view", "pipes", pipe_log.string()},
                                             {"view", "pipe"},
                                             {"view", "segments", "1"},
                                             {"view", "taker", "1"},
                                             {"view", "semaphore"},
                                             {"view", "", pipe_log.string()},
                                             {"--color", "show"},
                                             {"show", "a", "b"},
                                             {"timeline", logs.string()}}) {
    const Result refused = run(LENS_TOOL, wrong);
    EXPECT_EQ(refused.status, 2) << testing::PrintToString(wrong);
    EXPECT_NE(refused.err.find("usage: lens"), std::string::npos);
  }
}

TEST(LensTool, LessonAskAndTellAsTheTourCallsThem) {
  TempDir dir("lens-lesson");
  std::ofstream(dir / "race") << race_out;
  std::ofstream(dir / "kill") << kill_out;
  std::ofstream(dir / "torn") << "copies: 3\none letter: 1\ntorn: 1\n";
  for (const char* name : {"tallyrace", "relaykeep", "segtear", "gaterace"}) {
    const Result asked = run(LENS_TOOL, {"lesson", "ask", name});
    EXPECT_EQ(asked.status, 0) << asked.err;
    EXPECT_TRUE(asked.out.starts_with("## ")) << asked.out;
    EXPECT_TRUE(asked.out.ends_with("?\n")) << name << " asks nothing:\n" << asked.out;
  }
  const Result told =
      run(LENS_TOOL, {"--color", "lesson", "tell", "gaterace", dir / "race", dir / "kill"});
  EXPECT_EQ(told.status, 0) << told.err;
  EXPECT_EQ(told.out.substr(0, 8), "\x1b[36m## ");
  // A refused output: status 1 and one line that says what is wrong.
  const Result torn = run(LENS_TOOL, {"lesson", "tell", "segtear", dir / "torn"});
  EXPECT_EQ(torn.status, 1);
  EXPECT_EQ(torn.out, "");
  EXPECT_TRUE(torn.err.starts_with("lens: segtear output 1: ")) << torn.err;
  EXPECT_EQ(count(torn.err, "\n"), 1U) << torn.err;
  EXPECT_EQ(run(LENS_TOOL, {"lesson", "tell", "segtear", dir / "none"}).status, 1);
  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {"lesson", "ask", "forkrelay"},
           {"lesson", "ask"},
           {"lesson", "ask", "nosuch"},
           {"lesson", "tell", "nosuch", dir / "race", dir / "kill"},
           {"lesson", "tell", "", dir / "race", dir / "kill"},
           {"lesson", "tell", "segtear"},
           {"lesson", "tell", "gaterace", dir / "race"},
           {"lesson", "say", "segtear", dir / "torn"}}) {
    const Result refused = run(LENS_TOOL, wrong);
    EXPECT_EQ(refused.status, 2) << testing::PrintToString(wrong);
    EXPECT_NE(refused.err.find("usage: lens"), std::string::npos);
  }
}

// --width N, before or after --color, wraps the narration of the commands that narrate (the
// narrator's wrapping is checked in narrate_test) and nothing else: strace's lines stay whole.
// Faults: the width not given to the narrator; a kernel line wrapped; --width taken without a
// number, twice, or by a command that does not narrate.
TEST(LensTool, WidthWrapsTheNarrationAndNothingElse) {
  const fs::path pipe_log = logs / "1-pipe-forkrelay.strace";
  const Result whole = run(LENS_TOOL, {"view", "pipe", pipe_log.string()});
  const Result narrow = run(LENS_TOOL, {"--width", "30", "view", "pipe", pipe_log.string()});
  ASSERT_EQ(narrow.status, 0) << narrow.err;
  EXPECT_GT(count(narrow.out, "\n## "), count(whole.out, "\n## "));
  std::istringstream lines(narrow.out);
  for (std::string line; std::getline(lines, line);)
    EXPECT_TRUE(!line.starts_with("## ") || line.size() <= 30U) << line;
  const std::regex narration("## [^\n]*\n");
  EXPECT_EQ(std::regex_replace(narrow.out, narration, ""),
            std::regex_replace(whole.out, narration, ""));

  const Result first = run(LENS_TOOL, {"--color", "--width", "30", "lesson", "ask", "gaterace"});
  const Result second = run(LENS_TOOL, {"--width", "30", "--color", "lesson", "ask", "gaterace"});
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, second.out);
  EXPECT_EQ(first.out.substr(0, 8), "\x1b[36m## ");
  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {"--width"},
           {"--width", "lesson", "ask", "gaterace"},
           {"--width", "-1", "lesson", "ask", "gaterace"},
           {"--width", "30x", "lesson", "ask", "gaterace"},
           {"--width", "30", "--width", "40", "lesson", "ask", "gaterace"},
           {"--width", "30", "show"},
           {"--width", "30", "names"},
           {"--width", "30", "timeline", logs.string(), "/tmp"}}) {
    const Result refused = run(LENS_TOOL, wrong);
    EXPECT_EQ(refused.status, 2) << testing::PrintToString(wrong);
    EXPECT_NE(refused.err.find("usage: lens"), std::string::npos);
  }
}

// An output is read only from a regular file, up to 65536 bytes: exactly that many is a whole
// output; one more is too long; a FIFO (which would block an open or a read for ever) and a
// folder are refused at once, each with one line.
TEST(LensTool, LessonTellReadsRegularFilesOfUpTo64KiBAndNeverWaitsOnAFifo) {
  TempDir dir("lens-lesson-files");
  const std::string whole = "copies: 3\none letter: 1\ntorn: 2\n";
  // Other lines are passed over: padded with a sentence to the byte.
  const std::string padded = whole + std::string(65536 - whole.size() - 1, 'x') + "\n";
  ASSERT_EQ(padded.size(), 65536U);
  std::ofstream(dir / "exact") << padded;
  std::ofstream(dir / "over") << padded << "\n";
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const Result exact = run(LENS_TOOL, {"lesson", "tell", "segtear", dir / "exact"});
  EXPECT_EQ(exact.status, 0) << exact.err;
  EXPECT_NE(exact.out.find("3 copies: 2 torn"), std::string::npos) << exact.out;
  for (const auto& [name, why] :
       {std::pair{"over", "too long"}, std::pair{"fifo", "not a regular file"},
        std::pair{"", "not a regular file"}}) {
    const Result refused =
        run(LENS_TOOL, {"lesson", "tell", "segtear", dir / name}, {.timeout = 10s});
    EXPECT_FALSE(refused.timed_out) << name;
    EXPECT_EQ(refused.status, 1) << name;
    EXPECT_TRUE(refused.err.starts_with("lens: ")) << name << ": " << refused.err;
    EXPECT_NE(refused.err.find(why), std::string::npos) << name << ": " << refused.err;
    EXPECT_EQ(count(refused.err, "\n"), 1U) << name << ": " << refused.err;
  }
}

// lens names, as the tour and the scripts that record the tests' samples read it. Faults: names
// that differ from those lens reads its records by; an option or a word more taken.
TEST(LensTool, NamesAreTheRecordFilesLensReads) {
  const Result names = run(LENS_TOOL, {"names"});
  EXPECT_EQ(names.status, 0) << names.err;
  EXPECT_EQ(names.out, lens::names_text());
  EXPECT_NE(names.out.find("\nrun segment segpeek-2 3-segment-segpeek-2\n"), std::string::npos)
      << names.out;
  for (const std::vector<std::string>& wrong :
       std::vector<std::vector<std::string>>{{"names", "pipe"}, {"--color", "names"}}) {
    const Result refused = run(LENS_TOOL, wrong);
    EXPECT_EQ(refused.status, 2) << testing::PrintToString(wrong);
    EXPECT_NE(refused.err.find("lens names"), std::string::npos);
  }
}

// The tour and the scripts that record the tests' samples take every record file's name from
// lens names: none of them spells a step's prefix ("1-pipe", "3-segment-segpeek-2", ...) outside
// a comment. Fault: a name spelled again by hand, which drifts from the one lens reads.
TEST(LensTool, TheTourAndTheRecordScriptsSpellNoRecordFilesName) {
  std::vector<fs::path> scripts = {source / "tour", source / "tests/strace_logs/record",
                                   source / "tests/strace_logs/lessons/record",
                                   source / "tests/perf_logs/record",
                                   source / "tests/schedstat_logs/record"};
  for (const auto& entry : fs::directory_iterator(source / "tourlib"))
    scripts.push_back(entry.path());
  ASSERT_GT(scripts.size(), 4U) << "no tourlib/ beside the tour";
  for (const fs::path& script : scripts) {
    std::ifstream file(script);
    ASSERT_TRUE(file) << script;
    int number = 0;
    for (std::string line; std::getline(file, line);) {
      ++number;
      const std::size_t start = line.find_first_not_of(' ');
      if (start == std::string::npos || line[start] == '#')
        continue;
      for (const lens::StepNames& step : lens::step_names)
        EXPECT_EQ(line.find(step.prefix), std::string::npos)
            << script << ":" << number << " spells " << step.prefix << ": " << line;
    }
  }
}

// The figures of the recorded samples, as `lens timeline` draws them.
std::vector<lens::Figure> recorded_figures() {
  return lens::figures(lens::read_tour_records(logs));
}

// Fault: the files written differ from the figures drawn, or hold what a browser would run or
// fetch; a missing folder not said.
TEST(TimelineTool, WritesBothFilesOrSaysWhatFailed) {
  TempDir out("timeline");
  const Result made = run(LENS_TOOL, {"timeline", logs.string(), out.path().string()});
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(read_file(out.path() / "timeline.json"), lens::trace_json(recorded_figures()));
  const std::string page = read_file(out.path() / "timeline.html");
  EXPECT_EQ(page, lens::page_html(recorded_figures()));
  // Self-contained: nothing to run, nothing to fetch.
  for (const char* outside : {"<script", "src=", "href=", "@import", "url(http"})
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;

  const Result no_folder =
      run(LENS_TOOL, {"timeline", logs.string(), (out.path() / "none").string()});
  EXPECT_EQ(no_folder.status, 1);
  EXPECT_EQ(no_folder.err,
            "lens: " + (out.path() / "none").string() + ": no such folder to write into\n");
  const Result empty_folder = run(LENS_TOOL, {"timeline", logs.string(), ""});
  EXPECT_EQ(empty_folder.status, 1);
  EXPECT_EQ(empty_folder.err, "lens: : no such folder to write into\n");
}

// timeline --only STEP draws that step and its lesson alone, as the tour's --only ran them.
// Faults: the other steps drawn as "not recorded", another step's lesson drawn, the step's own
// left out, an unknown step drawn.
TEST(TimelineTool, OnlyDrawsOneStepAndItsLesson) {
  TempDir records("only-records"), out("only-timeline");
  for (const fs::path& folder : {logs, logs / "lessons"})
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.path().filename() != "record" && entry.is_regular_file())
        fs::copy_file(entry.path(), records.path() / entry.path().filename());
  const Result made =
      run(LENS_TOOL, {"timeline", "--only", "semaphore", records.path().string(), out.path()});
  EXPECT_EQ(made.status, 0) << made.err;
  std::vector<lens::Figure> figures = lens::figures(lens::read_tour_records(records.path()));
  std::erase_if(figures, [](const lens::Figure& figure) {
    return figure.mechanism != lens::Mechanism::semaphore;
  });
  ASSERT_EQ(figures.size(), 3U);  // the step, and gaterace's two halves
  EXPECT_EQ(read_file(out.path() / "timeline.html"), lens::page_html(figures));
  EXPECT_EQ(read_file(out.path() / "timeline.json"), lens::trace_json(figures));
  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {"timeline", "--only", "semaphores", records.path(), out.path()},
           {"timeline", "--only", records.path(), out.path()},
           {"timeline", records.path(), out.path(), "semaphore"}}) {
    const Result refused = run(LENS_TOOL, wrong);
    EXPECT_EQ(refused.status, 2) << testing::PrintToString(wrong);
  }
}

// Fault: a link or a FIFO planted at a file's name written through or waited on; a temporary
// file left behind; the files not given a shell redirection's mode.
TEST(LensTool, TimelineWritesNeitherThroughALinkNorIntoAFifo) {
  TempDir out("lens-planted");
  const std::string victim = out / "victim";
  std::ofstream(victim) << "root's";
  ASSERT_EQ(symlink(victim.c_str(), (out / "timeline.html").c_str()), 0);
  const Result linked = run(LENS_TOOL, {"timeline", logs.string(), out.path().string()});
  EXPECT_EQ(linked.status, 1);
  EXPECT_EQ(linked.err, "lens: " + (out / "timeline.html") +
                            " is not a regular file (a link, a FIFO or a device): not written "
                            "over\n");
  EXPECT_EQ(read_file(victim), "root's");
  ASSERT_EQ(unlink((out / "timeline.html").c_str()), 0);

  ASSERT_EQ(mkfifo((out / "timeline.json").c_str(), 0600), 0);
  Options bounded;
  bounded.timeout = 10s;
  const Result fifo = run(LENS_TOOL, {"timeline", logs.string(), out.path().string()}, bounded);
  EXPECT_FALSE(fifo.timed_out);
  EXPECT_EQ(fifo.status, 1);
  EXPECT_NE(fifo.err.find("timeline.json is not a regular file"), std::string::npos) << fifo.err;
  // No temporary file left behind: only what the test made, and the page written before.
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(out.path()))
    names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"timeline.html", "timeline.json", "victim"}));

  // Over a regular file, with the mode of a shell's redirection.
  ASSERT_EQ(unlink((out / "timeline.json").c_str()), 0);
  const mode_t mask = umask(027);
  const Result written = run(LENS_TOOL, {"timeline", logs.string(), out.path().string()});
  umask(mask);
  EXPECT_EQ(written.status, 0) << written.err;
  struct stat json {};
  ASSERT_EQ(stat((out / "timeline.json").c_str(), &json), 0);
  EXPECT_EQ(json.st_mode & 0777U, 0640U);
  EXPECT_EQ(run(LENS_TOOL, {"timeline", logs.string(), ""}).status, 1);
}

}  // namespace
}  // namespace ipcwalk
