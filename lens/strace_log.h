// Reading one strace log (strace -f -ttt -T -o FILE PROGRAM ...) into its system calls.
//
// strace writes one line per call, prefixed with the pid and the wall-clock time. Where two
// processes or threads interleave, it splits a call into "NAME(args <unfinished ...>" at its
// entry and "<... NAME resumed>rest) = RESULT <SECONDS>" at its return; these are joined again
// here. Hex dumps of the bytes read and written (" | 00000  ...") and signal lines are skipped.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace timeline {

// Wall-clock time in microseconds since the epoch, as strace -ttt prints it. The logs of one run
// share this clock, so times from different logs line up.
using Micros = std::int64_t;

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
  // The calls that pid made, in order, optionally only those of one name.
  std::vector<Call> calls_of(int pid, std::string_view name = {}) const;
};

// Reads a log; lines that are not strace's are skipped.
Log parse_log(std::istream& in);
// The log in the file at path, or nothing where it cannot be opened or holds no call.
std::optional<Log> read_log(const std::string& path);

}  // namespace timeline
