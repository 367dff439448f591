// A program for the watcher's tests: its threads each spin on a CPU for their own length of time
// (20, 40, 60 and 80 ms of their own CPU time), then read their own schedstat from
// /proc/thread-self/schedstat just before they end, and print it as "TID RUNNING WAITING SLICES";
// main prints its own likewise, after joining them. With an argument, the threads take it as
// their name. What the watcher reads of a thread at its end is at least what the thread read of
// itself, and close to it.
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

namespace {

constexpr int threads = 4;
constexpr std::int64_t spin_step = 20'000'000;  // ns of CPU time: each thread spins a multiple
const char* name = nullptr;

std::int64_t own_cpu_time() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Reads the CPU clock of the thread just before its schedstat: reading it brings the kernel's
// count of the thread's time on a CPU up to date.
void report() {
  own_cpu_time();
  std::ifstream file("/proc/thread-self/schedstat");
  std::string running, waiting, slices;
  file >> running >> waiting >> slices;
  const std::string line =
      std::to_string(syscall(SYS_gettid)) + " " + running + " " + waiting + " " + slices + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void* spin(void* argument) {
  if (name != nullptr)
    prctl(PR_SET_NAME, name);
  const std::int64_t until =
      own_cpu_time() + spin_step * (1 + reinterpret_cast<std::intptr_t>(argument));
  while (own_cpu_time() < until) {
  }
  report();
  return nullptr;
}

}  // namespace

int main(int argc, char* argv[]) {
  name = argc > 1 ? argv[1] : nullptr;
  std::array<pthread_t, threads> made{};
  for (int index = 0; index < threads; ++index)
    if (pthread_create(&made[static_cast<std::size_t>(index)], nullptr, spin,
                       reinterpret_cast<void*>(static_cast<std::intptr_t>(index))) != 0)
      return 1;
  for (pthread_t thread : made)
    pthread_join(thread, nullptr);
  report();
  return 0;
}
