// gategive: gives (posts) a POSIX named semaphore made by gatenew.
//
// Run it with the name given to gatenew:   ./gategive /mygate
// It adds one to the value and prints the value it then reads. A gatetake blocked on the same
// name in another terminal passes at that moment; whether it has already taken its one by the
// time gategive reads the value decides whether gategive prints 0 or 1.
#include <semaphore.h>

#include <cstdio>

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::puts("please input a file name!");
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
  return 0;
}
