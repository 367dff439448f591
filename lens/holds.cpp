#include "holds.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <sstream>

namespace lens {
namespace {

constexpr std::size_t small_layout = semaphore_small_layout;

// How narration lines start and end: "## TEXT", or the same in cyan for a terminal.
struct Style {
  std::string narration;
  std::string plain;
};

Style style(Narration narration) {
  return narration == Narration::color ? Style{"\x1b[36m## ", "\x1b[0m\n"} : Style{"## ", "\n"};
}

std::string od_words(const std::uint32_t* words, std::size_t count) {
  std::string line;
  for (std::size_t index = 0; index < count; ++index) {
    std::array<char, 16> field{};
    std::snprintf(field.data(), field.size(), " %10u", words[index]);
    line += field.data();
  }
  return line;
}

}  // namespace

std::string semaphore_view(const std::string& path, Narration narration) {
  const auto [say, plain] = style(narration);
  const char* command = narration == Narration::color ? "\x1b[1m$ " : "$ ";
  std::ostringstream out;
  const auto words = read_semaphore(path);
  if (!words) {
    out << say
        << "Here the semaphore's value and waiters would be read from its file; the tour knows "
           "glibc's two layouts, of 32 and 16 bytes, and this file has neither size."
        << plain;
    return out.str();
  }
  const std::string state =
      "value " + std::to_string(words->value) + ", " + std::to_string(words->waiters) + " waiting.";
  std::string options;
  std::string shown;
  if (words->size == small_layout) {
    out << say << "Its four 32-bit words, read without taking or giving (glibc's 16-byte "
        << "layout): " << state << plain << say
        << "The first is the value times two, plus 1 while anybody waits; the fourth counts the "
           "waiters:"
        << plain;
    options = "-tu4 -N16";
    shown = od_words(words->words.data(), 4);
  } else if (std::endian::native == std::endian::little) {
    out << say << "Its first two 32-bit words, read without taking or giving (glibc's "
        << "32-byte layout): " << state << plain;
    options = "-tu4 -N8";
    shown = od_words(words->words.data(), 2);
  } else {
    out << say << "Its first 64-bit word, read without taking or giving (glibc's 32-byte "
        << "layout): " << state << plain << say
        << "In hex: the waiters in its high half, the value in its low half:" << plain;
    options = "-tx8 -N8";
    std::array<char, 24> field{};
    std::snprintf(field.data(), field.size(), " %016llx",
                  static_cast<unsigned long long>(words->first));
    shown = field.data();
  }
  out << command << "od -An " << options << " " << path << plain << shown << "\n";
  return out.str();
}

}  // namespace lens

namespace lens {
namespace {

// The lines of a text file; none where it cannot be read.
std::vector<std::string> file_lines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> fields(const std::string& line) {
  std::istringstream words(line);
  std::vector<std::string> found;
  for (std::string word; words >> word;) {
    found.push_back(word);
  }
  return found;
}

// /proc/sysvipc/shm's header and the row of the segment, with the columns that matter here:
// key, shmid, perms, size, cpid, lpid, nattch.
void segment_row(int segment, std::ostream& out) {
  constexpr std::array<int, 7> widths{10, 10, 5, 6, 7, 7, 6};
  const std::vector<std::string> table = file_lines("/proc/sysvipc/shm");
  for (std::size_t index = 0; index < table.size(); ++index) {
    const std::vector<std::string> row = fields(table[index]);
    if (row.size() < widths.size() || (index > 0 && row[1] != std::to_string(segment))) {
      continue;
    }
    out << "/proc/sysvipc/shm:";
    for (std::size_t column = 0; column < widths.size(); ++column) {
      out << ' ' << std::setw(widths[column]) << row[column];
    }
    out << '\n';
  }
}

// The lines of /proc/PID/maps that `wanted` picks, each after "/proc/PID/maps: ".
template <typename Wanted>
std::string mappings(int pid, Wanted wanted) {
  const std::string path = "/proc/" + std::to_string(pid) + "/maps";
  std::string found;
  for (const std::string& line : file_lines(path)) {
    if (wanted(line)) {
      found.append(path).append(": ").append(line).append("\n");
    }
  }
  return found;
}

}  // namespace

std::string segment_view(int segment, const std::vector<int>& holders, Narration narration) {
  const auto [say, plain] = style(narration);
  std::ostringstream out;
  const std::string id = std::to_string(segment);
  if (holders.empty()) {
    out << say << "Both have ended, and the kernel keeps the segment: nattch 0 (lpid: segstamp, "
        << "the last to" << plain << say
        << "detach), and its 4096 bytes, greeting and all, until somebody removes it (ipcrm)."
        << plain;
    segment_row(segment, out);
    return out.str();
  }
  // The segment's mapping: its inode column is the identifier, its name /SYSV and the key.
  std::string mapped;
  for (const int pid : holders) {
    mapped += mappings(pid, [&id](const std::string& line) {
      const std::vector<std::string> columns = fields(line);
      return columns.size() >= 6 && columns[4] == id && columns[5].starts_with("/SYSV");
    });
  }
  out << say << "Each process's memory map: the same segment (inode column: identifier " << id
      << ") at an" << plain << say
      << "address each process chose (nearly always two different ones); rw-s: read, write, "
         "shared;"
      << plain << say
      << "SYSV and the key in hex: the kernel's name for it; (deleted): a file of the kernel's "
         "own."
      << plain << say << "segstamp is process " << holders.front() << ", segpeek process "
      << holders.back() << ":" << plain << mapped;
  out << say << "The kernel's row for the segment: its size, nattch 2 (both attached), cpid (the "
      << "creator," << plain << say
      << "segmake, already ended) and lpid (the last process to attach or detach: segpeek)."
      << plain;
  segment_row(segment, out);
  return out.str();
}

std::string taker_view(int taker, const std::string& semaphore, Narration narration) {
  const auto [say, plain] = style(narration);
  std::ostringstream out;
  const std::string proc = "/proc/" + std::to_string(taker);
  const std::vector<std::string> wchan = file_lines(proc + "/wchan");
  if (!wchan.empty() && !wchan.front().empty() && wchan.front() != "0") {
    out << say
        << "What it sleeps in, in the kernel: a futex wait, a queue of sleepers on one word of "
           "memory."
        << plain << proc << "/wchan: " << wchan.front() << '\n';
  } else {
    out << say << "Here " << proc
        << "/wchan would name the kernel function it sleeps in (a futex wait); this kernel "
           "does not show it."
        << plain;
  }
  const std::string mapped = mappings(
      taker, [&semaphore](const std::string& line) { return line.find(semaphore) != line.npos; });
  if (!mapped.empty()) {
    out << say
        << "The word it waits on is in the semaphore's file, mapped into its memory, shared "
           "(rw-s):"
        << plain << mapped;
  } else {
    out << say << "Here " << proc
        << "/maps would show the semaphore's file mapped into the taker's memory." << plain;
  }
  return out.str() + semaphore_view(semaphore, narration);
}

}  // namespace lens
