// gategive: gives (posts) a POSIX named semaphore made by gatenew.
//
// Run it with the name given to gatenew:   ./gategive /mygate
// It adds one to the value and prints the value it then reads. A gatetake blocked on the same
// name in another terminal passes at that moment; whether it has already taken its one by the
// time gategive reads the value decides whether gategive prints 0 or 1.
#include <semaphore.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// For the write-error message; the fixed name reads the same however the program was started.
constexpr char program_name[] = "gategive";

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
  // Fails at the largest value the system allows; then no value is reported.
  if (sem_post(semaphore) < 0) {
    std::perror("sem_post");
    return 1;
  }
  int value = 0;
  sem_getvalue(semaphore, &value);
  std::printf("value=%d\n", value);
  // The line must have reached standard output. If it did not, the run failed, although the
  // semaphore stays given: the status and this message are the only report left.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
    return 1;
  }
  return 0;
}
