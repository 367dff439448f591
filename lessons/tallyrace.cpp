// tallyrace: threetally without the atomic addition. Sixteen threads count the 3s of one table
// into one shared total, and additions get lost.
//
// What it leaves out: threetally's one indivisible addition (fetch_add) into the shared total.
// Here a worker adds each 3 it sees in two steps: it loads the total, then stores what it loaded
// plus one. Another worker can come between the two steps: both load the same value, both store
// the same value plus one, and one of the two additions is lost. Each step on its own is a relaxed
// atomic operation, so there is no data race in C++'s sense and no undefined behaviour
// (ThreadSanitizer has nothing to report): what loses counts is the gap between the steps, which
// only an indivisible read-modify-write closes.
//
// Run it:   ./tallyrace          then on one CPU only:   taskset -c 0 ./tallyrace
// On several CPUs the workers really run at the same time and additions are lost, how many
// differing from run to run: where a worker is switched out between its load and its store, its
// late store takes the total back to what it loaded, and every addition that the others made in
// the meantime is lost at once. On one CPU the workers take turns: an addition is lost only
// where the scheduler switches a worker out exactly between its two steps, so few or none are.
// On a busy machine the workers may not overlap at all, on any number of CPUs: run it again.
//
// Output, one fact per line, exactly these seven (N stands for a number measured in the run):
//   table: 4194304       ints in the table, 3, 4, 3, 4, ... (a fixed size)
//   workers: 16          threads counting, a sixteenth of the table each (fixed)
//   cpus: N              CPUs this run may use (fewer under taskset)
//   expected: 2097152    the 3s in the table, counted by main alone after the workers
//   total: N             what the workers' additions left in the shared total
//   lost: N              expected - total
//   Additions were lost where two workers loaded the same total and both stored it plus one.
// The last line is that sentence where lost is above 0, and "No addition was lost this run."
// where it is 0. Exit status 0, or 1 where a call fails (perror names it) or the lines could not
// be written out.
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// For the write-error message; the fixed name reads the same however the program was started.
constexpr char program_name[] = "tallyrace";

constexpr int worker_count = 16;
// A sixteenth of threetally's table: a run takes a fraction of a second even with every 3
// fought over, and the workers still run long enough to meet.
constexpr std::int32_t table_length = std::int32_t{1} << 22;
static_assert(table_length % worker_count == 0 && table_length % 2 == 0);

std::int32_t* array;              // the table, written by main before any worker starts
std::atomic<std::int32_t> count;  // the total that every worker adds into, in two steps

// Worker: counts the 3s of slice *arg, adding each one to `count` as a load and a store.
void* count3s_thread(void* arg) {
  constexpr std::int32_t slice_length = table_length / worker_count;
  const std::int32_t start = *static_cast<int*>(arg) * slice_length;
  for (std::int32_t i = start; i < start + slice_length; i++) {
    if (array[i] == 3) {
      // The two steps, each atomic, the pair not: between them another worker may store.
      const std::int32_t seen = count.load(std::memory_order_relaxed);
      count.store(seen + 1, std::memory_order_relaxed);
    }
  }
  return nullptr;
}

int main() {
  array = static_cast<std::int32_t*>(std::malloc(sizeof(std::int32_t) * table_length));
  if (array == nullptr) {
    std::perror("malloc");
    return 1;
  }
  for (std::int32_t i = 0; i < table_length; i += 2) {
    array[i] = 3;
    array[i + 1] = 4;
  }

  // The CPUs this process may run on: taskset -c 0 leaves one.
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) < 0) {
    std::perror("sched_getaffinity");
    return 1;
  }

  count = 0;
  static int index_slots[worker_count];
  pthread_t handles[worker_count];
  for (int t = 0; t < worker_count; t++) {
    index_slots[t] = t;
    const int create_result = pthread_create(&handles[t], nullptr, count3s_thread, &index_slots[t]);
    if (create_result != 0) {
      errno = create_result;
      std::perror("pthread_create");
      return 1;
    }
  }
  for (int t = 0; t < worker_count; t++) {
    pthread_join(handles[t], nullptr);
  }

  // What the workers should have found, counted again by main alone.
  std::int32_t expected = 0;
  for (std::int32_t i = 0; i < table_length; i++) {
    if (array[i] == 3) {
      expected++;
    }
  }
  const std::int32_t total = count.load();
  const std::int32_t lost = expected - total;
  std::printf("table: %d\n", static_cast<int>(table_length));
  std::printf("workers: %d\n", worker_count);
  std::printf("cpus: %d\n", CPU_COUNT(&allowed));
  std::printf("expected: %d\n", static_cast<int>(expected));
  std::printf("total: %d\n", static_cast<int>(total));
  std::printf("lost: %d\n", static_cast<int>(lost));
  if (lost > 0) {
    std::puts(
        "Additions were lost where two workers loaded the same total and both stored it plus one.");
  } else {
    std::puts("No addition was lost this run.");
  }
  std::free(array);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
    return 1;
  }
  return 0;
}
