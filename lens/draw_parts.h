// What the drawings share: the page's strace panels (draw_html.cpp) and scheduler's panels
// (draw_cpu.cpp) write coordinates, text and step lines the same way and merge the spans too
// short to see in the same way; the trace file (draw_json.cpp) reads names as the page does.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lens {

// A coordinate, to one decimal.
std::string at(double value);

// The length of the well-formed UTF-8 sequence that starts at `at`, or 0 where none does: an
// overlong form, a surrogate, a cut sequence or a stray byte.
std::size_t utf8_length(std::string_view text, std::size_t at);

// Text for the page, the one escape of both kinds of panel: markup characters as entities; a
// control character (a task or a program may name itself anything) as its picture, U+2400 to
// U+241F and U+2421, never raw; a byte that is not part of well-formed UTF-8 as U+FFFD, the
// replacement character, so that the page stays valid UTF-8.
std::string page_text(std::string_view text);

// A level of a step line as drawn: from x0 to x1 at height y.
struct Level {
  double x0 = 0;
  double x1 = 0;
  double y = 0;
};

// The path of a step line through levels in order. Coordinates are written to a tenth, and the
// points that fall in one such column draw one upright stroke: of those only the first, the
// lowest, the highest and the last are written, so that a line of a million steps stays a small
// path that still reaches every value it had.
std::string step_path(const std::vector<Level>& levels);

// A stretch of a lane as drawn: its spans [first, last) in the lane's order, from x0 to x1.
struct Stretch {
  std::size_t first = 0;
  std::size_t last = 0;
  double x0 = 0;
  double x1 = 0;

  std::size_t spans() const {
    return last - first;
  }
};

// How a lane's spans are drawn at the width each takes (ends, in order of time, x0 to x1): as a
// trace viewer does, a span at least `least` wide is a stretch of its own, and a run of
// narrower ones is drawn in stretches that each reach `least` (the last may fall short), one
// shape each. Below `least` a drawing cannot show a span's length, and a record of a busy
// machine would otherwise draw millions of shapes no one can tell apart.
std::vector<Stretch> stretches(const std::vector<std::pair<double, double>>& ends, double least);

}  // namespace lens
