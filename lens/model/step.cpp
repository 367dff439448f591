#include "model/step.h"

#include <array>
#include <cstdio>

namespace lens {

const std::string* Note::value(std::string_view name) const {
  for (const auto& [named, text] : values) {
    if (named == name) {
      return &text;
    }
  }
  return nullptr;
}

std::string Note::text() const {
  std::string out;
  std::string_view rest = sentence;
  for (auto open = rest.find('{'); open != std::string_view::npos; open = rest.find('{')) {
    const auto close = rest.find('}', open);
    if (close == std::string_view::npos) {
      break;
    }
    out += rest.substr(0, open);
    const std::string* filled = value(rest.substr(open + 1, close - open - 1));
    out += filled != nullptr ? std::string_view(*filled) : rest.substr(open, close - open + 1);
    rest.remove_prefix(close + 1);
  }
  out += rest;
  return out;
}

std::string milliseconds(Micros duration) {
  const double ms = static_cast<double>(duration) / 1000.0;
  std::array<char, 32> text{};
  const int decimals = ms < 10 ? 2 : ms < 100 ? 1 : 0;
  std::snprintf(text.data(), text.size(), "%.*f ms", decimals, ms);
  return text.data();
}

std::string duration(Micros duration) {
  constexpr Micros micros_per_milli = 1000;
  return duration < micros_per_milli ? std::to_string(duration) + " \u00b5s"
                                     : milliseconds(duration);
}

}  // namespace lens
