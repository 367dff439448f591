#include "facts/tasks.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace lens {
namespace {

bool is_clone(const Call& call) {
  return call.name == "clone" || call.name == "clone3";
}

// The pid or tid that a successful clone, clone3, fork or vfork returned.
std::optional<int> made(const Call& call) {
  const auto number = call.number();
  if (!call.succeeded() || !number || *number <= 0 || *number > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(*number);
}

}  // namespace

bool has_part(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

std::optional<int> forked_pid(const Call& call) {
  const bool forks = call.name == "fork" || call.name == "vfork" ||
                     (is_clone(call) && !has_part(call.args, "CLONE_THREAD"));
  return forks ? made(call) : std::nullopt;
}

std::optional<int> thread_made(const Call& call) {
  return is_clone(call) && has_part(call.args, "CLONE_THREAD") ? made(call) : std::nullopt;
}

std::optional<int> first_argument(const Call& call) {
  int value = 0;
  const auto [rest, error] =
      std::from_chars(call.args.data(), call.args.data() + call.args.size(), value);
  if (error != std::errc{} || (rest != call.args.data() + call.args.size() && *rest != ',')) {
    return std::nullopt;
  }
  return value;
}

Interval interval_of(const Call& call) {
  return Interval{call.begin, std::max(call.begin, call.end)};
}

Life life_of(const Log& log, int id, const Call& made_by, Micros otherwise) {
  const Micros begin = std::min(made_by.end, log.appears(id).value_or(made_by.end));
  return Life{begin, std::max(begin, log.ended(id).value_or(otherwise))};
}

Life program_life(const Log& log) {
  return Life{log.first, std::max(log.first, log.ended(log.main_pid).value_or(log.last))};
}

const Call* first_call(const Log& log, int pid, Wanted wanted) {
  for (const std::size_t at : log.places_of(pid)) {
    const Call& call = log.calls[at];
    if (call.name == wanted.name && (wanted.part.empty() || has_part(call.args, wanted.part))) {
      return &call;
    }
  }
  return nullptr;
}

std::vector<std::pair<int, const Call*>> children_of(const Log& log, int pid) {
  std::vector<std::pair<int, const Call*>> found;
  for (const std::size_t at : log.places_of(pid)) {
    if (const auto child = forked_pid(log.calls[at])) {
      found.emplace_back(*child, &log.calls[at]);
    }
  }
  return found;
}

Collections::Collections(const Log& log, int pid) {
  for (const std::size_t at : log.places_of(pid)) {
    const Call& call = log.calls[at];
    const auto child = call.number();
    if (call.name == "wait4" && child && *child > 0) {
      waits_[*child].push_back(&call);  // in order of entry
    }
  }
}

std::optional<Micros> Collections::after(const Call& fork, int child) const {
  const auto found = waits_.find(child);
  if (found == waits_.end()) {
    return std::nullopt;
  }
  const auto wait =
      std::lower_bound(found->second.begin(), found->second.end(), fork.begin,
                       [](const Call* call, Micros begin) { return call->begin < begin; });
  return wait == found->second.end() ? std::nullopt : std::optional((*wait)->end);
}

}  // namespace lens
