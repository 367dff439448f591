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

// For the write-error message; the fixed name reads the same however the program was started.
constexpr char program_name[] = "segstamp";
constexpr char usage[] = "USAGE: seglink <identifier>";
// "Hello shared memory!", a newline and the terminator: 22 bytes.
constexpr char greeting[] = "Hello shared memory!\n";
static_assert(sizeof greeting == 22);

int main(int argc, char* argv[]) {
  // Only a whole decimal number names a segment: a typo must not attach, and write into,
  // somebody else's segment 0 or 12.
  const bool digits_only =
      argc == 2 && argv[1][0] != '\0' && std::strspn(argv[1], "0123456789") == std::strlen(argv[1]);
  errno = 0;
  const long requested_id = digits_only ? std::strtol(argv[1], nullptr, 10) : -1;
  if (!digits_only || errno == ERANGE || requested_id > INT_MAX) {
    std::printf("%s", usage);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
    }
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
  // Each line goes out before the listing or pause that follows it. The first error in writing
  // them is kept for the end: the listing and the pauses in between may change errno.
  int output_error = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    output_error = errno;
  }
  // The listing is only shown: its exit status is not examined.
  std::ignore = std::system("ipcs -m");

  if (segment_info.shm_segsz < sizeof greeting) {
    std::fprintf(stderr,
                 "%s: segment %d holds %zu bytes, too few for the %zu-byte greeting; nothing "
                 "written\n",
                 program_name, segment_id, static_cast<std::size_t>(segment_info.shm_segsz),
                 sizeof greeting);
    if (output_error != 0) {
      std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(output_error));
    }
    return 1;
  }
  std::memcpy(address, greeting, sizeof greeting);

  // First pause, still attached: now the segment shows in the listing of any other program.
  std::getchar();

  if (shmdt(address) < 0) {
    std::perror("shmdt");
    if (output_error != 0) {
      std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(output_error));
    }
    return 1;
  }
  std::puts("segment detached ");
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && output_error == 0) {
    output_error = errno;
  }
  std::ignore = std::system("ipcs -m ");

  // Second pause, detached: the segment is still listed, with one attachment fewer.
  std::getchar();

  // What the program printed must have reached standard output: if not, the run failed.
  if (output_error != 0) {
    std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(output_error));
    return 1;
  }
  return 0;
}
