#include "draw_parts.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace lens {

std::string at(double value) {
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.1f", value);
  return text.data();
}

std::size_t utf8_length(std::string_view text, std::size_t at) {
  const auto byte = [text](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  if (lead < 0x80) {
    length = 1;
  } else if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
  }
  if (length == 0 || at + length > text.size()) {
    return 0;
  }
  for (std::size_t index = at + 1; index < at + length; ++index) {
    if ((byte(index) & 0xc0U) != 0x80) {
      return 0;
    }
  }
  const unsigned char second = length > 1 ? byte(at + 1) : 0;
  if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second >= 0xa0) ||
      (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second >= 0x90)) {
    return 0;
  }
  return length;
}

std::string page_text(std::string_view text) {
  constexpr std::string_view replacement = "\xef\xbf\xbd";
  constexpr unsigned char delete_byte = 0x7f;
  constexpr unsigned char pictures = 0x80;  // U+2400's last byte, for byte 0
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8_length(text, at);
    if (length == 0) {
      out += replacement;
      ++at;
      continue;
    }
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x20 || byte == delete_byte) {
      out += "\xe2\x90";
      out += static_cast<char>(byte == delete_byte ? 0xa1 : pictures + byte);
    } else if (byte == '&') {
      out += "&amp;";
    } else if (byte == '<') {
      out += "&lt;";
    } else if (byte == '>') {
      out += "&gt;";
    } else if (byte == '"') {
      out += "&quot;";
    } else {
      out += text.substr(at, length);
    }
    at += length;
  }
  return out;
}

std::string step_path(const std::vector<Level>& levels) {
  std::string path;
  std::string column;  // the x of the points held back
  std::vector<double> ys;
  const auto flush = [&path, &column, &ys] {
    if (ys.empty()) {
      return;
    }
    const auto [low, high] = std::minmax_element(ys.begin(), ys.end());
    for (const double y : {ys.front(), *low, *high, ys.back()}) {
      path += (path.empty() ? "M" : " L") + column + "," + at(y);
    }
    ys.clear();
  };
  for (const Level& level : levels) {
    for (const double x : {level.x0, level.x1}) {
      if (const std::string here = at(x); here != column) {
        flush();
        column = here;
      }
      ys.push_back(level.y);
    }
  }
  flush();
  return path;
}

std::vector<Stretch> stretches(const std::vector<std::pair<double, double>>& ends, double least) {
  std::vector<Stretch> found;
  bool open = false;  // whether the last stretch found is a run of narrow spans still growing
  for (std::size_t index = 0; index < ends.size(); ++index) {
    const auto [x0, x1] = ends[index];
    if (x1 - x0 >= least) {
      found.push_back(Stretch{index, index + 1, x0, x1});
      open = false;
    } else if (open) {
      found.back().last = index + 1;
      found.back().x1 = std::max(found.back().x1, x1);
      open = found.back().x1 - found.back().x0 < least;
    } else {
      found.push_back(Stretch{index, index + 1, x0, x1});
      open = true;
    }
  }
  return found;
}

}  // namespace lens
