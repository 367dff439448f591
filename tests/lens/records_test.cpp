// lens's readers of /proc and of the record files' names (lens/records): live processes as the
// tour waits for them, a made-up /proc for what the kernel of the machine that runs the tests
// does not show, and files planted where a reader expects the kernel's.
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "files.h"
#include "lens/samples.h"
#include "records/proc.h"
#include "records/record_files.h"
#include "runner.h"

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;

// The state of process pid once it is `wanted`, or the last one seen after 5 s.
std::string state_within(pid_t pid, lens::ProcessState wanted) {
  lens::ProcessState state = lens::process_state(pid);
  for (int tries = 0; state != wanted && tries < 500; ++tries) {
    std::this_thread::sleep_for(10ms);
    state = lens::process_state(pid);
  }
  return std::string(lens::state_word(state));
}

// lens state on live processes, as the tour waits for them. Faults: the kernel's pipe read not
// taken for a pause; sleep's clock_nanosleep(CLOCK_REALTIME, ...), whose first argument is 0,
// taken for a read of descriptor 0; a futex wait not seen; a zombie or a reaped child not ended.
TEST(LensProcesses, StateOfLiveProcesses) {
  Options held;
  held.hold_input = true;
  Process reader("/usr/bin/cat", {}, held);
  EXPECT_EQ(state_within(reader.pid(), lens::ProcessState::paused), "paused");
  Process sleeper("/usr/bin/sleep", {"5"});
  const fs::path slept = "/proc/" + std::to_string(sleeper.pid());
  const auto asleep_on_zero = [&slept] {  // asleep in a call whose first argument is 0
    std::istringstream call(read_file(slept / "syscall"));
    std::string number, first;
    call >> number >> first;
    return read_file(slept / "stat").find(") S ") != std::string::npos && first == "0x0";
  };
  for (int tries = 0; !asleep_on_zero() && tries < 500; ++tries)
    std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(asleep_on_zero());
  EXPECT_EQ(lens::state_word(lens::process_state(sleeper.pid())), "running");
  Process ended("/usr/bin/true", {});
  EXPECT_EQ(state_within(ended.pid(), lens::ProcessState::ended), "ended");  // a zombie
  ended.wait();
  EXPECT_EQ(lens::state_word(lens::process_state(ended.pid())), "ended");

  // A semaphore shared with a forked child, which waits on it; the child is killed and reaped,
  // and the page unmapped, pass or fail.
  void* page =
      mmap(nullptr, sizeof(sem_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  const std::shared_ptr<void> unmap(page, [](void* mapped) { munmap(mapped, sizeof(sem_t)); });
  auto* semaphore = static_cast<sem_t*>(page);
  ASSERT_EQ(sem_init(semaphore, 1, 0), 0);
  const pid_t taker = fork();
  ASSERT_GE(taker, 0);
  if (taker == 0) {
    sem_wait(semaphore);
    _exit(0);
  }
  const std::shared_ptr<void> reap(nullptr, [taker](void*) {
    kill(taker, SIGKILL);
    waitpid(taker, nullptr, 0);
  });
  EXPECT_EQ(state_within(taker, lens::ProcessState::waiting), "waiting");
}

// A made-up /proc with one process, 100, whose files a test writes.
class FakeProc {
 public:
  FakeProc() : root_("proc") {
    fs::create_directories(process_ / "task" / "100");
  }
  void put(const std::string& name, const std::string& text) const {
    std::ofstream(process_ / name) << text;
  }
  std::string root() const {
    return root_.path();
  }
  const fs::path& process() const {
    return process_;
  }

 private:
  TempDir root_;
  fs::path process_ = root_.path() / "100";
};

// Where the kernel hides wchan ("0" or nothing), the call the process sleeps in decides. Faults:
// no such fallback; a segment program taken as paused while its shell runs ipcs (its child,
// listed in a children file); the first argument alone taken for a read (a clock_nanosleep on
// clock 0); a command holding ") R " read as the state; a named wchan overruled by the call.
TEST(LensProcesses, StateWithoutWchanFromTheCallAndTheChildren) {
  const FakeProc proc;
  struct Case {
    std::string state, wchan;
    long call;
    std::string first, children, expected;
  };
  for (const Case& seen :
       std::vector<Case>{{"S", "0", SYS_read, "0x0", "", "paused"},
                         {"S", "", SYS_read, "0x0", "101 ", "running"},
                         {"S", "0", SYS_clock_nanosleep, "0x0", "", "running"},
                         {"S", "", SYS_futex, "0x5581c0", "", "waiting"},
                         {"S", "hrtimer_nanosleep", SYS_read, "0x0", "", "running"},
                         {"Z", "0", SYS_read, "0x0", "", "ended"}}) {
    proc.put("stat", "100 (x) R 7) " + seen.state + " 1 100 100 0 -1 4194304\n");
    proc.put("wchan", seen.wchan);
    proc.put("syscall",
             std::to_string(seen.call) + " " + seen.first + " 0x7ffd 0x1 0 0 0 0x7ffc 0x7f\n");
    proc.put("task/100/children", seen.children);
    EXPECT_EQ(lens::state_word(lens::process_state(100, proc.root())), seen.expected)
        << seen.state << " " << seen.wchan << " " << seen.call << " " << seen.children;
  }
}

// lens tracee under a made-up /proc without children files (each stat read for its parent).
// Faults: strace's own traced child (strace's binary, before its exec) taken for the program; an
// untraced child of another program taken for it; a pid printed where there is none yet.
TEST(LensProcesses, TheTraceeIsTheTracedChildThatBecameTheProgram) {
  TempDir proc("proc");
  const auto make = [&proc](int pid, int parent, const std::string& exe, int tracer) {
    const fs::path process = proc.path() / std::to_string(pid);
    fs::create_directories(process);
    std::ofstream(process / "stat") << pid << " (x) S " << parent << " 1 1 0\n";
    std::ofstream(process / "status") << "Name:\tx\nTracerPid:\t" << tracer << "\nUid:\t1\n";
    fs::create_symlink(exe, process / "exe");
  };
  make(200, 1, "/usr/bin/strace", 0);
  make(201, 200, "/usr/bin/strace", 200);
  make(202, 200, "/usr/bin/env", 0);
  make(203, 200, "/build/bin/segstamp", 200);
  EXPECT_EQ(lens::tracee(200, proc.path().string()), 203);
  fs::remove_all(proc.path() / "203");
  EXPECT_EQ(lens::tracee(200, proc.path().string()), std::nullopt);
}

// What the segment and taker views show, read from a made-up /proc. Faults: another segment's row
// (11 for 1) or a file whose inode number happens to be the identifier taken for the segment; the
// table's header lost; a row cut short read past its end; a named pipe planted as a /proc file
// waited on for ever.
TEST(LensProc, TheSegmentsRowsItsMappingsAndWhatATakerSleepsIn) {
  const FakeProc proc;
  fs::create_directories(proc.root() + "/sysvipc");
  std::ofstream(proc.root() + "/sysvipc/shm")
      << "       key      shmid perms       size  cpid  lpid nattch   uid\n"
         "         0         11   666       4096   300   301      2     0\n"
         "         0          1   666       4096   300   302      2     0\n"
         "         0          1   666\n";
  const std::vector<lens::ShmRow> rows = lens::shm_rows(1, proc.root());
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_EQ(rows[0][1], "shmid");
  EXPECT_EQ(rows[1], (lens::ShmRow{"0", "1", "666", "4096", "300", "302", "2"}));
  EXPECT_TRUE(lens::shm_rows(7, proc.root()).size() == 1U);  // the header alone

  const std::string segment =
      "7f0000000000-7f0000001000 rw-s 00000000 00:01 1   /SYSV00000000 (deleted)";
  const std::string file = "7f0000002000-7f0000003000 r--p 00000000 08:01 1   /usr/lib/1";
  const std::string semaphore = "7f0000004000-7f0000004020 rw-s 00000000 00:1a 9   /dev/shm/sem.x";
  proc.put("maps", segment + "\n" + file + "\n" + semaphore + "\n");
  EXPECT_EQ(lens::map_rows(100, proc.root()), (std::vector<std::string>{segment, file, semaphore}));
  EXPECT_TRUE(lens::maps_segment(segment, 1));
  EXPECT_FALSE(lens::maps_segment(segment, 11));
  EXPECT_FALSE(lens::maps_segment(file, 1));
  EXPECT_FALSE(lens::maps_segment("7f0000000000-7f0000001000 rw-s 00000000 00:01", 1));
  EXPECT_TRUE(lens::map_rows(101, proc.root()).empty());
  proc.put("wchan", "futex_wait_queue");
  EXPECT_EQ(lens::wchan(100, proc.root()), "futex_wait_queue");
  EXPECT_EQ(lens::wchan(101, proc.root()), "");

  // Planted named pipes: refused at once, never waited on.
  for (const char* name : {"maps", "wchan"}) {
    fs::remove(proc.process() / name);
    ASSERT_EQ(mkfifo((proc.process() / name).c_str(), 0600), 0);
  }
  fs::remove(proc.root() + "/sysvipc/shm");
  ASSERT_EQ(mkfifo((proc.root() + "/sysvipc/shm").c_str(), 0600), 0);
  EXPECT_TRUE(lens::map_rows(100, proc.root()).empty());
  EXPECT_EQ(lens::wchan(100, proc.root()), "");
  EXPECT_TRUE(lens::shm_rows(1, proc.root()).empty());
}

// The semaphore's file in both of the C library's layouts: the 32-bit one never occurs on the
// machines that run these tests, so its decoding is checked here, with a waiter and a value
// above 1. Faults: the layouts' words swapped or misread; a file of another size, a named pipe
// (which would block an open) or a link planted at the semaphore's name read as a semaphore.
TEST(LensProc, TheSemaphoresValueAndWaitersInBothLayouts) {
  TempDir folder("semaphore");
  const auto file_of = [&folder](const std::string& name, const std::vector<std::uint32_t>& words) {
    return words_file(folder.path() / name, words);
  };
  // 16 bytes: the value 2 shifted left, plus 1 for the waiter; sharing; padding; 1 waiter.
  const std::string small = file_of("small", {5, 128, 0, 1});
  const auto two = lens::read_semaphore(small);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->size, 16U);
  EXPECT_EQ(two->value, 2U);
  EXPECT_EQ(two->waiters, 1U);
  EXPECT_EQ(two->words, (std::array<std::uint32_t, 4>{5, 128, 0, 1}));
  // 32 bytes: one 64-bit word, 3 waiters above the value 0.
  const std::uint64_t word = std::uint64_t{3} << 32U;
  std::vector<std::uint32_t> big(8, 0);
  std::memcpy(big.data(), &word, sizeof word);
  const auto found = lens::read_semaphore(file_of("big", big));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->size, 32U);
  EXPECT_EQ(found->value, 0U);
  EXPECT_EQ(found->waiters, 3U);
  EXPECT_EQ(found->first, word);
  ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0);
  fs::create_symlink(small, folder / "link");
  for (const std::string& other : {file_of("odd", {1, 0, 0}), file_of("long", std::vector(9, 0U)),
                                   folder / "pipe", folder / "none", folder / "link"})
    EXPECT_FALSE(lens::read_semaphore(other)) << other;
}

// The record files' names as `lens names` gives them to the tour. Faults: a run's file not its
// step's prefix and run; a step's name with blanks, which bash's read would split; a step or a
// run left out; two runs under one name.
TEST(LensRecordFiles, EveryStepAndRunNamedOnceInOneWordAField) {
  EXPECT_EQ(lens::run_file(lens::step_names[2], "segpeek-2"), "3-segment-segpeek-2");
  EXPECT_EQ(lens::lesson_file("gaterace", 1), "lesson-gaterace-1");
  std::istringstream text(lens::names_text());
  std::set<std::string> files;
  std::size_t steps = 0;
  std::size_t runs = 0;
  for (std::string line; std::getline(text, line);) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;)
      words.push_back(word);
    ASSERT_FALSE(words.empty());
    if (words[0] == "step") {
      ASSERT_EQ(words.size(), 5U) << line;
      ASSERT_LT(steps, lens::step_names.size());
      const lens::StepNames& step = lens::step_names[steps++];
      EXPECT_EQ(words[1], step.word);
      EXPECT_EQ(words[2], step.prefix);
      EXPECT_EQ(words[3], std::string(step.name).replace(3, 1, "_")) << line;
      EXPECT_EQ(words[4], step.lesson);
    } else {
      ASSERT_EQ(words.size(), 4U) << line;
      EXPECT_EQ(words[0], "run");
      ASSERT_GT(steps, 0U);
      EXPECT_EQ(words[1], lens::step_names[steps - 1].word);
      EXPECT_EQ(words[3], std::string(lens::step_names[steps - 1].prefix) + "-" + words[2]);
      EXPECT_TRUE(files.insert(words[3]).second) << words[3] << " twice";
      ++runs;
    }
  }
  EXPECT_EQ(steps, 4U);
  EXPECT_EQ(runs, 10U);
  EXPECT_TRUE(files.count("1-pipe-forkrelay"));
  EXPECT_TRUE(files.count("4-semaphore-gatetake-2"));
}

}  // namespace
}  // namespace ipcwalk
