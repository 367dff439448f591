// gaterace: the semaphore as a lock, and without it; and a holder that dies holding it.
//
// What it leaves out: first the semaphore itself. Four processes each run the same short
// critical section again and again: read a shared number, pause a moment, write it back plus
// one. Without the semaphore their sections overlap, two processes read the same number, and
// updates are lost. Then the same sections inside sem_wait/sem_post of a POSIX named semaphore
// of value 1, as gatetake and gategive take and give one: one process at a time, nothing lost.
// Then, with `kill`, it leaves out the give: a taker killed while it holds the semaphore never
// posts it, the kernel does not post it for the dead, and the next taker waits for ever.
//
// Run it:   ./gaterace           (or ./gaterace ROUNDS, 1 to 1000 rounds per process)
// The shared number and the times each section began and ended lie in a System V segment of the
// program's own (IPC_PRIVATE, mode 0600). A section overlaps where it shared some time with a
// section of another process. Output, one fact per line (N stands for a number measured in the
// run; the first four come out before the sections start):
//   semaphore: /gaterace-HEX        the semaphore's name, with 16 random hexadecimal digits
//   processes: 4
//   rounds: N                       sections per process (50 unless given)
//   pause: 300 us                   the pause between the read and the write (fixed)
//   unlocked expected: N            processes x rounds: the number if no update were lost
//   unlocked final: N               the number after all sections without the semaphore
//   unlocked lost: N                expected - final
//   unlocked overlapping: N         sections, of all, that overlapped another process's
//   locked expected: N              the same four inside sem_wait/sem_post
//   locked final: N
//   locked lost: N                  0
//   locked overlapping: N           0
//
// Run it:   ./gaterace kill
// A child takes the semaphore and is killed (SIGKILL) while it holds it; this process then
// reads the value and tries to take it, bounded by sem_timedwait at 1 s. Output:
//   semaphore: /gaterace-HEX
//   holder pid: N
//   value while held: 0
//   holder signal: 9 (Killed)       the signal that ended the holder, seen by waitpid
//   value after kill: 0             nobody gave it back
//   next taker: TEXT                "gave up: the semaphore stayed taken" where the second
//                                   ran out (sem_timedwait's ETIMEDOUT: nobody had given it
//                                   back), or "took the semaphore"
//   next taker waited: N.NN s       how long the sem_timedwait took
//
// Nothing is left behind, whatever ends the program: the semaphore's name is removed
// (sem_unlink) as soon as it is made, and the segment marked for removal as soon as it is
// attached, before any other process exists; interrupts and termination requests wait, blocked,
// until both are done. The forked processes share both through fork, and the kernel frees each
// when the last process using it ends. Each forked process ends with this one (PR_SET_PDEATHSIG).
// Exit status 0, or 1 where a system call fails (perror names it) or the lines could not be
// written out; a wrong argument prints the usage and gives 2.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <new>
#include <string>

// For the messages; the fixed name reads the same however the program was started.
constexpr char program_name[] = "gaterace";
constexpr char usage[] = "usage: gaterace [rounds | kill]\n";
constexpr char kill_mode[] = "kill";
constexpr char name_prefix[] = "/gaterace-";
constexpr int random_bytes = 8;
// The owner only: the semaphore and the segment are this run's alone.
constexpr int private_permissions = 0600;
constexpr int process_count = 4;
constexpr int default_rounds = 50;
constexpr int most_rounds = 1000;
constexpr useconds_t pause_us = 300;
constexpr int timed_wait_seconds = 1;

// What the processes share. Lock-free atomics work the same in memory shared between processes
// as between threads: each load and store is whole, and none is left out or merged by the
// compiler. (They do not make the read-pause-write of a section indivisible: that is the lesson.)
static_assert(std::atomic<std::int32_t>::is_always_lock_free);
static_assert(std::atomic<std::int64_t>::is_always_lock_free);
struct Board {
  std::atomic<std::int32_t> number;
  // Each section's start and end, in nanoseconds of the monotonic clock, by process and round.
  std::atomic<std::int64_t> entered[process_count * most_rounds];
  std::atomic<std::int64_t> left[process_count * most_rounds];
};

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The body of each forked process: `rounds` critical sections, inside the semaphore where
// `gate` is given. Ends the process: status 0, or 1 where the semaphore failed.
[[noreturn]] void take_turns(Board* board, int process, int rounds, sem_t* gate) {
  for (int round = 0; round < rounds; round++) {
    if (gate != nullptr) {
      while (sem_wait(gate) < 0) {
        if (errno != EINTR) {
          _exit(1);
        }
      }
    }
    const int section = process * rounds + round;
    board->entered[section].store(now_ns(), std::memory_order_relaxed);
    const std::int32_t seen = board->number.load(std::memory_order_relaxed);
    usleep(pause_us);
    board->number.store(seen + 1, std::memory_order_relaxed);
    board->left[section].store(now_ns(), std::memory_order_relaxed);
    if (gate != nullptr && sem_post(gate) < 0) {
      _exit(1);
    }
  }
  _exit(0);
}

// Each forked process: killed when this one ends, however it ends; if it has already ended, at
// once. Called first thing in the child.
void end_with(pid_t parent) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) < 0 || getppid() != parent) {
    _exit(1);
  }
}

int main(int argc, char* argv[]) {
  const bool killing = argc == 2 && std::strcmp(argv[1], kill_mode) == 0;
  int rounds = default_rounds;
  if (argc > 2) {
    std::fputs(usage, stderr);
    return 2;
  }
  if (argc == 2 && !killing) {
    char* end = nullptr;
    errno = 0;
    const long given = std::strtol(argv[1], &end, 10);
    if (argv[1][0] < '0' || argv[1][0] > '9' || *end != '\0' || errno == ERANGE || given < 1 ||
        given > most_rounds) {
      std::fputs(usage, stderr);
      return 2;
    }
    rounds = static_cast<int>(given);
  }

  // A name nobody else uses: random digits, and O_EXCL refuses one that exists.
  const int random_source = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (random_source < 0) {
    std::perror("/dev/urandom");
    return 1;
  }
  unsigned char random[random_bytes];
  if (read(random_source, random, sizeof random) != static_cast<ssize_t>(sizeof random)) {
    std::perror("read");
    return 1;
  }
  close(random_source);
  std::string name = name_prefix;
  for (const unsigned char byte : random) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>(byte));
    name += digits;
  }

  // From making the semaphore and the segment to removing their names, an interrupt or a
  // termination request would leave them behind: they wait, blocked, until then.
  sigset_t ending_signals;
  sigemptyset(&ending_signals);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaddset(&ending_signals, signal_number);
  }
  sigset_t previous_mask;
  sigprocmask(SIG_BLOCK, &ending_signals, &previous_mask);
  sem_t* const gate = sem_open(name.c_str(), O_CREAT | O_EXCL, private_permissions, 1);
  if (gate == SEM_FAILED) {
    std::perror("sem_open");
    return 1;
  }
  if (sem_unlink(name.c_str()) < 0) {
    std::perror("sem_unlink");
    return 1;
  }
  Board* board = nullptr;
  if (!killing) {
    const int segment_id = shmget(IPC_PRIVATE, sizeof(Board), private_permissions);
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
    board = new (address) Board;
  }
  sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
  const pid_t parent = getpid();
  std::printf("semaphore: %s\n", name.c_str());

  if (killing) {
    // The holder tells this process, through a pipe, once it holds the semaphore.
    int held[2];
    if (pipe(held) < 0) {
      std::perror("pipe");
      return 1;
    }
    std::fflush(stdout);
    const pid_t holder = fork();
    if (holder < 0) {
      std::perror("fork");
      return 1;
    }
    if (holder == 0) {
      end_with(parent);
      while (sem_wait(gate) < 0) {
        if (errno != EINTR) {
          _exit(1);
        }
      }
      const char byte = 1;
      if (write(held[1], &byte, 1) != 1) {
        _exit(1);
      }
      for (;;) {
        pause();
      }
    }
    close(held[1]);
    char byte = 0;
    if (read(held[0], &byte, 1) != 1) {
      std::fprintf(stderr, "%s: the holder ended before it took the semaphore\n", program_name);
      return 1;
    }
    int value = -1;
    sem_getvalue(gate, &value);
    std::printf("holder pid: %d\n", holder);
    std::printf("value while held: %d\n", value);
    kill(holder, SIGKILL);
    int wait_status = 0;
    if (waitpid(holder, &wait_status, 0) < 0) {
      std::perror("waitpid");
      return 1;
    }
    const int holder_signal = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0;
    std::printf("holder signal: %d (%s)\n", holder_signal, strsignal(holder_signal));
    sem_getvalue(gate, &value);
    std::printf("value after kill: %d\n", value);
    std::fflush(stdout);

    // The next taker, bounded: sem_timedwait's deadline is on the realtime clock.
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timed_wait_seconds;
    const auto began = std::chrono::steady_clock::now();
    int wait_result;
    do {
      wait_result = sem_timedwait(gate, &deadline);
    } while (wait_result < 0 && errno == EINTR);
    const int wait_error = wait_result < 0 ? errno : 0;
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - began;
    if (wait_result < 0 && wait_error != ETIMEDOUT) {
      errno = wait_error;
      std::perror("sem_timedwait");
      return 1;
    }
    // ETIMEDOUT is the deadline passing, not a connection: say what it means here.
    std::printf("next taker: %s\n",
                wait_result == 0 ? "took the semaphore" : "gave up: the semaphore stayed taken");
    std::printf("next taker waited: %.2f s\n", waited.count());
  } else {
    std::printf("processes: %d\n", process_count);
    std::printf("rounds: %d\n", rounds);
    std::printf("pause: %u us\n", static_cast<unsigned>(pause_us));
    const int sections = process_count * rounds;
    for (const bool locked : {false, true}) {
      board->number.store(0);
      std::fflush(stdout);
      pid_t workers[process_count];
      for (int process = 0; process < process_count; process++) {
        workers[process] = fork();
        if (workers[process] < 0) {
          std::perror("fork");
          return 1;
        }
        if (workers[process] == 0) {
          end_with(parent);
          take_turns(board, process, rounds, locked ? gate : nullptr);
        }
      }
      for (const pid_t worker : workers) {
        int wait_status = 0;
        if (waitpid(worker, &wait_status, 0) < 0) {
          std::perror("waitpid");
          return 1;
        }
        if (!WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0) {
          std::fprintf(stderr, "%s: process %d failed in its sections\n", program_name, worker);
          return 1;
        }
      }

      // A section overlaps where another process's section began before it ended and ended
      // after it began.
      int overlapping = 0;
      for (int section = 0; section < sections; section++) {
        const int process = section / rounds;
        for (int other = 0; other < sections; other++) {
          if (other / rounds != process &&
              board->entered[section].load() < board->left[other].load() &&
              board->entered[other].load() < board->left[section].load()) {
            overlapping++;
            break;
          }
        }
      }
      const std::int32_t final_number = board->number.load();
      const char* const label = locked ? "locked" : "unlocked";
      std::printf("%s expected: %d\n", label, sections);
      std::printf("%s final: %d\n", label, static_cast<int>(final_number));
      std::printf("%s lost: %d\n", label, sections - static_cast<int>(final_number));
      std::printf("%s overlapping: %d\n", label, overlapping);
    }
    if (shmdt(board) < 0) {
      std::perror("shmdt");
      return 1;
    }
  }
  sem_close(gate);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
    return 1;
  }
  return 0;
}
