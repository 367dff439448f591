#include "records/watch.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string_view>

#include "records/proc.h"
#include "records/schedstat.h"
#include "records/write.h"

namespace lens {
namespace {

// Every process and thread the program makes is followed from its first moment; an exec stops
// with an event of its own rather than a SIGTRAP the program would be sent; each task stops at
// its exit; and should the watcher die, its tracees die with it rather than run on unwatched.
constexpr unsigned watch_options = PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE |
                                   PTRACE_O_TRACEEXEC | PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL;
constexpr std::int64_t watch_nanos_per_second = 1000000000;
constexpr int watch_shell_signalled = 128;  // a status of 128 + N: signal N ended the program
constexpr int watch_not_run = 127;          // as a shell says it could not run a command
constexpr mode_t watch_record_mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;

std::int64_t watch_now() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * watch_nanos_per_second + now.tv_nsec;
}

// ptrace's last argument, a number passed where the call takes a pointer.
void* ptrace_data(std::uintptr_t value) {
  return reinterpret_cast<void*>(value);  // NOLINT(performance-no-int-to-ptr)
}

// Lets a stopped task go on, with the signal it stopped to be given (0: none). A task killed
// meanwhile (ESRCH) is no error: its end is reported next.
void resume(pid_t task, int signal) {
  ::ptrace(PTRACE_CONT, task, nullptr, ptrace_data(static_cast<std::uintptr_t>(signal)));
}

bool is_stop_signal(int signal) {
  return signal == SIGSTOP || signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

// The CPUs the program may run on: the watcher's own, which it inherits.
int usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    return CPU_COUNT(&set);
  }
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 0;
}

// A new regular file at path, made for the record: never a link followed, and never a named pipe
// waited on (opened without waiting, then refused) nor a device written into.
int open_record(const std::string& path, std::string& failure) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
             watch_record_mode);
  if (fd < 0) {
    failure = "cannot write " + path + ": " + std::strerror(errno);
    return -1;
  }
  struct stat found {};
  if (::fstat(fd, &found) != 0 || !S_ISREG(found.st_mode)) {
    ::close(fd);
    failure = path + " is not a regular file (a FIFO or a device): not written into";
    return -1;
  }
  return fd;
}

class Watcher {
 public:
  explicit Watcher(int record) : record_(record) {}

  // Follows every task of the program (pid, forked at `forked`) until none is left; the
  // program's status.
  int follow(pid_t program, std::int64_t forked) {
    born_[program] = Birth{forked, 0};
    int status = 0;
    for (;;) {
      int reported = 0;
      const pid_t task = ::waitpid(-1, &reported, __WALL);
      if (task < 0 && errno == EINTR) {
        continue;
      }
      if (task < 0) {
        break;  // ECHILD: every task has ended
      }
      if (WIFEXITED(reported) || WIFSIGNALED(reported)) {
        if (task == program) {
          status = WIFEXITED(reported) ? WEXITSTATUS(reported)
                                       : watch_shell_signalled + WTERMSIG(reported);
        }
        born_.erase(task);
        seen_.erase(task);
        continue;
      }
      if (WIFSTOPPED(reported)) {
        stopped(task, Stop{WSTOPSIG(reported), static_cast<unsigned>(reported) >> 16U});
      }
    }
    return status;
  }

  // Why a line could not be written (errno), 0 where every line was; how many tasks ended
  // unread.
  int error() const {
    return error_;
  }
  int unread() const {
    return unread_;
  }

 private:
  struct Birth {
    std::int64_t at = 0;
    int parent = -1;  // the task that made it: -1 until its maker's event is seen
  };

  // A ptrace stop: the signal, and the event (0 for a signal on its way to the task).
  struct Stop {
    int signal = 0;
    unsigned event = 0;
  };

  void stopped(pid_t task, Stop stop) {
    const int signal = stop.signal;
    const bool first = seen_.insert(task).second;
    if (first && !born_.contains(task)) {
      born_[task] = Birth{watch_now(), -1};  // its first stop came before its maker's event
    }
    switch (stop.event) {
      case 0:  // a signal on its way to the task: it goes through
        resume(task, signal);
        return;
      case PTRACE_EVENT_FORK:
      case PTRACE_EVENT_VFORK:
      case PTRACE_EVENT_CLONE: {
        unsigned long made = 0;
        if (::ptrace(PTRACE_GETEVENTMSG, task, nullptr, &made) == 0 && made > 0) {
          const auto child = static_cast<int>(made);
          born_.try_emplace(child, Birth{watch_now(), task}).first->second.parent = task;
        }
        resume(task, 0);
        return;
      }
      case PTRACE_EVENT_EXIT:
        ended(task);
        resume(task, 0);
        return;
      case PTRACE_EVENT_STOP:
        // A task's first stop as it is made; or later, a stop signal's group-stop, in which it
        // stays (listened to) until a SIGCONT, as it would untraced.
        if (!first && is_stop_signal(signal)) {
          ::ptrace(PTRACE_LISTEN, task, nullptr, nullptr);
        } else {
          resume(task, 0);
        }
        return;
      default:  // PTRACE_EVENT_EXEC
        resume(task, 0);
        return;
    }
  }

  // Task tid at its exit, stopped there with its /proc entry still in place: its line.
  void ended(pid_t tid) {
    const int process = thread_group(tid).value_or(tid);
    const auto stat = read_schedstat(process, tid);
    if (!stat) {
      ++unread_;
      return;
    }
    const Birth birth = born_.contains(tid) ? born_[tid] : Birth{watch_now(), -1};
    WatchedTask task;
    task.tid = tid;
    task.process = process;
    // A task may end before its maker's event reaches the watcher: its maker is then taken to be
    // its process's first thread, or for a process its parent. Only the program has none (0).
    task.parent = birth.parent >= 0 ? birth.parent
                  : process != tid  ? process
                                    : std::max(parent_process(tid).value_or(1), 1);
    task.born = birth.at;
    task.ended = std::max(watch_now(), birth.at);
    task.running = stat->running;
    task.waiting = stat->waiting;
    task.slices = stat->slices;
    task.name = thread_name(process, tid).value_or("");
    if (!write_whole(record_, task_line(task)) && error_ == 0) {
      error_ = errno != 0 ? errno : EIO;
    }
  }

  int record_;
  std::map<int, Birth> born_;
  std::set<int> seen_;
  int error_ = 0;
  int unread_ = 0;
};

// In the child: waits until the watcher has seized it (its end of the pipe closed), then becomes
// the program.
[[noreturn]] void become(int ready, char* const argv[]) {
  char byte = 0;
  while (::read(ready, &byte, 1) < 0 && errno == EINTR) {
  }
  ::execvp(argv[0], argv);
  const int error = errno;
  const std::string said =
      std::string("lens: cannot run ") + argv[0] + ": " + std::strerror(error) + "\n";
  write_whole(STDERR_FILENO, said);
  ::_exit(watch_not_run);
}

}  // namespace

Watched watch(const std::string& path, char* const argv[]) {
  Watched result{1, ""};
  const int record = open_record(path, result.failure);
  if (record < 0) {
    return result;
  }
  const std::string heading =
      std::string(watch_heading) + "\ncpus " + std::to_string(usable_cpus()) + "\n";
  if (!write_whole(record, heading)) {
    result.failure = "cannot write " + path + ": " + std::strerror(errno != 0 ? errno : EIO);
    ::close(record);
    return result;
  }
  std::array<int, 2> ready{-1, -1};
  if (::pipe2(ready.data(), O_CLOEXEC) != 0) {
    result.failure = std::string("cannot make a pipe: ") + std::strerror(errno);
    ::close(record);
    return result;
  }
  const std::int64_t forked = watch_now();
  const pid_t program = ::fork();
  if (program < 0) {
    result.failure = std::string("cannot fork: ") + std::strerror(errno);
    ::close(ready[0]);
    ::close(ready[1]);
    ::close(record);
    return result;
  }
  if (program == 0) {
    ::close(ready[1]);
    become(ready[0], argv);
  }
  ::close(ready[0]);
  // Every end of a task is the watcher's to wait for, whatever SIGCHLD it was given (ignored, it
  // would leave no status to wait for). The program keeps its own.
  std::signal(SIGCHLD, SIG_DFL);
  if (::ptrace(PTRACE_SEIZE, program, nullptr, ptrace_data(watch_options)) != 0) {
    result.failure = std::string("cannot trace the program (ptrace: ") + std::strerror(errno) +
                     "): strace could not either";
    ::kill(program, SIGKILL);
    ::close(ready[1]);
    ::waitpid(program, nullptr, 0);
    ::close(record);
    return result;
  }
  ::close(ready[1]);  // the child goes on, now traced, and becomes the program
  Watcher watcher(record);
  result.status = watcher.follow(program, forked);
  int error = watcher.error();
  if (watcher.unread() > 0 &&
      !write_whole(record, "unread " + std::to_string(watcher.unread()) + "\n") && error == 0) {
    error = errno != 0 ? errno : EIO;
  }
  if (::close(record) != 0 && error == 0) {
    error = errno;
  }
  if (error != 0) {
    result.failure = "cannot write " + path + ": " + std::strerror(error);
    result.status = 1;
  }
  return result;
}

}  // namespace lens
