// segpeek: attaches an existing shared-memory segment and prints the text at its start.
//
// Run it with the identifier that segmake printed:   ./segpeek N
// Best in terminal B, while `./segstamp N` waits in terminal A: the listing (ipcs -m) then shows
// two attachments, and the greeting that segstamp wrote comes out after "The string in SHM is :".
// Enter detaches and shows the listing again; a second Enter ends the program. Run it again
// later: the greeting is still there, since the segment outlives every program that touched it.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

constexpr char usage[] = "USAGE: seglink <identifier>";

int main(int argc, char* argv[]) {
  // Only a whole decimal number names a segment: a typo must not attach somebody else's
  // segment 0 or 12.
  if (argc != 2 || argv[1][0] == '\0' ||
      std::strspn(argv[1], "0123456789") != std::strlen(argv[1])) {
    std::printf("%s", usage);
    return 1;
  }
  errno = 0;
  const long requested_id = std::strtol(argv[1], nullptr, 10);
  if (errno == ERANGE || requested_id > INT_MAX) {
    std::printf("%s", usage);
    return 1;
  }
  const int segment_id = static_cast<int>(requested_id);

  // The system chooses the address; the segment is attached for reading and writing.
  void* const address = shmat(segment_id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    std::perror("shmat");
    return 1;
  }
  // The segment's size bounds the read when its bytes hold no terminator.
  shmid_ds segment_info;
  if (shmctl(segment_id, IPC_STAT, &segment_info) < 0) {
    std::perror("shmctl");
    return 1;
  }
  std::printf(" segment attached at %p\n", address);
  std::fflush(stdout);
  // The listing is only shown: its exit status is not examined.
  std::ignore = std::system("ipcs -m");

  // The text runs to the first NUL byte or to the end of the segment, whichever comes first.
  const char* const text = static_cast<const char*>(address);
  const std::size_t text_length = strnlen(text, segment_info.shm_segsz);
  std::fputs("The string in SHM is :", stdout);
  std::fwrite(text, 1, text_length, stdout);
  std::fputs("\n", stdout);

  // First pause, still attached.
  std::fflush(stdout);
  std::getchar();

  if (shmdt(address) < 0) {
    std::perror("shmdt");
    return 1;
  }
  std::puts("segment detached ");
  std::fflush(stdout);
  std::ignore = std::system("ipcs -m ");

  // Second pause, detached.
  std::getchar();
  return 0;
}
