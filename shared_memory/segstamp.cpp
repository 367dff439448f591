// segstamp: attaches an existing shared-memory segment and writes a greeting into it.
//
// Run it in terminal A with the identifier that segmake printed:   ./segstamp N
// It prints the address where the segment is attached and the system's listing of segments
// (ipcs -m), writes "Hello shared memory!" and a newline at the start of the segment, and waits
// for Enter while still attached. Meanwhile run `./segpeek N` in terminal B: it finds the
// greeting. Enter detaches and shows the listing again; a second Enter ends the program. The
// segment and the greeting stay in the system.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

constexpr char usage[] = "USAGE: seglink <identifier>";
// "Hello shared memory!", a newline and the terminator: 22 bytes.
constexpr char greeting[] = "Hello shared memory!\n";
static_assert(sizeof greeting == 22);

int main(int argc, char* argv[]) {
  // Only a whole decimal number names a segment: a typo must not attach, and write into,
  // somebody else's segment 0 or 12.
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
  // The segment's size, so that the greeting is never written past its end.
  shmid_ds segment_info;
  if (shmctl(segment_id, IPC_STAT, &segment_info) < 0) {
    std::perror("shmctl");
    return 1;
  }
  std::printf(" segment attached at %p\n", address);
  std::fflush(stdout);
  // The listing is only shown: its exit status is not examined.
  std::ignore = std::system("ipcs -m");

  if (segment_info.shm_segsz < sizeof greeting) {
    std::fprintf(stderr,
                 "segstamp: segment %d holds %zu bytes, too few for the %zu-byte greeting; nothing "
                 "written\n",
                 segment_id, static_cast<std::size_t>(segment_info.shm_segsz), sizeof greeting);
    return 1;
  }
  std::memcpy(address, greeting, sizeof greeting);

  // First pause, still attached: now the segment shows in the listing of any other program.
  std::getchar();

  if (shmdt(address) < 0) {
    std::perror("shmdt");
    return 1;
  }
  std::puts("segment detached ");
  std::fflush(stdout);
  std::ignore = std::system("ipcs -m ");

  // Second pause, detached: the segment is still listed, with one attachment fewer.
  std::getchar();
  return 0;
}
