// The guided tour, run as CI and a new user would: start to end, on a machine that others share,
// leaving nothing of its own behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "runner.h"

namespace ipcwalk {
namespace {

const std::string tour = SOURCE_DIR "/tour";
const std::string bin = std::filesystem::path(program("forkrelay")).parent_path();
const std::string prompt = "-- Enter: next step; q and Enter: end the tour --";

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++found;
  return found;
}

// The segments and semaphores that the tour made and did not remove: the segment identifiers
// it printed, and its semaphore names (made from its pid, or printed). Programs killed with the
// tour detach a moment after they die, so this waits, bounded, for the list to empty.
std::vector<std::string> left_behind(const std::string& output, pid_t tour_pid) {
  std::set<std::string> ids, names{"ipcwalk-tour-" + std::to_string(tour_pid)};
  const std::regex segment("Successfully created segment : (\\d+) "), name("/(ipcwalk-tour-\\d+)");
  for (std::sregex_iterator it(output.begin(), output.end(), segment), end; it != end; ++it)
    ids.insert((*it)[1]);
  for (std::sregex_iterator it(output.begin(), output.end(), name), end; it != end; ++it)
    names.insert((*it)[1]);
  std::vector<std::string> left;
  for (int attempt = 0; attempt < 300; ++attempt) {
    left.clear();
    std::ifstream table("/proc/sysvipc/shm");
    std::string line, key, id;
    std::getline(table, line);  // the column names
    while (std::getline(table, line))
      if (std::istringstream(line) >> key >> id && ids.count(id))
        left.push_back("segment " + id);
    for (const std::string& each : names)
      if (std::filesystem::exists("/dev/shm/sem." + each))
        left.push_back("semaphore /" + each);
    if (left.empty())
      break;
    std::this_thread::sleep_for(10ms);
  }
  return left;
}

// Somebody else on the machine: keeps a few segments and semaphores of its own, making and
// removing them all along, so that the system's tables never stay as they were. Its objects go
// when it is stopped.
void churn(std::stop_token stop) {
  std::deque<std::pair<int, std::string>> mine;
  const auto remove = [](const auto& object) {
    shmctl(object.first, IPC_RMID, nullptr);
    sem_unlink(object.second.c_str());
  };
  for (int i = 0; i < 20000 && !stop.stop_requested(); ++i) {
    const std::string name = "/ipcwalk-churn-" + std::to_string(getpid()) + "-" + std::to_string(i);
    if (sem_t* semaphore = sem_open(name.c_str(), O_CREAT | O_EXCL, 0600, 1);
        semaphore != SEM_FAILED)
      sem_close(semaphore);
    mine.emplace_back(shmget(IPC_PRIVATE, 4096, 0600), name);
    if (mine.size() > 4) {
      remove(mine.front());
      mine.pop_front();
    }
    std::this_thread::sleep_for(5ms);
  }
  for (const auto& object : mine)
    remove(object);
}

// One variable of this process's environment, which the programs it starts inherit, set (or
// removed, for nullopt) until the end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name))
      old_ = old;
    value ? setenv(name, value->c_str(), 1) : unsetenv(name);
  }
  ~ScopedEnv() {
    old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The tour on a terminal: `script` gives it one, and passes on what the test types.
std::vector<std::string> on_terminal(const std::string& args) {
  return {"script", "-qec", tour + " " + args, "/dev/null"};
}

bool strace_works() {
  return run("/usr/bin/env", {"strace", "-o", "/dev/null", "true"}).status == 0;
}

TEST(Tour, ShowsEverySubsystemAndLeavesTheSystemAsItFoundIt) {
  Result result;
  pid_t tour_pid;
  {
    std::jthread others(churn);
    Process process(tour, {"--bin", bin}, {.timeout = 280s});
    tour_pid = process.pid();
    result = process.wait();
  }
  const std::string& out = result.out;

  EXPECT_EQ(result.status, 0) << result.err;
  for (const std::string line :
       {"Child:received\"Message from parent\xEF\xBC\x81\"\n", "\nTotal count= 33554432 \n",
        "\nThe string in SHM is :Hello shared memory!\n\n", " has semaphore,value=0\n",
        "Removed the shared-memory segment", "Removed the named semaphore"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << " not in:\n" << out;
  }
  EXPECT_EQ(left_behind(out, tour_pid), std::vector<std::string>{});

  // The segment at two different addresses, one in each of two processes.
  std::smatch made;
  ASSERT_TRUE(std::regex_search(out, made, std::regex("created segment : (\\d+) ")));
  std::set<std::string> holders, addresses;
  const std::regex mapping("/proc/(\\d+)/maps: ([0-9a-f]+)-[0-9a-f]+ rw-s 0+ \\S+ " +
                           made[1].str() + " +/SYSV");
  for (std::sregex_iterator it(out.begin(), out.end(), mapping), end; it != end; ++it) {
    holders.insert((*it)[1]);
    addresses.insert((*it)[2]);
  }
  EXPECT_EQ(holders.size(), 2u) << out;
  EXPECT_EQ(addresses.size(), 2u) << out;
  // The second taker asleep in a futex wait, counted as the semaphore's one waiter.
  EXPECT_TRUE(std::regex_search(out, std::regex("\n/proc/\\d+/wchan: \\S*futex"))) << out;
  EXPECT_NE(out.find("value 0, 1 waiting"), std::string::npos) << out;

  if (!strace_works()) {
    std::cerr << "strace cannot trace here: the views of forkrelay and threetally not checked\n";
    return;
  }
  // The record written whole into the pipe's write end and read whole from its read end.
  std::smatch pipe;
  ASSERT_TRUE(std::regex_search(out, pipe, std::regex("\\d+  pipe2?\\(\\[(\\d+), (\\d+)\\]")))
      << out;
  for (const std::string& call : {"write\\(" + pipe[2].str(), "read\\(" + pipe[1].str()}) {
    EXPECT_TRUE(std::regex_search(
        out, std::regex("\n\\d+  " + call + ", \"Message from parent\\\\xef\\\\xbc\\\\x81\\\\x00" +
                        "[^\n]*, 128\\) += 128\n")))
        << call << " not in:\n"
        << out;
  }
  EXPECT_EQ(count(out, " | 00010  65 6e 74 ef bc 81 00 00  00 00 00 00 00 00 00 00  ent"), 2u);
  EXPECT_NE(out.find(" madvise(0x"), std::string::npos) << out;
  EXPECT_NE(out.find("main made 16 worker threads"), std::string::npos) << out;
}

TEST(Tour, WithoutStraceStillPassesAndSaysHowToGetTheView) {
  // Every command of PATH but strace, through links in a folder of the test's own.
  const std::filesystem::path tools =
      std::filesystem::temp_directory_path() / ("ipcwalk-no-strace-" + std::to_string(getpid()));
  std::filesystem::create_directory(tools);
  std::istringstream path(std::getenv("PATH"));
  for (std::string folder; std::getline(path, folder, ':');) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
      if (entry.path().filename() != "strace")
        std::filesystem::create_symlink(entry.path(), tools / entry.path().filename(), ignored);
    }
  }
  Result result;
  {
    ScopedEnv no_strace("PATH", tools.string());
    result = run(tour, {"--bin", bin}, {.timeout = 280s});
  }
  std::filesystem::remove_all(tools);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(count(result.out, "strace is not installed (Debian, Ubuntu: apt-get install strace)"),
            2u)
      << result.out;
  EXPECT_NE(result.out.find("\nTotal count= 33554432 \n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("==== End of the tour ===="), std::string::npos) << result.out;
}

TEST(Tour, StepWaitsForEnterAndEndsOnQCleaningUpFirst) {
  ScopedEnv no_colour("NO_COLOR", "1");
  Process process("/usr/bin/env", on_terminal("--step --bin " + bin),
                  {.hold_input = true, .timeout = 280s});
  ASSERT_TRUE(process.wait_for_output(prompt, 60s)) << process.out();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(process.out().find("===="), std::string::npos) << "went on without Enter";
  // Enter, one step at a time, until the tour has its segment and its semaphore; then q.
  for (std::size_t prompts = 1; process.out().find("$ gatetake") == std::string::npos;) {
    ASSERT_LT(prompts, 30u) << process.out();
    process.send("\n");
    for (int i = 0; i < 12000 && process.running() && count(process.out(), prompt) == prompts; ++i)
      std::this_thread::sleep_for(10ms);
    ASSERT_EQ(count(process.out(), prompt), ++prompts) << process.out();
  }
  process.send("q\n");
  ASSERT_TRUE(process.wait_for_output("==== End of the tour ====", 60s)) << process.out();
  const pid_t tour_pid = process.pid();  // script's: the tour's own names come from its output
  Result result = process.wait();
  EXPECT_EQ(result.status, 0) << result.out;
  const auto end = result.out.find("==== End of the tour ====");
  EXPECT_LT(result.out.find("Removed the shared-memory segment"), end) << result.out;
  EXPECT_LT(result.out.find("Removed the named semaphore"), end) << result.out;
  EXPECT_EQ(result.out.find("\x1b"), std::string::npos) << "colour despite NO_COLOR";
  EXPECT_EQ(left_behind(result.out, tour_pid), std::vector<std::string>{});
}

TEST(Tour, CleansUpWhenInterruptedAndExplainsItself) {
  Process process(tour, {"--bin", bin}, {.timeout = 280s});
  // Interrupted while segstamp holds the segment and the tour waits on it.
  ASSERT_TRUE(process.wait_for_output("$ segpeek", 250s)) << process.out();
  kill(process.pid(), SIGTERM);
  Result result = process.wait();
  EXPECT_NE(result.status, 0);
  EXPECT_NE(result.err.find("tour: interrupted"), std::string::npos) << result.err;
  EXPECT_NE(result.out.find("Removed the shared-memory segment"), std::string::npos);
  EXPECT_EQ(left_behind(result.out, process.pid()), std::vector<std::string>{});

  Result help = run(tour, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: ./tour [--step] [--no-color] [--bin DIR]", 0), 0u) << help.out;
  Result missing = run(tour, {"--bin", "/nonexistent"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "\ntour: no program /nonexistent/forkrelay\n");
  Result wrong = run(tour, {"--colour"});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.err.find("unknown argument"), std::string::npos) << wrong.err;
  // Colour on a terminal, unless asked not to.
  ScopedEnv no_no_colour("NO_COLOR", std::nullopt);
  Result coloured = run("/usr/bin/env", on_terminal("--bin /nonexistent"));
  EXPECT_NE(coloured.out.find("\x1b["), std::string::npos) << coloured.out;
  Result plain = run("/usr/bin/env", on_terminal("--no-color --bin /nonexistent"));
  EXPECT_EQ(plain.out.find("\x1b"), std::string::npos) << plain.out;
  EXPECT_NE(plain.out.find("tour: no program"), std::string::npos) << plain.out;
}

}  // namespace
}  // namespace ipcwalk
