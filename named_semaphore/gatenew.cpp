// gatenew: creates a POSIX named semaphore with the value 1, or opens it unchanged if it exists.
//
// Run it first, in any terminal, with a name of your choice:   ./gatenew /mygate
// It prints nothing. Then give the same name to gatetake (in one or two terminals) and gategive.
// The semaphore stays in the system, with its current value, until its file is removed, with the
// name in single quotes so that the shell cannot expand it (a name such as /* would otherwise
// remove every semaphore on the machine):
//   rm -- '/dev/shm/sem.mygate'
#include <fcntl.h>
#include <semaphore.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// For the write-error message; the fixed name reads the same however the program was started.
constexpr char program_name[] = "gatenew";

// Read and write for the owner, read for everybody else, less what the umask removes.
constexpr mode_t semaphore_mode = 0644;
// One process at a time may hold the semaphore.
constexpr unsigned initial_value = 1;

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::puts("please input a file name to act as the ID of the sem!");
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
    }
    return 1;
  }

  // O_CREAT without O_EXCL: an existing semaphore is opened and keeps its value.
  if (sem_open(argv[1], O_CREAT, semaphore_mode, initial_value) == SEM_FAILED) {
    std::perror("sem_open");
    return 1;
  }
  return 0;
}
