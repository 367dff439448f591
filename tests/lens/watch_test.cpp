// lens's watcher (lens watch), where perf may not record the scheduler: its record read back as
// written and every bound kept; live, each thread's figures against what the thread read of its
// own schedstat just before it ended; and the command as the tour runs it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "records/schedstat.h"
#include "runner.h"

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t ms = 1'000'000;  // in nanoseconds, as schedstat counts

// Whether the watcher may trace here (ptrace allowed), tried on a program of nothing.
bool watcher_works() {
  TempDir dir("watch-try");
  const Result tried = run(LENS_TOOL, {"watch", dir / "record", "--", "true"});
  return tried.status == 0;
}

lens::WatchedTask task_named(const std::string& name) {
  return lens::WatchedTask{7, 5, 5, 1000, 3000, 1500, 400, 3, name};
}

// Faults: a name with a blank, a newline or a backslash that breaks its line or reads back
// otherwise; a record that is not the watcher's taken for one; a line not as the watcher writes
// it (a field more or less, a sign, a time that ends before it began, a day long, an escape of a
// byte never escaped, a NUL, a name longer than the kernel's) read as a task; the tasks or the
// lines read past their bounds; a named pipe in the record's place waited on.
TEST(LensWatchRecord, ReadBackAsWrittenAndEveryBoundKept) {
  const std::vector<std::string> names = {"threetally", "a b\n\\c\x1b\x7f", "", "\xc3\xa9t\xff"};
  std::string text = std::string(lens::watch_heading) + "\ncpus 2\n";
  for (const std::string& name : names)
    text += lens::task_line(task_named(name));
  const std::vector<std::string> wrong = {
      "task 7 5 5 1000 3000 1500 400 3",
      "task 7 5 5 1000 3000 1500 400 3 a b",
      "task 7 5 5 1000 3000 +1500 400 3 x",
      "task 7 5 5 1000 3000 -1 400 3 x",
      "task 7 5 5 3000 1000 1500 400 3 x",
      "task 7 5 5 0 86400000000001 1500 400 3 x",
      "task 0 5 5 1000 3000 1500 400 3 x",
      "task 7 5 5 1000 3000 99999999999999999999 400 3 x",
      "task 7 5 5 1000 3000 1500 400 3 \\x61",
      "task 7 5 5 1000 3000 1500 400 3 a\\x00",
      "task 7 5 5 1000 3000 1500 400 3 a\\x2",
      "task 7 5 5 1000 3000 1500 400 3 0123456789abcdef",
      "task 7 5 5 1000 3000 1500 400 3 " + std::string(300, 'x'),
      "cpus -2",
  };
  for (const std::string& line : wrong)
    text += line + "\n";
  const auto record = lens::parse_watch(text);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->cpus, 2);
  ASSERT_EQ(record->tasks.size(), names.size());
  for (std::size_t index = 0; index < names.size(); ++index) {
    EXPECT_EQ(record->tasks[index].name, names[index]) << index;
    EXPECT_EQ(lens::task_line(record->tasks[index]), lens::task_line(task_named(names[index])));
  }
  ASSERT_EQ(record->problems.size(), 1U);
  EXPECT_EQ(record->problems[0], "the record has " + std::to_string(wrong.size()) +
                                     " line(s) not as lens's watcher writes them, passed over");
  EXPECT_FALSE(lens::parse_watch("lens-watch 2\n" + lens::task_line(task_named("x"))));
  EXPECT_FALSE(lens::parse_watch(lens::task_line(task_named("x"))));

  std::string many = std::string(lens::watch_heading) + "\n";
  for (int index = 0; index < 5000; ++index)
    many += lens::task_line(task_named("t"));
  const auto bounded = lens::parse_watch(many + "unread 2\n");
  ASSERT_TRUE(bounded);
  EXPECT_EQ(bounded->tasks.size(), 4096U);
  EXPECT_EQ(bounded->problems,
            (std::vector<std::string>{"2 task(s) ended where lens could not read their schedstat",
                                      "the record has 904 more task(s) than 4096, passed over"}));

  TempDir dir("watch-record");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(lens::read_watch(dir / "fifo"));
  std::ofstream(dir / "record") << text;
  EXPECT_EQ(lens::read_watch(dir / "record")->tasks.size(), names.size());
}

// A line the probe printed: what a thread read of its own schedstat just before it ended.
struct OwnRead {
  std::int64_t running = 0;
  std::int64_t waiting = 0;
  std::int64_t slices = 0;
};

std::map<int, OwnRead> own_reads(const std::string& out) {
  std::map<int, OwnRead> found;
  std::istringstream lines(out);
  int tid = 0;
  OwnRead read;
  while (lines >> tid >> read.running >> read.waiting >> read.slices)
    found[tid] = read;
  return found;
}

// Live: a program whose four threads spin 20 to 80 ms on a CPU, each reading its own schedstat
// just before it ends, watched. Faults: a thread's figures read before its end (less than it
// read of itself) or from another task (another thread's, its process's totals: far from what it
// read); its time on a CPU and its wait swapped; nanoseconds not kept as such; a thread or the
// program missed, or put in the wrong process or under the wrong parent; its name not its own.
TEST(LensWatch, EachThreadsFiguresAreAtLeastWhatItReadOfItselfAndClose) {
  if (!watcher_works())
    GTEST_SKIP() << "ptrace is not allowed here: the watcher cannot trace";
  TempDir dir("watch-live");
  const std::string name = "a b\n\\c";
  // (A leak checker built into the program, AddressSanitizer's, cannot work under a tracer.)
  const Result watched = run(LENS_TOOL, {"watch", dir / "record", "--", "env",
                                         "ASAN_OPTIONS=detect_leaks=0", SCHEDSTAT_PROBE, name});
  ASSERT_EQ(watched.status, 0) << watched.err;
  EXPECT_EQ(watched.err, "");
  const std::map<int, OwnRead> read = own_reads(watched.out);
  ASSERT_EQ(read.size(), 5U) << watched.out;
  const auto record = lens::read_watch(dir / "record");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->problems, std::vector<std::string>{});
  EXPECT_GT(record->cpus, 0);
  ASSERT_EQ(record->tasks.size(), 5U);
  const lens::WatchedTask& program = record->tasks.back();  // main ends last
  EXPECT_EQ(program.parent, 0);
  EXPECT_EQ(program.process, program.tid);
  EXPECT_EQ(program.name, fs::path(SCHEDSTAT_PROBE).filename().string().substr(0, 15));
  for (const lens::WatchedTask& task : record->tasks) {
    SCOPED_TRACE(task.tid);
    ASSERT_TRUE(read.count(task.tid));
    const OwnRead& own = read.at(task.tid);
    EXPECT_GE(task.running, own.running);
    EXPECT_LT(task.running - own.running, 10 * ms);  // the threads spin 20 ms apart
    EXPECT_GE(task.waiting, own.waiting);
    EXPECT_LT(task.waiting - own.waiting, 1000 * ms);  // it may wait for a CPU as it ends
    EXPECT_GE(task.slices, own.slices);
    EXPECT_GE(task.ended - task.born, task.running);
    if (&task != &program) {
      EXPECT_EQ(task.process, program.tid);
      EXPECT_EQ(task.parent, program.tid);
      EXPECT_EQ(task.name, name);
      EXPECT_GE(task.running, 20 * ms);
    }
  }
}

// The command as the tour runs it. Faults: the program's status or its end by a signal not
// passed on; a program that cannot run, or a record that cannot be written, reported as success;
// a FIFO planted as the record waited on, or a link written through; the program not the child
// that lens tracee finds under the watcher; wrong usage taken.
TEST(LensWatch, StatusRecordAndTraceeAsTheTourUsesThem) {
  if (!watcher_works())
    GTEST_SKIP() << "ptrace is not allowed here: the watcher cannot trace";
  TempDir dir("watch-tool");
  EXPECT_EQ(run(LENS_TOOL, {"watch", dir / "exit", "--", "sh", "-c", "exit 3"}).status, 3);
  EXPECT_EQ(run(LENS_TOOL, {"watch", dir / "term", "--", "sh", "-c", "kill -TERM $$"}).status,
            128 + SIGTERM);
  const auto ended = lens::read_watch(dir / "term");
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->tasks.size(), 1U);
  const Result missing = run(LENS_TOOL, {"watch", dir / "none", "--", dir / "no-such-program"});
  EXPECT_EQ(missing.status, 127);
  EXPECT_NE(missing.err.find("lens: cannot run "), std::string::npos) << missing.err;

  const std::string ours = dir / "ours";
  std::ofstream(ours) << "ours";
  fs::create_symlink(ours, dir / "link");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  for (const std::string& planted : {dir / "link", dir / "fifo", dir / "no-folder/record"}) {
    Options bounded;
    bounded.timeout = 10s;
    const Result refused =
        run(LENS_TOOL, {"watch", planted, "--", "sh", "-c", "echo ran"}, bounded);
    EXPECT_FALSE(refused.timed_out) << planted;
    EXPECT_EQ(refused.status, 1) << planted;
    EXPECT_EQ(refused.out, "") << planted << ": the program ran";
    EXPECT_TRUE(refused.err.starts_with("lens: ")) << refused.err;
  }
  EXPECT_EQ(read_file(ours), "ours");

  Options held;
  held.hold_input = true;
  Process watcher(LENS_TOOL, {"watch", dir / "cat", "--", "cat"}, held);
  std::string tracee;
  for (int tries = 0; tries < 500 && tracee.empty(); ++tries) {
    tracee = run(LENS_TOOL, {"tracee", std::to_string(watcher.pid())}).out;
    usleep(10000);
  }
  ASSERT_FALSE(tracee.empty());
  const std::string exe = fs::read_symlink("/proc/" + tracee.substr(0, tracee.size() - 1) + "/exe");
  EXPECT_EQ(fs::path(exe).filename(), "cat");
  watcher.close_input();
  EXPECT_EQ(watcher.wait().status, 0);

  for (const std::vector<std::string>& wrong :
       std::vector<std::vector<std::string>>{{"watch", dir / "x", "true"},
                                             {"watch", dir / "x", "--"},
                                             {"--color", "watch", "x", "--", "true"}}) {
    const Result refused = run(LENS_TOOL, wrong);
    EXPECT_EQ(refused.status, 2) << testing::PrintToString(wrong);
    EXPECT_NE(refused.err.find("lens watch FILE -- PROGRAM"), std::string::npos);
  }
}

}  // namespace
}  // namespace ipcwalk
