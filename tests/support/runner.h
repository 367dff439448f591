// Starts a built program as a person would, and captures what it shows.
//
// Standard output and standard error go to unlinked temporary files, so they can be read at any
// moment, byte for byte, while the program runs and after it ends. Standard input is given
// bytes (end of input after them), or a pipe held open so that a test can press Enter later.
// A stream can also be left closed, or lead where writing fails, to see how the program takes
// the loss of its output. The program starts as from a shell: every signal at its default
// action and none blocked, whatever the test process has set for itself. Every wait has a bound: a
// program still running at its deadline is killed, and the result says it timed out.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace ipcwalk {

using namespace std::chrono_literals;
using Duration = std::chrono::milliseconds;

// One library call that the fault injector makes fail.
struct Fault {
  std::string call;           // e.g. "shmget"
  int error = 0;              // the errno it fails with
  int nth = 0;                // 0: every call fails; n: only the n-th call
  std::size_t min_bytes = 0;  // malloc only: fail only requests of at least this many bytes
};

// Where standard output or standard error goes.
enum class Stream {
  captured,     // a file the test reads
  closed,       // nowhere: the descriptor is closed, as `>&-` leaves it
  full,         // /dev/full: every write fails with ENOSPC
  broken_pipe,  // a pipe that nobody reads any more: a write raises SIGPIPE
};

struct Options {
  std::string input;          // bytes on standard input, then end of input
  bool hold_input = false;    // instead: a pipe that stays open until close_input()
  bool input_closed = false;  // instead: standard input closed, as `<&-` leaves it
  Stream out = Stream::captured;
  Stream err = Stream::captured;
  Duration timeout = 20s;  // how long wait() waits before killing the program
  std::vector<Fault> faults;
};

struct Result {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 if the program did not exit normally
  int signal = 0;   // the signal that ended it, if one did
  bool timed_out = false;
};

// Path of a built program of the suite, or `name` itself where it is a path.
std::string program(const std::string& name);

class Process {
 public:
  Process(const std::string& name, const std::vector<std::string>& args,
          const Options& options = {});
  ~Process();  // kills the program if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const {
    return pid_;
  }
  void send(const std::string& bytes);  // onto the held standard input
  void close_input();
  std::string out() const;  // captured so far
  std::string err() const;
  bool running();
  // True once the program blocks reading its standard input (a pause), false at the deadline.
  bool wait_until_reading_input(Duration limit = 10s);
  // True once standard output holds `text` (also after the program ended: a child it forked may
  // still be writing), false at the deadline.
  bool wait_for_output(const std::string& text, Duration limit = 10s) const;
  // The same for standard error.
  bool wait_for_error(const std::string& text, Duration limit = 10s) const;
  Result wait();

 private:
  pid_t pid_ = -1;
  int input_fd_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool reaped_ = false;
  int wait_status_ = 0;
  std::chrono::steady_clock::time_point deadline_;
};

// Runs a program to its end (or its timeout).
Result run(const std::string& name, const std::vector<std::string>& args = {},
           const Options& options = {});

}  // namespace ipcwalk
