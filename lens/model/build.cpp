#include "model/build.h"

#include <algorithm>
#include <limits>
#include <numeric>

#include "model/figures.h"

namespace lens {
namespace {

constexpr Micros latest = std::numeric_limits<Micros>::max();
constexpr Micros earliest = std::numeric_limits<Micros>::min();

}  // namespace

Micros plus(Micros time, Micros duration) {
  if (duration > 0 && time > latest - duration) {
    return latest;
  }
  if (duration < 0 && time < earliest - duration) {
    return earliest;
  }
  return time + duration;
}

Micros minus(Micros time, Micros duration) {
  if (duration < 0 && time > latest + duration) {
    return latest;
  }
  if (duration > 0 && time < earliest + duration) {
    return earliest;
  }
  return time - duration;
}

Micros length(Micros begin, Micros end) {
  return end > begin ? minus(end, begin) : 0;
}

Micros times(Micros duration, Micros factor) {
  return duration > latest / factor ? latest : duration * factor;
}

Window with_margins(Micros begin, Micros end, Margins margins) {
  const Micros stretch = length(begin, end);
  return Window{minus(begin, stretch / margins.before),
                plus(std::max(begin, end), stretch / margins.after)};
}

Window around(Micros begin, Micros end, Micros factor, Micros least) {
  const Micros room = std::max(times(length(begin, end), factor), least);
  return Window{minus(begin, room), plus(std::max(begin, end), room)};
}

Lane lane_of(std::string name, int id, Life life) {
  Lane lane;
  lane.name = std::move(name);
  lane.program = lane.name.substr(0, lane.name.find(' '));
  lane.id = id;
  lane.process = id;
  lane.begin = life.begin;
  lane.end = std::max(life.begin, life.end);
  return lane;
}

Span span_of(std::size_t lane, Shade shade, Interval time, std::string label) {
  Span span;
  span.lane = lane;
  span.shade = shade;
  span.begin = time.begin;
  span.end = std::max(time.begin, time.end);
  span.label = std::move(label);
  return span;
}

Arrow arrow_between(const Span& sender, const Span& receiver, Carries carries, std::string label) {
  Arrow arrow;
  arrow.carries = carries;
  arrow.label = std::move(label);
  arrow.from_lane = sender.lane;
  arrow.to_lane = receiver.lane;
  arrow.to = minus(receiver.end, std::min<Micros>(length(receiver.begin, receiver.end) / 2, 1));
  const Micros sender_end = std::max(sender.begin, sender.end);
  arrow.from = std::clamp(std::midpoint(sender.begin, sender_end), sender.begin,
                          std::max(sender.begin, std::min(sender_end, arrow.to)));
  arrow.to = std::max(arrow.to, arrow.from);
  return arrow;
}

std::vector<Level> step_line(Changes changes, Level start) {
  std::stable_sort(changes.begin(), changes.end(),
                   [](const auto& one, const auto& other) { return one.first < other.first; });
  constexpr long long most = std::numeric_limits<int>::max();
  long long value = std::clamp<long long>(start.value, 0, most);
  std::vector<Level> levels{Level{start.at, static_cast<int>(value)}};
  for (const auto& [at, change] : changes) {
    value = std::clamp<long long>(value + change, 0, most);
    if (levels.back().at == at) {
      levels.back().value = static_cast<int>(value);
    } else if (levels.back().value != value) {
      levels.push_back(Level{at, static_cast<int>(value)});
    }
  }
  return levels;
}

int highest(const std::vector<Level>& levels) {
  int most = 0;
  for (const Level& level : levels) {
    most = std::max(most, level.value);
  }
  return most;
}

Note note(std::string_view key, std::string_view sentence,
          std::vector<std::pair<std::string_view, std::string>> values) {
  return Note{key, sentence, std::move(values)};
}

Figure figure_of(Mechanism mechanism, std::string title) {
  Figure figure;
  figure.mechanism = mechanism;
  figure.title = std::move(title);
  return figure;
}

Figure not_recorded(Mechanism mechanism, std::string title, std::string why) {
  Figure figure = figure_of(mechanism, std::move(title));
  figure.missing = std::move(why);
  return figure;
}

Panel strace_panel(Window time) {
  Panel panel;
  panel.recording = strace_recording;
  panel.time = time;
  return panel;
}

std::string times_text(int count) {
  return count == 1 ? "once" : count == 2 ? "twice" : std::to_string(count) + " times";
}

}  // namespace lens
