// The guided tour, run as CI and a new user would: start to end, on a machine that others share,
// leaving nothing of its own behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "files.h"
#include "runner.h"

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;

const std::string tour = SOURCE_DIR "/tour";
const std::string bin = fs::path(program("forkrelay")).parent_path();
const std::string prompt = "-- Enter: next step; q and Enter: end the tour --";
const std::vector<std::string> programs = {"forkrelay", "threetally", "segmake",  "segstamp",
                                           "segpeek",   "gatenew",    "gatetake", "gategive"};

std::vector<std::smatch> all_matches(const std::string& text, const std::regex& pattern) {
  return {std::sregex_iterator(text.begin(), text.end(), pattern), std::sregex_iterator()};
}

// The rows of /proc/sysvipc/shm: identifier and creator's pid.
std::vector<std::pair<std::string, std::string>> segment_rows() {
  std::vector<std::pair<std::string, std::string>> rows;
  std::ifstream table("/proc/sysvipc/shm");
  std::string line, key, id, perms, size, cpid;
  std::getline(table, line);  // the column names
  while (std::getline(table, line))
    if (std::istringstream(line) >> key >> id >> perms >> size >> cpid)
      rows.emplace_back(id, cpid);
  return rows;
}

// The segments and semaphores that the tour made and did not remove: the segment identifiers
// and semaphore names it printed, and any name a test gave it. Programs killed with the tour
// detach a moment after they die, so this waits, bounded, for the list to empty. What is still
// left then, the test removes.
std::vector<std::string> left_behind(const std::string& output, std::set<std::string> names = {}) {
  std::set<std::string> ids;
  for (const auto& made :
       all_matches(output, std::regex("(?:Successfully created segment :|segment id:) (\\d+)")))
    ids.insert(made[1]);
  for (const auto& name : all_matches(output, std::regex("/((?:ipcwalk-tour|gaterace)-[0-9a-f]+)")))
    names.insert(name[1]);
  std::vector<std::string> left;
  for (int attempt = 0; attempt < 300; ++attempt) {
    left.clear();
    for (const auto& [id, creator] : segment_rows())
      if (ids.count(id))
        left.push_back("segment " + id);
    for (const std::string& each : names)
      if (fs::exists("/dev/shm/sem." + each))
        left.push_back("semaphore /" + each);
    if (left.empty())
      break;
    std::this_thread::sleep_for(10ms);
  }
  for (const std::string& object : left) {
    const std::string which = object.substr(object.find(' ') + 1);
    if (object.rfind("segment", 0) == 0)
      shmctl(std::stoi(which), IPC_RMID, nullptr);
    else
      sem_unlink(which.c_str());
  }
  return left;
}

// Waits for the tour to end; a tour still running after `limit` is stopped as Ctrl-C would, so
// that it removes what it made.
Result finish(Process& process, Duration limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (process.running() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(20ms);
  if (process.running())
    kill(process.pid(), SIGINT);
  return process.wait();
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

void write_script(const std::string& path, const std::string& text) {
  std::ofstream(path) << "#!/bin/sh\n" << text;
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

// PATH with folder `first` in front.
std::string path_with(const fs::path& first) {
  return first.string() + ":" + std::getenv("PATH");
}

// The tour on a terminal: `script` gives it one, and passes on what the test types.
std::vector<std::string> on_terminal(const std::string& args) {
  return {"script", "-qec", tour + " " + args, "/dev/null"};
}

bool strace_works() {
  return run("/usr/bin/env", {"strace", "-o", "/dev/null", "true"}).status == 0;
}

// Whether perf may record the scheduler here, as the tour records it.
bool perf_records() {
  TempDir probe("perf-probe");
  return run("/usr/bin/env", {"perf", "record", "-q", "-B", "-N", "-e", "sched:sched_switch", "-a",
                              "-o", probe / "probe.data", "true"})
             .status == 0;
}

// A folder of programs for `tour --bin`: links to the built ones, and to lens in tools/ beside
// them, with the programs named in `scripts` replaced by stand-ins written as shell scripts.
class StandIns {
 public:
  explicit StandIns(std::initializer_list<std::pair<const std::string, std::string>> scripts)
      : dir_("stand-ins") {
    fs::create_directories(dir_.path() / "bin");
    fs::create_directories(dir_.path() / "tools");
    fs::create_symlink(fs::path(bin).parent_path() / "tools" / "lens",
                       dir_.path() / "tools" / "lens");
    const std::map<std::string, std::string> replaced(scripts);
    for (const std::string& name : programs) {
      if (replaced.count(name))
        write_script(dir_.path() / "bin" / name, replaced.at(name));
      else
        fs::create_symlink(fs::path(bin) / name, dir_.path() / "bin" / name);
    }
  }
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

// The tour in a process group of its own, as a shell starts a command, so that a signal can go
// to the whole group as Ctrl-C sends it: setsid runs it in place, with the same pid.
const std::string setsid = "/usr/bin/setsid";
std::vector<std::string> in_own_group(const std::vector<std::string>& args) {
  std::vector<std::string> line = {tour};
  line.insert(line.end(), args.begin(), args.end());
  return line;
}

// Waits, bounded, for a file that a stand-in makes.
bool appears(const std::string& path, Duration limit = 60s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!fs::exists(path) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(10ms);
  return fs::exists(path);
}

// How many temporary folders of the tour's are left in `dir`.
std::size_t tour_folders(const TempDir& dir) {
  std::size_t found = 0;
  for (const auto& entry : fs::directory_iterator(dir.path()))
    found += entry.path().filename().string().rfind("ipcwalk-tour.", 0) == 0;
  return found;
}

// Whether process `pid` still runs (a zombie has ended).
bool alive(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  return std::getline(stat, line) && line.substr(line.rfind(')') + 2, 1) != "Z";
}

// The record written whole into the pipe's write end and read whole from its read end, and the
// sixteen workers, as the kernel views of steps 1 and 2 show them from strace's logs.
void expect_pipe_and_thread_views(const std::string& out) {
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

TEST(Tour, ShowsEverySubsystemAndLeavesTheSystemAsItFoundIt) {
  Result result;
  {
    std::jthread others(churn);
    result = run(tour, {"--bin", bin}, {.timeout = 280s});
  }
  const std::string& out = result.out;

  EXPECT_EQ(result.status, 0) << result.err;
  for (const std::string line :
       {"Child:received\"Message from parent\xEF\xBC\x81\"\n", "\nTotal count= 33554432 \n",
        "\nThe string in SHM is :Hello shared memory!\n\n", " has semaphore,value=0\n",
        "Removed the shared-memory segment", "Removed the named semaphore"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << " not in:\n" << out;
  }
  EXPECT_EQ(left_behind(out), std::vector<std::string>{});
  // A name nobody can guess: 64 random bits, nothing of the tour's pid. Its file is this user's
  // alone (umask 077): nobody else can map it and wake the waiting gatetake.
  EXPECT_TRUE(std::regex_search(out, std::regex("gatenew /ipcwalk-tour-[0-9a-f]{16}\n"))) << out;
  EXPECT_TRUE(std::regex_search(
      out, std::regex("\n-rw------- 1 [^\n]* /dev/shm/sem\\.ipcwalk-tour-[0-9a-f]{16}\n")))
      << out;

  // The segment mapped in each of two processes, at two different addresses.
  std::smatch made;
  ASSERT_TRUE(std::regex_search(out, made, std::regex("created segment : (\\d+) ")));
  std::set<std::string> holders, addresses;
  const std::regex mapping("/proc/(\\d+)/maps: ([0-9a-f]+)-[0-9a-f]+ rw-s 0+ \\S+ " +
                           made[1].str() + " +/SYSV");
  for (const auto& each : all_matches(out, mapping)) {
    holders.insert(each[1]);
    addresses.insert(each[2]);
  }
  EXPECT_EQ(holders.size(), 2u) << out;
  // A 32-bit process's layout has so few random bits that both may land on one address.
  if (sizeof(void*) == 8) {
    EXPECT_EQ(addresses.size(), 2u) << out;
  }
  // The kernel's row of the tour's segment, and no other, while both hold it and after: while
  // others make and remove segments of their own.
  std::vector<std::string> rows;
  for (const auto& row : all_matches(out, std::regex("\n/proc/sysvipc/shm: +(\\S+) +(\\S+)[^\n]* "
                                                     "(\\S+)(?=\n)"))) {
    rows.push_back(row[2].str() == "shmid" ? "header" : row[2].str() + " nattch " + row[3].str());
  }
  EXPECT_EQ(rows, (std::vector<std::string>{"header", made[1].str() + " nattch 2", "header",
                                            made[1].str() + " nattch 0"}))
      << out;

  // The second taker asleep in a futex wait, counted as the semaphore's one waiter: the value
  // and the waiters as the semaphore's file holds them after gatenew, while the taker waits, and
  // after gategive, each with the words it was read from.
  EXPECT_TRUE(std::regex_search(out, std::regex("\n/proc/\\d+/wchan: \\S*futex"))) << out;
  std::vector<std::string> views;
  for (const auto& view :
       all_matches(out, std::regex("layout\\): value (\\d+), (\\d+) waiting\\.\n"
                                   "(?:## [^\n]*\n)?\\$ od [^\n]*\n([ 0-9]+)\n"))) {
    views.push_back(view[1].str() + "," + view[2].str());
    // The words it was read from: glibc's 64-bit layout (value, waiters) or 32-bit one (value
    // times two plus 1 while anybody waits, sharing, padding, waiters).
    std::vector<unsigned long> words;
    std::istringstream line(view[3]);
    for (unsigned long word; line >> word;)
      words.push_back(word);
    ASSERT_TRUE(words.size() == 2 || words.size() == 4) << view[3];
    const auto [value, waiters] =
        words.size() == 2 ? std::pair{words[0], words[1]} : std::pair{words[0] >> 1, words[3]};
    EXPECT_EQ(std::to_string(value) + "," + std::to_string(waiters), views.back())
        << "words and text differ";
  }
  ASSERT_EQ(views.size(), 3u) << out;
  EXPECT_EQ(views[0], "1,0");
  EXPECT_EQ(views[1], "0,1");
  EXPECT_TRUE(views[2] == "0,0" || views[2] == "1,0") << views[2];

  if (!strace_works())
    GTEST_SKIP() << "strace cannot trace here: the views of forkrelay and threetally not checked";
  expect_pipe_and_thread_views(out);
}

TEST(Tour, WithoutStraceStillPassesAndSaysHowToGetTheView) {
  // Every command of PATH but strace, through links in a folder of the test's own.
  TempDir tools("no-strace"), timeline("no-strace-timeline");
  std::istringstream path(std::getenv("PATH"));
  for (std::string folder; std::getline(path, folder, ':');) {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
      if (entry.path().filename() != "strace")
        fs::create_symlink(entry.path(), tools.path() / entry.path().filename(), ignored);
    }
  }
  ScopedEnv no_strace("PATH", tools.path().string());
  Result result = run(tour, {"--bin", bin}, {.timeout = 280s});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(count(result.out, "strace is not installed (Debian, Ubuntu: apt-get install strace)"),
            2u)
      << result.out;
  EXPECT_NE(result.out.find("\nTotal count= 33554432 \n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("==== End of the tour ===="), std::string::npos) << result.out;

  // Asked for a timeline, it says why there is none, and the tour goes on to its end.
  result = run(tour, {"--bin", bin, "--timeline", timeline.path()}, {.timeout = 280s});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("cannot draw the timeline: the timeline is drawn from strace's "
                            "records, and strace is not installed"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("==== End of the tour ===="), std::string::npos) << result.out;
  EXPECT_TRUE(fs::is_empty(timeline.path()));
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
  Result result = process.wait();
  EXPECT_EQ(result.status, 0) << result.out;
  const auto end = result.out.find("==== End of the tour ====");
  EXPECT_LT(result.out.find("Removed the shared-memory segment"), end) << result.out;
  EXPECT_LT(result.out.find("Removed the named semaphore"), end) << result.out;
  EXPECT_EQ(result.out.find("\x1b"), std::string::npos) << "colour despite NO_COLOR";
  EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
}

TEST(Tour, HelpBadOptionsAndColour) {
  Result help = run(tour, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind(
                "Usage: ./tour [--step] [--no-color] [--lessons] [--bin DIR] [--timeline DIR]", 0),
            0u)
      << help.out;
  // Help that cannot be written is a failure, as for the programs.
  Result lost = run(tour, {"--help"}, {.out = Stream::full});
  EXPECT_EQ(lost.status, 1);
  EXPECT_EQ(lost.err, "tour: write error: No space left on device\n");
  Result missing = run(tour, {"--bin", "/nonexistent"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "\ntour: no program /nonexistent/forkrelay\n");
  Result wrong = run(tour, {"--colour"});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.err.find("unknown argument"), std::string::npos) << wrong.err;
  // An empty folder is no folder: the tour would otherwise run without drawing, and say nothing.
  for (const std::string option : {"--timeline", "--bin"}) {
    Result empty = run(tour, {option, ""});
    EXPECT_EQ(empty.status, 2);
    EXPECT_EQ(empty.err, "tour: " + option + " needs a directory\n");
  }
  // Colour on a terminal, unless asked not to.
  ScopedEnv no_no_colour("NO_COLOR", std::nullopt);
  Result coloured = run("/usr/bin/env", on_terminal("--bin /nonexistent"));
  EXPECT_NE(coloured.out.find("\x1b["), std::string::npos) << coloured.out;
  Result plain = run("/usr/bin/env", on_terminal("--no-color --bin /nonexistent"));
  EXPECT_EQ(plain.out.find("\x1b"), std::string::npos) << plain.out;
  EXPECT_NE(plain.out.find("tour: no program"), std::string::npos) << plain.out;
}

// Ctrl-C (SIGINT to the tour's process group) or SIGTERM while a program starts, or while it
// runs with its output going to a file: slow stand-ins make each instant certain. Each time
// the tour says where it was on its own standard error, and leaves nothing behind: no segment,
// no temporary folder, no process.
TEST(Tour, InterruptedWhileAProgramStartsOrRunsSaysWhereAndLeavesNothing) {
  TempDir temporary("tour-tmp"), notes("notes");
  ScopedEnv tmp("TMPDIR", temporary.path().string());
  for (const auto& [program, signal] : {std::pair{"segstamp", SIGINT}, {"segpeek", SIGTERM}}) {
    SCOPED_TRACE(std::string(program) + ", " + strsignal(signal));
    const std::string pid_file = notes / (std::string(program) + ".pid");
    // The stand-in notes its pid and stays where the program would still be starting, its
    // output going to the file that the tour would show.
    StandIns stand_ins({{program, "echo $$ >" + pid_file + ".new && mv " + pid_file + ".new " +
                                      pid_file + "\nexec sleep 60\n"}});
    Process process(setsid, in_own_group({"--bin", stand_ins.bin_dir()}), {.timeout = 100s});
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
    EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
    EXPECT_EQ(tour_folders(temporary), 0u);
  }
}

// Somebody else's semaphore file at the tour's name: put there before the tour looks, or
// swapped in while the tour runs. The tour must neither use it nor remove it.
TEST(Tour, NeverUsesNorRemovesASemaphoreFileOfSomebodyElse) {
  const std::string name = "/ipcwalk-tour-test-" + std::to_string(getpid());
  const std::string file = "/dev/shm/sem." + name.substr(1);
  ScopedEnv forced("IPCWALK_TOUR_SEMAPHORE", name);
  TempDir temporary("tour-tmp");
  ScopedEnv tmp("TMPDIR", temporary.path().string());
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
    Process process(tour, {"--bin", bin}, {.timeout = 100s});
    Result result = finish(process, 60s);
    struct stat after {};
    const bool kept = stat(file.c_str(), &after) == 0 && after.st_ino == before.st_ino;
    std::filesystem::remove(file);
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_NE(result.err.find("tour: step 4: the semaphore " + name + " exists already"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.out.find("$ gatenew"), std::string::npos) << result.out;
    EXPECT_TRUE(kept);
    EXPECT_EQ(result.out.find("Removed the named semaphore"), std::string::npos) << result.out;
    EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
  }

  // Swapped after gatenew: the tour's clean-up leaves the new file alone.
  Process process(tour, {"--bin", bin}, {.timeout = 100s});
  ASSERT_TRUE(process.wait_for_output("It is waiting", 90s)) << process.out() << process.err();
  const std::string swap = file + ".swap";
  std::ofstream(swap) << "somebody else's";
  ASSERT_EQ(rename(swap.c_str(), file.c_str()), 0);
  kill(process.pid(), SIGTERM);
  Result result = process.wait();
  const bool kept = fs::exists(file);
  fs::remove(file);
  EXPECT_TRUE(kept) << "the tour removed a file it did not make";
  EXPECT_EQ(result.out.find("Removed the named semaphore"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Removed the shared-memory segment"), std::string::npos);
  EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
}

// Ctrl-C while segmake runs its listing (a slow ipcs first on PATH), and a second Ctrl-C while
// the clean-up removes the segment (a slow ipcrm): each time every object of the tour goes, the
// temporary folder too, and the tour names the step it was in.
TEST(Tour, InterruptsLeaveNothingBehind) {
  TempDir tools("slow-tools"), temporary("tour-tmp");
  const std::string ipcs = run("/bin/sh", {"-c", "printf %s \"$(command -v ipcs)\""}).out;
  const std::string ipcrm = run("/bin/sh", {"-c", "printf %s \"$(command -v ipcrm)\""}).out;
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
  ScopedEnv tmp("TMPDIR", temporary.path().string());
  {
    ScopedEnv slow("PATH", path_with(tools.path()));
    Process process(tour, {"--bin", bin}, {.timeout = 100s});
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
  ScopedEnv slow("PATH", path_with(tools.path() / "ipcrm.only"));
  fs::create_directory(tools.path() / "ipcrm.only");
  fs::create_symlink(tools / "ipcrm", tools.path() / "ipcrm.only" / "ipcrm");
  {
    Process process(tour, {"--bin", bin}, {.timeout = 100s});
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
    EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
    EXPECT_EQ(tour_folders(temporary), 0u);
  }

  // The first Ctrl-C comes during a clean-up that no Ctrl-C began: at the tour's normal end, and
  // after a step failed (a gategive that fails). The clean-up goes on to its end all the same.
  StandIns failing({{"gategive", "exit 3\n"}});
  for (const std::string& folder : {bin, failing.bin_dir()}) {
    SCOPED_TRACE(folder);
    fs::remove(tools / "ipcrm.ran");
    Process process(setsid, in_own_group({"--bin", folder}), {.timeout = 100s});
    ASSERT_TRUE(appears(tools / "ipcrm.ran", 90s)) << process.out();
    kill(-process.pid(), SIGINT);
    Result result = process.wait();
    EXPECT_EQ(result.status, folder == bin ? 0 : 1) << result.err;
    EXPECT_EQ(result.err.find("interrupted"), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("Removed the shared-memory segment"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("Removed the named semaphore"), std::string::npos)
        << result.err << result.out;
    EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
    EXPECT_EQ(tour_folders(temporary), 0u);
  }
}

// Programs that do not do their part: the tour fails within its bound, naming the step, and
// does not go on as if they had.
TEST(Tour, AWaitThatRunsOutFailsNamingTheStep) {
  StandIns five_lines({{"forkrelay", "printf 'one\\ntwo\\nthree\\nfour\\nfive\\n'\n"}});
  Result result = run(tour, {"--bin", five_lines.bin_dir()}, {.timeout = 100s});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("tour: step 1 (forkrelay): forkrelay's two processes printed 5 of "
                            "their 6 lines within 5 s"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.out.find("==== 2."), std::string::npos) << result.out;

  // A program that fails says why before the tour stops: its own message is shown.
  StandIns failing({{"segmake", "echo 'shmget fail!' >&2\nexit 1\n"}});
  result = run(tour, {"--bin", failing.bin_dir()}, {.timeout = 100s});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("\nshmget fail!\n"), std::string::npos) << result.out;
  EXPECT_NE(result.err.find("tour: step 3 (segmake): segmake ended with status 1"),
            std::string::npos)
      << result.err;

  // A second gatetake that sleeps elsewhere than on the semaphore: given 5 s to wait, not 30.
  ScopedEnv patience("IPCWALK_TOUR_PATIENCE", "5");
  TempDir notes("notes");
  StandIns sleeper({{"gatetake", "mkdir " + notes / "taken" + " 2>/dev/null && exec " + bin +
                                     "/gatetake \"$@\"\nexec sleep 100\n"}});
  result = run(tour, {"--bin", sleeper.bin_dir()}, {.timeout = 100s});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(std::regex_search(
      result.err, std::regex("tour: step 4 \\(the second gatetake /ipcwalk-tour-[0-9a-f]+\\): it "
                             "did not wait within 5 s")))
      << result.err;
  EXPECT_EQ(result.out.find("It is waiting"), std::string::npos) << result.out;
  EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
}

// Two tours started at once on a fresh clone: the second waits for the first one's build
// instead of building into the same folder at the same time. The build here is a stand-in
// cmake that fails when two runs of it overlap, and "builds" links to the test's programs.
TEST(Tour, TwoToursAtOnceBuildOneAfterTheOther) {
  TempDir clone("clone"), tools("fake-cmake");
  fs::copy_file(tour, clone / "tour");
  fs::copy(fs::path(tour).parent_path() / "tourlib", clone / "tourlib");
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
  ScopedEnv fake("PATH", path_with(tools.path()));
  Process first(clone / "tour", {}, {.timeout = 200s});
  Process second(clone / "tour", {}, {.timeout = 200s});
  for (Process* each : {&first, &second}) {
    Result result = each->wait();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("==== End of the tour ===="), std::string::npos) << result.out;
    EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
  }
}

// The record files that lens names (lens names): each run's strace record, and each step's
// perf record with its pids.
struct NamedRecords {
  std::set<std::string> strace;
  std::set<std::string> perf;
};
NamedRecords named_records(const std::string& lens) {
  NamedRecords named;
  std::istringstream names(run(lens, {"names"}).out);
  for (std::string line; std::getline(names, line);) {
    std::istringstream fields(line);
    std::string kind, word, first, second;
    fields >> kind >> word >> first >> second;
    if (kind == "run")
      named.strace.insert(second + ".strace");
    else if (kind == "step")
      named.perf.insert({first + ".perf", first + ".pids"});
  }
  return named;
}

// The tour draws the timeline from what it recorded; the lens it runs here notes the files it
// is given first, so that the test sees that the tour recorded each run under the name lens
// reads it by.
TEST(Tour, DrawsTheRunAsATimeline) {
  if (!strace_works())
    GTEST_SKIP() << "strace cannot trace here";
  TempDir folder("timeline"), noting("noting-lens");
  const std::string out_dir = folder / "drawn";  // the tour makes it
  const std::string lens = fs::path(bin).parent_path() / "tools" / "lens";
  const std::string listed = noting / "recorded";
  fs::create_directories(noting.path() / "bin");
  fs::create_directories(noting.path() / "tools");
  for (const std::string& name : programs)
    fs::create_symlink(fs::path(bin) / name, noting.path() / "bin" / name);
  write_script(noting / "tools/lens", "[ \"$1\" != timeline ] || ls -- \"$2\" >'" + listed +
                                          "'\nexec '" + lens + "' \"$@\"\n");
  Result result = run(tour, {"--bin", noting / "bin", "--timeline", out_dir}, {.timeout = 280s});
  ASSERT_EQ(result.status, 0) << result.err << result.out;
  std::set<std::string> recorded;
  std::istringstream listing(read_file(listed));
  for (std::string file; std::getline(listing, file);)
    recorded.insert(file);
  const NamedRecords records = named_records(lens);
  ASSERT_EQ(records.strace.size(), 10u);
  for (const std::string& name : records.strace)
    EXPECT_TRUE(recorded.count(name)) << name << " not recorded: " << read_file(listed);
  for (const std::string& name : recorded)
    EXPECT_TRUE(!name.ends_with(".strace") || records.strace.count(name)) << name << " unnamed";
  EXPECT_NE(result.out.find(out_dir + "/timeline.html (open it in a browser)"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find(out_dir + "/timeline.json"), std::string::npos) << result.out;
  EXPECT_TRUE(fs::is_regular_file(out_dir + "/timeline.html"));
  EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
  // The kernel views read strace's logs with their timestamps as well.
  expect_pipe_and_thread_views(result.out);

  std::ifstream file(out_dir + "/timeline.json");
  const Json trace = Json::parse(file);
  const Json& events = trace.at("traceEvents");
  ASSERT_FALSE(events.empty());
  // A lane is a process and a thread of it.
  const auto lane_of = [](const Json& event) {
    return std::pair{event.at("pid").get<double>(), event.at("tid").get<double>()};
  };
  std::set<std::string> named;
  std::map<std::pair<double, double>, std::string> lanes;  // thread names
  std::map<std::pair<double, double>, int> on_lane;
  for (const Json& event : events) {
    EXPECT_TRUE(std::set<std::string>({"pipe", "threads", "segment", "semaphore"})
                    .count(event.at("cat").get<std::string>()))
        << event.at("name");
    if (event.at("ph") != "M")
      ++on_lane[lane_of(event)];
    else if (event.at("name") == "process_name")
      named.insert(event.at("args").at("name").get<std::string>());
    else if (event.at("name") == "thread_name")
      lanes[lane_of(event)] = event.at("args").at("name").get<std::string>();
  }
  for (const std::string& name : programs)
    EXPECT_TRUE(named.count(name)) << name << " not named";
  for (const auto& [lane, name] : lanes)
    EXPECT_GT(on_lane[lane], 0) << "no events on the lane " << name;

  // Both arrows: from the pipe's write to the read, from the give to the waiting take.
  for (const auto& [cat, id] : {std::pair{"pipe", 1.0}, std::pair{"semaphore", 2.0}}) {
    std::optional<double> from, to;
    for (const Json& event : events) {
      const auto phase = event.at("ph").get<std::string>();
      if ((phase == "s" || phase == "f") && event.at("cat") == cat &&
          event.at("id").get<double>() == id)
        (phase == "s" ? from : to) = event.at("ts").get<double>();
    }
    ASSERT_TRUE(from && to) << cat << " arrow missing";
    EXPECT_LE(*from, *to) << cat << " arrow points back in time";
  }
  // The second gatetake's wait ends after gategive's post.
  std::optional<double> wait_end, post;
  for (const Json& event : events) {
    const std::string lane = lanes[lane_of(event)];
    if (event.at("name") == "wait" && lane.rfind("gatetake 2", 0) == 0)
      wait_end = event.at("ts").get<double>() + event.at("dur").get<double>();
    if (event.at("name") == "post" && lane.rfind("gategive", 0) == 0)
      post = event.at("ts").get<double>();
  }
  ASSERT_TRUE(wait_end && post);
  EXPECT_GT(*wait_end, *post);

  // Where perf may record the scheduler, each step ran once more under it: the trace holds the
  // kernel's trace text of each step's run, with a mark where each begins, and the page draws
  // the scheduler's view of each.
  if (!perf_records())
    GTEST_SKIP() << "perf may not record the scheduler here: the CPUs' view is not checked";
  EXPECT_NE(result.out.find("\n## Each step once more, without strace"), std::string::npos);
  EXPECT_EQ(result.out.find("no view of the CPUs"), std::string::npos) << result.out;
  for (const std::string& name : records.perf)
    EXPECT_TRUE(recorded.count(name)) << name << " not recorded: " << read_file(listed);
  std::size_t runs = 0;
  for (const Json& event : events)
    runs += event.at("ph") == "i" && event.value("s", "") == "g";
  EXPECT_EQ(runs, 4u);
  ASSERT_TRUE(trace.contains("systemTraceEvents"));
  EXPECT_GT(count(trace.at("systemTraceEvents").get<std::string>(), ": sched_switch: prev_comm="),
            0u);
  const std::string page = read_file(out_dir + "/timeline.html");
  EXPECT_EQ(count(page, "The scheduler's view below is the same step run again"), 4u);
  // What both runs of threetally cost, as the tour counted it, says where the fill's time went.
  EXPECT_TRUE(std::regex_search(page, std::regex("this run spent [0-9.]+ ms in the kernel")));
  EXPECT_TRUE(
      std::regex_search(page, std::regex("Run again under perf, the step spent [0-9.]+ ms")));
}

// With --lessons, each step is followed by its lesson: the question, the runs, and what they
// measured, told from their output; the lessons' own segments and semaphores are gone after. The
// tour runs confined to the last CPU it may use, as in a container without CPU 0: the lesson
// pinned to one CPU takes one the tour may use.
TEST(Tour, LessonsFollowTheirStepsAndLeaveNothingBehind) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  int last = 0;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    last = CPU_ISSET(cpu, &allowed) ? cpu : last;
  Result result =
      run("/usr/bin/taskset", {"-c", std::to_string(last), tour, "--bin", bin, "--lessons"},
          {.timeout = 280s});
  ASSERT_EQ(result.status, 0) << result.err << result.out;
  const std::string pinned = "\n$ taskset -c " + std::to_string(last) + " tallyrace\n";
  std::size_t at = 0;
  for (const std::string& expected : std::vector<std::string>{
           "==== 1.", "==== Lesson: relaykeep", "\n$ relaykeep limits\n",
           "\n## The child's read never returned: ", "==== 2.", "==== Lesson: tallyrace", pinned,
           "\n## Pinned to one CPU they lost ", "==== 3.", "==== Lesson: segtear",
           "\n## 20000 copies: ", "==== 4.", "==== Lesson: gaterace", "\n$ gaterace kill\n",
           "\n## Inside sem_wait and sem_post: 200 of 200, 0 lost, 0 overlapping",
           "==== End of the tour"}) {
    at = result.out.find(expected, at);
    ASSERT_NE(at, std::string::npos) << expected << " missing, or out of order:\n" << result.out;
  }
  EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
}

// Where perf may not record the scheduler (an ordinary user, a container: a stand-in perf that
// refuses as perf does), the tour still draws strace's timeline, runs no step a second time, and
// says in one line why the timeline has no view of the CPUs.
TEST(Tour, WherePerfRefusesTheTimelineSaysWhyItHasNoCpuView) {
  if (!strace_works())
    GTEST_SKIP() << "strace cannot trace here";
  TempDir tools("refusing-perf"), folder("timeline");
  write_script(tools / "perf",
               "echo 'Error: Access to performance monitoring is limited.' >&2\n"
               "exit 255\n");
  ScopedEnv refused("PATH", path_with(tools.path()));
  Result result = run(tour, {"--bin", bin, "--timeline", folder / "drawn"}, {.timeout = 200s});
  EXPECT_EQ(result.status, 0) << result.err;
  // As root, perf's own words; otherwise how to let perf record.
  EXPECT_NE(
      result.out.find(geteuid() == 0 ? "\n## It has no view of the CPUs: perf cannot record the "
                                       "scheduler's events here (Error: Access to performance "
                                       "monitoring is limited.).\n"
                                     : "\n## It has no view of the CPUs: perf may not record the "
                                       "scheduler here (kernel.perf_event_paranoid is "),
      std::string::npos)
      << result.out;
  EXPECT_EQ(result.out.find("Each step once more"), std::string::npos) << result.out;
  EXPECT_TRUE(fs::is_regular_file(folder / "drawn/timeline.html"));
  EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
}

// Root's tour may be run with another user's HOME (sudo -E) or PERF_* settings: perf, which
// fills a build-id cache with a copy of the kernel's symbols by default, writes nothing outside
// the tour's own folder and the timeline's, and never through a link planted in that HOME.
TEST(Tour, ThePerfRecordingWritesNothingOutsideItsOwnFolders) {
  if (!strace_works() || !perf_records())
    GTEST_SKIP() << "strace or perf cannot record here";
  TempDir home("their-home"), theirs("their-folder"), elsewhere("elsewhere");
  fs::create_directory_symlink(theirs.path(), home / ".debug");
  std::ofstream(elsewhere / "perfconfig") << "[buildid]\n\tdir = " << elsewhere / "cache"
                                          << "\n";
  ScopedEnv their_home("HOME", home.path().string());
  ScopedEnv cache("PERF_BUILDID_DIR", elsewhere / "buildid");
  ScopedEnv config("PERF_CONFIG", elsewhere / "perfconfig");
  Result result = run(tour, {"--bin", bin, "--timeline", elsewhere / "drawn"}, {.timeout = 280s});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.find("no view of the CPUs"), std::string::npos) << result.out;
  EXPECT_TRUE(fs::is_empty(theirs.path())) << "perf wrote through the planted link";
  std::set<std::string> written;
  for (const auto& entry : fs::recursive_directory_iterator(elsewhere.path()))
    written.insert(fs::relative(entry.path(), elsewhere.path()));
  EXPECT_EQ(written, (std::set<std::string>{"perfconfig", "drawn", "drawn/timeline.html",
                                            "drawn/timeline.json"}));
  EXPECT_EQ(std::distance(fs::directory_iterator(home.path()), fs::directory_iterator()), 1);
  EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
}

// Whatever perf does, the tour draws strace's timeline and ends with status 0; a step that perf
// could not record has no CPU view, and one line says which and why. Stand-ins for perf: one
// killed while it records step 2, one that lacks one of the events the tour records.
TEST(Tour, APerfThatFailsCostsOnlyTheCpuViewItCouldNotRecord) {
  if (!strace_works() || !perf_records())
    GTEST_SKIP() << "strace or perf cannot record here";
  const std::string perf = run("/bin/sh", {"-c", "printf %s \"$(command -v perf)\""}).out;
  TempDir killed("killed-perf"), lacking("lacking-perf"), folder("timeline");
  write_script(killed / "perf",
               "case \"$*\" in *record*2-threads.data*)\n"
               "  (sleep 0.5; kill -KILL $$) &\n"
               "esac\n"
               "exec " +
                   perf + " \"$@\"\n");
  write_script(lacking / "perf",
               "case \"$*\" in *sched_wakeup_new*)\n"
               "  echo \"event syntax error: 'sched:sched_wakeup_new'\" >&2\n"
               "  exit 129\n"
               "esac\n"
               "exec " +
                   perf + " \"$@\"\n");
  {
    ScopedEnv stand_in("PATH", path_with(killed.path()));
    Result result = run(tour, {"--bin", bin, "--timeline", folder / "one"}, {.timeout = 280s});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(count(result.out, "has no view of the CPUs"), 1u) << result.out;
    EXPECT_NE(result.out.find("\n## Step 2 (the threads) has no view of the CPUs: perf was killed "
                              "(signal 9) while it recorded.\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(count(read_file(folder / "one/timeline.html"),
                    "The scheduler's view below is the same step run again"),
              3u);
    EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
  }
  ScopedEnv stand_in("PATH", path_with(lacking.path()));
  Result result = run(tour, {"--bin", bin, "--timeline", folder / "two"}, {.timeout = 280s});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("\n## It has no view of the CPUs: perf cannot record the scheduler's "
                            "events here (event syntax error: 'sched:sched_wakeup_new').\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.out.find("Each step once more"), std::string::npos) << result.out;
  EXPECT_TRUE(fs::is_regular_file(folder / "two/timeline.html"));
  EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
}

// Another user's folder, or any folder the tour is pointed at, with timeline.html planted as a
// link to a file of ours, or as a named pipe that would hang whoever opens it: the tour refuses
// before its steps, writes through neither, and says why.
TEST(Tour, NeverWritesItsTimelineThroughALinkNorIntoANamedPipe) {
  TempDir folder("planted");
  const std::string ours = folder / "ours";
  std::ofstream(ours) << "ours";
  const std::string page = folder / "timeline.html";
  const std::vector<std::pair<std::string, std::function<void()>>> planted = {
      {"a link", [&] { fs::create_symlink(ours, page); }},
      {"a named pipe", [&] { ASSERT_EQ(mkfifo(page.c_str(), 0600), 0); }},
  };
  for (const auto& [what, plant] : planted) {
    SCOPED_TRACE(what);
    plant();
    Result result = run(tour, {"--bin", bin, "--timeline", folder.path()}, {.timeout = 60s});
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(page + " is not a regular file"), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("==== 1."), std::string::npos) << result.out;
    EXPECT_EQ(read_file(ours), "ours");
    fs::remove(page);
  }
}

// strace may have children of its own beside the program it runs (a stand-in strace here starts
// one before it becomes strace): the tour must find the program, not take one of those for it.
TEST(Tour, FindsTheTracedProgramAmongStracesOtherChildren) {
  if (!strace_works())
    GTEST_SKIP() << "strace cannot trace here";
  TempDir tools("busy-strace");
  const std::string strace = run("/bin/sh", {"-c", "printf %s \"$(command -v strace)\""}).out;
  write_script(tools / "strace", "sleep 0.2 &\nexec " + strace + " \"$@\"\n");
  ScopedEnv busy("PATH", path_with(tools.path()));
  Result result = run(tour, {"--bin", bin}, {.timeout = 200s});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("\nThe string in SHM is :Hello shared memory!\n"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("It is waiting"), std::string::npos) << result.out;
  EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
}

// Somebody who reads the tour's random semaphore name from gatenew's command line may make the
// semaphore first. A stand-in gatenew plays that part once, making a file of another user at
// the name: the tour leaves it alone, draws a new name and goes on.
TEST(Tour, ASemaphoreNameTakenAsGatenewRunsIsLeftAloneForANewOne) {
  if (geteuid() != 0)
    GTEST_SKIP() << "making a file of another user's takes root";
  TempDir notes("notes");
  const std::string taken = notes / "taken";
  StandIns stand_ins(
      {{"gatenew", "if mkdir " + notes / "once" + " 2>/dev/null; then\n" +
                       "  f=/dev/shm/sem.${1#/}; echo other >\"$f\" && chown 65534 \"$f\"\n" +
                       "  echo \"$f\" >" + taken + "\n  exit 0\nfi\nexec " + bin +
                       "/gatenew \"$@\"\n"}});
  Result result = run(tour, {"--bin", stand_ins.bin_dir()}, {.timeout = 100s});
  const std::string planted = read_file(taken).substr(0, read_file(taken).find('\n'));
  const bool kept = !planted.empty() && read_file(planted) == "other\n";
  if (!planted.empty())
    fs::remove(planted);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(kept) << "the tour removed or changed " << planted;
  EXPECT_NE(result.out.find("draws a new name"), std::string::npos) << result.out;
  EXPECT_EQ(all_matches(result.out, std::regex("\\$ gatenew /ipcwalk-tour-")).size(), 2u);
  EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
}

// What another user sees of a tour is its pid and when it started. Two tours with the same pid
// (1, each in a pid namespace of its own), started at the same moment, must still draw names
// that differ: the name comes from the system's random source alone.
TEST(Tour, TheSemaphoreNameIsNotWorkedOutFromThePidOrTheTime) {
  if (run("/usr/bin/unshare", {"--pid", "--fork", "--mount-proc", "true"}).status != 0)
    GTEST_SKIP() << "no pid namespaces here (unshare --pid needs root)";
  const std::vector<std::string> line = {"--pid", "--fork", "--mount-proc", tour, "--bin", bin};
  Process first("/usr/bin/unshare", line, {.timeout = 200s});
  Process second("/usr/bin/unshare", line, {.timeout = 200s});
  std::vector<std::string> names;
  for (Process* each : {&first, &second}) {
    Result result = each->wait();
    EXPECT_EQ(result.status, 0) << result.err;
    for (const auto& name : all_matches(result.out, std::regex("\\$ gatenew (/\\S+)")))
      names.push_back(name[1]);
    EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
  }
  ASSERT_EQ(names.size(), 2u);
  EXPECT_NE(names[0], names[1]);
}

// The segment is everybody's to write (0666). Another user writes escape sequences into it while
// the tour runs: a colour, a window title, a carriage return. segpeek prints the bytes as they
// are; the tour shows them to its reader only as visible escapes.
TEST(Tour, AnotherUsersBytesInTheSegmentReachTheReaderOnlyAsEscapes) {
  ScopedEnv no_colour("NO_COLOR", "1");
  Process process(tour, {"--bin", bin}, {.timeout = 200s});
  ASSERT_TRUE(process.wait_for_output("Successfully created segment : ", 120s)) << process.out();
  std::smatch made;
  const std::string so_far = process.out();
  ASSERT_TRUE(std::regex_search(so_far, made, std::regex("created segment : (\\d+) ")));
  static constexpr char planted[] = "\x1b]0;pwned\x07\x1b[31mred\rover\n";
  std::jthread writer([id = std::stoi(made[1])](std::stop_token stop) {
    void* memory = shmat(id, nullptr, 0);
    if (memory == reinterpret_cast<void*>(-1))
      return;
    while (!stop.stop_requested()) {
      std::memcpy(memory, planted, sizeof planted);
      std::this_thread::sleep_for(1ms);
    }
    shmdt(memory);
  });
  Result result = finish(process, 150s);
  writer.request_stop();
  writer.join();
  EXPECT_EQ(result.status, 0) << result.err;
  for (const char control : {'\x1b', '\x07', '\r'})
    EXPECT_EQ(result.out.find(control), std::string::npos) << int{control} << " reached:\n"
                                                           << result.out;
  EXPECT_NE(result.out.find("The string in SHM is :\\x1b]0;pwned\\x07\\x1b[31mred\\x0dover\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(left_behind(result.out), std::vector<std::string>{});
}

}  // namespace
}  // namespace ipcwalk
