#include "records/proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <utility>

namespace lens {
namespace {

// The most read of one file: a process's memory map or the kernel's table of segments may be
// long; the other files are a line or a few.
constexpr std::size_t proc_table_limit = std::size_t{16} << 20U;
constexpr std::size_t proc_line_limit = std::size_t{64} << 10U;

// Parts of the names that a sleeping process's wchan shows while it reads a pipe or FIFO with
// nothing in it (pipe_wait in older kernels, pipe_read, anon_pipe_read in newer ones), and a part
// of every futex wait's name (futex_wait_queue_me, futex_wait_queue).
constexpr std::string_view pipe_sleeps[] = {"pipe_read", "pipe_wait"};
constexpr std::string_view futex_sleep = "futex";
// What wchan shows where the kernel does not name the function (it may hide it): "" or this.
constexpr std::string_view unnamed_sleep = "0";
constexpr std::string_view blanks = " \t\n";

// The fields of /proc/PID/stat that matter here.
struct ProcStat {
  char state = '?';  // R running, S asleep (interruptible), Z zombie, X dead, ...
  int parent = 0;
};

// The system call that a process sleeps in, from /proc/PID/syscall, and its first argument.
struct ProcCall {
  long number = -1;
  unsigned long first = 0;
};

// A whole number (decimal, or hexadecimal with base 16) that is all of text.
template <typename Number>
std::optional<Number> proc_number(std::string_view text, int base = 10) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

// The words of text, split at blanks.
std::vector<std::string_view> proc_words(std::string_view text) {
  std::vector<std::string_view> words;
  for (std::size_t at = text.find_first_not_of(blanks); at != std::string_view::npos;) {
    const std::size_t end = text.find_first_of(blanks, at);
    words.push_back(text.substr(at, end == std::string_view::npos ? end : end - at));
    at = end == std::string_view::npos ? end : text.find_first_not_of(blanks, end);
  }
  return words;
}

// Whether a file is read where its name is a link: the semaphore's file is not.
enum class ProcLinks { follow, refuse };

RegularFile read_file(const std::string& path, std::size_t limit, ProcLinks links) {
  RegularFile file;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY |
                                          (links == ProcLinks::refuse ? O_NOFOLLOW : 0));
  if (fd < 0) {
    file.error = errno;
    return file;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    file.error = errno;
  } else if (!S_ISREG(status.st_mode)) {
    file.regular = false;
  } else {
    // Read a piece at a time: most files here are a line, and the long ones far below the limit.
    constexpr std::size_t piece = 4096;
    std::string bytes;
    while (file.error == 0 && bytes.size() <= limit) {
      const std::size_t got = bytes.size();
      bytes.resize(got + std::min(piece, limit + 1 - got));
      const ssize_t part = ::read(fd, bytes.data() + got, bytes.size() - got);
      bytes.resize(got + (part > 0 ? static_cast<std::size_t>(part) : 0));
      if (part == 0) {
        break;
      }
      if (part < 0 && errno != EINTR) {
        file.error = errno;
      }
    }
    if (file.error == 0) {
      file.text = std::move(bytes);
    }
  }
  ::close(fd);
  return file;
}

// Up to limit + 1 bytes of the regular file at path; nothing where it cannot be read.
std::optional<std::string> proc_read(const std::string& path, std::size_t limit,
                                     ProcLinks links = ProcLinks::follow) {
  return read_file(path, limit, links).text;
}

// The lines of the text file at path, without their newlines; a line cut by the limit is left
// out. None where the file cannot be read.
std::vector<std::string> proc_lines(const std::string& path, std::size_t limit) {
  std::optional<std::string> text = proc_read(path, limit);
  std::vector<std::string> lines;
  if (!text) {
    return lines;
  }
  if (text->size() > limit) {
    const std::size_t last = text->rfind('\n', limit - 1);
    text->resize(last == std::string::npos ? 0 : last + 1);
  }
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    lines.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  return lines;
}

std::string proc_first_line(const std::string& path) {
  std::vector<std::string> lines = proc_lines(path, proc_line_limit);
  return lines.empty() ? std::string() : std::move(lines.front());
}

std::string proc_path(std::string_view proc, int pid) {
  std::string path(proc);
  path += '/';
  path += std::to_string(pid);
  return path;
}

// The entries of a folder but . and ..; none where it cannot be read. Entries of /proc come and go
// as they are listed.
std::vector<std::string> proc_entries(const std::string& folder) {
  std::vector<std::string> found;
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) {
    return found;
  }
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      found.emplace_back(name);
    }
  }
  ::closedir(listing);
  return found;
}

// "PID (COMMAND) STATE PARENT ...": the command may hold spaces and parentheses of its own, so
// the fields after it start after its last ')'.
std::optional<ProcStat> proc_stat(const std::string& process) {
  const std::string line = proc_first_line(process + "/stat");
  const auto close = line.rfind(')');
  if (close == std::string::npos) {
    return std::nullopt;
  }
  const std::vector<std::string_view> fields = proc_words(std::string_view(line).substr(close + 1));
  if (fields.size() < 2 || fields[0].size() != 1) {
    return std::nullopt;
  }
  const auto parent = proc_number<int>(fields[1]);
  if (!parent) {
    return std::nullopt;
  }
  return ProcStat{fields[0][0], *parent};
}

// "NUMBER 0xFIRST 0xSECOND ... SP PC" while the process sleeps in a system call; "running", or
// "-1 SP PC" outside one, give nothing.
std::optional<ProcCall> proc_call(const std::string& process) {
  const std::string line = proc_first_line(process + "/syscall");
  const std::vector<std::string_view> fields = proc_words(line);
  constexpr std::string_view hex = "0x";
  if (fields.size() < 2 || !fields[1].starts_with(hex)) {
    return std::nullopt;
  }
  const auto call = proc_number<long>(fields[0]);
  const auto argument = proc_number<unsigned long>(fields[1].substr(hex.size()), 16);
  if (!call || *call < 0 || !argument) {
    return std::nullopt;
  }
  return ProcCall{*call, *argument};
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

ProcessState by_wchan(std::string_view sleep) {
  for (const std::string_view pipe_sleep : pipe_sleeps) {
    if (sleep.find(pipe_sleep) != std::string_view::npos) {
      return ProcessState::paused;
    }
  }
  return sleep.find(futex_sleep) != std::string_view::npos ? ProcessState::waiting
                                                           : ProcessState::running;
}

// The children of pid found by reading every process's stat for its parent, as pgrep -P does.
std::vector<int> children_by_parent(int pid, std::string_view proc) {
  std::vector<int> found;
  for (const std::string& name : proc_entries(std::string(proc))) {
    const auto number = proc_number<int>(name);
    if (!number) {
      continue;
    }
    if (const auto stat = proc_stat(proc_path(proc, *number)); stat && stat->parent == pid) {
      found.push_back(*number);
    }
  }
  return found;
}

// The target of a link such as /proc/PID/exe; nothing where it cannot be read.
std::optional<std::string> link_target(const std::string& link) {
  std::array<char, PATH_MAX> target{};
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
    return std::nullopt;
  }
  return std::string(target.data(), static_cast<std::size_t>(length));
}

bool has_line(const std::string& path, std::string_view wanted) {
  for (const std::string& line : proc_lines(path, proc_line_limit)) {
    if (line == wanted) {
      return true;
    }
  }
  return false;
}

// A number of a task's status (the lines of /proc/TID/status), after its key ("Tgid:").
std::optional<int> status_number(const std::vector<std::string>& status, std::string_view key) {
  for (const std::string& line : status) {
    if (line.starts_with(key)) {
      const std::vector<std::string_view> words =
          proc_words(std::string_view(line).substr(key.size()));
      const auto number = words.size() == 1 ? proc_number<int>(words[0]) : std::nullopt;
      return number && *number >= 0 ? number : std::nullopt;
    }
  }
  return std::nullopt;
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
  const std::string process = proc_path(proc, pid);
  const auto stat = proc_stat(process);
  if (!stat || stat->state == 'Z' || stat->state == 'X') {
    return ProcessState::ended;
  }
  const std::string sleep = wchan(pid, proc);
  if (!sleep.empty() && sleep != unnamed_sleep) {
    return by_wchan(sleep);  // a named sleep decides, whatever the call's arguments say
  }
  const auto call = proc_call(process);
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
  const std::string tasks = proc_path(proc, pid) + "/task";
  for (const std::string& task : proc_entries(tasks)) {
    std::string listing = tasks;
    listing.append("/").append(task).append("/children");
    const auto text = proc_read(listing, proc_line_limit);
    listed = listed || text.has_value();
    for (const std::string_view word : text ? proc_words(*text) : std::vector<std::string_view>{}) {
      const auto child = proc_number<int>(word);
      if (!child) {
        break;
      }
      found.push_back(*child);
    }
  }
  return listed ? found : children_by_parent(pid, proc);
}

std::optional<int> tracee(int tracer, std::string_view proc) {
  const std::string own_exe = proc_path(proc, tracer) + "/exe";
  const auto own = link_target(own_exe);
  if (!own) {
    return std::nullopt;
  }
  const std::string traced_by = "TracerPid:\t" + std::to_string(tracer);
  for (const int child : children(tracer, proc)) {
    const std::string process = proc_path(proc, child);
    const auto exe = link_target(process + "/exe");
    // The tracer's program is read again after its child's: read first while the tour's shell
    // was still becoming strace, it would let a child that strace forks for itself (strace tests
    // ptrace on a short-lived child as it starts) pass for the program.
    if (exe && *exe != *own && has_line(process + "/status", traced_by) &&
        link_target(own_exe) == own) {
      return child;
    }
  }
  return std::nullopt;
}

std::string wchan(int pid, std::string_view proc) {
  return proc_first_line(proc_path(proc, pid) + "/wchan");
}

std::vector<std::string> map_rows(int pid, std::string_view proc) {
  return proc_lines(proc_path(proc, pid) + "/maps", proc_table_limit);
}

bool maps_segment(std::string_view row, int segment) {
  // ADDRESSES PERMS OFFSET DEVICE INODE NAME: the segment's inode is its identifier.
  constexpr std::size_t inode = 4;
  constexpr std::size_t name = 5;
  const std::vector<std::string_view> columns = proc_words(row);
  return columns.size() > name && columns[inode] == std::to_string(segment) &&
         columns[name].starts_with("/SYSV");
}

std::vector<ShmRow> shm_rows(int segment, std::string_view proc) {
  constexpr std::size_t shmid = 1;
  const std::string id = std::to_string(segment);
  const std::vector<std::string> table =
      proc_lines(std::string(proc) + "/sysvipc/shm", proc_table_limit);
  std::vector<ShmRow> found;
  for (std::size_t index = 0; index < table.size(); ++index) {
    const std::vector<std::string_view> columns = proc_words(table[index]);
    if (columns.size() < shm_columns || (index > 0 && columns[shmid] != id)) {
      continue;
    }
    ShmRow& row = found.emplace_back();
    for (std::size_t column = 0; column < shm_columns; ++column) {
      row[column] = columns[column];
    }
  }
  return found;
}

std::optional<SemaphoreWords> semaphore_words(std::string_view bytes) {
  constexpr std::uint64_t low_half = 0xffffffffU;
  constexpr unsigned half_bits = 32;
  SemaphoreWords found;
  found.size = bytes.size();
  if (found.size != semaphore_big_layout && found.size != semaphore_small_layout) {
    return std::nullopt;
  }
  static_assert(sizeof found.words == semaphore_small_layout);
  static_assert(sizeof found.first == 8);
  std::memcpy(found.words.data(), bytes.data(), sizeof found.words);
  if (found.size == semaphore_big_layout) {
    std::memcpy(&found.first, bytes.data(), sizeof found.first);
    found.value = static_cast<std::uint32_t>(found.first & low_half);
    found.waiters = static_cast<std::uint32_t>(found.first >> half_bits);
  } else {
    found.value = found.words[0] >> 1U;
    found.waiters = found.words[3];
  }
  return found;
}

std::optional<SemaphoreWords> read_semaphore(const std::string& path) {
  // Up to one more byte than the larger layout: a longer file has neither.
  const auto bytes = proc_read(path, semaphore_big_layout, ProcLinks::refuse);
  return bytes ? semaphore_words(*bytes) : std::nullopt;
}

std::optional<Schedstat> read_schedstat(int pid, int tid, std::string_view proc) {
  const std::string path = proc_path(proc, pid) + "/task/" + std::to_string(tid) + "/schedstat";
  const std::string line = proc_first_line(path);  // "RUNNING WAITING SLICES"
  const std::vector<std::string_view> fields = proc_words(line);
  constexpr std::size_t schedstat_fields = 3;
  if (fields.size() != schedstat_fields) {
    return std::nullopt;
  }
  const auto running = proc_number<std::int64_t>(fields[0]);
  const auto waiting = proc_number<std::int64_t>(fields[1]);
  const auto slices = proc_number<std::int64_t>(fields[2]);
  if (!running || !waiting || !slices || *running < 0 || *waiting < 0 || *slices < 0) {
    return std::nullopt;
  }
  return Schedstat{*running, *waiting, *slices};
}

std::optional<int> thread_group(int tid, std::string_view proc) {
  return status_number(proc_lines(proc_path(proc, tid) + "/status", proc_line_limit), "Tgid:");
}

std::optional<int> parent_process(int tid, std::string_view proc) {
  return status_number(proc_lines(proc_path(proc, tid) + "/status", proc_line_limit), "PPid:");
}

std::optional<std::string> thread_name(int pid, int tid, std::string_view proc) {
  // The kernel's names are 15 bytes at most; a few more are read, for a newline in the name.
  constexpr std::size_t name_limit = 64;
  auto name =
      proc_read(proc_path(proc, pid) + "/task/" + std::to_string(tid) + "/comm", name_limit);
  if (!name || name->empty() || name->size() > name_limit || name->back() != '\n') {
    return std::nullopt;
  }
  name->pop_back();
  return name;
}

RegularFile read_regular(const std::string& path, std::size_t limit) {
  return read_file(path, limit, ProcLinks::follow);
}

std::optional<RunCost> read_cost(const std::string& path) {
  // Far above any run's, so that no sum of them overflows.
  constexpr long long largest = 1'000'000'000'000;
  constexpr std::string_view faults_key = "page faults: ";
  constexpr std::string_view unit = " ms";
  const std::vector<std::string> lines = proc_lines(path, proc_line_limit);
  RunCost cost;
  const std::pair<std::string_view, long long*> wanted[] = {
      {faults_key, &cost.faults}, {"user: ", &cost.user_ms}, {"system: ", &cost.system_ms}};
  std::size_t at = 0;
  for (const auto& [key, value] : wanted) {
    if (at == lines.size() || !lines[at].starts_with(key)) {
      return std::nullopt;
    }
    std::string_view rest = std::string_view(lines[at++]).substr(key.size());
    if (key != faults_key) {
      if (!rest.ends_with(unit)) {
        return std::nullopt;
      }
      rest.remove_suffix(unit.size());
    }
    const auto number = proc_number<long long>(rest);
    if (!number || *number < 0 || *number > largest) {
      return std::nullopt;
    }
    *value = *number;
  }
  return cost;
}

}  // namespace lens
