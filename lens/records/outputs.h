// What the tour's lessons printed, read into their figures: each lesson prints "key: value"
// lines, and `lens lesson tell` and the lessons' diagrams state what they read here. The outputs
// are untrusted text: an output that lacks a line, holds one twice, holds what is not plain text,
// or whose figures do not add up, is refused with one sentence saying what is wrong. Reading
// only: what is said of the figures is narrate/'s.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lens {

// tallyrace, one run.
struct TallyFigures {
  long long workers = 0;
  long long cpus = 0;
  long long expected = 0;
  long long total = 0;
  long long lost = 0;         // expected - total
  long long overlapping = 0;  // workers whose counting overlapped another's in time, <= workers
};

// relaykeep, the default run: the read that never returns.
struct RelayFigures {
  std::string wchan;      // what /proc/CHILD/wchan read: pipe_read, anon_pipe_read, 0
  std::string read_for;   // "0.50": seconds the parent watched the read before ending it
  std::string ended;      // "signal 15 (Terminated)"
  bool returned = false;  // the child printed that its read returned
};

// relaykeep limits.
struct PipeLimits {
  std::string signal;  // "13 (Broken pipe)", or "none (exit status N)"
  long long status = 0;
  std::string epipe;  // "-1 (Broken pipe)"
  long long capacity = 0;
  long long pipe_size = 0;
};

// segtear.
struct TearFigures {
  long long copies = 0;
  long long one_letter = 0;
  long long torn = 0;  // one_letter + torn = copies
};

// gaterace ROUNDS: one half, without the semaphore or inside it.
struct RaceHalf {
  long long expected = 0;
  long long final_number = 0;
  long long lost = 0;  // expected - final_number
  long long overlapping = 0;
};
struct RaceFigures {
  long long processes = 0;
  long long rounds = 0;
  RaceHalf unlocked;
  RaceHalf locked;
};

// gaterace kill.
struct KillFigures {
  long long value_held = 0;
  std::string holder_signal;  // "9 (Killed)"
  long long value_after = 0;
  bool next_took = false;  // the next taker took the semaphore, rather than giving up
  std::string waited;      // "1.00": seconds
};

// The two things gaterace kill says of its next taker.
constexpr std::string_view next_taker_gave_up = "gave up: the semaphore stayed taken";
constexpr std::string_view next_taker_took = "took the semaphore";

// A lesson's output read from a file: its text, or why there is none. Only a regular file is
// read, and never more than output_limit bytes: a FIFO, a device or a folder planted in its place
// is refused at once, without waiting for a writer.
constexpr std::size_t output_limit = 65536;
struct Output {
  std::optional<std::string> text;
  std::string problem;   // "cannot read: No such file or directory", "too long", ...
  bool missing = false;  // there is no file of that name
};
Output read_output(const std::string& path);

// What reading an output gave: the figures, or why there are none.
template <typename Figures>
struct Parsed {
  std::optional<Figures> figures;
  std::string problem;
};

Parsed<TallyFigures> parse_tally(std::string_view output);
Parsed<RelayFigures> parse_relay(std::string_view output);
Parsed<PipeLimits> parse_limits(std::string_view output);
Parsed<TearFigures> parse_tear(std::string_view output);
Parsed<RaceFigures> parse_race(std::string_view output);
Parsed<KillFigures> parse_kill(std::string_view output);

}  // namespace lens
