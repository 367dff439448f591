#include "lessons.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

namespace lens {
namespace {

constexpr std::string_view cyan = "\x1b[36m";
constexpr std::string_view plain = "\x1b[0m";
constexpr std::string_view not_whole = ": not a whole run of the lesson";
constexpr std::string_view pipe_read_word = "pipe_read";

std::string count(long long figure) {
  return std::to_string(figure);
}

}  // namespace

namespace {

// Narration lines: "## TEXT", or the same in cyan for a terminal.
class Lines {
 public:
  explicit Lines(Narration narration) : narration_(narration) {}

  void say(std::string_view line) {
    text_ += narration_ == Narration::color ? cyan : "";
    text_ += "## ";
    text_ += line;
    text_ += narration_ == Narration::color ? plain : "";
    text_ += '\n';
  }

  std::string take() {
    return std::move(text_);
  }

 private:
  Narration narration_;
  std::string text_;
};

// The lessons, in the tour's order, and the outputs each one's tell reads.
struct Lesson {
  std::string_view name;
  std::size_t runs;
};
constexpr std::array<Lesson, 4> lessons{{
    {"tallyrace", 2},
    {"relaykeep", 2},
    {"segtear", 1},
    {"gaterace", 2},
}};

}  // namespace

std::optional<std::size_t> lesson_runs(std::string_view name) {
  for (const Lesson& lesson : lessons) {
    if (lesson.name == name) {
      return lesson.runs;
    }
  }
  return std::nullopt;
}

namespace {

// The questions, asked before the runs: what do you expect?
constexpr std::array<std::pair<std::string_view, std::array<std::string_view, 3>>, 4> questions{{
    {"tallyrace",
     {"Sixteen threads count the 3s of one table into one shared total, as threetally does, all "
      "starting together from one start line; but each addition is a load and then a store, "
      "not one fetch_add.",
      "What do you expect the total to be on all CPUs? And pinned to one CPU (taskset -c N)?",
      "Will additions be lost, and where more of them?"}},
    {"relaykeep",
     {"The parent closes both ends of its pipe without writing; the child reads, but keeps its "
      "own write end open.",
      "What do you expect the child's read to return, and when?",
      "Then: what happens to a writer whose reader has gone, and how much does a pipe hold?"}},
    {"segtear",
     {"A child rewrites a shared segment over and over, all of it one letter, then all of it "
      "the other; the parent copies the segment again and again, with no lock between them.",
      "How many copies do you expect to hold both letters?", ""}},
    {"gaterace",
     {"Four processes each read a shared number, pause a moment and write it back plus one: "
      "first without the semaphore, then inside sem_wait and sem_post.",
      "How many updates do you expect to be lost each time?",
      "And if a process is killed while it holds the semaphore: what does the next taker get?"}},
}};

void tell_tally(Lines& lines, const TallyFigures& all, const TallyFigures& one) {
  const std::string of = " of " + count(all.expected) + " additions";
  const std::string workers = " of the " + count(all.workers) + " workers";
  if (all.cpus == 1) {
    lines.say("This machine has one CPU, so the first run took turns too: it lost " +
              count(all.lost) + of + ".");
  } else if (all.lost > 0) {
    lines.say("On " + count(all.cpus) + " CPUs the workers lost " + count(all.lost) + of +
              ": the total was " + count(all.total) + ". " + count(all.overlapping) + workers +
              " counted while another did.");
  } else if (all.overlapping == 0) {
    lines.say("On " + count(all.cpus) + " CPUs nothing was lost this time, and the run shows " +
              "why: no worker's counting overlapped another's in time. Each was through before " +
              "the next began, so none came between another's load and store.");
  } else {
    lines.say("On " + count(all.cpus) + " CPUs nothing was lost this time, though " +
              count(all.overlapping) + workers + " counted while another did: none of them " +
              "stored between another's load and its store.");
  }
  const std::string turns =
      one.overlapping == 0
          ? "no worker was switched out before it was through, so none came between another's "
            "load and store"
          : count(one.overlapping) + workers +
                " overlapped another in time, taking turns: one switched out mid-count while "
                "another counted. An addition is lost only where a worker is switched out exactly "
                "between its load and its store";
  lines.say("Pinned to one CPU they lost " + count(one.lost) + " of " + count(one.expected) + ": " +
            turns + ".");
  lines.say(
      "Why: two workers load the same total, both store it plus one, and one addition is gone; "
      "a late store takes the total back over all that others added meanwhile. threetally's "
      "fetch_add does the load and the store as one step, and loses none.");
}

void tell_relay(Lines& lines, const RelayFigures& relay, const PipeLimits& limits) {
  if (relay.returned) {
    lines.say("The child's read returned: its write end was not the only one open after all.");
  } else if (relay.wchan.find(pipe_read_word) != std::string::npos) {
    lines.say("The child's read never returned: " + relay.read_for +
              " s after the parent had closed its ends, /proc/CHILD/wchan still read " +
              relay.wchan + ", the kernel's pipe read, asleep.");
  } else {
    lines.say("The child's read had not returned after " + relay.read_for + " s; /proc showed " +
              "its wchan as " + relay.wchan + " (the kernel may hide it).");
  }
  lines.say(
      "Why: a read returns end-of-file only once no write end is open anywhere, and the child "
      "holds one itself. The parent ended it (" +
      relay.ended + "); forkrelay's child closes its write end before it reads.");
  lines.say("A writer with no reader got SIGPIPE: signal " + limits.signal + ", status " +
            count(limits.status) + " in a shell; with SIGPIPE ignored, its write returned " +
            limits.epipe + ".");
  lines.say("A pipe that nobody reads took " + count(limits.capacity) +
            " bytes before the kernel answered EAGAIN" +
            (limits.capacity == limits.pipe_size ? ": its size, as F_GETPIPE_SZ says ("
                                                 : "; F_GETPIPE_SZ says (") +
            count(limits.pipe_size) + "). A blocking writer would wait there.");
}

void tell_tear(Lines& lines, const TearFigures& tear) {
  lines.say(count(tear.copies) + " copies: " + count(tear.torn) + " torn (both letters), " +
            count(tear.one_letter) + " of one letter.");
  if (tear.torn == 0) {
    lines.say("None torn this time: every copy fell between two rewrites. Run it again.");
  }
  lines.say(
      "Why: a torn copy was taken while the writer was halfway through a rewrite. Shared "
      "memory makes the bytes common; nothing in it says when they are whole. A semaphore, "
      "as gatetake and gategive use, is one way to say it.");
}

void tell_race(Lines& lines, const RaceFigures& race, const KillFigures& kill) {
  const std::string sections = count(race.processes) + " processes x " + count(race.rounds) +
                               " rounds = " + count(race.unlocked.expected) + " updates";
  lines.say("Without the semaphore: " + sections + ", the number ended at " +
            count(race.unlocked.final_number) + ", " + count(race.unlocked.lost) + " lost; " +
            count(race.unlocked.overlapping) + " sections overlapped another process's.");
  if (race.unlocked.lost == 0) {
    lines.say("Nothing was lost without it this time: the sections did not meet. Run it again.");
  }
  lines.say("Inside sem_wait and sem_post: " + count(race.locked.final_number) + " of " +
            count(race.locked.expected) + ", " + count(race.locked.lost) + " lost, " +
            count(race.locked.overlapping) + " overlapping" +
            (race.locked.lost == 0 && race.locked.overlapping == 0
                 ? ": one section at a time, so each read sees the last write."
                 : ": the semaphore did not keep the sections apart."));
  lines.say("A holder killed while it held the semaphore (signal " + kill.holder_signal +
            "): the value was " + count(kill.value_held) + " while held and " +
            count(kill.value_after) + " after, since nobody gives it back for the dead.");
  lines.say(kill.next_took ? "Yet the next taker took it, after " + kill.waited +
                                 " s: something gave it back this time."
                           : "The next taker gave up after " + kill.waited +
                                 " s: the semaphore stayed taken. A plain sem_wait, as "
                                 "gatetake's, would have waited for ever.");
}

// The figures of output index (1 on), or the problem that names it.
template <typename Figures>
std::optional<Figures> figures_of(const Parsed<Figures>& parsed, std::string_view lesson,
                                  std::size_t index, std::string& problem) {
  if (!parsed.figures && problem.empty()) {
    problem = std::string(lesson) + " output " + std::to_string(index) + ": " + parsed.problem +
              std::string(not_whole);
  }
  return parsed.figures;
}

}  // namespace

std::string lesson_ask(std::string_view name, Narration narration) {
  Lines lines(narration);
  for (const auto& [lesson, asked] : questions) {
    if (lesson == name) {
      for (const std::string_view line : asked) {
        if (!line.empty()) {
          lines.say(line);
        }
      }
    }
  }
  return lines.take();
}

Told lesson_tell(std::string_view name, const std::vector<std::string>& outputs,
                 Narration narration) {
  Told told;
  Lines lines(narration);
  if (lesson_runs(name) != outputs.size()) {
    told.problem = "lesson " + std::string(name) + " reads " +
                   std::to_string(lesson_runs(name).value_or(0)) + " outputs";
    return told;
  }
  std::string& problem = told.problem;
  if (name == "tallyrace") {
    const auto all = figures_of(parse_tally(outputs[0]), name, 1, problem);
    const auto one = figures_of(parse_tally(outputs[1]), name, 2, problem);
    if (one && one->cpus != 1 && problem.empty()) {
      problem = "tallyrace output 2: cpus " + count(one->cpus) + ", not a run on one CPU";
    }
    if (problem.empty()) {
      tell_tally(lines, *all, *one);
    }
  } else if (name == "relaykeep") {
    const auto relay = figures_of(parse_relay(outputs[0]), name, 1, problem);
    const auto limits = figures_of(parse_limits(outputs[1]), name, 2, problem);
    if (problem.empty()) {
      tell_relay(lines, *relay, *limits);
    }
  } else if (name == "segtear") {
    if (const auto tear = figures_of(parse_tear(outputs[0]), name, 1, problem)) {
      tell_tear(lines, *tear);
    }
  } else {
    const auto race = figures_of(parse_race(outputs[0]), name, 1, problem);
    const auto kill = figures_of(parse_kill(outputs[1]), name, 2, problem);
    if (problem.empty()) {
      tell_race(lines, *race, *kill);
    }
  }
  told.text = problem.empty() ? lines.take() : "";
  return told;
}

}  // namespace lens
