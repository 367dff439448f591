#include "strace_log.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <map>

namespace timeline {
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

// The part of a call's line after its name: "args) = result <seconds>", or the same after
// "<... name resumed>". Fills in the arguments, the result and the end of the call.
void finish(Call& call, std::string_view tail, Micros line_time) {
  // " <0.000123>" at the end: the time the call took.
  std::optional<Micros> took;
  if (!tail.empty() && tail.back() == '>') {
    const auto open = tail.rfind(" <");
    if (open != std::string_view::npos) {
      took = parse_seconds(tail.substr(open + 2, tail.size() - open - 3));
      if (took) {
        tail = tail.substr(0, open);
      }
    }
  }
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
  call.end =
      took ? call.begin + *took : std::max(call.begin, call.returned ? line_time : call.begin);
}

}  // namespace

std::optional<long long> Call::number() const {
  std::string_view text = result;
  int base = 10;
  if (text.substr(0, 2) == "0x") {
    text.remove_prefix(2);
    base = 16;
  }
  long long value = 0;
  const auto [rest, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc{} || (rest != text.data() + text.size() && *rest != ' ')) {
    return std::nullopt;
  }
  return value;
}

bool Call::succeeded() const {
  return returned && !result.empty() && result.front() != '-' && result.front() != '?';
}

std::optional<Micros> Log::appears(int pid) const {
  std::optional<Micros> first_seen;
  for (const Call& call : calls) {
    if (call.pid == pid && (!first_seen || call.begin < *first_seen)) {
      first_seen = call.begin;
    }
  }
  for (const Exit& exit : exits) {
    if (exit.pid == pid && (!first_seen || exit.at < *first_seen)) {
      first_seen = exit.at;
    }
  }
  return first_seen;
}

std::optional<Micros> Log::ended(int pid) const {
  for (const Exit& exit : exits) {
    if (exit.pid == pid) {
      return exit.at;
    }
  }
  return std::nullopt;
}

std::vector<Call> Log::calls_of(int pid, std::string_view name) const {
  std::vector<Call> found;
  for (const Call& call : calls) {
    if (call.pid == pid && (name.empty() || call.name == name)) {
      found.push_back(call);
    }
  }
  return found;
}

Log parse_log(std::istream& in) {
  Log log;
  std::map<int, Call> unfinished;  // by pid: calls whose return is still to come
  bool seen_any = false;
  std::string line;
  while (std::getline(in, line)) {
    std::string_view text = line;
    // "PID TIME rest", or "TIME rest" where strace followed only one process.
    const std::size_t first_space = text.find(' ');
    if (first_space == std::string_view::npos || text.front() == ' ') {
      continue;  // a hex dump of the bytes read or written, or an empty line
    }
    int pid = 0;
    if (text.substr(0, first_space).find('.') == std::string_view::npos) {
      std::string_view pid_text = text.substr(0, first_space);
      const auto number = take_number<int>(pid_text);
      if (!number || !pid_text.empty()) {
        continue;
      }
      pid = *number;
      text = trim(text.substr(first_space));
    }
    const std::size_t time_end = text.find(' ');
    if (time_end == std::string_view::npos) {
      continue;
    }
    const auto time = parse_seconds(text.substr(0, time_end));
    if (!time) {
      continue;
    }
    text = text.substr(time_end + 1);
    if (!seen_any) {
      log.main_pid = pid;
      log.first = *time;
      seen_any = true;
    }
    log.last = std::max(log.last, *time);
    if (std::find(log.pids.begin(), log.pids.end(), pid) == log.pids.end()) {
      log.pids.push_back(pid);
    }

    if (text.substr(0, 4) == "+++ ") {
      text.remove_prefix(4);
      if (text.size() >= 4 && text.substr(text.size() - 4) == " +++") {
        text.remove_suffix(4);
      }
      log.exits.push_back(Exit{pid, *time, std::string(text)});
      continue;
    }
    if (text.substr(0, 4) == "--- ") {
      continue;  // a signal delivered
    }
    if (text.substr(0, 5) == "<... ") {
      const std::size_t resumed = text.find(" resumed>");
      const auto pending = unfinished.find(pid);
      if (resumed == std::string_view::npos || pending == unfinished.end()) {
        continue;
      }
      Call call = pending->second;
      unfinished.erase(pending);
      finish(call, text.substr(resumed + 9), *time);
      log.calls.push_back(call);
      continue;
    }
    const std::size_t open = text.find('(');
    if (open == std::string_view::npos || open == 0) {
      continue;
    }
    Call call;
    call.pid = pid;
    call.name = std::string(text.substr(0, open));
    call.begin = *time;
    call.end = *time;
    text.remove_prefix(open + 1);
    constexpr std::string_view cut = "<unfinished ...>";
    if (text.size() >= cut.size() && text.substr(text.size() - cut.size()) == cut) {
      call.args = std::string(trim(text.substr(0, text.size() - cut.size())));
      unfinished[pid] = call;
      continue;
    }
    finish(call, text, *time);
    log.calls.push_back(call);
  }
  // Calls that never returned (the process ended inside them) end where their process ended.
  for (auto& [pid, call] : unfinished) {
    call.returned = false;
    call.result.assign(1, '?');
    call.end = std::max(call.begin, log.ended(pid).value_or(log.last));
    log.calls.push_back(call);
  }
  std::stable_sort(log.calls.begin(), log.calls.end(),
                   [](const Call& one, const Call& other) { return one.begin < other.begin; });
  return log;
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

}  // namespace timeline
