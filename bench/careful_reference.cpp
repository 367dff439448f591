// careful_reference: the work of threetally done in one thread, with the same care for memory
// as threetally, to tell what its threads add from what its care for memory adds.
//
// Build: g++ -std=c++20 -O3 -falign-loops=64 bench/careful_reference.cpp -o careful_reference
// Like threetally, it puts its table of 67108864 ints on a 2 MiB boundary and asks for huge pages
// for all of it, fills it with 3, 4, 3, 4, ... with the same loop, and counts the 3s with the
// same loop as one of threetally's workers, only over the whole table and in the main thread.
// It prints the same line as threetally: "Total count= 33554432 ".
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

constexpr std::uintptr_t huge_page_size = 2 * 1024 * 1024;

std::int32_t* array;  // the table
std::int32_t length;  // elements in the table
std::int32_t count;   // the 3s found

int main() {
  length = 67108864;
  const std::size_t table_bytes = sizeof(std::int32_t) * length;
  void* const block = std::malloc(table_bytes + huge_page_size);
  if (block == nullptr) {
    std::perror("malloc");
    return 1;
  }
  const std::uintptr_t table_begin =
      (reinterpret_cast<std::uintptr_t>(block) + huge_page_size - 1) & ~(huge_page_size - 1);
  array = reinterpret_cast<std::int32_t*>(table_begin);
  madvise(array, table_bytes, MADV_HUGEPAGE);

  std::int32_t* const table = array;
  const std::int32_t table_length = length;
  for (std::int32_t fill_index = 0; fill_index < table_length; fill_index += 2) {
    table[fill_index] = 3;
    table[fill_index + 1] = 4;
  }

  count = 0;
  std::int32_t tally = 0;
  for (std::int32_t i = 0; i < length; i++) {
    if (array[i] == 3) {
      tally++;
    }
  }
  count += tally;
  std::printf("Total count= %d \n", count);
  return 0;
}
