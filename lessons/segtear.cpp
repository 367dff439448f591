// segtear: shared memory without a lock. A reader's copies of a segment that a writer is
// rewriting come out torn: half one text, half the other.
//
// What it leaves out: any agreement between writer and reader on when the segment may be read.
// segstamp writes its greeting once and segpeek reads it later, so segpeek always finds it whole.
// Here a forked child rewrites a System V segment over and over, all of it one letter and then
// all of it another, while the parent copies the segment again and again and looks at each copy:
// a copy that holds both letters was taken while the writer was halfway through. Shared memory
// makes the bytes common; nothing in it says when they are whole. (A semaphore, as gatetake and
// gategive use, is one way to say it.)
//
// Run it:   ./segtear          or with the number of copies to take:   ./segtear 1000000
// The segment is the program's own (IPC_PRIVATE, mode 0600), and it is marked for removal as
// soon as the parent has attached it, before the writer exists: the writer inherits the
// attachment, and the kernel frees the segment when the last of the two detaches or ends, also
// when either is killed. Nothing is left in `ipcs -m` after a run, whatever ends it; while it
// runs, the segment shows there with the key 0 and the status "dest". The writer ends with the
// parent, whatever ends the parent (PR_SET_PDEATHSIG).
// The writer rewrites without a pause, so on several CPUs nearly every copy overlaps a rewrite.
// On one CPU only (`taskset -c 0 ./segtear`) the two take turns, and still nearly every copy is
// torn: the writer is nearly always switched out in the middle of a rewrite, and the segment
// stays half rewritten for all of the reader's turn. Taking turns does not make the bytes whole.
//
// Output, one fact per line (N stands for a number measured in the run):
//   segment id: N          the segment's identifier, already marked for removal
//   segment size: 4096     bytes in the segment (fixed)
//   writer pid: N          the child that rewrites the segment
//   copies: N              copies the reader took (20000 unless given)
//   one letter: N          copies all of one letter: taken between two rewrites
//   torn: N                copies holding both letters: taken in the middle of a rewrite
// The first three lines come out before the copying starts; the last three after it, where
// one letter + torn = copies. Exit status 0, or 1 where a system call fails (perror names it)
// or the lines could not be written out; a wrong argument prints the usage and gives 2.
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

// For the messages; the fixed name reads the same however the program was started.
constexpr char program_name[] = "segtear";
constexpr char usage[] = "usage: segtear [copies]\n";
// One page, as segmake's segment.
constexpr std::size_t segment_size = 4096;
// Read and write for the owner only: nobody else has any business in it.
constexpr int segment_permissions = 0600;
constexpr long default_copies = 20000;
constexpr long most_copies = 1000000000;
// The writer's two texts: the whole segment of one letter, then of the other.
constexpr unsigned char first_letter = 'A';
constexpr unsigned char second_letter = 'B';

// The writer, a forked child: rewrites the segment for ever, each letter in turn. After the
// first rewrite it says so on `started`. `volatile`: every byte is stored every time, not just
// the last rewrite's, which is all that this process itself could ever tell apart.
[[noreturn]] void rewrite_forever(volatile unsigned char* segment, int started) {
  for (std::size_t i = 0; i < segment_size; i++) {
    segment[i] = first_letter;
  }
  const char ready = 1;
  if (write(started, &ready, 1) != 1) {
    _exit(1);
  }
  close(started);
  for (;;) {
    for (const unsigned char letter : {second_letter, first_letter}) {
      for (std::size_t i = 0; i < segment_size; i++) {
        segment[i] = letter;
      }
    }
  }
}

int main(int argc, char* argv[]) {
  // The number of copies: a whole decimal number from 1 to most_copies.
  long copies = default_copies;
  if (argc > 2) {
    std::fputs(usage, stderr);
    return 2;
  }
  if (argc == 2) {
    char* end = nullptr;
    errno = 0;
    copies = std::strtol(argv[1], &end, 10);
    if (argv[1][0] < '0' || argv[1][0] > '9' || *end != '\0' || errno == ERANGE || copies < 1 ||
        copies > most_copies) {
      std::fputs(usage, stderr);
      return 2;
    }
  }

  // From making the segment to marking it for removal, an interrupt or a termination request
  // would leave it behind: they wait, blocked, until it is marked.
  sigset_t ending_signals;
  sigemptyset(&ending_signals);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaddset(&ending_signals, signal_number);
  }
  sigset_t previous_mask;
  sigprocmask(SIG_BLOCK, &ending_signals, &previous_mask);
  const int segment_id = shmget(IPC_PRIVATE, segment_size, segment_permissions);
  if (segment_id < 0) {
    std::perror("shmget");
    return 1;
  }
  void* const address = shmat(segment_id, nullptr, 0);
  const int attach_error = errno;
  if (shmctl(segment_id, IPC_RMID, nullptr) < 0) {
    std::perror("shmctl");
    return 1;
  }
  if (address == reinterpret_cast<void*>(-1)) {
    errno = attach_error;
    std::perror("shmat");
    return 1;
  }
  sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
  // The reader reads every byte from the segment each time: `volatile` keeps the compiler from
  // reusing an earlier copy of memory that nothing in this process writes.
  volatile unsigned char* const segment = static_cast<volatile unsigned char*>(address);

  // The writer tells the reader when the segment holds its first text, through a pipe.
  int started[2];
  if (pipe(started) < 0) {
    std::perror("pipe");
    return 1;
  }
  std::printf("segment id: %d\n", segment_id);
  std::printf("segment size: %zu\n", segment_size);
  std::fflush(stdout);
  const pid_t parent = getpid();
  const pid_t writer = fork();
  if (writer < 0) {
    std::perror("fork");
    return 1;
  }
  if (writer == 0) {
    // Killed when the parent ends, however it ends; a parent already gone ends it at once.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || getppid() != parent) {
      _exit(1);
    }
    close(started[0]);
    rewrite_forever(segment, started[1]);
  }
  close(started[1]);
  std::printf("writer pid: %d\n", writer);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
    return 1;
  }
  char ready = 0;
  if (read(started[0], &ready, 1) != 1) {
    std::fprintf(stderr, "%s: the writer ended before it wrote\n", program_name);
    return 1;
  }
  close(started[0]);

  // The reader: a copy, then a look at the copy.
  long torn = 0;
  long one_letter = 0;
  static unsigned char copy[segment_size];
  for (long taken = 0; taken < copies; taken++) {
    for (std::size_t i = 0; i < segment_size; i++) {
      copy[i] = segment[i];
    }
    const bool has_first = std::memchr(copy, first_letter, segment_size) != nullptr;
    const bool has_second = std::memchr(copy, second_letter, segment_size) != nullptr;
    if (has_first && has_second) {
      torn++;
    } else {
      one_letter++;
    }
  }

  kill(writer, SIGKILL);
  if (waitpid(writer, nullptr, 0) < 0) {
    std::perror("waitpid");
    return 1;
  }
  // The last attachment goes: the kernel frees the segment now.
  if (shmdt(address) < 0) {
    std::perror("shmdt");
    return 1;
  }
  std::printf("copies: %ld\n", copies);
  std::printf("one letter: %ld\n", one_letter);
  std::printf("torn: %ld\n", torn);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
    return 1;
  }
  return 0;
}
