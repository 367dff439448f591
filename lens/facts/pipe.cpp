#include "facts/pipe.h"

#include <charconv>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "facts/tasks.h"

namespace lens {
namespace {

// The two descriptors of a successful pipe or pipe2: "[3, 4], 0" or "[3, 4]".
std::optional<std::pair<int, int>> pipe_ends(const Call& call) {
  if ((call.name != "pipe" && call.name != "pipe2") || !call.succeeded()) {
    return std::nullopt;
  }
  std::string_view args = call.args;
  if (args.substr(0, 1) != "[") {
    return std::nullopt;
  }
  args.remove_prefix(1);
  int read_end = 0;
  int write_end = 0;
  const char* const end = args.data() + args.size();
  const auto first = std::from_chars(args.data(), end, read_end);
  if (first.ec != std::errc{} ||
      std::string_view(first.ptr, static_cast<std::size_t>(end - first.ptr)).substr(0, 2) != ", ") {
    return std::nullopt;
  }
  const auto second = std::from_chars(first.ptr + 2, end, write_end);
  if (second.ec != std::errc{} || second.ptr == end || *second.ptr != ']') {
    return std::nullopt;
  }
  return std::pair{read_end, write_end};
}

// A call on a descriptor: close(3) or write(4, ...) of one process.
struct On {
  int pid = 0;
  std::string_view name;
  int descriptor = -1;
};

// The first call wanted at calls[from] or after.
const Call* first_on(const Log& log, std::size_t from, const On& wanted) {
  for (std::size_t at = from; at < log.calls.size(); ++at) {
    const Call& call = log.calls[at];
    if (call.pid == wanted.pid && call.name == wanted.name &&
        first_argument(call) == wanted.descriptor) {
      return &call;
    }
  }
  return nullptr;
}

}  // namespace

std::optional<PipeFacts> find_pipe(const Log& log) {
  std::unordered_map<int, std::size_t> pipes;  // by pid: its last pipe so far
  for (std::size_t at = 0; at < log.calls.size(); ++at) {
    const Call& call = log.calls[at];
    if (pipe_ends(call)) {
      pipes[call.pid] = at;
      continue;
    }
    const auto child = forked_pid(call);
    const auto pipe = pipes.find(call.pid);
    if (!child || pipe == pipes.end()) {
      continue;
    }
    PipeFacts facts;
    facts.parent = call.pid;
    facts.child = *child;
    facts.pipe = &log.calls[pipe->second];
    std::tie(facts.read_end, facts.write_end) = *pipe_ends(*facts.pipe);
    facts.fork = &call;
    facts.parent_close = first_on(log, at + 1, On{facts.parent, "close", facts.read_end});
    facts.write = first_on(log, at + 1, On{facts.parent, "write", facts.write_end});
    facts.child_close = first_on(log, at + 1, On{facts.child, "close", facts.write_end});
    facts.read = first_on(log, at + 1, On{facts.child, "read", facts.read_end});
    return facts;
  }
  return std::nullopt;
}

std::optional<RelayFacts> find_relay(const Log& log) {
  const auto forks = children_of(log, log.main_pid);
  if (forks.empty()) {
    return std::nullopt;
  }
  RelayFacts facts;
  facts.parent = log.main_pid;
  std::tie(facts.child, facts.fork) = forks.front();
  for (const std::size_t at : log.places_of(facts.child)) {
    facts.read = log.calls[at].name == "read" ? &log.calls[at] : facts.read;
  }
  if (facts.read == nullptr) {
    return std::nullopt;
  }
  facts.parent_life = program_life(log);
  facts.child_life = life_of(log, facts.child, *facts.fork, log.last);
  const Call& read = *facts.read;
  facts.read_returned = read.returned && !read.result.empty() && read.result.front() != '?';
  bool closed = false;
  for (const std::size_t at : log.places_of(facts.parent)) {
    const Call& call = log.calls[at];
    const bool close_after_fork = call.name == "close" && !closed && call.begin > facts.fork->begin;
    if (call.name == "pipe" || call.name == "pipe2" || &call == facts.fork || call.name == "kill" ||
        close_after_fork ||
        (call.name == "openat" && call.args.find("/wchan") != std::string::npos)) {
      facts.parent_calls.push_back(&call);
      closed = closed || close_after_fork;
    }
  }
  return facts;
}

bool read_waited(const Call& write, const Call& read) {
  return read.begin < write.begin;
}

}  // namespace lens
