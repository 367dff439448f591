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
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

// For the messages; the fixed name reads the same however the program was started.
constexpr char program_name[] = "gatenew";
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

  // The library maps the semaphore's file, /dev/shm/sem. and the name without its leading
  // slashes, straight into memory and trusts what it finds there. Anybody may put a file of that
  // name there first: gatenew would open it and report success, and gatetake and gategive would
  // then die of a bus error or an abort, wait where no give can reach them, or print nonsense.
  // So where a file of that name exists, look at it first, without changing it: a regular file
  // of a semaphore's size, holding a value no larger than SEM_VALUE_MAX, any count of waiters,
  // and elsewhere the same bytes as sem_init writes for a semaphore shared between processes.
  // Where none exists, sem_open makes the semaphore. Names the library refuses anyway (nothing
  // after the slashes, a slash further on, too long) go straight to sem_open, which reports them.
  // The look narrows the danger but cannot close it: between the look and sem_open, whoever may
  // write into /dev/shm can still swap the file. gatenew never reads or writes the semaphore
  // itself, so such a file does not harm it; the next gatetake or gategive meets it.
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

  // O_CREAT without O_EXCL: an existing semaphore is opened and keeps its value.
  if (sem_open(argv[1], O_CREAT, semaphore_mode, initial_value) == SEM_FAILED) {
    std::perror("sem_open");
    return 1;
  }
  return 0;
}
