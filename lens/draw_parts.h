// What the drawings share: the page's strace panels (draw_html.cpp) and scheduler's panels
// (draw_cpu.cpp) write coordinates and text the same way; the trace file (draw_json.cpp) reads
// text as the page does.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

}  // namespace lens
