// Reading one strace log (strace -f -ttt -T -o FILE PROGRAM ...) into its system calls.
//
// strace writes one line per call, prefixed with the pid and the wall-clock time. Where two
// processes or threads interleave, it splits a call into "NAME(args <unfinished ...>" at its
// entry and "<... NAME resumed>rest) = RESULT <SECONDS>" at its return; these are joined again
// here. The hex dumps of the bytes read and written (" | 00000  ...", -e read=all -e write=all)
// are kept under the call whose line they follow; signal lines are skipped.
//
// A log is untrusted input: a line whose time lies more than a day from the first line's is
// skipped, and a duration of more than a day is no duration (the call counts as unmeasured), so
// that no time computed from a log can overflow. Reading is linear in the log's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace lens {

// Wall-clock time in microseconds since the epoch, as strace -ttt prints it. The logs of one run
// share this clock, so times from different logs line up.
using Micros = std::int64_t;

// The most that a log's times may stray from its first line's, and the longest duration taken
// as one: a day.
constexpr Micros a_day = Micros{24} * 60 * 60 * 1000000;

// One system call, from its entry to its return.
struct Call {
  int pid = 0;
  std::string name;
  std::string args;    // as strace printed them, the two halves of a split call joined
  std::string result;  // what follows "= ": "0", "14515", "-1 ENOENT (...)", "?"
  Micros begin = 0;    // entry
  Micros end = 0;      // return: entry plus the time that -T measured
  bool returned =
      true;  // false where the call never came back (exit, exit_group, a killed process)
  // strace's own text of the call without the time and the duration, the two halves of a split
  // call joined ("close(3) = 0"), its alignment padding kept.
  std::string text;
  // The hex-dump lines that strace wrote under the call (under its "resumed" line where it was
  // split), as they are: " | 00000  4d 65 73 ...".
  std::vector<std::string> dump;

  // The result as a number (a pid, a descriptor, a segment identifier), if it is one.
  std::optional<long long> number() const;
  // The call returned and did not fail.
  bool succeeded() const;
};

// A process or thread ending ("+++ exited with 0 +++", "+++ killed by SIGKILL +++").
struct Exit {
  int pid = 0;
  Micros at = 0;
  std::string how;  // "exited with 0"
};

struct Log {
  int main_pid = 0;         // the first pid in the file: the program itself
  std::vector<int> pids;    // every pid and tid, in order of first appearance
  std::vector<Call> calls;  // in order of entry
  std::vector<Exit> exits;  // in order of time
  Micros first = 0;         // the first line's time
  Micros last = 0;          // the last line's time

  // When pid first shows in the log.
  std::optional<Micros> appears(int pid) const;
  // When pid ended, if the log shows it.
  std::optional<Micros> ended(int pid) const;
  // The calls that pid made, in order, optionally only those of one name (copies).
  std::vector<Call> calls_of(int pid, std::string_view name = {}) const;
  // Where pid's calls are in calls, in order: the same calls as calls_of(pid), without copies.
  const std::vector<std::size_t>& places_of(int pid) const;

  // Indexes calls and exits by pid, for the four look-ups above. parse_log does it; a Log whose
  // calls or exits are changed afterwards calls it again.
  void index();

 private:
  struct Thread {
    std::optional<Micros> appears;
    std::optional<Micros> ended;
    std::vector<std::size_t> calls;
  };
  const Thread* thread(int pid) const;
  std::unordered_map<int, Thread> threads_;  // by pid
};

// Reads a log; lines that are not strace's are skipped.
Log parse_log(std::istream& in);
// The log in the file at path, or nothing where it cannot be opened or holds no call.
std::optional<Log> read_log(const std::string& path);

}  // namespace lens
