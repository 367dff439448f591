// reference: the work of threetally done in one thread, the plainest way, to time it against.
//
// Build: g++ -std=c++20 -O3 bench/reference.cpp -o reference   Run: ./reference
// It fills a table of 67108864 ints with 3, 4, 3, 4, ... and counts the 3s with one plain loop,
// then prints the same line as threetally: "Total count= 33554432 ".
#include <cstdint>
#include <cstdio>
#include <cstdlib>

std::int32_t* array;  // the table
std::int32_t length;  // elements in the table
std::int32_t count;   // the 3s found

int main() {
  length = 67108864;
  array = static_cast<std::int32_t*>(std::malloc(sizeof(std::int32_t) * length));
  if (array == nullptr) {
    std::perror("malloc");
    return 1;
  }
  for (std::int32_t i = 0; i < length; i++) {
    array[i] = (i % 2 == 0) ? 3 : 4;
  }
  count = 0;
  for (std::int32_t i = 0; i < length; i++) {
    if (array[i] == 3) {
      count++;
    }
  }
  std::printf("Total count= %d \n", count);
  return 0;
}
