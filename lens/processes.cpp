#include "processes.h"

#include <sys/syscall.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace lens {
namespace {

namespace fs = std::filesystem;

// Parts of the names that a sleeping process's wchan shows while it reads a pipe or FIFO with
// nothing in it (pipe_wait in older kernels, pipe_read, anon_pipe_read in newer ones), and a part
// of every futex wait's name (futex_wait_queue_me, futex_wait_queue).
constexpr std::string_view pipe_sleeps[] = {"pipe_read", "pipe_wait"};
constexpr std::string_view futex_sleep = "futex";
// What wchan shows where the kernel does not name the function (it may hide it): "" or this.
constexpr std::string_view unnamed_sleep = "0";

// The fields of /proc/PID/stat that matter here.
struct Stat {
  char state = '?';  // R running, S asleep (interruptible), Z zombie, X dead, ...
  int parent = 0;
};

// The system call that a process sleeps in, from /proc/PID/syscall, and its first argument.
struct Call {
  long number = -1;
  unsigned long first = 0;
};

// A whole number (decimal, or hexadecimal with base 16) that is all of text.
template <typename Number>
std::optional<Number> number_in(std::string_view text, int base = 10) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

std::string first_line(const fs::path& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// The entries of a folder; none where it cannot be read. Entries of /proc come and go as they
// are listed: each step's error is taken, never thrown.
std::vector<fs::path> entries(const fs::path& folder) {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::directory_iterator next(folder, error), end; !error && next != end;
       next.increment(error)) {
    found.push_back(next->path());
  }
  return found;
}

// "PID (COMMAND) STATE PARENT ...": the command may hold spaces and parentheses of its own, so
// the fields after it start after its last ')'.
std::optional<Stat> read_stat(const fs::path& process) {
  const std::string line = first_line(process / "stat");
  const auto close = line.rfind(')');
  if (close == std::string::npos) {
    return std::nullopt;
  }
  std::istringstream rest(line.substr(close + 1));
  Stat found;
  if (!(rest >> found.state >> found.parent)) {
    return std::nullopt;
  }
  return found;
}

// "NUMBER 0xFIRST 0xSECOND ... SP PC" while the process sleeps in a system call; "running", or
// "-1 SP PC" outside one, give nothing.
std::optional<Call> read_call(const fs::path& process) {
  std::istringstream line(first_line(process / "syscall"));
  std::string number;
  std::string first;
  line >> number >> first;
  const auto call = number_in<long>(number);
  constexpr std::string_view hex = "0x";
  if (!call || *call < 0 || !first.starts_with(hex)) {
    return std::nullopt;
  }
  const auto argument = number_in<unsigned long>(std::string_view(first).substr(hex.size()), 16);
  if (!argument) {
    return std::nullopt;
  }
  return Call{*call, *argument};
}

// A futex wait's call: futex, or on 32-bit systems futex_time64 (which glibc tries first).
bool is_futex(long call) {
#ifdef SYS_futex
  if (call == SYS_futex) {
    return true;
  }
#endif
#ifdef SYS_futex_time64
  if (call == SYS_futex_time64) {
    return true;
  }
#endif
  return false;
}

ProcessState by_wchan(std::string_view wchan) {
  for (const std::string_view sleep : pipe_sleeps) {
    if (wchan.find(sleep) != std::string_view::npos) {
      return ProcessState::paused;
    }
  }
  return wchan.find(futex_sleep) != std::string_view::npos ? ProcessState::waiting
                                                           : ProcessState::running;
}

// The children of pid found by reading every process's stat for its parent, as pgrep -P does.
std::vector<int> children_by_parent(int pid, std::string_view proc) {
  std::vector<int> found;
  for (const fs::path& process : entries(proc)) {
    const auto number = number_in<int>(process.filename().string());
    if (!number) {
      continue;
    }
    if (const auto stat = read_stat(process); stat && stat->parent == pid) {
      found.push_back(*number);
    }
  }
  return found;
}

// The target of a link such as /proc/PID/exe; nothing where it cannot be read.
std::optional<std::string> link_target(const fs::path& link) {
  std::error_code error;
  fs::path target = fs::read_symlink(link, error);
  if (error) {
    return std::nullopt;
  }
  return target.string();
}

bool has_line(const fs::path& path, std::string_view wanted) {
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    if (line == wanted) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string_view state_word(ProcessState state) {
  switch (state) {
    case ProcessState::ended:
      return "ended";
    case ProcessState::paused:
      return "paused";
    case ProcessState::waiting:
      return "waiting";
    case ProcessState::running:
      break;
  }
  return "running";
}

ProcessState process_state(int pid, std::string_view proc) {
  const fs::path process = fs::path(proc) / std::to_string(pid);
  const auto stat = read_stat(process);
  if (!stat || stat->state == 'Z' || stat->state == 'X') {
    return ProcessState::ended;
  }
  const std::string wchan = first_line(process / "wchan");
  if (!wchan.empty() && wchan != unnamed_sleep) {
    return by_wchan(wchan);  // a named sleep decides, whatever the call's arguments say
  }
  const auto call = read_call(process);
  if (stat->state != 'S' || !call) {
    return ProcessState::running;
  }
  if (is_futex(call->number)) {
    return ProcessState::waiting;
  }
  if (call->number == SYS_read && call->first == 0 && children(pid, proc).empty()) {
    return ProcessState::paused;
  }
  return ProcessState::running;
}

// Each thread's children file lists the children that thread made: a few small reads, where the
// kernel has them (CONFIG_PROC_CHILDREN). Where it has not, every process's stat is read for its
// parent: slower, but what every kernel offers.
std::vector<int> children(int pid, std::string_view proc) {
  std::vector<int> found;
  bool listed = false;
  for (const fs::path& task : entries(fs::path(proc) / std::to_string(pid) / "task")) {
    std::ifstream file(task / "children");
    listed = listed || file.is_open();
    for (int child = 0; file >> child;) {
      found.push_back(child);
    }
  }
  return listed ? found : children_by_parent(pid, proc);
}

std::optional<int> tracee(int tracer, std::string_view proc) {
  const fs::path root(proc);
  const auto own = link_target(root / std::to_string(tracer) / "exe");
  if (!own) {
    return std::nullopt;
  }
  const std::string traced_by = "TracerPid:\t" + std::to_string(tracer);
  for (const int child : children(tracer, proc)) {
    const fs::path process = root / std::to_string(child);
    const auto exe = link_target(process / "exe");
    // The tracer's program is read again after its child's: read first while the tour's shell
    // was still becoming strace, it would let a child that strace forks for itself (strace tests
    // ptrace on a short-lived child as it starts) pass for the program.
    if (exe && *exe != *own && has_line(process / "status", traced_by) &&
        link_target(root / std::to_string(tracer) / "exe") == own) {
      return child;
    }
  }
  return std::nullopt;
}

std::optional<RunCost> read_cost(const std::string& path) {
  // Far above any run's, so that no sum of them overflows.
  constexpr long long largest = 1'000'000'000'000;
  std::ifstream file(path);
  RunCost cost;
  const std::pair<std::string_view, long long*> wanted[] = {
      {"page faults: ", &cost.faults}, {"user: ", &cost.user_ms}, {"system: ", &cost.system_ms}};
  std::string line;
  for (const auto& [key, value] : wanted) {
    if (!std::getline(file, line) || !line.starts_with(key)) {
      return std::nullopt;
    }
    std::string_view rest = std::string_view(line).substr(key.size());
    if (key != "page faults: ") {
      if (!rest.ends_with(" ms")) {
        return std::nullopt;
      }
      rest.remove_suffix(3);
    }
    const auto number = number_in<long long>(rest);
    if (!number || *number < 0 || *number > largest) {
      return std::nullopt;
    }
    *value = *number;
  }
  return cost;
}

}  // namespace lens
