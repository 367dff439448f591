// segmake: creates a System V shared-memory segment and prints its identifier.
//
// Run it first, in terminal A:   ./segmake
// It prints "Successfully created segment : N" and the system's listing of segments (ipcs -m),
// where the new 4096-byte segment stands with its identifier N. Give N to segstamp, which writes
// a greeting into the segment, and to segpeek, which prints it. The segment stays in the system
// after every program has ended; remove it with: ipcrm -m N
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>
#include <cstdlib>
#include <tuple>

constexpr std::size_t segment_size = 4096;
// Read and write for the owner, the group and everybody else.
constexpr int segment_permissions = 0666;

int main() {
  // IPC_PRIVATE makes a new segment on every run; the kernel hands it out zero-filled.
  const int segment_id = shmget(IPC_PRIVATE, segment_size, segment_permissions);
  if (segment_id < 0) {
    std::perror("shmget fail!\n");
    return 1;
  }
  std::printf("Successfully created segment : %d \n", segment_id);

  // Our line goes out before the listing, also into a file or a pipe.
  std::fflush(stdout);
  // The listing is only shown: its exit status is not examined.
  std::ignore = std::system("ipcs -m");
  return 0;
}
