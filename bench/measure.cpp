// measure PROGRAM [ARGS...]: runs PROGRAM, then writes "<wall seconds> <peak RSS in KiB>" to
// standard error and ends with PROGRAM's status. wait4's resource usage gives the child's own
// peak, so the benchmark needs nothing beyond g++.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2)
    return 2;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) < 0)
    return 2;
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  std::fprintf(stderr, "%.4f %ld\n", wall.count(), usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
