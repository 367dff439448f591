#include "narrate/holds.h"

#include <array>
#include <bit>
#include <cstdio>

namespace lens {
namespace {

// " 5 128 0 1", as od -tu4 prints a row of 32-bit words.
std::string held_words(const std::array<std::uint32_t, 4>& words, std::size_t count) {
  std::string line;
  for (std::size_t index = 0; index < count && index < words.size(); ++index) {
    std::array<char, 16> field{};
    std::snprintf(field.data(), field.size(), " %10u", words.at(index));
    line += field.data();
  }
  return line;
}

// "/proc/sysvipc/shm: KEY SHMID ...": the header and the segment's row, in od-like columns.
void held_segment_rows(int segment, Narrator& narrator, std::string_view proc) {
  constexpr std::array<std::size_t, shm_columns> widths{10, 10, 5, 6, 7, 7, 6};
  for (const ShmRow& row : shm_rows(segment, proc)) {
    std::string line(proc);
    line += "/sysvipc/shm:";
    for (std::size_t column = 0; column < shm_columns; ++column) {
      line += ' ';
      line.append(
          widths.at(column) > row.at(column).size() ? widths.at(column) - row.at(column).size() : 0,
          ' ');
      line += row.at(column);
    }
    narrator.show(line);
  }
}

// "/proc/PID/maps: ROW" for each row given.
void held_mappings(int pid, const std::vector<std::string>& rows, Narrator& narrator,
                   std::string_view proc) {
  std::string path(proc);
  path.append("/").append(std::to_string(pid)).append("/maps: ");
  for (const std::string& row : rows) {
    narrator.show(path + row);
  }
}

}  // namespace

void semaphore_view(const std::string& path, Narrator& narrator) {
  const auto words = read_semaphore(path);
  if (!words) {
    narrator.say(
        "Here the semaphore's value and waiters would be read from its file; the tour knows "
        "glibc's two layouts, of 32 and 16 bytes, and this file has neither size.");
    return;
  }
  const std::string state =
      "value " + std::to_string(words->value) + ", " + std::to_string(words->waiters) + " waiting.";
  std::string options;
  std::string shown;
  if (words->size == semaphore_small_layout) {
    narrator.say("Its four 32-bit words, read without taking or giving (glibc's 16-byte layout): " +
                 state);
    narrator.say(
        "The first is the value times two, plus 1 while anybody waits; the fourth counts the "
        "waiters:");
    options = "-tu4 -N16";
    shown = held_words(words->words, 4);
  } else if (std::endian::native == std::endian::little) {
    narrator.say(
        "Its first two 32-bit words, read without taking or giving (glibc's 32-byte layout): " +
        state);
    options = "-tu4 -N8";
    shown = held_words(words->words, 2);
  } else {
    narrator.say("Its first 64-bit word, read without taking or giving (glibc's 32-byte layout): " +
                 state);
    narrator.say("In hex: the waiters in its high half, the value in its low half:");
    options = "-tx8 -N8";
    std::array<char, 24> field{};
    std::snprintf(field.data(), field.size(), " %016llx",
                  static_cast<unsigned long long>(words->first));
    shown = field.data();
  }
  narrator.command("od -An " + options + " " + path);
  narrator.show(shown);
}

void segment_view(int segment, const std::vector<int>& holders, Narrator& narrator,
                  std::string_view proc) {
  if (holders.empty()) {
    narrator.say(
        {"Both have ended, and the kernel keeps the segment: nattch 0 (lpid: segstamp, the last to",
         "detach), and its 4096 bytes, greeting and all, until somebody removes it (ipcrm)."});
    held_segment_rows(segment, narrator, proc);
    return;
  }
  const std::string id = std::to_string(segment);
  narrator.say(
      {"Each process's memory map: the same segment (inode column: identifier " + id + ") at an",
       "address each process chose (nearly always two different ones); rw-s: read, "
       "write, shared;",
       "SYSV and the key in hex: the kernel's name for it; (deleted): a file of the "
       "kernel's own.",
       "segstamp is process " + std::to_string(holders.front()) + ", segpeek process " +
           std::to_string(holders.back()) + ":"});
  for (const int pid : holders) {
    std::vector<std::string> mapped;
    for (std::string& row : map_rows(pid, proc)) {
      if (maps_segment(row, segment)) {
        mapped.push_back(std::move(row));
      }
    }
    held_mappings(pid, mapped, narrator, proc);
  }
  narrator.say(
      {"The kernel's row for the segment: its size, nattch 2 (both attached), cpid (the creator,",
       "segmake, already ended) and lpid (the last process to attach or detach: segpeek)."});
  held_segment_rows(segment, narrator, proc);
}

void taker_view(int taker, const std::string& semaphore, Narrator& narrator,
                std::string_view proc) {
  std::string process(proc);
  process.append("/").append(std::to_string(taker));
  const std::string sleep = wchan(taker, proc);
  if (!sleep.empty() && sleep != "0") {
    narrator.say(
        "What it sleeps in, in the kernel: a futex wait, a queue of sleepers on one word of "
        "memory.");
    narrator.show(process + "/wchan: " + sleep);
  } else {
    narrator.say("Here " + process +
                 "/wchan would name the kernel function it sleeps in (a futex wait); this kernel "
                 "does not show it.");
  }
  std::vector<std::string> mapped;
  for (std::string& row : map_rows(taker, proc)) {
    if (row.find(semaphore) != std::string::npos) {
      mapped.push_back(std::move(row));
    }
  }
  if (!mapped.empty()) {
    narrator.say(
        "The word it waits on is in the semaphore's file, mapped into its memory, shared "
        "(rw-s):");
    held_mappings(taker, mapped, narrator, proc);
  } else {
    narrator.say("Here " + process +
                 "/maps would show the semaphore's file mapped into the taker's memory.");
  }
  semaphore_view(semaphore, narrator);
}

}  // namespace lens
