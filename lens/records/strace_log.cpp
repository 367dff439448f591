#include "records/strace_log.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace lens {
namespace {

// Reads the decimal number at the start of text, and drops it from text.
template <typename Number>
std::optional<Number> take_number(std::string_view& text) {
  Number value{};
  const auto [rest, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{}) {
    return std::nullopt;
  }
  text.remove_prefix(static_cast<std::size_t>(rest - text.data()));
  return value;
}

// "1796723348.819483" (seconds, then up to six digits of fraction) in microseconds.
std::optional<Micros> parse_seconds(std::string_view text) {
  const auto seconds = take_number<Micros>(text);
  if (!seconds || *seconds < 0 || *seconds > std::numeric_limits<Micros>::max() / 2000000) {
    return std::nullopt;
  }
  Micros micros = *seconds * 1000000;
  if (text.empty()) {
    return micros;
  }
  if (text.front() != '.') {
    return std::nullopt;
  }
  text.remove_prefix(1);
  Micros scale = 100000;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') {
      return std::nullopt;
    }
    micros += (digit - '0') * scale;
    scale /= 10;
  }
  return micros;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') {
    text.remove_prefix(1);
  }
  while (!text.empty() && text.back() == ' ') {
    text.remove_suffix(1);
  }
  return text;
}

// " <0.000123>" at the end of a call's line: the time the call took, dropped from tail. Nothing
// (and tail kept) where there is none; a duration over a day is dropped but not taken.
std::optional<Micros> take_duration(std::string_view& tail) {
  if (tail.empty() || tail.back() != '>') {
    return std::nullopt;
  }
  const auto open = tail.rfind(" <");
  if (open == std::string_view::npos) {
    return std::nullopt;
  }
  const auto took = parse_seconds(tail.substr(open + 2, tail.size() - open - 3));
  if (!took) {
    return std::nullopt;
  }
  tail = tail.substr(0, open);
  return *took <= a_day ? took : std::nullopt;
}

// The part of a call's line after its name: "args) = result <seconds>", or the same after
// "<... name resumed>". Fills in the arguments, the result, the text and the end of the call.
void finish(Call& call, std::string_view tail, Micros line_time) {
  const std::optional<Micros> took = take_duration(tail);
  call.text += tail;
  // The result follows the last "= " that comes after the closing parenthesis of the arguments.
  std::size_t equals = tail.rfind("= ");
  while (equals != std::string_view::npos) {
    const std::string_view before = trim(tail.substr(0, equals));
    if (!before.empty() && before.back() == ')') {
      break;
    }
    equals = equals == 0 ? std::string_view::npos : tail.rfind("= ", equals - 1);
  }
  if (equals == std::string_view::npos) {
    call.args += tail;
    call.result.assign(1, '?');
  } else {
    std::string_view args = trim(tail.substr(0, equals));
    args.remove_suffix(1);  // the closing parenthesis
    call.args += args;
    call.result = std::string(trim(tail.substr(equals + 2)));
  }
  call.returned = call.result != "?";
  // Both times lie within a day of the log's first line, and took within a day: no overflow.
  call.end =
      took ? call.begin + *took : std::max(call.begin, call.returned ? line_time : call.begin);
}

// A call that never came back: its process ended inside it, at end.
void abandon(Call& call, Micros end) {
  call.returned = false;
  call.result.assign(1, '?');
  call.end = std::max(call.begin, end);
}

// One line of strace's, its pid and time taken off.
struct Line {
  int pid = 0;
  Micros time = 0;
  std::string_view rest;
};

// "PID TIME rest", or "TIME rest" where strace followed only one process.
std::optional<Line> split_line(std::string_view text) {
  const std::size_t first_space = text.find(' ');
  if (first_space == std::string_view::npos || text.front() == ' ') {
    return std::nullopt;
  }
  Line line;
  if (text.substr(0, first_space).find('.') == std::string_view::npos) {
    std::string_view pid_text = text.substr(0, first_space);
    const auto number = take_number<int>(pid_text);
    if (!number || !pid_text.empty()) {
      return std::nullopt;
    }
    line.pid = *number;
    text = trim(text.substr(first_space));
  }
  const std::size_t time_end = text.find(' ');
  if (time_end == std::string_view::npos) {
    return std::nullopt;
  }
  const auto time = parse_seconds(text.substr(0, time_end));
  if (!time) {
    return std::nullopt;
  }
  line.time = *time;
  line.rest = text.substr(time_end + 1);
  return line;
}

bool ends_with(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// Reads a log line by line, in one pass.
class Parser {
 public:
  void read(std::string_view text);
  Log done();

 private:
  void end(const Line& line);
  void resume(const Line& line);
  void enter(const Line& line);

  Log log_;
  bool seen_any_ = false;
  std::unordered_map<int, std::size_t> open_;  // by pid: where its unfinished call is in calls
  std::unordered_set<int> known_;              // the pids seen so far
  std::optional<std::size_t> dump_to_;         // the call that a hex-dump line goes under
};

void Parser::read(std::string_view text) {
  if (text.substr(0, 3) == " | ") {
    if (dump_to_) {
      log_.calls[*dump_to_].dump.emplace_back(text);
    }
    return;
  }
  dump_to_.reset();
  const auto line = split_line(text);
  if (!line) {
    return;
  }
  if (!seen_any_) {
    log_.main_pid = line->pid;
    log_.first = line->time;
    log_.last = line->time;
    seen_any_ = true;
  } else if (line->time < log_.first - a_day || line->time > log_.first + a_day) {
    return;  // no time of this run
  }
  log_.last = std::max(log_.last, line->time);
  if (known_.insert(line->pid).second) {
    log_.pids.push_back(line->pid);
  }
  if (line->rest.substr(0, 4) == "+++ ") {
    end(*line);
  } else if (line->rest.substr(0, 5) == "<... ") {
    resume(*line);
  } else if (line->rest.substr(0, 4) != "--- ") {  // not a signal delivered
    enter(*line);
  }
}

void Parser::end(const Line& line) {
  std::string_view how = line.rest.substr(4);
  if (ends_with(how, " +++")) {
    how.remove_suffix(4);
  }
  log_.exits.push_back(Exit{line.pid, line.time, std::string(how)});
  // A call still open never returns: the process ended inside it.
  if (const auto pending = open_.find(line.pid); pending != open_.end()) {
    abandon(log_.calls[pending->second], line.time);
    open_.erase(pending);
  }
}

void Parser::resume(const Line& line) {
  const std::size_t resumed = line.rest.find(" resumed>");
  const auto pending = open_.find(line.pid);
  if (resumed == std::string_view::npos || pending == open_.end()) {
    return;  // the return of a call whose entry the log does not show
  }
  const std::size_t place = pending->second;
  open_.erase(pending);
  finish(log_.calls[place], line.rest.substr(resumed + 9), line.time);
  dump_to_ = place;
}

void Parser::enter(const Line& line) {
  std::string_view text = line.rest;
  const std::size_t open = text.find('(');
  if (open == std::string_view::npos || open == 0) {
    return;
  }
  // A call that the same process left open and never resumed never returned.
  if (const auto pending = open_.find(line.pid); pending != open_.end()) {
    abandon(log_.calls[pending->second], line.time);
    open_.erase(pending);
  }
  Call& call = log_.calls.emplace_back();
  call.pid = line.pid;
  call.name = std::string(text.substr(0, open));
  call.begin = line.time;
  call.end = line.time;
  dump_to_ = log_.calls.size() - 1;
  constexpr std::string_view cut = "<unfinished ...>";
  if (ends_with(text, cut)) {
    text.remove_suffix(cut.size());
    // strace puts one space before the mark; a space before that is the arguments' own.
    call.text = text.substr(0, ends_with(text, " ") ? text.size() - 1 : text.size());
    call.args = std::string(trim(text.substr(open + 1)));
    open_[line.pid] = log_.calls.size() - 1;
    return;
  }
  call.text = text.substr(0, open + 1);
  finish(call, text.substr(open + 1), line.time);
}

Log Parser::done() {
  // Calls that never returned (the log ends inside them) end with the log.
  for (const auto& [pid, place] : open_) {
    abandon(log_.calls[place], log_.last);
  }
  open_.clear();
  // Lines come in the order of time; where they did not, the calls are put in that order.
  const auto by_entry = [](const Call& one, const Call& other) { return one.begin < other.begin; };
  if (!std::is_sorted(log_.calls.begin(), log_.calls.end(), by_entry)) {
    std::stable_sort(log_.calls.begin(), log_.calls.end(), by_entry);
  }
  log_.index();
  return std::move(log_);
}

}  // namespace

std::optional<long long> Call::number() const {
  std::string_view digits = result;
  int base = 10;
  if (digits.substr(0, 2) == "0x") {
    digits.remove_prefix(2);
    base = 16;
  }
  long long value = 0;
  const char* const stop = digits.data() + digits.size();
  const auto [rest, error] = std::from_chars(digits.data(), stop, value, base);
  if (error != std::errc{} || (rest != stop && *rest != ' ')) {
    return std::nullopt;
  }
  return value;
}

bool Call::succeeded() const {
  return returned && !result.empty() && result.front() != '-' && result.front() != '?';
}

void Log::index() {
  threads_.clear();
  for (std::size_t place = 0; place < calls.size(); ++place) {
    Thread& thread = threads_[calls[place].pid];
    thread.calls.push_back(place);
    thread.appears = std::min(thread.appears.value_or(calls[place].begin), calls[place].begin);
  }
  for (const Exit& exit : exits) {
    Thread& thread = threads_[exit.pid];
    thread.appears = std::min(thread.appears.value_or(exit.at), exit.at);
    if (!thread.ended) {
      thread.ended = exit.at;
    }
  }
}

const Log::Thread* Log::thread(int pid) const {
  const auto found = threads_.find(pid);
  return found == threads_.end() ? nullptr : &found->second;
}

std::optional<Micros> Log::appears(int pid) const {
  const Thread* found = thread(pid);
  return found != nullptr ? found->appears : std::nullopt;
}

std::optional<Micros> Log::ended(int pid) const {
  const Thread* found = thread(pid);
  return found != nullptr ? found->ended : std::nullopt;
}

const std::vector<std::size_t>& Log::places_of(int pid) const {
  static const std::vector<std::size_t> none;
  const Thread* found = thread(pid);
  return found != nullptr ? found->calls : none;
}

std::vector<Call> Log::calls_of(int pid, std::string_view name) const {
  std::vector<Call> found;
  for (const std::size_t place : places_of(pid)) {
    if (name.empty() || calls[place].name == name) {
      found.push_back(calls[place]);
    }
  }
  return found;
}

Log parse_log(std::istream& in) {
  Parser parser;
  std::string line;
  while (std::getline(in, line)) {
    parser.read(line);
  }
  return parser.done();
}

std::optional<Log> read_log(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    return std::nullopt;
  }
  Log log = parse_log(file);
  if (log.calls.empty()) {
    return std::nullopt;
  }
  return log;
}

}  // namespace lens
