// The one placer of a figure's labels: every text that names something in a panel (a span, a
// mark, an arrow, a lane's summary, a step line's value) is offered places in order, and takes
// the first where it runs into no other label and lies over nothing it does not name, inside the
// area it belongs to. Where it finds none, it is left out: a label is never drawn over another.
//
// lens cannot measure text, so widths come from a table of the page's font (DejaVu Sans, the
// widest of those the page asks for), an upper bound where another of them is used.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lens::svg {

// A rectangle in the SVG's user units; y grows downwards.
struct Box {
  double left = 0;
  double top = 0;
  double right = 0;
  double bottom = 0;

  bool meets(const Box& other) const {
    return left < other.right && other.left < right && top < other.bottom && other.top < bottom;
  }
  bool holds(const Box& other) const {
    return other.left >= left && other.right <= right && other.top >= top && other.bottom <= bottom;
  }
  Box moved(double dx, double dy) const {
    return Box{left + dx, top + dy, right + dx, bottom + dy};
  }
};

// The fonts of the page's texts: a size in user units, bold or not. Italic text is as wide as
// upright text in this font, with a slant that the width's margin covers.
struct Font {
  double size = 11;
  bool bold = false;
};
inline constexpr Font plain_font{11, false};
inline constexpr Font bold_font{11, true};
inline constexpr Font name_font{12, true};  // a lane's or a step line's name
inline constexpr Font missing_font{14, false};

// The length of the well-formed UTF-8 sequence that starts at `at`, or 0 where none does: an
// overlong form, a surrogate, a cut sequence or a stray byte.
std::size_t utf8_length(std::string_view text, std::size_t at);

// How wide the text is drawn, at most: the advances of its characters in the table, a bound for
// those it lacks, and a margin for the ink past the last advance.
double text_width(std::string_view text, Font font);

// Where a text is anchored at x.
enum class Anchor { start, middle, end };

// Where a text is drawn: its anchor's x, and its baseline.
struct Spot {
  double x = 0;
  double baseline = 0;
};

// The box a text takes where it is drawn: as wide as text_width says, from its ascent above the
// baseline to its descent below, as browsers measure a text's box.
Box text_box(std::string_view text, Font font, Spot spot, Anchor anchor = Anchor::start);

// Text cut to at most `width`, with an ellipsis where it was cut (at a whole character).
std::string fitted(std::string_view text, Font font, double width);

// Text in lines of at most `width`, broken at blanks (a word wider than a line cut to fit).
std::vector<std::string> wrapped(std::string_view text, Font font, double width);

// What a label names: the tag of a thing drawn. Things with no tag block every label.
using Tag = int;
inline constexpr Tag no_tag = -1;

class Placer {
 public:
  explicit Placer(Box area) : area_(area) {}

  // Something drawn that labels must keep off, except one that names it.
  void block(const Box& box, Tag tag = no_tag);
  // Whether a label in `box`, naming `names`, lies inside the area and meets no label placed
  // and nothing drawn but what it names.
  bool free(const Box& box, Tag names) const;
  // The first of the candidate boxes that is free, taken: later labels keep off it.
  std::optional<std::size_t> place(const std::vector<Box>& candidates, Tag names);
  // What a label in `box` would run into, labels and things drawn alike.
  std::vector<Box> in_the_way(const Box& box, Tag names) const;

  const Box& area() const {
    return area_;
  }

 private:
  struct Blocked {
    Box box;
    Tag tag = no_tag;
  };
  Box area_;
  std::vector<Blocked> blocked_;  // things drawn, then labels placed (no_tag)
};

// Where a label over a line would be: rows above the line, each `row` apart, the lowest with its
// baseline `lift` above the line (at y = 0: the line's own coordinates).
struct Rows {
  double lift = 0;
  double row = 0;
  int most = 0;

  double baseline(int index) const {
    return -lift - row * index;
  }
};

// A label wanted over a line, starting at x where there is room.
struct Wanted {
  std::string text;
  double x = 0;
  Tag names = no_tag;
  Font font = plain_font;
};

// A label as placed.
struct Placed {
  std::string text;
  double x = 0;
  double baseline = 0;
  Tag names = no_tag;
  Font font = plain_font;
  int row = -1;  // its row over the line; -1 where it is on the line itself
};

// Places a label in the lowest row where it fits: at its x, or else just beside what is in its
// way in that row (the nearer side first, at most `reach` from its x). None where no row has
// room.
std::optional<Placed> place_in_rows(Placer& placer, const Wanted& wanted, const Rows& rows,
                                    double reach);

}  // namespace lens::svg
