// threetally: sixteen threads count the 3s of one large table into one shared total.
//
// Run it in one terminal, with no arguments:   ./threetally
// main fills a table of 67108864 ints with 3, 4, 3, 4, ... and starts sixteen workers; each counts
// the 3s of its own sixteenth of the table and adds its tally into the shared `count`. main waits
// for all sixteen and prints the total, always 33554432.
#include <pthread.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr int worker_count = 16;
// The kernel backs memory with 2 MiB huge pages only where a range is aligned to them.
constexpr std::uintptr_t huge_page_size = std::uintptr_t{2} * 1024 * 1024;

std::int32_t* array;              // the table; it goes with the process
std::int32_t length;              // elements in the table
std::atomic<std::int32_t> count;  // the total that every worker adds into, with no lock
std::int32_t t;                   // main's loop index

// Worker: counts the 3s of slice *arg and adds them to `count`.
void* count3s_thread(void* arg) {
  const std::int32_t slice_length = length / worker_count;
  const std::int32_t start = *static_cast<int*>(arg) * slice_length;
  // Counting privately and adding once keeps sixteen threads from fighting over `count` for
  // every 3 they see; the shared total is still the one sum of all sixteen tallies.
  std::int32_t tally = 0;
  for (std::int32_t i = start; i < start + slice_length; i++) {
    if (array[i] == 3) {
      tally++;
    }
  }
  count.fetch_add(tally);
  return nullptr;
}

// For the write-error message; the fixed name reads the same however the program was started.
constexpr char program_name[] = "threetally";

int main() {
  length = 67108864;
  // The table starts on a 2 MiB boundary so that all of it can lie in huge pages: malloc is
  // asked for one huge page more than the table, and the table begins at the first boundary
  // inside the block. Apart from malloc's own bookkeeping at its start, the rest of the block
  // is never touched, so it adds next to nothing to the memory used.
  const std::size_t table_bytes = sizeof(std::int32_t) * static_cast<std::size_t>(length);
  void* const block = std::malloc(table_bytes + huge_page_size);
  if (block == nullptr) {
    std::perror("malloc");
    return 1;
  }
  const std::uintptr_t table_begin =
      (reinterpret_cast<std::uintptr_t>(block) + huge_page_size - 1) & ~(huge_page_size - 1);
  array = reinterpret_cast<std::int32_t*>(table_begin);

  // Ask for huge pages on the whole table: 128 page faults instead of 65536 while it is filled.
  // It is only advice; where the kernel declines, the table simply has small pages.
  madvise(array, table_bytes, MADV_HUGEPAGE);

  // Fill in index order, main alone, before any worker starts. The loop works on local copies
  // of `array` and `length`, so it need not reload them after every store and can vectorise.
  // It writes a 3 and a 4 per step (the length is even), so the compiler stores the same
  // 3, 4, 3, 4 block again and again instead of working out every element from its index.
  std::int32_t* const table = array;
  const std::int32_t table_length = length;
  for (std::int32_t fill_index = 0; fill_index < table_length; fill_index += 2) {
    table[fill_index] = 3;
    table[fill_index + 1] = 4;
  }

  count = 0;
  // Each worker reads its own slot once it runs; static slots stay readable even for workers
  // still starting when main returns after a failed creation.
  static int index_slots[worker_count];
  pthread_t handles[worker_count];
  for (t = 0; t < worker_count; t++) {
    index_slots[t] = t;
    const int create_result = pthread_create(&handles[t], nullptr, count3s_thread, &index_slots[t]);
    if (create_result != 0) {
      std::puts("create thread error!");
      if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
      }
      return 1;
    }
  }

  for (t = 0; t < worker_count; t++) {
    pthread_join(handles[t], nullptr);
  }
  std::printf("Total count= %d \n", count.load());
  // A total that never reached standard output (a full disk, a closed stream) is a failure.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
    return 1;
  }
  return 0;
}
