// The lessons: tallyrace, relaykeep, segtear and gaterace. Whether a race happened depends on the
// machine, so these check only what is certain: the printed figures add up, the waits are where
// the lessons say they are, and nothing is left behind, also when a lesson is interrupted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/ptrace.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "files.h"
#include "runner.h"

namespace ipcwalk {
namespace {

// The value of the line "NAME: VALUE" in a lesson's output, or "" where there is none.
std::string field(const std::string& out, const std::string& name) {
  std::smatch match;
  const std::regex line("(^|\n)" + name + ": ([^\n]*)");
  return std::regex_search(out, match, line) ? match[2].str() : "";
}

long number(const std::string& out, const std::string& name) {
  const std::string value = field(out, name);
  EXPECT_FALSE(value.empty()) << "no line \"" << name << ": N\" in:\n" << out;
  return value.empty() ? -1 : std::stol(value);
}

// True once `holds` does, false at the deadline.
bool eventually(const std::function<bool()>& holds, Duration limit = 5s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!holds()) {
    if (std::chrono::steady_clock::now() >= until)
      return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Identifiers of the System V segments still in the system that one of `pids` made.
std::set<int> segments_made_by(const std::set<long>& pids) {
  std::ifstream table("/proc/sysvipc/shm");
  std::string row;
  std::getline(table, row);  // the column names
  std::set<int> found;
  while (std::getline(table, row)) {
    std::istringstream columns(row);
    long key, id, permissions, size, creator;
    if (columns >> key >> id >> permissions >> size >> creator && pids.count(creator) != 0)
      found.insert(static_cast<int>(id));
  }
  return found;
}

// True once no segment that one of `pids` made is left (the kernel frees a removed segment at
// its last detach); at the deadline, false, and what is left is removed.
bool no_segment_left_by(const std::set<long>& pids) {
  if (eventually([&] { return segments_made_by(pids).empty(); }))
    return true;
  for (const int id : segments_made_by(pids))
    shmctl(id, IPC_RMID, nullptr);
  return false;
}

// True where the semaphore `name` no longer exists; otherwise false, and it is removed.
bool no_semaphore_left(const std::string& name) {
  if (name.empty() || access(("/dev/shm/sem." + name.substr(1)).c_str(), F_OK) != 0)
    return true;
  sem_unlink(name.c_str());
  return false;
}

TEST(Tallyrace, TheFiguresAddUpOnAllCpusAndOnOne) {
  // Under ThreadSanitizer, a data race on the total would end the run with a report: the two
  // steps are relaxed atomics, and must stay so.
  Result all = run("tallyrace", {}, {.timeout = 120s});
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(all.err, "");
  const long expected = number(all.out, "expected");
  EXPECT_EQ(expected, number(all.out, "table") / 2);
  EXPECT_EQ(number(all.out, "workers"), 16);
  const long total = number(all.out, "total");
  EXPECT_GT(total, 0);
  EXPECT_LE(total, expected);
  EXPECT_EQ(number(all.out, "lost"), expected - total);
  EXPECT_LE(number(all.out, "overlapping"), 16);
  EXPECT_NE(all.out.find(total < expected ? "Additions were lost where "
                                          : "No addition was lost this run.\n"),
            std::string::npos);
  // Like the other lessons, it takes no argument it would not use.
  const Result wrong = run("tallyrace", {"8"});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_EQ(wrong.out, "");
  EXPECT_EQ(wrong.err, "usage: tallyrace\n");

  if (access("/usr/bin/taskset", X_OK) != 0)
    GTEST_SKIP() << "no taskset to pin the run to one CPU";
  Result pinned = run("/usr/bin/taskset", {"-c", "0", program("tallyrace")}, {.timeout = 120s});
  ASSERT_EQ(pinned.status, 0) << pinned.err;
  EXPECT_EQ(number(pinned.out, "cpus"), 1);
  EXPECT_EQ(number(pinned.out, "lost"),
            number(pinned.out, "expected") - number(pinned.out, "total"));
}

// True once no process `pid` is left that runs relaykeep.
bool relaykeep_gone(pid_t pid) {
  return eventually([pid] {
    return read_file("/proc/" + std::to_string(pid) + "/cmdline").find("relaykeep") ==
           std::string::npos;
  });
}

TEST(Relaykeep, TheParentShowsTheReadWaitingInPipeReadThenEndsIt) {
  Result result = run("relaykeep", {}, {.timeout = 15s});
  ASSERT_EQ(result.status, 0) << result.err;
  const pid_t child = static_cast<pid_t>(number(result.out, "child pid"));
  ASSERT_GT(child, 0);
  // A read that returned would print its result: the child holds a write end, so it cannot.
  EXPECT_EQ(result.out.find("child: read returned"), std::string::npos) << result.out;
  EXPECT_EQ(field(result.out, "child ended"),
            "signal " + std::to_string(SIGTERM) + " (" + strsignal(SIGTERM) + ")");
  EXPECT_GE(std::stod(field(result.out, "child read for")), 0.4);
  // The parent collected its child: nothing the lesson started outlives it.
  EXPECT_TRUE(relaykeep_gone(child));
  const std::string wchan = field(result.out, "child wchan");
  if (wchan == "0")
    GTEST_SKIP() << "the kernel hides wchan here: where the read waits cannot be seen";
  EXPECT_NE(wchan.find("pipe_read"), std::string::npos) << wchan;
}

TEST(Relaykeep, TheReadingChildDiesWithItsParent) {
  Process lesson("relaykeep", {}, {.timeout = 15s});
  ASSERT_TRUE(lesson.wait_for_output("child: reading", 10s)) << lesson.err();
  const pid_t child = static_cast<pid_t>(number(lesson.out(), "child pid"));
  ASSERT_GT(child, 0);
  kill(lesson.pid(), SIGKILL);
  lesson.wait();
  // Orphaned, it would read for ever: it must go with its parent.
  const bool gone = relaykeep_gone(child);
  if (!gone)
    kill(child, SIGKILL);
  EXPECT_TRUE(gone) << "the child outlived its killed parent";
}

TEST(Relaykeep, LimitsAreTheKernelsSignalErrorAndPipeSize) {
  Result result = run("relaykeep", {"limits"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(field(result.out, "sigpipe signal"),
            std::to_string(SIGPIPE) + " (" + strsignal(SIGPIPE) + ")");
  EXPECT_EQ(number(result.out, "sigpipe status"), 128 + SIGPIPE);
  EXPECT_EQ(field(result.out, "epipe write"), std::string("-1 (") + std::strerror(EPIPE) + ")");
  // The capacity is what the filling measured; F_GETPIPE_SZ is the kernel's word, here and there.
  int fd[2];
  ASSERT_EQ(pipe(fd), 0);
  const int pipe_size = fcntl(fd[1], F_GETPIPE_SZ);
  close(fd[0]);
  close(fd[1]);
  EXPECT_EQ(number(result.out, "F_GETPIPE_SZ"), pipe_size);
  EXPECT_EQ(number(result.out, "capacity"), pipe_size);
  EXPECT_EQ(run("relaykeep", {"other"}).status, 2);
}

TEST(Segtear, TheCopiesAddUpAndTheSegmentGoes) {
  Process lesson("segtear", {"2000"}, {.timeout = 60s});
  Result result = lesson.wait();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(number(result.out, "segment size"), 4096);
  EXPECT_EQ(number(result.out, "copies"), 2000);
  EXPECT_EQ(number(result.out, "one letter") + number(result.out, "torn"), 2000);
  const long writer = number(result.out, "writer pid");
  EXPECT_TRUE(no_segment_left_by({lesson.pid(), writer}));
}

// A state change of traced process pid, waited for until `until`; nothing at the deadline.
std::optional<int> traced_change(pid_t pid, std::chrono::steady_clock::time_point until,
                                 bool block = true) {
  for (;;) {
    int status = 0;
    const pid_t got = waitpid(pid, &status, __WALL | WNOHANG);
    if (got == pid)
      return status;
    if (got < 0 || !block || std::chrono::steady_clock::now() >= until)
      return std::nullopt;
    std::this_thread::sleep_for(1ms);
  }
}

// The descriptor number of a pipe that process pid holds, other than its standard streams.
std::optional<int> pipe_of(pid_t pid) {
  const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
    const int fd = std::atoi(entry.path().filename().c_str());
    if (fd > STDERR_FILENO &&
        std::filesystem::read_symlink(entry.path(), error).string().starts_with("pipe:"))
      return fd;
  }
  return std::nullopt;
}

// A run of segtear whose writer never runs: traced (ptrace) from its fork on and never let go,
// it stays stopped before its first instruction. The segment then holds what `fill` writes into
// it and nothing else, and the test lets the reader start (its pipe, opened through /proc, gets
// the byte the writer would have written). What the run printed, and its wait status.
struct HeldRun {
  bool traced = false;  // false where ptrace is not allowed here
  pid_t reader = -1;
  pid_t writer = -1;
  std::string out;
  std::optional<int> status;
};

HeldRun segtear_with_writer_held(const std::string& copies,
                                 const std::function<void(unsigned char*, std::size_t)>& fill) {
  HeldRun held;
  TempDir dir("segtear-held");
  const std::string path = program("segtear");
  const std::string out_path = dir / "out";
  // AddressSanitizer's leak checker stops the process with ptrace, which a traced one refuses.
  // The first ASAN_OPTIONS in the environment is the one read.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string no_leaks =
      std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0";
  std::vector<char*> envp{const_cast<char*>(no_leaks.c_str())};
  for (char** variable = environ; *variable != nullptr; ++variable)
    envp.push_back(*variable);
  envp.push_back(nullptr);
  std::vector<char*> argv{const_cast<char*>(path.c_str()), const_cast<char*>(copies.c_str()),
                          nullptr};
  const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  held.reader = fork();
  if (held.reader == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dup2(null_fd, STDIN_FILENO) < 0 || dup2(out_fd, STDOUT_FILENO) < 0 ||
        dup2(out_fd, STDERR_FILENO) < 0 || ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) < 0)
      _exit(126);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_fd);
  close(null_fd);
  const auto until = std::chrono::steady_clock::now() + 30s;
  // The exec stops the reader before its first instruction; 126: ptrace was refused.
  std::optional<int> status = traced_change(held.reader, until);
  held.traced = status && WIFSTOPPED(*status);
  if (held.traced) {
    ptrace(PTRACE_SETOPTIONS, held.reader, nullptr,
           PTRACE_O_TRACEFORK | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
    ptrace(PTRACE_CONT, held.reader, nullptr, nullptr);
  }
  bool released = false, writer_gone = false;
  while (held.traced && std::chrono::steady_clock::now() < until && !(held.status && writer_gone)) {
    if (!held.status && (status = traced_change(held.reader, until, false))) {
      if (!WIFSTOPPED(*status)) {
        held.status = status;
      } else if (*status >> 16 == PTRACE_EVENT_FORK) {
        unsigned long child = 0;
        ptrace(PTRACE_GETEVENTMSG, held.reader, nullptr, &child);
        held.writer = static_cast<pid_t>(child);
        ptrace(PTRACE_CONT, held.reader, nullptr, nullptr);
      } else {
        // Its own signals (SIGCHLD as the writer dies) go on; the stops of a ptrace event do not.
        const int signal_number = (*status >> 16) != 0 ? 0 : WSTOPSIG(*status);
        ptrace(PTRACE_CONT, held.reader, nullptr,
               reinterpret_cast<void*>(
                   static_cast<long>(signal_number == SIGTRAP ? 0 : signal_number)));
      }
    }
    writer_gone =
        writer_gone || (held.writer > 0 && (status = traced_change(held.writer, until, false)) &&
                        !WIFSTOPPED(*status));
    writer_gone = writer_gone || (held.status && held.writer < 0);
    if (held.writer > 0 && !released) {
      // Printed before the fork: the segment's identifier and size.
      const std::string out = read_file(out_path);
      void* const segment = shmat(static_cast<int>(number(out, "segment id")), nullptr, 0);
      const auto pipe = pipe_of(held.reader);
      if (segment == reinterpret_cast<void*>(-1) || !pipe)
        break;
      fill(static_cast<unsigned char*>(segment),
           static_cast<std::size_t>(number(out, "segment size")));
      shmdt(segment);
      const int start =
          open(("/proc/" + std::to_string(held.reader) + "/fd/" + std::to_string(*pipe)).c_str(),
               O_WRONLY | O_CLOEXEC);
      const char byte = 1;
      released = start >= 0 && write(start, &byte, 1) == 1;
      close(start);
      if (!released)
        break;
    }
    std::this_thread::sleep_for(1ms);
  }
  // Whatever happened, neither process outlives the test.
  for (const pid_t pid : {held.reader, held.writer}) {
    if (pid > 0 && !(pid == held.reader ? held.status.has_value() : writer_gone)) {
      kill(pid, SIGKILL);
      traced_change(pid, std::chrono::steady_clock::now() + 5s);
    }
  }
  held.out = read_file(out_path);
  return held;
}

// With the segment's content known and still, every copy is known: all one letter is never
// counted torn, and a copy holding the other letter anywhere, even one byte in the middle (the
// reader can overtake a rewrite, or fall a rewrite behind), always is.
TEST(Segtear, ACopyIsCountedTornExactlyWhenItHoldsBothLetters) {
  for (const bool torn : {false, true}) {
    const HeldRun held =
        segtear_with_writer_held("100", [torn](unsigned char* bytes, std::size_t size) {
          std::memset(bytes, 'A', size);
          if (torn)
            bytes[size / 2] = 'B';
        });
    if (!held.traced)
      GTEST_SKIP() << "ptrace is not allowed here: segtear's writer cannot be held still";
    ASSERT_TRUE(held.status) << "segtear did not end within 30 s:\n" << held.out;
    ASSERT_TRUE(WIFEXITED(*held.status) && WEXITSTATUS(*held.status) == 0) << held.out;
    EXPECT_EQ(number(held.out, "copies"), 100);
    EXPECT_EQ(number(held.out, "torn"), torn ? 100 : 0) << held.out;
    EXPECT_EQ(number(held.out, "one letter"), torn ? 0 : 100) << held.out;
    EXPECT_TRUE(no_segment_left_by({held.reader, held.writer}));
  }
}

TEST(Segtear, AnInterruptedRunLeavesNoSegment) {
  for (const int signal_number : {SIGINT, SIGTERM}) {
    Process lesson("segtear", {"1000000000"}, {.timeout = 60s});
    ASSERT_TRUE(lesson.wait_for_output("writer pid: ")) << lesson.err();
    const long writer = number(lesson.out(), "writer pid");
    kill(lesson.pid(), signal_number);
    Result result = lesson.wait();
    EXPECT_EQ(result.signal, signal_number) << "it ended before the signal came";
    // The writer ends with the parent, and with the last attachment the segment goes.
    EXPECT_TRUE(no_segment_left_by({lesson.pid(), writer})) << strsignal(signal_number);
    // A writer that outlived its parent would rewrite for ever: it goes too.
    if (read_file("/proc/" + std::to_string(writer) + "/cmdline").find("segtear") !=
        std::string::npos)
      kill(static_cast<pid_t>(writer), SIGKILL);
  }
}

TEST(Gaterace, InsideTheSemaphoreNothingIsLostAndNoSectionsOverlap) {
  Process lesson("gaterace", {"20"}, {.timeout = 60s});
  Result result = lesson.wait();
  ASSERT_EQ(result.status, 0) << result.err;
  const long sections = number(result.out, "processes") * 20;
  for (const std::string label : {"unlocked", "locked"}) {
    EXPECT_EQ(number(result.out, label + " expected"), sections) << label;
    EXPECT_EQ(number(result.out, label + " lost"), sections - number(result.out, label + " final"))
        << label;
    EXPECT_LE(number(result.out, label + " overlapping"), sections) << label;
  }
  EXPECT_EQ(number(result.out, "locked final"), sections);
  EXPECT_EQ(number(result.out, "locked overlapping"), 0);
  const std::string name = field(result.out, "semaphore");
  EXPECT_TRUE(std::regex_match(name, std::regex("/gaterace-[0-9a-f]{16}"))) << name;
  EXPECT_TRUE(no_semaphore_left(name));
  EXPECT_TRUE(no_segment_left_by({lesson.pid()}));
}

TEST(Gaterace, AHolderKilledHoldingLeavesTheValueAtZeroAndTheNextTakerTimesOut) {
  Result result = run("gaterace", {"kill"}, {.timeout = 30s});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(number(result.out, "value while held"), 0);
  EXPECT_EQ(field(result.out, "holder signal"),
            std::to_string(SIGKILL) + " (" + strsignal(SIGKILL) + ")");
  EXPECT_EQ(number(result.out, "value after kill"), 0);
  // What happened, not ETIMEDOUT's text ("Connection timed out"): there is no connection.
  EXPECT_EQ(field(result.out, "next taker"), "gave up: the semaphore stayed taken");
  EXPECT_GE(std::stod(field(result.out, "next taker waited")), 0.9);
  EXPECT_TRUE(no_semaphore_left(field(result.out, "semaphore")));
}

TEST(Gaterace, AnInterruptedRunLeavesNeitherSemaphoreNorSegment) {
  // Mid-sections, and in the killed-holder run while the next taker waits.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"1000"}, std::vector<std::string>{"kill"}}) {
    for (const int signal_number : {SIGINT, SIGTERM}) {
      Process lesson("gaterace", args, {.timeout = 60s});
      ASSERT_TRUE(lesson.wait_for_output(args[0] == "kill" ? "value after kill: " : "pause: "))
          << lesson.err();
      kill(lesson.pid(), signal_number);
      Result result = lesson.wait();
      EXPECT_EQ(result.signal, signal_number) << args[0] << ": it ended before the signal came";
      EXPECT_TRUE(no_semaphore_left(field(result.out, "semaphore"))) << args[0];
      EXPECT_TRUE(no_segment_left_by({lesson.pid()}))
          << args[0] << ", " << strsignal(signal_number);
    }
  }
}

}  // namespace
}  // namespace ipcwalk
