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

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>

// For the messages; the fixed name reads the same however the program was started.
constexpr char program_name[] = "gatetake";
// The GNU C library keeps the semaphore /NAME as this file with NAME after it.
constexpr char semaphore_file_prefix[] = "/dev/shm/sem.";

// The GNU C library keeps a semaphore in one of two layouts, by the platform:
// - 32 bytes where it has 64-bit atomic operations (x86-64, arm64): a 64-bit word with the value
//   in its low half and the number of waiting processes in its high half, then `private` (128
//   for a semaphore shared between processes) and padding;
// - 16 bytes on 32-bit platforms (i386, armhf): a 32-bit word holding the value shifted left by
//   one, plus 1 while anybody waits; then `private`, a padding word, and the number of waiters.
// The size tells them apart. A platform whose semaphore has any other size stops the build here
// rather than have its semaphores misjudged.
constexpr bool value_in_64_bit_word = sizeof(sem_t) == 4 * sizeof(std::uint64_t);
static_assert(value_in_64_bit_word || sizeof(sem_t) == 4 * sizeof(std::uint32_t),
              "a layout of sem_t that this program does not know");
// The word that holds the value, and the end of the bytes after it that hold sem_init's fixed
// values for a shared semaphore (on 32-bit platforms, the count of waiters follows them).
constexpr std::size_t value_word_size =
    value_in_64_bit_word ? sizeof(std::uint64_t) : sizeof(std::uint32_t);
constexpr std::size_t fixed_bytes_end =
    value_in_64_bit_word ? sizeof(sem_t) : sizeof(sem_t) - sizeof(std::uint32_t);

// What on_bus_error says, set before it is installed.
std::atomic<const char*> bus_error_message{nullptr};
std::atomic<std::size_t> bus_error_message_size{0};

// Installed once sem_open has mapped the semaphore, the one file this program maps itself: a bus
// error then means that the file was emptied after the look, and the library's first touch of the
// semaphore met no data. Said as the look says it, with calls that are safe in a signal handler.
// The faulting address is not compared with the semaphore's: under qemu-user it is off by a page.
void on_bus_error(int) {
  std::ignore = write(STDERR_FILENO, bus_error_message.load(), bus_error_message_size.load());
  _exit(1);
}

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
  // larger than SEM_VALUE_MAX, any count of waiters, and elsewhere the same bytes as sem_init
  // writes for a semaphore shared between processes. Names the library refuses anyway (nothing
  // after the slashes, a slash further on, too long) go straight to sem_open, which reports them.
  // The look narrows the danger but cannot close it: between the look and sem_open, whoever may
  // write into /dev/shm can still swap the file. An empty file swapped in then makes the first
  // use of the semaphore a bus error, which on_bus_error reports as the look would have.
  const char* bare_name = argv[1];
  while (*bare_name == '/') {
    bare_name++;
  }
  const std::string file_name = std::string(semaphore_file_prefix) + bare_name;
  const std::string not_a_semaphore =
      std::string(program_name) + ": " + argv[1] + ": not a semaphore\n";
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
      std::uint64_t value = 0;
      if constexpr (value_in_64_bit_word) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes, sizeof word);
        value = static_cast<std::uint32_t>(word);
      } else {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes, sizeof word);
        value = word >> 1;
      }
      sem_t shared_model{};
      sem_init(&shared_model, 1, 0);
      const auto* model_bytes = reinterpret_cast<const unsigned char*>(&shared_model);
      usable = usable && value <= std::uint64_t{SEM_VALUE_MAX} &&
               std::memcmp(bytes + value_word_size, model_bytes + value_word_size,
                           fixed_bytes_end - value_word_size) == 0;
    }
    if (!usable) {
      std::fputs(not_a_semaphore.c_str(), stderr);
      return 1;
    }
  }

  // Open only: a semaphore that gatenew has not made is an error, not a new semaphore.
  sem_t* const semaphore = sem_open(argv[1], 0);
  if (semaphore == SEM_FAILED) {
    std::perror("sem_open");
    return 1;
  }
  bus_error_message = not_a_semaphore.c_str();
  bus_error_message_size = not_a_semaphore.size();
  struct sigaction bus_error_action {};
  bus_error_action.sa_handler = on_bus_error;
  sigemptyset(&bus_error_action.sa_mask);
  if (sigaction(SIGBUS, &bus_error_action, nullptr) < 0) {
    std::perror("sigaction");
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
