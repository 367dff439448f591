#include "narrate/lessons.h"

#include <array>
#include <optional>

#include "records/outputs.h"

namespace lens {
namespace {

constexpr std::string_view lesson_not_whole = ": not a whole run of the lesson";
// A part of the names that wchan shows for the kernel's pipe read: pipe_read, anon_pipe_read.
constexpr std::string_view lesson_pipe_read = "pipe_read";

std::string lesson_count(long long figure) {
  return std::to_string(figure);
}

void tell_tally(Narrator& narrator, const TallyFigures& all, const TallyFigures& one) {
  const std::string of = " of " + lesson_count(all.expected) + " additions";
  const std::string workers = " of the " + lesson_count(all.workers) + " workers";
  if (all.cpus == 1) {
    narrator.say("This machine has one CPU, so the first run took turns too: it lost " +
                 lesson_count(all.lost) + of + ".");
  } else if (all.lost > 0) {
    narrator.say("On " + lesson_count(all.cpus) + " CPUs the workers lost " +
                 lesson_count(all.lost) + of + ": the total was " + lesson_count(all.total) + ". " +
                 lesson_count(all.overlapping) + workers + " counted while another did.");
  } else if (all.overlapping == 0) {
    narrator.say(
        "On " + lesson_count(all.cpus) + " CPUs nothing was lost this time, and the run shows " +
        "why: no worker's counting overlapped another's in time. Each was through before " +
        "the next began, so none came between another's load and store.");
  } else {
    narrator.say("On " + lesson_count(all.cpus) + " CPUs nothing was lost this time, though " +
                 lesson_count(all.overlapping) + workers +
                 " counted while another did: none of them " +
                 "stored between another's load and its store.");
  }
  const std::string turns =
      one.overlapping == 0
          ? "no worker was switched out before it was through, so none came between another's "
            "load and store"
          : lesson_count(one.overlapping) + workers +
                " overlapped another in time, taking turns: one switched out mid-count while "
                "another counted. An addition is lost only where a worker is switched out exactly "
                "between its load and its store";
  narrator.say("Pinned to one CPU they lost " + lesson_count(one.lost) + " of " +
               lesson_count(one.expected) + ": " + turns + ".");
  narrator.say(
      "Why: two workers load the same total, both store it plus one, and one addition is gone; "
      "a late store takes the total back over all that others added meanwhile. threetally's "
      "fetch_add does the load and the store as one step, and loses none.");
}

void tell_relay(Narrator& narrator, const RelayFigures& relay, const PipeLimits& limits) {
  if (relay.returned) {
    narrator.say("The child's read returned: its write end was not the only one open after all.");
  } else if (relay.wchan.find(lesson_pipe_read) != std::string::npos) {
    narrator.say("The child's read never returned: " + relay.read_for +
                 " s after the parent had closed its ends, /proc/CHILD/wchan still read " +
                 relay.wchan + ", the kernel's pipe read, asleep.");
  } else {
    narrator.say("The child's read had not returned after " + relay.read_for + " s; /proc showed " +
                 "its wchan as " + relay.wchan + " (the kernel may hide it).");
  }
  narrator.say(
      "Why: a read returns end-of-file only once no write end is open anywhere, and the child "
      "holds one itself. The parent ended it (" +
      relay.ended + "); forkrelay's child closes its write end before it reads.");
  narrator.say("A writer with no reader got SIGPIPE: signal " + limits.signal + ", status " +
               lesson_count(limits.status) +
               " in a shell; with SIGPIPE ignored, its write returned " + limits.epipe + ".");
  narrator.say("A pipe that nobody reads took " + lesson_count(limits.capacity) +
               " bytes before the kernel answered EAGAIN" +
               (limits.capacity == limits.pipe_size ? ": its size, as F_GETPIPE_SZ says ("
                                                    : "; F_GETPIPE_SZ says (") +
               lesson_count(limits.pipe_size) + "). A blocking writer would wait there.");
}

void tell_tear(Narrator& narrator, const TearFigures& tear) {
  narrator.say(lesson_count(tear.copies) + " copies: " + lesson_count(tear.torn) +
               " torn (both letters), " + lesson_count(tear.one_letter) + " of one letter.");
  if (tear.torn == 0) {
    narrator.say("None torn this time: every copy fell between two rewrites. Run it again.");
  }
  narrator.say(
      "Why: a torn copy was taken while the writer was halfway through a rewrite. Shared "
      "memory makes the bytes common; nothing in it says when they are whole. A semaphore, "
      "as gatetake and gategive use, is one way to say it.");
}

void tell_race(Narrator& narrator, const RaceFigures& race, const KillFigures& kill) {
  const std::string sections = lesson_count(race.processes) + " processes x " +
                               lesson_count(race.rounds) +
                               " rounds = " + lesson_count(race.unlocked.expected) + " updates";
  narrator.say("Without the semaphore: " + sections + ", the number ended at " +
               lesson_count(race.unlocked.final_number) + ", " + lesson_count(race.unlocked.lost) +
               " lost; " + lesson_count(race.unlocked.overlapping) +
               " sections overlapped another process's.");
  if (race.unlocked.lost == 0) {
    narrator.say("Nothing was lost without it this time: the sections did not meet. Run it again.");
  }
  narrator.say("Inside sem_wait and sem_post: " + lesson_count(race.locked.final_number) + " of " +
               lesson_count(race.locked.expected) + ", " + lesson_count(race.locked.lost) +
               " lost, " + lesson_count(race.locked.overlapping) + " overlapping" +
               (race.locked.lost == 0 && race.locked.overlapping == 0
                    ? ": one section at a time, so each read sees the last write."
                    : ": the semaphore did not keep the sections apart."));
  narrator.say("A holder killed while it held the semaphore (signal " + kill.holder_signal +
               "): the value was " + lesson_count(kill.value_held) + " while held and " +
               lesson_count(kill.value_after) + " after, since nobody gives it back for the dead.");
  narrator.say(kill.next_took ? "Yet the next taker took it, after " + kill.waited +
                                    " s: something gave it back this time."
                              : "The next taker gave up after " + kill.waited +
                                    " s: the semaphore stayed taken. A plain sem_wait, as "
                                    "gatetake's, would have waited for ever.");
}

// The figures of output index (1 on), or the problem that names it.
template <typename Figures>
std::optional<Figures> lesson_figures(const Parsed<Figures>& parsed, std::string_view lesson,
                                      std::size_t index, std::string& problem) {
  if (!parsed.figures && problem.empty()) {
    problem = std::string(lesson) + " output " + std::to_string(index) + ": " + parsed.problem +
              std::string(lesson_not_whole);
  }
  return parsed.figures;
}

// Each reads its lesson's outputs (as many as its row says) and, where they are whole runs of
// it, says what they measured: "" once told, or the problem, nothing said.
std::string tell_tallyrace(const std::vector<std::string>& outputs, Narrator& narrator) {
  std::string problem;
  const auto all = lesson_figures(parse_tally(outputs[0]), "tallyrace", 1, problem);
  const auto one = lesson_figures(parse_tally(outputs[1]), "tallyrace", 2, problem);
  if (one && one->cpus != 1 && problem.empty()) {
    problem = "tallyrace output 2: cpus " + lesson_count(one->cpus) + ", not a run on one CPU";
  }
  if (problem.empty()) {
    tell_tally(narrator, *all, *one);
  }
  return problem;
}

std::string tell_relaykeep(const std::vector<std::string>& outputs, Narrator& narrator) {
  std::string problem;
  const auto relay = lesson_figures(parse_relay(outputs[0]), "relaykeep", 1, problem);
  const auto limits = lesson_figures(parse_limits(outputs[1]), "relaykeep", 2, problem);
  if (problem.empty()) {
    tell_relay(narrator, *relay, *limits);
  }
  return problem;
}

std::string tell_segtear(const std::vector<std::string>& outputs, Narrator& narrator) {
  std::string problem;
  if (const auto tear = lesson_figures(parse_tear(outputs[0]), "segtear", 1, problem)) {
    tell_tear(narrator, *tear);
  }
  return problem;
}

std::string tell_gaterace(const std::vector<std::string>& outputs, Narrator& narrator) {
  std::string problem;
  const auto race = lesson_figures(parse_race(outputs[0]), "gaterace", 1, problem);
  const auto kill = lesson_figures(parse_kill(outputs[1]), "gaterace", 2, problem);
  if (problem.empty()) {
    tell_race(narrator, *race, *kill);
  }
  return problem;
}

// A lesson: its name, how many runs' outputs its tell reads, the question asked before its runs
// (what do you expect?), and its tell.
struct LessonRow {
  std::string_view name;
  std::size_t runs;
  std::array<std::string_view, 3> question;  // unused lines empty
  std::string (*tell)(const std::vector<std::string>& outputs, Narrator& narrator);
};

// The lessons, in the tour's order.
constexpr std::array<LessonRow, 4> lesson_table{{
    {"tallyrace",
     2,
     {"Sixteen threads count the 3s of one table into one shared total, as threetally does, all "
      "starting together from one start line; but each addition is a load and then a store, "
      "not one fetch_add.",
      "What do you expect the total to be on all CPUs? And pinned to one CPU (taskset -c N)?",
      "Will additions be lost, and where more of them?"},
     tell_tallyrace},
    {"relaykeep",
     2,
     {"The parent closes both ends of its pipe without writing; the child reads, but keeps its "
      "own write end open.",
      "What do you expect the child's read to return, and when?",
      "Then: what happens to a writer whose reader has gone, and how much does a pipe hold?"},
     tell_relaykeep},
    {"segtear",
     1,
     {"A child rewrites a shared segment over and over, all of it one letter, then all of it "
      "the other; the parent copies the segment again and again, with no lock between them.",
      "How many copies do you expect to hold both letters?", ""},
     tell_segtear},
    {"gaterace",
     2,
     {"Four processes each read a shared number, pause a moment and write it back plus one: "
      "first without the semaphore, then inside sem_wait and sem_post.",
      "How many updates do you expect to be lost each time?",
      "And if a process is killed while it holds the semaphore: what does the next taker get?"},
     tell_gaterace},
}};

const LessonRow* lesson_row(std::string_view name) {
  for (const LessonRow& lesson : lesson_table) {
    if (lesson.name == name) {
      return &lesson;
    }
  }
  return nullptr;
}

}  // namespace

std::optional<std::size_t> lesson_runs(std::string_view name) {
  const LessonRow* lesson = lesson_row(name);
  return lesson != nullptr ? std::optional(lesson->runs) : std::nullopt;
}

bool lesson_ask(std::string_view name, Narrator& narrator) {
  const LessonRow* lesson = lesson_row(name);
  if (lesson == nullptr) {
    return false;
  }
  for (const std::string_view line : lesson->question) {
    if (!line.empty()) {
      narrator.say(line);
    }
  }
  return true;
}

std::string lesson_tell(std::string_view name, const std::vector<std::string>& outputs,
                        Narrator& narrator) {
  const LessonRow* lesson = lesson_row(name);
  if (lesson == nullptr) {
    return "there is no lesson " + std::string(name);
  }
  if (outputs.size() != lesson->runs) {
    return "lesson " + std::string(name) + " reads " + std::to_string(lesson->runs) + " outputs";
  }
  return lesson->tell(outputs, narrator);
}

}  // namespace lens
