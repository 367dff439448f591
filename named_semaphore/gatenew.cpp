// gatenew: creates a POSIX named semaphore with the value 1, or opens it unchanged if it exists.
//
// Run it first, in any terminal, with a name of your choice:   ./gatenew /mygate
// It prints nothing. Then give the same name to gatetake (in one or two terminals) and gategive.
// The semaphore stays in the system, with its current value, until it is removed:
//   rm /dev/shm/sem.mygate
#include <fcntl.h>
#include <semaphore.h>

#include <cstdio>

// Read and write for the owner, read for everybody else, less what the umask removes.
constexpr mode_t semaphore_mode = 0644;
// One process at a time may hold the semaphore.
constexpr unsigned initial_value = 1;

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::puts("please input a file name to act as the ID of the sem!");
    return 1;
  }
  // O_CREAT without O_EXCL: an existing semaphore is opened and keeps its value.
  if (sem_open(argv[1], O_CREAT, semaphore_mode, initial_value) == SEM_FAILED) {
    std::perror("sem_open");
    return 1;
  }
  return 0;
}
