#include "tour/support.h"

#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/shm.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace ipcwalk {

namespace fs = std::filesystem;

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str()))
    old_ = old;
  value ? setenv(name_.c_str(), value->c_str(), 1) : unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
  old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str());
}

Result Tour::tour(const std::vector<std::string>& args, const Options& options) {
  return run_kept(tour_path, args, options);
}

Result Tour::run_kept(const std::string& command, const std::vector<std::string>& args,
                      const Options& options) {
  Result result = run(command, args, options);
  outputs_.push_back(result.out);
  return result;
}

Process& Tour::start(const std::string& command, const std::vector<std::string>& args,
                     const Options& options) {
  return started_.emplace_back(command, args, options);
}

void Tour::set_env(const std::string& name, const std::optional<std::string>& value) {
  if (name == "IPCWALK_TOUR_SEMAPHORE" && value)
    names_.insert(value->substr(value->starts_with('/') ? 1 : 0));
  env_.push_back(std::make_unique<ScopedEnv>(name, value));
}

void Tour::TearDown() {
  // A tour the test left running (an assertion ended the test early) is stopped as Ctrl-C stops
  // it, its whole process group where it leads one, so that it removes what it made; one that
  // does not end within the bound is killed.
  for (Process& process : started_) {
    if (!process.running())
      continue;
    if (!HasFailure())
      ADD_FAILURE() << "the test ended with process " << process.pid() << " still running";
    const pid_t target = getpgid(process.pid()) == process.pid() ? -process.pid() : process.pid();
    kill(target, SIGINT);
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (process.running() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(20ms);
    if (process.running())
      kill(target, SIGKILL);
    process.wait();
  }
  std::string outputs;
  for (const std::string& output : outputs_)
    outputs += output + "\n";
  for (const Process& process : started_)
    outputs += process.out() + "\n";
  while (!env_.empty())
    env_.pop_back();
  EXPECT_EQ(left_behind(outputs, names_), std::vector<std::string>{})
      << "left behind by the tour runs of this test";
}

std::vector<std::smatch> all_matches(const std::string& text, const std::regex& pattern) {
  return {std::sregex_iterator(text.begin(), text.end(), pattern), std::sregex_iterator()};
}

std::string flowing(const std::string& pattern) {
  std::string flowed;
  for (const char each : pattern)
    flowed += each == ' ' ? std::string("(?: |\n## |\n==== |\n      )") : std::string(1, each);
  return flowed;
}

std::regex said_pattern(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex(flowing(std::regex_replace(text, special, "\\$&")));
}

std::size_t said(const std::string& output, const std::string& text, std::size_t from) {
  std::smatch found;
  if (from > output.size() || !std::regex_search(output.begin() + static_cast<std::ptrdiff_t>(from),
                                                 output.end(), found, said_pattern(text)))
    return std::string::npos;
  return from + static_cast<std::size_t>(found.position(0));
}

std::size_t times_said(const std::string& output, const std::string& text) {
  return all_matches(output, said_pattern(text)).size();
}

std::vector<std::string> own_lines(const std::string& output) {
  std::vector<std::string> own;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.ends_with('\r'))  // a terminal's line end
      line.pop_back();
    if (line.starts_with("## ") || line.starts_with("==== ") || line.starts_with("-- "))
      own.push_back(line);
  }
  return own;
}

std::size_t columns(const std::string& line) {
  std::size_t wide = 0;
  for (const char byte : line)
    wide += (static_cast<unsigned char>(byte) & 0xc0U) != 0x80U;
  return wide;
}

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

std::vector<std::string> left_behind(const std::string& output, std::set<std::string> names) {
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
    if (object.starts_with("segment ")) {
      int id = -1;
      std::from_chars(which.data(), which.data() + which.size(), id);
      shmctl(id, IPC_RMID, nullptr);
    } else {
      sem_unlink(which.c_str());
    }
  }
  return left;
}

Result finish(Process& process, Duration limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (process.running() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(20ms);
  if (process.running())
    kill(process.pid(), SIGINT);
  return process.wait();
}

void churn(const std::stop_token& stop) {
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

void write_script(const std::string& path, const std::string& text) {
  std::ofstream(path) << "#!/bin/sh\n" << text;
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

std::string path_with(const fs::path& first) {
  const char* path = std::getenv("PATH");
  return path ? first.string() + ":" + path : first.string();
}

std::string command_path(const std::string& name) {
  return run("/bin/sh", {"-c", "printf %s \"$(command -v " + name + ")\""}).out;
}

std::vector<std::string> on_terminal(const std::string& args) {
  return {"script", "-qec", tour_path + " " + args, "/dev/null"};
}

std::vector<std::string> in_own_group(const std::vector<std::string>& args) {
  std::vector<std::string> line = {tour_path};
  line.insert(line.end(), args.begin(), args.end());
  return line;
}

bool strace_works() {
  return run("/usr/bin/env", {"strace", "-o", "/dev/null", "true"}).status == 0;
}

bool perf_records() {
  TempDir probe("perf-probe");
  return run("/usr/bin/env", {"perf", "record", "-q", "-B", "-N", "-e", "sched:sched_switch", "-a",
                              "-o", probe / "probe.data", "true"})
             .status == 0;
}

StandIns::StandIns(std::initializer_list<std::pair<const std::string, std::string>> scripts)
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

bool appears(const std::string& path, Duration limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!fs::exists(path) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(10ms);
  return fs::exists(path);
}

std::size_t tour_folders(const TempDir& dir) {
  std::size_t found = 0;
  for (const auto& entry : fs::directory_iterator(dir.path()))
    found += entry.path().filename().string().starts_with("ipcwalk-tour.");
  return found;
}

bool alive(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  return std::getline(stat, line) && line.substr(line.rfind(')') + 2, 1) != "Z";
}

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

}  // namespace ipcwalk
