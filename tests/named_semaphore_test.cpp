// gatenew, gatetake, gategive: a POSIX named semaphore used as a lock by unrelated processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "files.h"
#include "runner.h"

namespace ipcwalk {
namespace {

// A semaphore name unique to this run, removed when the test ends, pass or fail.
struct Gate {
  std::string name;
  Gate() {
    static int counter = 0;
    name = "/ipcwalk-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  }
  ~Gate() {
    sem_unlink(name.c_str());
  }
  std::string path() const {
    return "/dev/shm/sem." + name.substr(1);
  }
};

// The current value, or -1 if there is no such semaphore.
int value_of(const std::string& name) {
  sem_t* semaphore = sem_open(name.c_str(), 0);
  if (semaphore == SEM_FAILED)
    return -1;
  int value = -1;
  sem_getvalue(semaphore, &value);
  sem_close(semaphore);
  return value;
}

bool exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// The GNU C library's bytes for a semaphore shared between processes, in this platform's layout:
// 32 bytes, a 64-bit word with the value in its low half and the waiters in its high half; or 16
// bytes, a 32-bit word with the value shifted left by one plus 1 while anybody waits, and the
// number of waiters in the last word. The rest is as sem_init leaves it.
constexpr bool value_in_64_bit_word = sizeof(sem_t) == 4 * sizeof(std::uint64_t);
std::string semaphore_bytes(std::uint64_t value, std::uint32_t waiters) {
  sem_t model{};
  sem_init(&model, 1, 0);
  std::string bytes(reinterpret_cast<const char*>(&model), sizeof model);
  if constexpr (value_in_64_bit_word) {
    const std::uint64_t word = value | std::uint64_t{waiters} << 32;
    std::memcpy(bytes.data(), &word, sizeof word);
  } else {
    const auto word = static_cast<std::uint32_t>(value << 1 | (waiters > 0 ? 1 : 0));
    std::memcpy(bytes.data(), &word, sizeof word);
    std::memcpy(bytes.data() + sizeof model - sizeof waiters, &waiters, sizeof waiters);
  }
  return bytes;
}

// True once the semaphore's file holds `bytes`, false after five seconds.
bool file_holds(const std::string& path, const std::string& bytes) {
  for (int tries = 0; tries < 500; ++tries) {
    if (read_file(path) == bytes)
      return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

std::string taken_line(pid_t pid) {
  return "pid " + std::to_string(pid) + " has semaphore,value=0\n";
}

TEST(Gatenew, CreatesWithValueOneAndModeLessUmaskAndKeepsAnExistingValue) {
  // 027 shows the umask applied, 002 that the mode asked for is 0644 (0666 would give 0664).
  for (const auto& [mask, expected] :
       {std::pair<mode_t, mode_t>{027, 0640}, std::pair<mode_t, mode_t>{002, 0644}}) {
    Gate gate;
    const mode_t saved = umask(mask);
    Result created = run("gatenew", {gate.name});
    umask(saved);
    EXPECT_EQ(created.status, 0);
    EXPECT_EQ(created.out + created.err, "");
    struct stat info {};
    ASSERT_EQ(stat(gate.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, expected) << std::oct << mask;
    EXPECT_EQ(value_of(gate.name), 1);
  }
  Gate gate;
  ASSERT_EQ(run("gatenew", {gate.name}).status, 0);
  ASSERT_EQ(run("gatetake", {gate.name}).status, 0);
  Result again = run("gatenew", {gate.name});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out + again.err, "");
  EXPECT_EQ(value_of(gate.name), 0);

  // The library takes a name without its slash, or with two, for the same semaphore.
  Gate forms;
  ASSERT_EQ(run("gatenew", {forms.name.substr(1)}).status, 0);
  EXPECT_TRUE(exists(forms.path()));
  EXPECT_EQ(run("gatetake", {"/" + forms.name}).status, 0);
  EXPECT_EQ(value_of(forms.name), 0);
}

TEST(Gate, TakePassesThenBlocksUntilAGiveAndGiveCountsUp) {
  Gate gate;
  ASSERT_EQ(run("gatenew", {gate.name}).status, 0);
  Process first("gatetake", {gate.name}, {.timeout = 5s});
  Result passed = first.wait();
  EXPECT_EQ(passed.status, 0);
  EXPECT_EQ(passed.out, taken_line(first.pid()));
  EXPECT_EQ(passed.err, "");

  Process second("gatetake", {gate.name}, {.hold_input = true, .timeout = 10s});
  // Value 0 and one waiter, in the bytes the programs look at before they open the semaphore.
  EXPECT_TRUE(file_holds(gate.path(), semaphore_bytes(0, 1)));
  ASSERT_TRUE(second.running()) << second.out();
  EXPECT_EQ(second.out(), "");
  Result give = run("gategive", {gate.name});
  EXPECT_EQ(give.status, 0);
  EXPECT_TRUE(give.out == "value=0\n" || give.out == "value=1\n") << give.out;
  EXPECT_EQ(give.err, "");
  const auto given = std::chrono::steady_clock::now();
  Result released = second.wait();
  EXPECT_LT(std::chrono::steady_clock::now() - given, 3s);
  EXPECT_EQ(released.status, 0);
  EXPECT_EQ(released.out, taken_line(second.pid()));
  EXPECT_EQ(value_of(gate.name), 0);

  for (int value : {0, 1, 2}) {
    Result counted = run("gategive", {gate.name});
    EXPECT_EQ(counted.status, 0);
    EXPECT_EQ(counted.out, "value=" + std::to_string(value + 1) + "\n");
  }
  EXPECT_EQ(value_of(gate.name), 3);
  Process third("gatetake", {gate.name}, {.timeout = 5s});
  EXPECT_EQ(third.wait().out, "pid " + std::to_string(third.pid()) + " has semaphore,value=2\n");
}

TEST(Gate, UsageLinesForZeroAndTwoArguments) {
  const std::string take_give = "please input a file name!\n";
  for (const auto& [program, line] :
       {std::pair{"gatenew", "please input a file name to act as the ID of the sem!\n"},
        std::pair{"gatetake", take_give.c_str()}, std::pair{"gategive", take_give.c_str()}}) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"/ipcwalk-a", "/ipcwalk-b"}}) {
      Result result = run(program, args);
      EXPECT_EQ(result.out, line) << program << " with " << args.size() << " arguments";
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(result.status, 1);
    }
    Result lost = run(program, {}, {.out = Stream::full});
    EXPECT_EQ(lost.err, std::string(program) + ": write error: No space left on device\n");
    EXPECT_EQ(lost.status, 1);
  }
}

TEST(Gate, BadNamesAreReportedAndCreateNothing) {
  Gate missing;
  for (const char* program : {"gatetake", "gategive"}) {
    Result result = run(program, {missing.name});
    EXPECT_EQ(result.err, "sem_open: No such file or directory\n") << program;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(exists(missing.path()));
  }
  Gate directory;  // a slash further on: a name the library refuses, not a file in a folder
  const std::string slashed = directory.name.substr(1) + "/b";
  // With the slash, 253 to 256 characters make a file name too long; from 257 on the library
  // refuses the name itself.
  const std::string too_long = "/" + std::string(255, 'x');
  const std::string longer = "/" + std::string(256, 'x');
  for (const char* program : {"gatenew", "gatetake", "gategive"}) {
    for (const auto& [name, reason] :
         {std::pair{slashed, "Invalid argument"}, std::pair{too_long, "File name too long"},
          std::pair{longer, "Invalid argument"}}) {
      Result result = run(program, {name});
      EXPECT_EQ(result.err, std::string("sem_open: ") + reason + "\n")
          << program << " " << name.size();
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.signal, 0);
    }
  }
  EXPECT_FALSE(exists(directory.path()));
}

TEST(Gate, FailedCallsAreReportedWithTheirCause) {
  Gate refused;
  Result open_failed = run("gatenew", {refused.name}, {.faults = {{"sem_open", EACCES}}});
  EXPECT_EQ(open_failed.err, "sem_open: Permission denied\n");
  EXPECT_EQ(open_failed.out, "");
  EXPECT_EQ(open_failed.status, 1);
  EXPECT_FALSE(exists(refused.path()));

  Gate gate;
  ASSERT_EQ(run("gatenew", {gate.name}).status, 0);
  Result wait_failed = run("gatetake", {gate.name}, {.faults = {{"sem_wait", EINVAL}}});
  EXPECT_EQ(wait_failed.err, "sem_wait: Invalid argument\n");
  EXPECT_EQ(wait_failed.out, "");
  EXPECT_EQ(wait_failed.status, 1);
  EXPECT_EQ(value_of(gate.name), 1);

  Process interrupted("gatetake", {gate.name}, {.timeout = 5s, .faults = {{"sem_wait", EINTR, 1}}});
  Result resumed = interrupted.wait();
  EXPECT_EQ(resumed.out, taken_line(interrupted.pid()));
  EXPECT_EQ(resumed.err, "");
  EXPECT_EQ(resumed.status, 0);
  EXPECT_EQ(value_of(gate.name), 0);

  Result post_failed = run("gategive", {gate.name}, {.faults = {{"sem_post", EOVERFLOW}}});
  EXPECT_EQ(post_failed.err, "sem_post: Value too large for defined data type\n");
  EXPECT_EQ(post_failed.out, "");
  EXPECT_EQ(post_failed.status, 1);
  EXPECT_EQ(value_of(gate.name), 0);

  Gate full;
  sem_t* semaphore = sem_open(full.name.c_str(), O_CREAT, 0644, SEM_VALUE_MAX);
  ASSERT_NE(semaphore, SEM_FAILED);
  sem_close(semaphore);
  Result overflow = run("gategive", {full.name});
  EXPECT_EQ(overflow.err, "sem_post: Value too large for defined data type\n");
  EXPECT_EQ(overflow.out, "");
  EXPECT_EQ(overflow.status, 1);
  EXPECT_EQ(value_of(full.name), SEM_VALUE_MAX);
}

TEST(Gate, ManyTakersAndGiversAtOnceLoseNoWakeUp) {
  Gate gate;
  ASSERT_EQ(run("gatenew", {gate.name}).status, 0);
  constexpr int count = 30;
  // The takers first, so that most of them block and each give has to wake one.
  std::vector<std::unique_ptr<Process>> takers, givers;
  for (auto* group : {&takers, &givers}) {
    for (int i = 0; i < count; ++i) {
      group->push_back(std::make_unique<Process>(group == &takers ? "gatetake" : "gategive",
                                                 std::vector{gate.name}, Options{.timeout = 30s}));
    }
  }
  for (auto* group : {&takers, &givers}) {
    for (auto& process : *group) {
      Result result = process->wait();
      EXPECT_EQ(result.status, 0) << result.out << result.err;
      EXPECT_FALSE(result.timed_out);
      EXPECT_EQ(result.err, "");
      const std::string line =
          group == &takers ? "pid " + std::to_string(process->pid()) + " has semaphore,value="
                           : "value=";
      EXPECT_EQ(result.out.rfind(line, 0), 0u) << result.out;
    }
  }
  EXPECT_EQ(value_of(gate.name), 1);
}

TEST(Gate, AFileThatIsNotASemaphoreIsReportedAndLeftAsItWas) {
  // Empty: the library's mapping of it ends in a bus error. All ones: a value above the largest
  // and flags that make the library abort. All zeros: a semaphore private to one process, whose
  // waiters no give from another process can reach.
  for (const std::string& planted :
       {std::string(), std::string(sizeof(sem_t), '\xff'), std::string(sizeof(sem_t), '\0')}) {
    // Named with no slash, one, or two, as the library allows: the file is the same.
    for (const auto& [program, slashes] :
         {std::pair{"gatenew", ""}, std::pair{"gatetake", "/"}, std::pair{"gategive", "//"}}) {
      Gate gate;
      std::ofstream(gate.path(), std::ios::binary) << planted;
      const std::string name = slashes + gate.name.substr(1);
      Result result = run(program, {name}, {.timeout = 5s});
      EXPECT_EQ(result.err, std::string(program) + ": " + name + ": not a semaphore\n")
          << planted.size() << " bytes of " << int{planted.empty() ? 0 : planted[0]};
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(read_file(gate.path()), planted);
    }
  }
}

TEST(Gate, ARealSemaphorePassesTheLookWhateverItsWaitersButNoValueAboveTheLargest) {
  Gate fresh;
  ASSERT_EQ(run("gatenew", {fresh.name}).status, 0);
  ASSERT_EQ(read_file(fresh.path()), semaphore_bytes(1, 0));  // the layout written below is real

  // Waiters killed while they waited stay counted, and the 32-bit layout's waiting flag stays.
  Gate counted;
  std::ofstream(counted.path(), std::ios::binary) << semaphore_bytes(1, 2);
  Process taker("gatetake", {counted.name}, {.timeout = 5s});
  Result taken = taker.wait();
  EXPECT_EQ(taken.out, taken_line(taker.pid()));
  EXPECT_EQ(taken.err, "");
  EXPECT_EQ(taken.status, 0);

  // The largest value passes the look; only then does the give itself overflow.
  Gate largest;
  std::ofstream(largest.path(), std::ios::binary) << semaphore_bytes(SEM_VALUE_MAX, 1);
  Result full = run("gategive", {largest.name});
  EXPECT_EQ(full.err, "sem_post: Value too large for defined data type\n");
  EXPECT_EQ(full.status, 1);

  // One more does not fit in the 32-bit layout's word; in the 64-bit one it would be taken.
  if constexpr (value_in_64_bit_word) {
    const std::string planted = semaphore_bytes(std::uint64_t{SEM_VALUE_MAX} + 1, 0);
    for (const char* program : {"gatenew", "gatetake", "gategive"}) {
      Gate gate;
      std::ofstream(gate.path(), std::ios::binary) << planted;
      Result result = run(program, {gate.name}, {.timeout = 5s});
      EXPECT_EQ(result.err, std::string(program) + ": " + gate.name + ": not a semaphore\n");
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(read_file(gate.path()), planted);
    }
  }
}

TEST(Gate, AFileEmptiedAfterTheLookIsReportedAsNotASemaphore) {
  // Between the look and sem_open, whoever may write into /dev/shm can swap or empty the file;
  // the library's first touch of the semaphore then meets no data, a bus error.
  for (const std::string program : {"gatetake", "gategive"}) {
    Gate gate;
    ASSERT_EQ(run("gatenew", {gate.name}).status, 0);
    Result result = run(program, {gate.name}, {.timeout = 5s, .faults = {{"empty_semaphore", 1}}});
    EXPECT_EQ(result.err, program + ": " + gate.name + ": not a semaphore\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(read_file(gate.path()), "");  // emptied after the look had passed it
  }
}

TEST(Gate, ALostLineIsAFailureButTheSemaphoreStillChanges) {
  Gate gate;
  Result created = run("gatenew", {gate.name}, {.out = Stream::closed, .err = Stream::closed});
  EXPECT_EQ(created.status, 0);  // nothing to print, so nothing lost
  EXPECT_EQ(value_of(gate.name), 1);

  Result taken = run("gatetake", {gate.name}, {.out = Stream::full});
  EXPECT_EQ(taken.err, "gatetake: write error: No space left on device\n");
  EXPECT_EQ(taken.status, 1);
  EXPECT_EQ(value_of(gate.name), 0);

  Result given = run("gategive", {gate.name}, {.out = Stream::closed});
  EXPECT_EQ(given.err, "gategive: write error: Bad file descriptor\n");
  EXPECT_EQ(given.status, 1);
  EXPECT_EQ(value_of(gate.name), 1);

  Result quiet = run("gatetake", {gate.name}, {.err = Stream::closed});
  EXPECT_EQ(quiet.status, 0);  // a closed standard error is no failure
  EXPECT_EQ(quiet.out.rfind("pid ", 0), 0u) << quiet.out;

  Result broken = run("gategive", {gate.name}, {.out = Stream::broken_pipe});
  EXPECT_EQ(broken.signal, SIGPIPE);  // the default action, as from a shell
  EXPECT_EQ(value_of(gate.name), 1);
}

}  // namespace
}  // namespace ipcwalk
