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
// What it adds, so that the workers really meet: a start line, and a CPU each. threetally's
// workers start counting as soon as each is created, wherever the scheduler puts them; that is
// enough for threetally, whose total is right however the workers meet. Here the lesson needs
// them to meet, and left to themselves they often do not: under strace, which stops every thread
// as it is created, or on a busy machine, each worker could be through its slice before the next
// one began; and the scheduler, on a run this short, often kept all sixteen on one CPU, where
// they took turns. So each worker waits at a barrier until all sixteen have been started, and
// each is kept to one of the CPUs the run may use, in turn (worker t to the (t mod n)-th of the
// n allowed), so that from the start line they count at once on every CPU there is. Under
// taskset -c N there is one such CPU, and all sixteen share it, as the lesson means.
//
// Run it:   ./tallyrace          then on one CPU only:   taskset -c N ./tallyrace
// (N: a CPU this process may use, 0 on most machines.) On several CPUs the workers run at
// the same time and additions are lost, how many differing from run to run: where a worker is
// switched out between its load and its store, its late store takes the total back to what it
// loaded, and every addition that the others made in the meantime is lost at once. On one CPU
// the workers take turns: an addition is lost only where the scheduler switches a worker out
// exactly between its two steps, so few or none are.
//
// Each worker notes when its counting began and ended (the monotonic clock); a worker overlaps
// where its counting shared some time with another worker's. On several CPUs that is where they
// ran at once; on one CPU, where a worker was switched out before it was through and another
// counted meanwhile: the only way to lose an addition there.
//
// Output, one fact per line, exactly these eight (N stands for a number measured in the run):
//   table: 4194304       ints in the table, 3, 4, 3, 4, ... (a fixed size)
//   workers: 16          threads counting, a sixteenth of the table each (fixed)
//   cpus: N              CPUs this run may use (fewer under taskset)
//   expected: 2097152    the 3s in the table, counted by main alone after the workers
//   total: N             what the workers' additions left in the shared total
//   lost: N              expected - total
//   overlapping: N       workers whose counting overlapped another worker's in time
//   Additions were lost where two workers loaded the same total and both stored it plus one.
// The last line is that sentence where lost is above 0, and "No addition was lost this run."
// where it is 0. Exit status 0, or 1 where a call fails (perror names it) or the lines could not
// be written out; any argument prints the usage and gives 2.
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// For the messages; the fixed name reads the same however the program was started.
constexpr char program_name[] = "tallyrace";
constexpr char usage[] = "usage: tallyrace\n";

constexpr int worker_count = 16;
// A sixteenth of threetally's table: a run takes a fraction of a second even with every 3
// fought over, and the workers still run long enough to meet.
constexpr std::int32_t table_length = std::int32_t{1} << 22;
static_assert(table_length % worker_count == 0 && table_length % 2 == 0);

std::int32_t* array;              // the table, written by main before any worker starts
std::atomic<std::int32_t> count;  // the total that every worker adds into, in two steps
pthread_barrier_t start_line;     // the sixteen workers wait here until all have arrived

// When each worker's counting began and ended, in nanoseconds of the monotonic clock; each
// worker writes its own, main reads them all once it has joined every worker.
struct Counting {
  std::int64_t began;
  std::int64_t ended;
};
Counting counting[worker_count];

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Worker: waits at the start line, then counts the 3s of slice *arg, adding each one to `count`
// as a load and a store.
void* count3s_thread(void* arg) {
  constexpr std::int32_t slice_length = table_length / worker_count;
  const int index = *static_cast<int*>(arg);
  const std::int32_t start = index * slice_length;
  pthread_barrier_wait(&start_line);
  counting[index].began = now_ns();
  for (std::int32_t i = start; i < start + slice_length; i++) {
    if (array[i] == 3) {
      // The two steps, each atomic, the pair not: between them another worker may store.
      const std::int32_t seen = count.load(std::memory_order_relaxed);
      count.store(seen + 1, std::memory_order_relaxed);
    }
  }
  counting[index].ended = now_ns();
  return nullptr;
}

int main(int argc, char** /*argv*/) {
  if (argc > 1) {
    std::fputs(usage, stderr);
    return 2;
  }
  array = static_cast<std::int32_t*>(std::malloc(sizeof(std::int32_t) * table_length));
  if (array == nullptr) {
    std::perror("malloc");
    return 1;
  }
  for (std::int32_t i = 0; i < table_length; i += 2) {
    array[i] = 3;
    array[i + 1] = 4;
  }

  // The CPUs this process may run on: taskset -c N leaves one.
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) < 0) {
    std::perror("sched_getaffinity");
    return 1;
  }

  // Those CPUs in order, for the workers to be spread over.
  static int allowed_cpus[CPU_SETSIZE];
  int allowed_count = 0;
  for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
    if (CPU_ISSET(cpu, &allowed)) {
      allowed_cpus[allowed_count++] = cpu;
    }
  }
  if (allowed_count == 0) {
    std::fprintf(stderr, "%s: no CPU to run on\n", program_name);
    return 1;
  }

  count = 0;
  const int barrier_result = pthread_barrier_init(&start_line, nullptr, worker_count);
  if (barrier_result != 0) {
    errno = barrier_result;
    std::perror("pthread_barrier_init");
    return 1;
  }
  static int index_slots[worker_count];
  pthread_t handles[worker_count];
  for (int t = 0; t < worker_count; t++) {
    index_slots[t] = t;
    // Worker t runs on the (t mod n)-th allowed CPU only.
    cpu_set_t one_cpu;
    CPU_ZERO(&one_cpu);
    CPU_SET(allowed_cpus[t % allowed_count], &one_cpu);
    pthread_attr_t attributes;
    int create_result = pthread_attr_init(&attributes);
    if (create_result == 0) {
      create_result = pthread_attr_setaffinity_np(&attributes, sizeof one_cpu, &one_cpu);
      if (create_result == 0) {
        create_result = pthread_create(&handles[t], &attributes, count3s_thread, &index_slots[t]);
      }
      pthread_attr_destroy(&attributes);
    }
    if (create_result != 0) {
      // The workers already started wait at the start line; they end with the process.
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
  // A worker overlaps where another's counting began before its own ended and ended after its
  // own began.
  int overlapping = 0;
  for (int t = 0; t < worker_count; t++) {
    for (int other = 0; other < worker_count; other++) {
      if (other != t && counting[other].began < counting[t].ended &&
          counting[t].began < counting[other].ended) {
        overlapping++;
        break;
      }
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
  std::printf("overlapping: %d\n", overlapping);
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
