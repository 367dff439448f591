// segmake: creates a System V shared-memory segment and prints its identifier.
//
// Run it first, in terminal A:   ./segmake
// It prints "Successfully created segment : N" and the system's listing of segments (ipcs -m),
// where the new 4096-byte segment stands with its identifier N. Give N to segstamp, which writes
// a greeting into the segment, and to segpeek, which prints it. The segment stays in the system
// after every program has ended; remove it with: ipcrm -m N
// If the line with N cannot be written (a full disk, a closed output, a pipe whose reader has
// gone), nobody could ever learn N: segmake then removes the segment again, says so on standard
// error and fails.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

// For the write-error message; the fixed name reads the same however the program was started.
constexpr char program_name[] = "segmake";

constexpr std::size_t segment_size = 4096;
// Read and write for the owner, the group and everybody else.
constexpr int segment_permissions = 0666;

int main() {
  // A pipe whose reader has gone (`./segmake | lesss`, a typo) would raise SIGPIPE at the
  // identifier's line, and its default action would end segmake before it could remove the
  // segment. Ignored, the broken pipe comes back as EPIPE: a write error like any other.
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    std::perror("signal");
    return 1;
  }
  // IPC_PRIVATE makes a new segment on every run; the kernel hands it out zero-filled.
  const int segment_id = shmget(IPC_PRIVATE, segment_size, segment_permissions);
  if (segment_id < 0) {
    std::perror("shmget fail!\n");
    return 1;
  }
  std::printf("Successfully created segment : %d \n", segment_id);

  // Our line goes out before the listing, also into a file or a pipe. The identifier is the only
  // way to the segment: where it cannot be written out, the segment goes again, and the
  // listing, which would fail alike, is not run.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    const int write_error = errno;
    if (shmctl(segment_id, IPC_RMID, nullptr) < 0) {
      // Standard error is then the only place the identifier shows: ipcrm -m N removes it.
      std::fprintf(stderr, "%s: write error: %s; segment %d could not be removed: %s\n",
                   program_name, std::strerror(write_error), segment_id, std::strerror(errno));
      return 1;
    }
    std::fprintf(stderr, "%s: write error: %s; segment %d removed\n", program_name,
                 std::strerror(write_error), segment_id);
    return 1;
  }
  // The line is out, and segmake writes nothing more. An ignored signal stays ignored across
  // exec, so the listing gets the default action back: if the reader goes now, ipcs ends as it
  // would in any pipeline.
  std::ignore = std::signal(SIGPIPE, SIG_DFL);
  // The listing is only shown: its exit status is not examined.
  std::ignore = std::system("ipcs -m");
  return 0;
}
