// Stand-ins for what model/step.h declares and the model's own source will define once it lands:
// the drawing's tests link the model without today's diagrams (whose types share the model's
// names), so these are written here, as today's diagrams.cpp and sched_view.cpp write them.
// Remove this file when lens_core defines them.
#include <array>
#include <cstdio>

#include "model/step.h"

namespace lens {

std::string milliseconds(Micros duration) {
  const double ms = static_cast<double>(duration) / 1000.0;
  std::array<char, 32> text{};
  const int decimals = ms < 10 ? 2 : ms < 100 ? 1 : 0;
  std::snprintf(text.data(), text.size(), "%.*f ms", decimals, ms);
  return text.data();
}

std::string duration(Micros time) {
  constexpr Micros micros_per_milli = 1000;
  return time < micros_per_milli ? std::to_string(time) + " \u00b5s" : milliseconds(time);
}

const std::string* Note::value(std::string_view name) const {
  for (const auto& [held, text] : values) {
    if (held == name) {
      return &text;
    }
  }
  return nullptr;
}

std::string Note::text() const {
  std::string out;
  for (std::size_t at = 0; at < sentence.size();) {
    const std::size_t open = sentence.find('{', at);
    const std::size_t close = open == std::string_view::npos ? open : sentence.find('}', open);
    if (close == std::string_view::npos) {
      out += sentence.substr(at);
      break;
    }
    const std::string* found = value(sentence.substr(open + 1, close - open - 1));
    out += sentence.substr(at, open - at);
    out += found != nullptr ? *found : std::string(sentence.substr(open, close - open + 1));
    at = close + 1;
  }
  return out;
}

}  // namespace lens
