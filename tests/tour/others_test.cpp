// The tour on a machine that others share: their files at its semaphore's name, their bytes in
// its segment, their guesses at its names, and an strace with children of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tour/support.h"

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;

// Somebody else's semaphore file at the tour's name: put there before the tour looks, or
// swapped in while the tour runs. The tour must neither use it nor remove it.
TEST_F(Tour, NeverUsesNorRemovesASemaphoreFileOfSomebodyElse) {
  const std::string name = "/ipcwalk-tour-test-" + std::to_string(getpid());
  const std::string file = "/dev/shm/sem." + name.substr(1);
  set_env("IPCWALK_TOUR_SEMAPHORE", name);
  TempDir temporary("tour-tmp");
  set_env("TMPDIR", temporary.path().string());
  struct Planted {
    std::string what;
    std::function<void()> plant;
  };
  const std::vector<Planted> planted = {
      {"junk", [&] { std::ofstream(file) << "not a semaphore"; }},
      // Value 0, open to all: a tour that used it would wait at its first gatetake.
      {"a semaphore of value 0",
       [&] {
         sem_t* other = sem_open(name.c_str(), O_CREAT | O_EXCL, 0666, 0);
         ASSERT_NE(other, SEM_FAILED);
         sem_close(other);
       }},
  };
  for (const Planted& each : planted) {
    SCOPED_TRACE(each.what);
    each.plant();
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    Process& process = start(tour_path, {"--bin", bin}, {.timeout = 100s});
    Result result = finish(process, 60s);
    struct stat after {};
    const bool kept = stat(file.c_str(), &after) == 0 && after.st_ino == before.st_ino;
    std::filesystem::remove(file);
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_NE(said(result.err, "tour: step 4: the semaphore " + name + " exists already"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.out.find("$ gatenew"), std::string::npos) << result.out;
    EXPECT_TRUE(kept);
    EXPECT_EQ(result.out.find("Removed the named semaphore"), std::string::npos) << result.out;
  }

  // Swapped after gatenew: the tour's clean-up leaves the new file alone.
  Process& process = start(tour_path, {"--bin", bin}, {.timeout = 100s});
  ASSERT_TRUE(process.wait_for_output("It is waiting", 90s)) << process.out() << process.err();
  const std::string swap = file + ".swap";
  std::ofstream(swap) << "somebody else's";
  const bool swapped = rename(swap.c_str(), file.c_str()) == 0;
  fs::remove(swap);
  ASSERT_TRUE(swapped) << std::strerror(errno);
  kill(process.pid(), SIGTERM);
  Result result = process.wait();
  const bool kept = fs::exists(file);
  fs::remove(file);
  EXPECT_TRUE(kept) << "the tour removed a file it did not make";
  EXPECT_EQ(result.out.find("Removed the named semaphore"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Removed the shared-memory segment"), std::string::npos);
}

// strace may have children of its own beside the program it runs (a stand-in strace here starts
// one before it becomes strace): the tour must find the program, not take one of those for it.
TEST_F(Tour, FindsTheTracedProgramAmongStracesOtherChildren) {
  if (!strace_works())
    GTEST_SKIP() << "strace cannot trace here";
  TempDir tools("busy-strace");
  const std::string strace = command_path("strace");
  write_script(tools / "strace", "sleep 0.2 &\nexec " + strace + " \"$@\"\n");
  set_env("PATH", path_with(tools.path()));
  Result result = tour({"--bin", bin}, {.timeout = 200s});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("\nThe string in SHM is :Hello shared memory!\n"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("It is waiting"), std::string::npos) << result.out;
}

// Somebody who reads the tour's random semaphore name from gatenew's command line may make the
// semaphore first. A stand-in gatenew plays that part once, making a file of another user at
// the name: the tour leaves it alone, draws a new name and goes on.
TEST_F(Tour, ASemaphoreNameTakenAsGatenewRunsIsLeftAloneForANewOne) {
  if (geteuid() != 0)
    GTEST_SKIP() << "making a file of another user's takes root";
  TempDir notes("notes");
  const std::string taken = notes / "taken";
  StandIns stand_ins(
      {{"gatenew", "if mkdir " + notes / "once" + " 2>/dev/null; then\n" +
                       "  f=/dev/shm/sem.${1#/}; echo other >\"$f\" && chown 65534 \"$f\"\n" +
                       "  echo \"$f\" >" + taken + "\n  exit 0\nfi\nexec " + bin +
                       "/gatenew \"$@\"\n"}});
  Result result = tour({"--bin", stand_ins.bin_dir()}, {.timeout = 100s});
  const std::string planted = read_file(taken).substr(0, read_file(taken).find('\n'));
  const bool kept = !planted.empty() && read_file(planted) == "other\n";
  if (!planted.empty())
    fs::remove(planted);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(kept) << "the tour removed or changed " << planted;
  EXPECT_NE(said(result.out, "draws a new name"), std::string::npos) << result.out;
  EXPECT_EQ(all_matches(result.out, std::regex("\\$ gatenew /ipcwalk-tour-")).size(), 2u);
}

// What another user sees of a tour is its pid and when it started. Two tours with the same pid
// (1, each in a pid namespace of its own), started at the same moment, must still draw names
// that differ: the name comes from the system's random source alone.
TEST_F(Tour, TheSemaphoreNameIsNotWorkedOutFromThePidOrTheTime) {
  if (run("/usr/bin/unshare", {"--pid", "--fork", "--mount-proc", "true"}).status != 0)
    GTEST_SKIP() << "no pid namespaces here (unshare --pid needs root)";
  const std::vector<std::string> line = {"--pid",   "--fork", "--mount-proc",
                                         tour_path, "--bin",  bin};
  Process& first = start("/usr/bin/unshare", line, {.timeout = 200s});
  Process& second = start("/usr/bin/unshare", line, {.timeout = 200s});
  std::vector<std::string> names;
  for (Process* each : {&first, &second}) {
    Result result = each->wait();
    EXPECT_EQ(result.status, 0) << result.err;
    for (const auto& name : all_matches(result.out, std::regex("\\$ gatenew (/\\S+)")))
      names.push_back(name[1]);
  }
  ASSERT_EQ(names.size(), 2u);
  EXPECT_NE(names[0], names[1]);
}

// The segment is everybody's to write (0666). Another user writes escape sequences into it while
// the tour runs: a colour, a window title, a carriage return. segpeek prints the bytes as they
// are; the tour shows them to its reader only as visible escapes.
TEST_F(Tour, AnotherUsersBytesInTheSegmentReachTheReaderOnlyAsEscapes) {
  set_env("NO_COLOR", "1");
  Process& process = start(tour_path, {"--bin", bin}, {.timeout = 200s});
  ASSERT_TRUE(process.wait_for_output("Successfully created segment : ", 120s)) << process.out();
  std::smatch made;
  const std::string so_far = process.out();
  ASSERT_TRUE(std::regex_search(so_far, made, std::regex("created segment : (\\d+) ")));
  static constexpr char planted[] = "\x1b]0;pwned\x07\x1b[31mred\rover\n";
  void* const memory = shmat(std::stoi(made[1]), nullptr, 0);
  ASSERT_NE(memory, reinterpret_cast<void*>(-1))
      << "cannot attach segment " << made[1] << ": " << std::strerror(errno);
  std::jthread writer([memory](std::stop_token stop) {
    while (!stop.stop_requested()) {
      std::memcpy(memory, planted, sizeof planted);
      std::this_thread::sleep_for(1ms);
    }
  });
  Result result = finish(process, 150s);
  writer.request_stop();
  writer.join();
  shmdt(memory);
  EXPECT_EQ(result.status, 0) << result.err;
  for (const char control : {'\x1b', '\x07', '\r'})
    EXPECT_EQ(result.out.find(control), std::string::npos) << int{control} << " reached:\n"
                                                           << result.out;
  EXPECT_NE(result.out.find("The string in SHM is :\\x1b]0;pwned\\x07\\x1b[31mred\\x0dover\n"),
            std::string::npos)
      << result.out;
}

}  // namespace
}  // namespace ipcwalk
