// gatetake: takes (waits on) a POSIX named semaphore made by gatenew.
//
// Run it with the name given to gatenew:   ./gatetake /mygate
// With the value 1 it passes at once, takes the value to 0 and prints its process identifier
// and the value. Run it again, in a second terminal: now it blocks, until `./gategive /mygate`
// posts the semaphore. The program ends without giving the semaphore back.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

// For the messages; the fixed name reads the same however the program was started.
constexpr char program_name[] = "gatetake";
// The GNU C library keeps the semaphore /NAME as this file with NAME after it.
constexpr char semaphore_file_prefix[] = "/dev/shm/sem.";

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::puts("please input a file name!");
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
    }
    return 1;
  }

  // The library maps the semaphore's file, /dev/shm/sem. and the name without its leading
  // slashes, straight into memory and trusts what it finds there. Anybody may put a file of that
  // name there first: an empty one would end the program with a bus error, odd bytes in one of
  // the right size with an abort, a wait that no give can end, or a nonsense value. So look at the
  // file first, without changing it: a regular file of a semaphore's size, holding a value no
  // larger than SEM_VALUE_MAX in the low half of its first 64-bit word (the high half counts the
  // waiting processes), and after that word the same bytes as sem_init writes for a semaphore
  // shared between processes. Names the library refuses anyway (nothing after the slashes, a
  // slash further on, too long) go straight to sem_open, which reports them. The look narrows
  // the danger but cannot close it: between the look and sem_open, whoever may write into
  // /dev/shm can still swap the file.
  const char* bare_name = argv[1];
  while (*bare_name == '/') {
    bare_name++;
  }
  const std::string file_name = std::string(semaphore_file_prefix) + bare_name;
  struct stat file_info {};
  if (*bare_name != '\0' && std::strchr(bare_name, '/') == nullptr &&
      lstat(file_name.c_str(), &file_info) == 0) {
    bool usable =
        S_ISREG(file_info.st_mode) && file_info.st_size == static_cast<off_t>(sizeof(sem_t));
    // A file we may not read, sem_open may not open either: it reports that itself.
    const int file = usable ? open(file_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK) : -1;
    if (file >= 0) {
      unsigned char bytes[sizeof(sem_t)] = {};
      usable = pread(file, bytes, sizeof bytes, 0) == static_cast<ssize_t>(sizeof bytes);
      close(file);
      std::uint64_t value_word = 0;
      std::memcpy(&value_word, bytes, sizeof value_word);
      sem_t shared_model{};
      sem_init(&shared_model, 1, 0);
      const auto* model_bytes = reinterpret_cast<const unsigned char*>(&shared_model);
      usable = usable && static_cast<std::uint32_t>(value_word) <= std::uint32_t{SEM_VALUE_MAX} &&
               std::memcmp(bytes + sizeof value_word, model_bytes + sizeof value_word,
                           sizeof bytes - sizeof value_word) == 0;
    }
    if (!usable) {
      std::fprintf(stderr, "%s: %s: not a semaphore\n", program_name, argv[1]);
      return 1;
    }
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
