// The tour stopped part way: Ctrl-C or SIGTERM at any instant, programs that do not do their
// part in time, and two tours that would build into one folder at once. Each time it says
// where it was and leaves nothing of its own behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/shm.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tour/support.h"

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;

// Ctrl-C (SIGINT to the tour's process group) or SIGTERM while a program starts, or while it
// runs with its output going to a file: slow stand-ins make each instant certain. Each time
// the tour says where it was on its own standard error, and leaves nothing behind: no segment,
// no temporary folder, no process.
TEST_F(Tour, InterruptedWhileAProgramStartsOrRunsSaysWhereAndLeavesNothing) {
  TempDir temporary("tour-tmp"), notes("notes");
  set_env("TMPDIR", temporary.path().string());
  for (const auto& [program, signal] : {std::pair{"segstamp", SIGINT}, {"segpeek", SIGTERM}}) {
    SCOPED_TRACE(std::string(program) + ", " + strsignal(signal));
    const std::string pid_file = notes / (std::string(program) + ".pid");
    // The stand-in notes its pid and stays where the program would still be starting, its
    // output going to the file that the tour would show.
    StandIns stand_ins({{program, "echo $$ >" + pid_file + ".new && mv " + pid_file + ".new " +
                                      pid_file + "\nexec sleep 60\n"}});
    Process& process =
        start(setsid, in_own_group({"--bin", stand_ins.bin_dir()}), {.timeout = 100s});
    ASSERT_TRUE(appears(pid_file)) << process.out();
    std::string pid;
    std::ifstream(pid_file) >> pid;
    fs::remove(pid_file);
    kill(-process.pid(), signal);
    Result result = process.wait();
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("tour: interrupted during step 3 (" + std::string(program) + " "),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.out.find("interrupted"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Removed the shared-memory segment"), std::string::npos)
        << result.out;
    EXPECT_FALSE(alive(pid)) << "the stand-in, process " << pid << ", still runs";
    EXPECT_EQ(tour_folders(temporary), 0u);
  }
}

// Ctrl-C while segmake runs its listing (a slow ipcs first on PATH), and a second Ctrl-C while
// the clean-up removes the segment (a slow ipcrm): each time every object of the tour goes, the
// temporary folder too, and the tour names the step it was in.
TEST_F(Tour, InterruptsLeaveNothingBehind) {
  TempDir tools("slow-tools"), temporary("tour-tmp");
  const std::string ipcs = command_path("ipcs");
  const std::string ipcrm = command_path("ipcrm");
  ASSERT_FALSE(ipcs.empty());
  ASSERT_FALSE(ipcrm.empty());
  // The slow ipcs notes the segmake that ran it: the segments that pid made are the tour's.
  write_script(tools / "ipcs",
               "p=$PPID\n"
               "while [ \"$p\" -gt 1 ] && [ \"$(cat /proc/$p/comm)\" != segmake ]; do\n"
               "  p=$(sed 's/.*) [A-Za-z] //; s/ .*//' /proc/$p/stat)\n"
               "done\n"
               "echo $p >" +
                   tools / "segmake.pid" + ".new && mv " + tools / "segmake.pid.new" + " " +
                   tools / "segmake.pid" + "\nsleep 2\nexec " + ipcs + " \"$@\"\n");
  // The slow ipcs first on PATH, then (in place of it) the slow ipcrm alone.
  const std::string slow_ipcs = path_with(tools.path());
  const std::string slow_ipcrm = path_with(tools.path() / "ipcrm.only");
  set_env("TMPDIR", temporary.path().string());
  {
    set_env("PATH", slow_ipcs);
    Process& process = start(tour_path, {"--bin", bin}, {.timeout = 100s});
    for (int i = 0; i < 9000 && !fs::exists(tools / "segmake.pid"); ++i)
      std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(tools / "segmake.pid")) << process.out();
    std::string segmake;
    std::ifstream(tools / "segmake.pid") >> segmake;
    kill(process.pid(), SIGINT);
    Result result = process.wait();
    std::vector<std::string> leaked;
    for (int attempt = 0; attempt < 100; ++attempt) {
      leaked.clear();
      for (const auto& [id, creator] : segment_rows())
        if (creator == segmake)
          leaked.push_back(id);
      if (leaked.empty())
        break;
      std::this_thread::sleep_for(20ms);
    }
    for (const std::string& id : leaked)
      shmctl(std::stoi(id), IPC_RMID, nullptr);
    EXPECT_EQ(leaked, std::vector<std::string>{}) << "segments of segmake " << segmake;
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("tour: interrupted during step 3 (segmake)"), std::string::npos)
        << result.err;
    EXPECT_NE(result.out.find("Removed the shared-memory segment"), std::string::npos)
        << result.out;
    EXPECT_EQ(tour_folders(temporary), 0u);
  }

  write_script(tools / "ipcrm",
               "touch " + tools / "ipcrm.ran" + "\nsleep 2\nexec " + ipcrm + " \"$@\"\n");
  set_env("PATH", slow_ipcrm);
  fs::create_directory(tools.path() / "ipcrm.only");
  fs::create_symlink(tools / "ipcrm", tools.path() / "ipcrm.only" / "ipcrm");
  {
    Process& process = start(tour_path, {"--bin", bin}, {.timeout = 100s});
    ASSERT_TRUE(process.wait_for_output("It is waiting", 90s)) << process.out() << process.err();
    kill(process.pid(), SIGINT);
    EXPECT_TRUE(appears(tools / "ipcrm.ran"));
    kill(process.pid(), SIGINT);
    Result result = process.wait();
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("tour: interrupted during step 4 ("), std::string::npos)
        << result.err;
    EXPECT_NE(result.out.find("Removed the shared-memory segment"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("Removed the named semaphore"), std::string::npos) << result.out;
    EXPECT_EQ(tour_folders(temporary), 0u);
  }

  // The first Ctrl-C comes during a clean-up that no Ctrl-C began: at the tour's normal end, and
  // after a step failed (a gategive that fails). The clean-up goes on to its end all the same.
  StandIns failing({{"gategive", "exit 3\n"}});
  for (const std::string& folder : {bin, failing.bin_dir()}) {
    SCOPED_TRACE(folder);
    fs::remove(tools / "ipcrm.ran");
    Process& process = start(setsid, in_own_group({"--bin", folder}), {.timeout = 100s});
    ASSERT_TRUE(appears(tools / "ipcrm.ran", 90s)) << process.out();
    kill(-process.pid(), SIGINT);
    Result result = process.wait();
    EXPECT_EQ(result.status, folder == bin ? 0 : 1) << result.err;
    EXPECT_EQ(result.err.find("interrupted"), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("Removed the shared-memory segment"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("Removed the named semaphore"), std::string::npos)
        << result.err << result.out;
    EXPECT_EQ(tour_folders(temporary), 0u);
  }
}

// Programs that do not do their part: the tour fails within its bound, naming the step, and
// does not go on as if they had.
TEST_F(Tour, AWaitThatRunsOutFailsNamingTheStep) {
  StandIns five_lines({{"forkrelay", "printf 'one\\ntwo\\nthree\\nfour\\nfive\\n'\n"}});
  Result result = tour({"--bin", five_lines.bin_dir()}, {.timeout = 100s});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(said(result.err,
                 "tour: step 1 (forkrelay): forkrelay's two processes printed 5 of "
                 "their 6 lines within 5 s"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.out.find("==== 2."), std::string::npos) << result.out;

  // A program that fails says why before the tour stops: its own message is shown.
  StandIns failing({{"segmake", "echo 'shmget fail!' >&2\nexit 1\n"}});
  result = tour({"--bin", failing.bin_dir()}, {.timeout = 100s});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("\nshmget fail!\n"), std::string::npos) << result.out;
  EXPECT_NE(result.err.find("tour: step 3 (segmake): segmake ended with status 1"),
            std::string::npos)
      << result.err;

  // A second gatetake that sleeps elsewhere than on the semaphore: given 5 s to wait, not 30.
  set_env("IPCWALK_TOUR_PATIENCE", "5");
  TempDir notes("notes");
  StandIns sleeper({{"gatetake", "mkdir " + notes / "taken" + " 2>/dev/null && exec " + bin +
                                     "/gatetake \"$@\"\nexec sleep 100\n"}});
  result = tour({"--bin", sleeper.bin_dir()}, {.timeout = 100s});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(std::regex_search(
      result.err,
      std::regex(flowing("tour: step 4 \\(the second gatetake /ipcwalk-tour-[0-9a-f]+\\): "
                         "it did not wait within 5 s"))))
      << result.err;
  EXPECT_EQ(result.out.find("It is waiting"), std::string::npos) << result.out;
}

// Two tours started at once on a fresh clone: the second waits for the first one's build
// instead of building into the same folder at the same time. The build here is a stand-in
// cmake that fails when two runs of it overlap, and "builds" links to the test's programs.
TEST_F(Tour, TwoToursAtOnceBuildOneAfterTheOther) {
  TempDir clone("clone"), tools("fake-cmake");
  fs::copy_file(tour_path, clone / "tour");
  fs::copy(fs::path(tour_path).parent_path() / "tourlib", clone / "tourlib");
  std::string links =
      " && mkdir build/release/tools && ln -s " + bin + "/../tools/lens build/release/tools/lens";
  for (const std::string& name : programs)
    links += " && ln -s " + bin + "/" + name + " build/release/bin/" + name;
  write_script(
      tools / "cmake",
      "mkdir build/busy || { echo 'two builds at once' >&2; exit 1; }\n"
      "sleep 1\n"
      "case \"$*\" in\n"
      "  '--preset release') mkdir -p build/release && touch build/release/CMakeCache.txt "
      ";;\n"
      "  '--build --preset release') [ -d build/release/bin ] || { mkdir build/release/bin" +
          links +
          "; } ;;\n"
          "esac\n"
          "rmdir build/busy\n");
  set_env("PATH", path_with(tools.path()));
  Process& first = start(clone / "tour", {}, {.timeout = 200s});
  Process& second = start(clone / "tour", {}, {.timeout = 200s});
  for (Process* each : {&first, &second}) {
    Result result = each->wait();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("==== End of the tour ===="), std::string::npos) << result.out;
  }
}

}  // namespace
}  // namespace ipcwalk
