// relaykeep: forkrelay's child that keeps its own write end, and what else a pipe does.
//
// What it leaves out: forkrelay's child closing its copy of the write end before it reads. A read
// from a pipe returns end-of-file only once no write end is open anywhere; here the parent closes
// both its ends without writing, and the child still holds a write end itself, so its read never
// returns: it waits in the kernel's pipe_read for a message that nobody will ever send.
//
// Run it:   ./relaykeep
// The parent forks and closes its ends without writing; the child prints its process identifier
// and blocks in read. The parent then looks at the child from outside, as `cat /proc/PID/wchan`
// would: it reads the child's wchan, the kernel function it sleeps in, until that is the pipe's
// read (at most 3 s), and again half a second later, the read still there. Having shown it, the
// parent ends the child (SIGTERM, then SIGKILL where that has not ended it within a second),
// collects it and says how it ended: the read would have waited for ever. Nothing outlives the
// parent: the child also dies with it, whatever ends it (PR_SET_PDEATHSIG).
// Output, one fact per line, the child's two first (N stands for a number measured in the run):
//   child pid: N
//   child: reading, with its own write end still open
//   parent pid: N
//   parent: closed its ends without writing
//   child wchan: WORD          what /proc/CHILD/wchan read last, half a second after it first
//                              read pipe_read (anon_pipe_read on some kernels); or what it read
//                              when 3 s were up ("0" where the kernel hides it)
//   child read for: N.NN s     from the parent's closes until it ended the child: the read did
//                              not return in all that time
//   child ended: TEXT          how waitpid saw the child end: "signal 15 (Terminated)"; where the
//                              read did return, "exit status N" after a line
//                              "child: read returned N"
//
// Run it with an argument:   ./relaykeep limits
// What a pipe does to its writers, measured on fresh pipes:
// - a writer whose reader has gone gets SIGPIPE, whose default action ends it: a child writes into
//   a pipe with no read end open and dies, and a shell reports the death as status 128 + 13;
// - where SIGPIPE is ignored, the same write fails with EPIPE instead;
// - a pipe holds a bounded number of bytes: non-blocking writes into a pipe nobody reads fill it
//   until the kernel answers EAGAIN (a blocking writer would wait there, in pipe_write), and the
//   bytes written match the size that fcntl(F_GETPIPE_SZ) reports.
// Output, exactly these five lines:
//   sigpipe signal: N (TEXT)   the signal that ended the writer, seen by waitpid, and its name
//                              (13 (Broken pipe) on Linux)
//   sigpipe status: N          128 + that signal: the status a shell reports (141)
//   epipe write: -1 (TEXT)     the write's result with SIGPIPE ignored, and errno's text
//                              (-1 (Broken pipe), errno being EPIPE)
//   capacity: N                bytes the pipe took before EAGAIN (65536 by default)
//   F_GETPIPE_SZ: N            the pipe's size as fcntl reports it
// Where the writer was not ended by a signal, the first two lines read
// "sigpipe signal: none (exit status N)" and "sigpipe status: N". Exit status 0, or 1 where a
// system call fails (perror names it) or the lines could not be written out; any other argument
// prints the usage and gives 2.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

// For the messages; the fixed name reads the same however the program was started.
constexpr char program_name[] = "relaykeep";
constexpr char usage[] = "usage: relaykeep [limits]\n";
constexpr char limits_mode[] = "limits";
constexpr int record_size = 128;
// The filling writes: several times the most bytes a pipe writes as one piece, so that most
// writes fill whole pages and the last one fills what room is left.
constexpr std::size_t fill_chunk = std::size_t{4} * PIPE_BUF;
// How a shell reports a process ended by a signal: 128 plus the signal's number.
constexpr int shell_signal_base = 128;
// The parent's look at its reading child: how often, for how long at most, and what it waits
// to see (the kernel names the function anon_pipe_read on some versions).
constexpr auto wchan_poll = std::chrono::milliseconds(10);
constexpr auto wchan_limit = std::chrono::seconds(3);
constexpr char pipe_read_word[] = "pipe_read";
// Once seen there, the child is watched a while longer, to show that the read stays put.
constexpr auto watch_time = std::chrono::milliseconds(500);
// How long the child has to end after SIGTERM before it gets SIGKILL.
constexpr auto term_limit = std::chrono::seconds(1);

// Each process, at its end: what it printed must have reached standard output.
int finish(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
    return 1;
  }
  return status;
}

// The kernel function that process pid sleeps in, as /proc/PID/wchan names it; "" where it is
// gone.
std::string wchan_of(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/wchan");
  std::string word;
  std::getline(file, word);
  return word;
}

// The child: keeps the write end open and reads. The read returns only if a write end closes
// everywhere or somebody writes: neither happens while the child itself holds fd[1].
[[noreturn]] void keep_reading(const int fd[2], pid_t parent) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || getppid() != parent) {
    _exit(1);
  }
  std::printf("child pid: %d\n", getpid());
  std::puts("child: reading, with its own write end still open");
  if (finish(0) != 0) {
    _exit(1);
  }
  char record[record_size] = {};
  const ssize_t received = read(fd[0], record, record_size);
  if (received < 0) {
    std::perror("read");
    _exit(1);
  }
  std::printf("child: read returned %d\n", static_cast<int>(received));
  _exit(finish(0));
}

// Ends the child, SIGTERM first, and collects it; its wait status, or -1 where waitpid failed.
int end_child(pid_t child) {
  kill(child, SIGTERM);
  const auto until = std::chrono::steady_clock::now() + term_limit;
  int wait_status = 0;
  pid_t reaped = 0;
  while ((reaped = waitpid(child, &wait_status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(wchan_poll);
  }
  if (reaped == 0) {
    kill(child, SIGKILL);
    reaped = waitpid(child, &wait_status, 0);
  }
  return reaped == child ? wait_status : -1;
}

// The default run: the read that never returns, shown from outside and then ended.
int show_endless_read() {
  int fd[2];
  if (pipe(fd) < 0) {
    std::perror("pipe");
    return 1;
  }
  std::fflush(stdout);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return 1;
  }
  if (child == 0) {
    keep_reading(fd, parent);
  }
  // The parent closes its ends, as forkrelay's would if it died before writing.
  close(fd[0]);
  close(fd[1]);
  const auto closed = std::chrono::steady_clock::now();
  std::string wchan = wchan_of(child);
  while (wchan.find(pipe_read_word) == std::string::npos &&
         std::chrono::steady_clock::now() < closed + wchan_limit) {
    std::this_thread::sleep_for(wchan_poll);
    wchan = wchan_of(child);
  }
  if (wchan.find(pipe_read_word) != std::string::npos) {
    std::this_thread::sleep_for(watch_time);
    wchan = wchan_of(child);
  }
  const std::chrono::duration<double> reading = std::chrono::steady_clock::now() - closed;
  const int wait_status = end_child(child);
  if (wait_status < 0) {
    std::perror("waitpid");
    return 1;
  }
  std::printf("parent pid: %d\n", parent);
  std::puts("parent: closed its ends without writing");
  std::printf("child wchan: %s\n", wchan.empty() ? "(gone)" : wchan.c_str());
  std::printf("child read for: %.2f s\n", reading.count());
  if (WIFSIGNALED(wait_status)) {
    std::printf("child ended: signal %d (%s)\n", WTERMSIG(wait_status),
                strsignal(WTERMSIG(wait_status)));
  } else {
    std::printf("child ended: exit status %d\n", WEXITSTATUS(wait_status));
  }
  return finish(0);
}

// The three measurements of `relaykeep limits`.
int show_limits() {
  // A writer with no reader. The read end is closed before the fork, so no process holds it.
  int orphaned[2];
  if (pipe(orphaned) < 0) {
    std::perror("pipe");
    return 1;
  }
  close(orphaned[0]);
  std::fflush(stdout);
  const pid_t writer = fork();
  if (writer < 0) {
    std::perror("fork");
    return 1;
  }
  if (writer == 0) {
    // SIGPIPE at its default action and not blocked, whatever this program was started with.
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigprocmask(SIG_UNBLOCK, &pipe_signal, nullptr);
    const char byte = 'x';
    const ssize_t wrote = write(orphaned[1], &byte, 1);
    _exit(wrote < 0 ? 1 : 0);
  }
  close(orphaned[1]);
  int wait_status = 0;
  if (waitpid(writer, &wait_status, 0) < 0) {
    std::perror("waitpid");
    return 1;
  }
  if (WIFSIGNALED(wait_status)) {
    const int signal_number = WTERMSIG(wait_status);
    std::printf("sigpipe signal: %d (%s)\n", signal_number, strsignal(signal_number));
    std::printf("sigpipe status: %d\n", shell_signal_base + signal_number);
  } else {
    std::printf("sigpipe signal: none (exit status %d)\n", WEXITSTATUS(wait_status));
    std::printf("sigpipe status: %d\n", WEXITSTATUS(wait_status));
  }

  // The same write with SIGPIPE ignored, here in the parent: the call fails instead.
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    std::perror("signal");
    return 1;
  }
  if (pipe(orphaned) < 0) {
    std::perror("pipe");
    return 1;
  }
  close(orphaned[0]);
  const char byte = 'x';
  const ssize_t wrote = write(orphaned[1], &byte, 1);
  const int write_error = errno;
  close(orphaned[1]);
  std::printf("epipe write: %d (%s)\n", static_cast<int>(wrote),
              wrote < 0 ? std::strerror(write_error) : "written");

  // A pipe nobody reads, filled without blocking until the kernel says it is full.
  int unread[2];
  if (pipe2(unread, O_NONBLOCK) < 0) {
    std::perror("pipe2");
    return 1;
  }
  const int pipe_size = fcntl(unread[1], F_GETPIPE_SZ);
  if (pipe_size < 0) {
    std::perror("fcntl");
    return 1;
  }
  static char chunk[fill_chunk];
  long long capacity = 0;
  for (;;) {
    const ssize_t filled = write(unread[1], chunk, sizeof chunk);
    if (filled < 0) {
      if (errno == EAGAIN) {
        break;
      }
      std::perror("write");
      return 1;
    }
    capacity += filled;
  }
  close(unread[0]);
  close(unread[1]);
  std::printf("capacity: %lld\n", capacity);
  std::printf("F_GETPIPE_SZ: %d\n", pipe_size);
  return finish(0);
}

int main(int argc, char* argv[]) {
  if (argc > 2 || (argc == 2 && std::strcmp(argv[1], limits_mode) != 0)) {
    std::fputs(usage, stderr);
    return 2;
  }
  // A closed standard stream would lend its number to the pipe (see forkrelay): /dev/null holds
  // each closed one.
  for (int standard_fd = STDIN_FILENO; standard_fd <= STDERR_FILENO; standard_fd++) {
    if (fcntl(standard_fd, F_GETFD) < 0 && open("/dev/null", O_RDONLY) != standard_fd) {
      std::perror("/dev/null");
      return 1;
    }
  }
  if (argc == 2) {
    return show_limits();
  }

  return show_endless_read();
}
