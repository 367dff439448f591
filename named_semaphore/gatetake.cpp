// gatetake: takes (waits on) a POSIX named semaphore made by gatenew.
//
// Run it with the name given to gatenew:   ./gatetake /mygate
// With the value 1 it passes at once, takes the value to 0 and prints its process identifier
// and the value. Run it again, in a second terminal: now it blocks, until `./gategive /mygate`
// posts the semaphore. The program ends without giving the semaphore back.
#include <semaphore.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// For the write-error message; the fixed name reads the same however the program was started.
constexpr char program_name[] = "gatetake";

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::puts("please input a file name!");
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
    }
    return 1;
  }

  // Open only: a semaphore that gatenew has not made is an error, not a new semaphore.
  sem_t* const semaphore = sem_open(argv[1], 0);
  if (semaphore == SEM_FAILED) {
    std::perror("sem_open");
    return 1;
  }
  // Blocks while the value is 0, then takes one. A wait cut short by a signal goes on waiting.
  int wait_result;
  do {
    wait_result = sem_wait(semaphore);
  } while (wait_result < 0 && errno == EINTR);
  if (wait_result < 0) {
    std::perror("sem_wait");
    return 1;
  }
  // The value now; another process may already have changed it again.
  int value = 0;
  sem_getvalue(semaphore, &value);
  std::printf("pid %ld has semaphore,value=%d\n", static_cast<long>(getpid()), value);
  // The line must have reached standard output. If it did not, the run failed, although the
  // semaphore stays taken: the status and this message are the only report left.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
    return 1;
  }
  return 0;
}
