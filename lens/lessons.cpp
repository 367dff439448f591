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
// The most that a figure may be: far above any run's, and far from overflowing a difference.
constexpr long long largest_figure = 1'000'000'000'000;
// The longest text value taken from an output.
constexpr std::size_t longest_text = 200;
constexpr std::string_view not_whole = ": not a whole run of the lesson";
constexpr std::string_view pipe_read_word = "pipe_read";

// The "key: value" lines of one output. Other lines (a sentence, a blank) are passed over.
class Fields {
 public:
  explicit Fields(std::string_view output) {
    while (!output.empty()) {
      const std::size_t end = output.find('\n');
      const std::string_view line = output.substr(0, end);
      output.remove_prefix(end == std::string_view::npos ? output.size() : end + 1);
      const std::size_t colon = line.find(": ");
      if (colon != std::string_view::npos && colon > 0) {
        lines_.emplace_back(line.substr(0, colon), line.substr(colon + 2));
      }
    }
  }

  // The value of the one line key, printable text only; nothing (and a problem) otherwise.
  std::optional<std::string_view> text(std::string_view key, std::string_view shape = "...") {
    std::optional<std::string_view> found;
    for (const auto& [name, value] : lines_) {
      if (name == key && found) {
        return refuse("more than one line \"" + std::string(key) + ": " + std::string(shape) +
                      "\"");
      }
      found = name == key ? std::optional(value) : found;
    }
    if (!found) {
      return refuse("no line \"" + std::string(key) + ": " + std::string(shape) + "\"");
    }
    for (const char letter : *found) {
      if (letter < ' ' || letter > '~') {
        return refuse("the line \"" + std::string(key) + "\" holds what is not plain text");
      }
    }
    if (found->size() > longest_text) {
      return refuse("the line \"" + std::string(key) + "\" is too long");
    }
    return found;
  }

  // A whole number from 0 up, as the lessons print their figures.
  std::optional<long long> number(std::string_view key) {
    const auto value = text(key, "N");
    if (!value) {
      return std::nullopt;
    }
    long long parsed = 0;
    const auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), parsed);
    if (value->empty() || error != std::errc{} || end != value->data() + value->size() ||
        parsed < 0 || parsed > largest_figure) {
      return refuse("\"" + std::string(key) + ": " + std::string(*value) + "\" is not a count");
    }
    return parsed;
  }

  // Seconds as "N.NN s": the digits, "0.50".
  std::optional<std::string> seconds(std::string_view key) {
    const auto value = text(key, "N.NN s");
    constexpr std::string_view unit = " s";
    if (!value) {
      return std::nullopt;
    }
    std::string_view digits = *value;
    const bool with_unit = digits.size() > unit.size() && digits.ends_with(unit);
    digits.remove_suffix(with_unit ? unit.size() : 0);
    const std::size_t point = digits.find('.');
    const bool shaped = with_unit && point != 0 && point != std::string_view::npos &&
                        point + 1 < digits.size() &&
                        digits.find_first_not_of("0123456789.") == std::string_view::npos &&
                        digits.find('.', point + 1) == std::string_view::npos;
    if (!shaped) {
      return refuse("\"" + std::string(key) + ": " + std::string(*value) + "\" is not N.NN s");
    }
    return std::string(digits);
  }

  const std::string& problem() const {
    return problem_;
  }

  // Marks the output as refused, keeping the first reason.
  std::nullopt_t refuse(std::string why) {
    if (problem_.empty()) {
      problem_ = std::move(why);
    }
    return std::nullopt;
  }

 private:
  std::vector<std::pair<std::string_view, std::string_view>> lines_;
  std::string problem_;
};

template <typename Figures>
Parsed<Figures> result(const Figures& figures, const Fields& fields) {
  if (!fields.problem().empty()) {
    return Parsed<Figures>{std::nullopt, fields.problem()};
  }
  return Parsed<Figures>{figures, ""};
}

// "lost 3 is not expected 10 - total 5": where a difference printed is not the one computed.
std::string not_difference(std::string_view named, long long printed, std::string_view whole,
                           long long from, std::string_view part, long long taken) {
  return std::string(named) + " " + std::to_string(printed) + " is not " + std::string(whole) +
         " " + std::to_string(from) + " - " + std::string(part) + " " + std::to_string(taken);
}

std::string count(long long figure) {
  return std::to_string(figure);
}

}  // namespace

Output read_output(const std::string& path) {
  Output output;
  // O_NONBLOCK: opening a FIFO does not wait for a writer; it is refused below, unread.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    output.missing = errno == ENOENT;
    output.problem = std::string("cannot read: ") + std::strerror(errno);
    return output;
  }
  struct stat found {};
  if (::fstat(fd, &found) != 0) {
    output.problem = std::string("cannot read: ") + std::strerror(errno);
  } else if (!S_ISREG(found.st_mode)) {
    output.problem = "not a regular file (a FIFO, a device or a folder): not read";
  }
  // One byte more than the limit tells an output of exactly output_limit bytes from a longer one.
  std::string text(output_limit + 1, '\0');
  std::size_t got = 0;
  while (output.problem.empty() && got < text.size()) {
    const ssize_t part = ::read(fd, text.data() + got, text.size() - got);
    if (part < 0 && errno == EINTR) {
      continue;
    }
    if (part < 0) {
      output.problem = std::string("cannot read: ") + std::strerror(errno);
    } else if (part == 0) {
      break;
    } else {
      got += static_cast<std::size_t>(part);
    }
  }
  ::close(fd);
  if (output.problem.empty() && got > output_limit) {
    output.problem = "too long (more than " + count(static_cast<long long>(output_limit)) +
                     " bytes): not a lesson's output";
  }
  if (output.problem.empty()) {
    text.resize(got);
    output.text = std::move(text);
  }
  return output;
}

Parsed<TallyFigures> parse_tally(std::string_view output) {
  Fields fields(output);
  TallyFigures figures;
  figures.workers = fields.number("workers").value_or(0);
  figures.cpus = fields.number("cpus").value_or(0);
  figures.expected = fields.number("expected").value_or(0);
  figures.total = fields.number("total").value_or(0);
  figures.lost = fields.number("lost").value_or(0);
  figures.overlapping = fields.number("overlapping").value_or(0);
  if (!fields.problem().empty()) {
    return result(figures, fields);
  }
  if (figures.workers == 0) {
    fields.refuse("\"workers: 0\": a run has at least one worker");
  } else if (figures.cpus == 0) {
    fields.refuse("\"cpus: 0\": a run has at least one CPU");
  } else if (figures.lost != figures.expected - figures.total) {
    fields.refuse(
        not_difference("lost", figures.lost, "expected", figures.expected, "total", figures.total));
  } else if (figures.overlapping > figures.workers) {
    fields.refuse("overlapping " + count(figures.overlapping) + " is more than " +
                  count(figures.workers) + " workers");
  }
  return result(figures, fields);
}

Parsed<RelayFigures> parse_relay(std::string_view output) {
  Fields fields(output);
  RelayFigures figures;
  fields.number("child pid");
  figures.wchan = fields.text("child wchan", "WORD").value_or("");
  figures.read_for = fields.seconds("child read for").value_or("");
  figures.ended = fields.text("child ended", "how").value_or("");
  figures.returned = output.find("child: read returned") != std::string_view::npos;
  return result(figures, fields);
}

Parsed<PipeLimits> parse_limits(std::string_view output) {
  Fields fields(output);
  PipeLimits limits;
  limits.signal = fields.text("sigpipe signal", "N (TEXT)").value_or("");
  limits.status = fields.number("sigpipe status").value_or(0);
  limits.epipe = fields.text("epipe write", "-1 (TEXT)").value_or("");
  limits.capacity = fields.number("capacity").value_or(0);
  limits.pipe_size = fields.number("F_GETPIPE_SZ").value_or(0);
  return result(limits, fields);
}

Parsed<TearFigures> parse_tear(std::string_view output) {
  Fields fields(output);
  TearFigures figures;
  figures.copies = fields.number("copies").value_or(0);
  figures.one_letter = fields.number("one letter").value_or(0);
  figures.torn = fields.number("torn").value_or(0);
  if (fields.problem().empty() && figures.one_letter + figures.torn != figures.copies) {
    fields.refuse("one letter " + std::to_string(figures.one_letter) + " + torn " +
                  std::to_string(figures.torn) + " is not copies " +
                  std::to_string(figures.copies));
  }
  return result(figures, fields);
}

namespace {

RaceHalf race_half(Fields& fields, const std::string& label, long long sections) {
  RaceHalf half;
  half.expected = fields.number(label + " expected").value_or(0);
  half.final_number = fields.number(label + " final").value_or(0);
  half.lost = fields.number(label + " lost").value_or(0);
  half.overlapping = fields.number(label + " overlapping").value_or(0);
  if (!fields.problem().empty()) {
    return half;
  }
  if (half.expected != sections) {
    fields.refuse(label + " expected " + std::to_string(half.expected) + " is not processes x " +
                  "rounds " + std::to_string(sections));
  } else if (half.lost != half.expected - half.final_number) {
    fields.refuse(not_difference(label + " lost", half.lost, "expected", half.expected, "final",
                                 half.final_number));
  } else if (half.overlapping > sections) {
    fields.refuse(label + " overlapping " + std::to_string(half.overlapping) + " is more than " +
                  std::to_string(sections) + " sections");
  }
  return half;
}

}  // namespace

Parsed<RaceFigures> parse_race(std::string_view output) {
  Fields fields(output);
  RaceFigures figures;
  figures.processes = fields.number("processes").value_or(0);
  figures.rounds = fields.number("rounds").value_or(0);
  if (fields.problem().empty() && figures.processes == 0) {
    fields.refuse("\"processes: 0\": a run has at least one process");
  } else if (fields.problem().empty() && figures.rounds == 0) {
    fields.refuse("\"rounds: 0\": a run has at least one round");
  } else if (fields.problem().empty() && figures.rounds > largest_figure / figures.processes) {
    // Checked before the product is taken: it could not be held in a long long.
    fields.refuse("processes " + count(figures.processes) + " x rounds " + count(figures.rounds) +
                  " is more sections than any run has");
  }
  const long long sections = fields.problem().empty() ? figures.processes * figures.rounds : 0;
  figures.unlocked = race_half(fields, "unlocked", sections);
  figures.locked = race_half(fields, "locked", sections);
  return result(figures, fields);
}

Parsed<KillFigures> parse_kill(std::string_view output) {
  Fields fields(output);
  KillFigures figures;
  figures.value_held = fields.number("value while held").value_or(0);
  figures.holder_signal = fields.text("holder signal", "N (TEXT)").value_or("");
  figures.value_after = fields.number("value after kill").value_or(0);
  const std::string_view next_taker = fields.text("next taker", "TEXT").value_or("");
  figures.next_took = next_taker == next_taker_took;
  figures.waited = fields.seconds("next taker waited").value_or("");
  if (fields.problem().empty() && !figures.next_took && next_taker != next_taker_gave_up) {
    fields.refuse("\"next taker: " + std::string(next_taker) + "\" is neither \"" +
                  std::string(next_taker_gave_up) + "\" nor \"" + std::string(next_taker_took) +
                  "\"");
  }
  return result(figures, fields);
}

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
