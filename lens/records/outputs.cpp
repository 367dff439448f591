#include "records/outputs.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>
#include <vector>

#include "records/proc.h"

namespace lens {
namespace {

// The most that a figure may be: far above any run's, and far from overflowing a difference.
constexpr long long output_largest_figure = 1'000'000'000'000;
// The longest text value taken from an output.
constexpr std::size_t output_longest_text = 200;

// "\"key: value\"", as an output's line is quoted in a refusal.
std::string output_quoted(std::string_view key, std::string_view value) {
  std::string quoted = "\"";
  quoted.append(key).append(": ").append(value).append("\"");
  return quoted;
}

// The "key: value" lines of one output. Other lines (a sentence, a blank) are passed over.
class OutputFields {
 public:
  explicit OutputFields(std::string_view output) {
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
        return refuse("more than one line " + output_quoted(key, shape));
      }
      found = name == key ? std::optional(value) : found;
    }
    if (!found) {
      return refuse("no line " + output_quoted(key, shape));
    }
    for (const char letter : *found) {
      if (letter < ' ' || letter > '~') {
        return refuse("the line \"" + std::string(key) + "\" holds what is not plain text");
      }
    }
    if (found->size() > output_longest_text) {
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
        parsed < 0 || parsed > output_largest_figure) {
      return refuse(output_quoted(key, *value) + " is not a count");
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
      return refuse(output_quoted(key, *value) + " is not N.NN s");
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
Parsed<Figures> parsed_from(const Figures& figures, const OutputFields& fields) {
  if (!fields.problem().empty()) {
    return Parsed<Figures>{std::nullopt, fields.problem()};
  }
  return Parsed<Figures>{figures, ""};
}

// "lost 3 is not expected 10 - total 5": where a difference printed is not the one computed.
std::string output_difference(std::string_view named, long long printed, std::string_view whole,
                              long long from, std::string_view part, long long taken) {
  return std::string(named) + " " + std::to_string(printed) + " is not " + std::string(whole) +
         " " + std::to_string(from) + " - " + std::string(part) + " " + std::to_string(taken);
}

std::string output_count(long long figure) {
  return std::to_string(figure);
}

}  // namespace

Output read_output(const std::string& path) {
  Output output;
  RegularFile file = read_regular(path, output_limit);
  if (file.error != 0) {
    output.missing = file.error == ENOENT;
    output.problem = std::string("cannot read: ") + std::strerror(file.error);
  } else if (!file.regular) {
    output.problem = "not a regular file (a FIFO, a device or a folder): not read";
  } else if (file.text->size() > output_limit) {
    output.problem = "too long (more than " + output_count(static_cast<long long>(output_limit)) +
                     " bytes): not a lesson's output";
  } else {
    output.text = std::move(*file.text);
  }
  return output;
}

Parsed<TallyFigures> parse_tally(std::string_view output) {
  OutputFields fields(output);
  TallyFigures figures;
  figures.workers = fields.number("workers").value_or(0);
  figures.cpus = fields.number("cpus").value_or(0);
  figures.expected = fields.number("expected").value_or(0);
  figures.total = fields.number("total").value_or(0);
  figures.lost = fields.number("lost").value_or(0);
  figures.overlapping = fields.number("overlapping").value_or(0);
  if (!fields.problem().empty()) {
    return parsed_from(figures, fields);
  }
  if (figures.workers == 0) {
    fields.refuse("\"workers: 0\": a run has at least one worker");
  } else if (figures.cpus == 0) {
    fields.refuse("\"cpus: 0\": a run has at least one CPU");
  } else if (figures.lost != figures.expected - figures.total) {
    fields.refuse(output_difference("lost", figures.lost, "expected", figures.expected, "total",
                                    figures.total));
  } else if (figures.overlapping > figures.workers) {
    fields.refuse("overlapping " + output_count(figures.overlapping) + " is more than " +
                  output_count(figures.workers) + " workers");
  }
  return parsed_from(figures, fields);
}

Parsed<RelayFigures> parse_relay(std::string_view output) {
  OutputFields fields(output);
  RelayFigures figures;
  fields.number("child pid");
  figures.wchan = fields.text("child wchan", "WORD").value_or("");
  figures.read_for = fields.seconds("child read for").value_or("");
  figures.ended = fields.text("child ended", "how").value_or("");
  figures.returned = output.find("child: read returned") != std::string_view::npos;
  return parsed_from(figures, fields);
}

Parsed<PipeLimits> parse_limits(std::string_view output) {
  OutputFields fields(output);
  PipeLimits limits;
  limits.signal = fields.text("sigpipe signal", "N (TEXT)").value_or("");
  limits.status = fields.number("sigpipe status").value_or(0);
  limits.epipe = fields.text("epipe write", "-1 (TEXT)").value_or("");
  limits.capacity = fields.number("capacity").value_or(0);
  limits.pipe_size = fields.number("F_GETPIPE_SZ").value_or(0);
  return parsed_from(limits, fields);
}

Parsed<TearFigures> parse_tear(std::string_view output) {
  OutputFields fields(output);
  TearFigures figures;
  figures.copies = fields.number("copies").value_or(0);
  figures.one_letter = fields.number("one letter").value_or(0);
  figures.torn = fields.number("torn").value_or(0);
  if (fields.problem().empty() && figures.one_letter + figures.torn != figures.copies) {
    fields.refuse("one letter " + std::to_string(figures.one_letter) + " + torn " +
                  std::to_string(figures.torn) + " is not copies " +
                  std::to_string(figures.copies));
  }
  return parsed_from(figures, fields);
}

namespace {

RaceHalf output_race_half(OutputFields& fields, const std::string& label, long long sections) {
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
    fields.refuse(output_difference(label + " lost", half.lost, "expected", half.expected, "final",
                                    half.final_number));
  } else if (half.overlapping > sections) {
    fields.refuse(label + " overlapping " + std::to_string(half.overlapping) + " is more than " +
                  std::to_string(sections) + " sections");
  }
  return half;
}

}  // namespace

Parsed<RaceFigures> parse_race(std::string_view output) {
  OutputFields fields(output);
  RaceFigures figures;
  figures.processes = fields.number("processes").value_or(0);
  figures.rounds = fields.number("rounds").value_or(0);
  if (fields.problem().empty() && figures.processes == 0) {
    fields.refuse("\"processes: 0\": a run has at least one process");
  } else if (fields.problem().empty() && figures.rounds == 0) {
    fields.refuse("\"rounds: 0\": a run has at least one round");
  } else if (fields.problem().empty() &&
             figures.rounds > output_largest_figure / figures.processes) {
    // Checked before the product is taken: it could not be held in a long long.
    fields.refuse("processes " + output_count(figures.processes) + " x rounds " +
                  output_count(figures.rounds) + " is more sections than any run has");
  }
  const long long sections = fields.problem().empty() ? figures.processes * figures.rounds : 0;
  figures.unlocked = output_race_half(fields, "unlocked", sections);
  figures.locked = output_race_half(fields, "locked", sections);
  return parsed_from(figures, fields);
}

Parsed<KillFigures> parse_kill(std::string_view output) {
  OutputFields fields(output);
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
  return parsed_from(figures, fields);
}

}  // namespace lens
