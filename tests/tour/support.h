// What every test of the guided tour uses: the tour and the built programs, the fixture that runs
// the tour and makes sure that nothing it made is left, and the stand-ins, folders and readers of
// its output that the tests share.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "files.h"
#include "runner.h"

namespace ipcwalk {

inline const std::string tour_path = SOURCE_DIR "/tour";
inline const std::string bin = std::filesystem::path(program("forkrelay")).parent_path();
// What --step says at its first stop, before step 1.
inline const std::string prompt = "Enter: step 1, the pipe; q: end";
inline const std::vector<std::string> programs = {
    "forkrelay", "threetally", "segmake", "segstamp", "segpeek", "gatenew", "gatetake", "gategive"};
// Runs a command in a process group of its own, in place, with the same pid.
inline const std::string setsid = "/usr/bin/setsid";

// One variable of this process's environment, which the programs it starts inherit, set (or
// removed, for nullopt) until the end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// The fixture of every tour test. It runs the tour and keeps what each run printed, sets the
// environment for the test's length, and at the end of the test, pass or fail, asserts that no
// segment or semaphore that a kept run made is left, and removes any that is, so that the
// machine stays as the test found it.
class Tour : public ::testing::Test {
 protected:
  // The tour, run to its end (or its timeout).
  Result tour(const std::vector<std::string>& args, const Options& options = {});
  // A command that runs the tour (script, taskset, a copy of the tour...), run to its end.
  Result run_kept(const std::string& command, const std::vector<std::string>& args,
                  const Options& options = {});
  // A command that runs the tour, started and left to the test. One still running at the end of
  // the test is stopped as Ctrl-C stops it, and is a failure of the test.
  Process& start(const std::string& command, const std::vector<std::string>& args,
                 const Options& options = {});
  // Sets (or removes, for nullopt) a variable of the environment until the end of the test; the
  // variables set are restored in reverse order. A name given in IPCWALK_TOUR_SEMAPHORE is the
  // tour's semaphore: it is checked for at the end like the ones the tour prints.
  void set_env(const std::string& name, const std::optional<std::string>& value);

  void TearDown() override;

 private:
  std::vector<std::string> outputs_;
  std::set<std::string> names_;
  std::deque<Process> started_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

std::vector<std::smatch> all_matches(const std::string& text, const std::regex& pattern);

// The tour wraps its own lines (and lens's "## " lines) at blanks: a sentence may go on after a
// line break and "## " (narration), "==== " (a heading), or six blanks under "tour: " (a
// message). `flowing` turns the
// blanks of a regular expression (none inside a bracket) into any of these; `said` is the same
// for a literal text, and says where it is found from `from` on (npos: nowhere).
std::string flowing(const std::string& pattern);
std::regex said_pattern(const std::string& text);
std::size_t said(const std::string& output, const std::string& text, std::size_t from = 0);
std::size_t times_said(const std::string& output, const std::string& text);

// The lines of output that are the tour's own: its "## " narration, its "====" headings and its
// "-- " views, as lens writes them and as the tour does (a terminal's \r taken off).
std::vector<std::string> own_lines(const std::string& output);
// The columns a line of UTF-8 text takes on a terminal: one a character.
std::size_t columns(const std::string& line);

// The rows of /proc/sysvipc/shm: identifier and creator's pid.
std::vector<std::pair<std::string, std::string>> segment_rows();

// The segments and semaphores that the tour made and did not remove: the segment identifiers
// and semaphore names it printed, and the `names` (without their leading /) that the tour was
// given. Programs killed with the tour detach a moment after they die, so this waits, bounded,
// for the list to empty. What is still left then, it removes.
std::vector<std::string> left_behind(const std::string& output, std::set<std::string> names = {});

// Waits for the tour to end; a tour still running after `limit` is stopped as Ctrl-C would, so
// that it removes what it made.
Result finish(Process& process, Duration limit);

// Somebody else on the machine: keeps a few segments and semaphores of its own, making and
// removing them all along, so that the system's tables never stay as they were. Its objects go
// when it is stopped.
void churn(const std::stop_token& stop);

void write_script(const std::string& path, const std::string& text);

// PATH with folder `first` in front.
std::string path_with(const std::filesystem::path& first);

// Where the shell finds command `name` on PATH, or "".
std::string command_path(const std::string& name);

// The tour on a terminal: `script` gives it one, and passes on what the test types.
std::vector<std::string> on_terminal(const std::string& args);

// The tour's command line for setsid, which runs it in a process group of its own, as a shell
// starts a command, so that a signal can go to the whole group as Ctrl-C sends it.
std::vector<std::string> in_own_group(const std::vector<std::string>& args);

bool strace_works();

// Whether perf may record the scheduler here, as the tour records it.
bool perf_records();

// A folder of programs for `tour --bin`: links to the built ones, and to lens in tools/ beside
// them, with the programs named in `scripts` replaced by stand-ins written as shell scripts.
class StandIns {
 public:
  explicit StandIns(std::initializer_list<std::pair<const std::string, std::string>> scripts);
  std::string bin_dir() const {
    return dir_.path() / "bin";
  }
  // A file of the stand-ins' own, e.g. where one notes that it ran.
  std::string operator/(const std::string& name) const {
    return dir_ / name;
  }

 private:
  TempDir dir_;
};

// Waits, bounded, for a file that a stand-in makes.
bool appears(const std::string& path, Duration limit = 60s);

// How many temporary folders of the tour's are left in `dir`.
std::size_t tour_folders(const TempDir& dir);

// Whether process `pid` still runs (a zombie has ended).
bool alive(const std::string& pid);

// The record written whole into the pipe's write end and read whole from its read end, and the
// sixteen workers, as the kernel views of steps 1 and 2 show them from strace's logs.
void expect_pipe_and_thread_views(const std::string& out);

// The record files that lens names (lens names): each run's strace record, and each step's
// perf record with its pids.
struct NamedRecords {
  std::set<std::string> strace;
  std::set<std::string> perf;
};
NamedRecords named_records(const std::string& lens);

}  // namespace ipcwalk
