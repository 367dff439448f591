// measure PROGRAM [ARGS...]: runs PROGRAM, then writes "<wall seconds> <peak RSS in KiB>" to
// standard error and ends with PROGRAM's status. wait4's resource usage gives the child's own
// peak, so the benchmark needs nothing beyond g++.
//
// measure --huge-pages PROGRAM [ARGS...]: runs PROGRAM untimed and writes instead
// "<AnonHugePages in KiB> <Rss in KiB>" of PROGRAM as it was when it wrote its output, that is
// with its table still in place. PROGRAM's standard output is a pipe that is full before it
// starts, so its first write waits until the figures are read; then its output is passed on.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  const bool huge_pages = argc > 1 && std::strcmp(argv[1], "--huge-pages") == 0;
  char** const command = argv + (huge_pages ? 2 : 1);
  if (command[0] == nullptr)
    return 2;

  int output[2] = {-1, -1};
  long filler = 0;  // bytes put into the pipe ahead of the program's own
  if (huge_pages) {
    if (pipe(output) != 0 || fcntl(output[1], F_SETFL, O_NONBLOCK) != 0)
      return 2;
    char block[4096] = {};
    for (ssize_t n;
         (n = write(output[1], block, sizeof block)) > 0 || (n = write(output[1], block, 1)) > 0;)
      filler += n;
    if (fcntl(output[1], F_SETFL, 0) != 0)
      return 2;
  }

  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (huge_pages && (dup2(output[1], 1) != 1 || close(output[0]) != 0))
      _exit(127);
    execv(command[0], command);
    _exit(127);
  }
  if (pid < 0)
    return 2;

  if (huge_pages) {
    close(output[1]);
    // Wait (at most a minute) until the program sits in write(1, ...), /proc/PID/syscall then
    // starting with this platform's number for write and 0x1, then read its memory figures. A
    // program that ends without writing gives none.
    const std::string proc = "/proc/" + std::to_string(pid);
    long anon_huge_kib = -1, rss_kib = -1;
    for (int tries = 0; tries < 60000; ++tries) {
      std::string number, fd;
      std::ifstream(proc + "/syscall") >> number >> fd;
      if (number == std::to_string(SYS_write) && fd == "0x1") {
        std::ifstream rollup(proc + "/smaps_rollup");
        for (std::string field; rollup >> field;) {
          if (field == "Rss:")
            rollup >> rss_kib;
          else if (field == "AnonHugePages:")
            rollup >> anon_huge_kib;
        }
        break;
      }
      siginfo_t ended{};
      if (waitid(P_PID, pid, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == pid)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::fprintf(stderr, "%ld %ld\n", anon_huge_kib, rss_kib);
    char block[4096];
    for (ssize_t n; (n = read(output[0], block, sizeof block)) > 0;) {
      const long skip = filler < n ? filler : n;
      filler -= skip;
      if (n > skip && write(1, block + skip, n - skip) != n - skip)
        return 2;
    }
  }

  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) < 0)
    return 2;
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  if (!huge_pages)
    std::fprintf(stderr, "%.4f %ld\n", wall.count(), usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
