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

// For the write-error message; the fixed name reads the same however the program was started.
constexpr char program_name[] = "segpeek";
constexpr char usage[] = "USAGE: seglink <identifier>";

int main(int argc, char* argv[]) {
  // Only a whole decimal number names a segment: a typo must not attach somebody else's
  // segment 0 or 12.
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
  // The segment's size bounds the read when its bytes hold no terminator.
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

  // The text runs to the first NUL byte or to the end of the segment, whichever comes first.
  const char* const text = static_cast<const char*>(address);
  const std::size_t text_length = strnlen(text, segment_info.shm_segsz);
  std::fputs("The string in SHM is :", stdout);
  std::fwrite(text, 1, text_length, stdout);
  std::fputs("\n", stdout);

  // First pause, still attached.
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && output_error == 0) {
    output_error = errno;
  }
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

  // Second pause, detached.
  std::getchar();

  // What the program printed must have reached standard output: if not, the run failed.
  if (output_error != 0) {
    std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(output_error));
    return 1;
  }
  return 0;
}
