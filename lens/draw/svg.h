// The toolkit of the page's SVG, the same for every panel whatever recording it comes from: the
// page's one escape, coordinates, the time scale and its axis, how each Shade is drawn and keyed,
// spans too short to see merged into pieces, step-line paths, arrows, keys, captions and the
// frame of a magnified stretch.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "draw/labels.h"
#include "model/step.h"

namespace lens::svg {

// Sizes, in the SVG's user units: one unit is one CSS pixel where the figure is `width` wide.
inline constexpr double width = 960;
inline constexpr double plot_left = 190;   // the lanes' names are left of this
inline constexpr double plot_right = 935;  // right of this: room for signs of a cut span, values
inline constexpr double name_left = 10;
inline constexpr double gap = 5;              // between a text and what it is beside
inline constexpr double thinnest_span = 1.5;  // a span narrower than this is drawn this wide
inline constexpr double span_half = 6;        // half a span's height
inline constexpr double compact_half = 4;     // in a compact lane
inline constexpr double text_size = 11;       // the labels', ticks' and values' font size
inline constexpr double readable_px = 10;     // the smallest font the page lets a screen show
inline constexpr double cut_sign = 6;         // the arrowhead beside a span cut by the window
inline constexpr double text_lift = 4;        // from a line to the baseline of the text over it

// How long a span lasts, 0 where it ends before it begins; never overflowing, whatever times a
// record holds.
Micros length_of(Micros begin, Micros end);

// A mechanism's name, as the page's ids and the trace file's categories give it.
std::string_view mechanism_name(Mechanism mechanism);

// Appends the parts to out, in order; the parts joined. The page's markup is written with these
// rather than chains of `+`: fewer temporaries, and none of GCC's false -Wrestrict findings on a
// text added before a string just made.
void append(std::string& out, std::initializer_list<std::string_view> parts);
std::string joined(std::initializer_list<std::string_view> parts);

// A coordinate, to one decimal.
std::string at(double value);

// Text for the page, its one escape: markup characters as entities; a control character (a task
// or a program may name itself anything) as its picture, U+2400 to U+241F and U+2421, never raw;
// a byte that is not part of well-formed UTF-8 as U+FFFD, so that the page stays valid UTF-8.
std::string escape(std::string_view text);

// A text element: class, position, anchor and the text, escaped.
std::string text(std::string_view css_class, double x, double y, std::string_view content,
                 Anchor anchor = Anchor::start);

// Time to x over one window of a panel, counted on the axis from `origin`.
struct Scale {
  Window window;
  Micros origin = 0;

  double x(Micros when) const;
  double x_after_origin(double micros) const;
  bool shows(Micros when) const {
    return when >= window.begin && when <= window.end;
  }
  bool meets(Micros begin, Micros end) const {
    return end >= window.begin && begin <= window.end;
  }
};

// The axis at y = top: ticks every 1, 2 or 5 times a power of ten microseconds, written in
// milliseconds from the origin, with faint lines down to `bottom`, and what it counts (`unit`).
void axis(std::string& out, const Scale& scale, double top, double bottom, std::string_view unit);

// How a shade is drawn: the fill (a pattern tile, or a CPU's colour), the outline, its half
// height, and the key's words.
struct ShadeStyle {
  Shade shade = Shade::busy;
  std::string_view name;     // the pattern's id, after the figure's prefix; none: a CPU's colour
  std::string_view meaning;  // the key's words
  std::string_view stroke;   // the outline
  double half = span_half;   // 0: a line, not a bar
};
const ShadeStyle& style_of(Shade shade);
// The fill of a shade's bar; a running bar's is its CPU's colour.
std::string fill_of(std::string_view prefix, Shade shade, int cpu);
// One colour per CPU, repeating after eight: the text in the bars tells those apart.
std::string_view cpu_colour(int cpu);
inline constexpr std::size_t cpu_colours = 8;
// Spans of different shades merged into one piece: cross-hatched grey.
inline constexpr std::string_view merged_meaning =
    "spans too short to draw apart, merged (cross-hatched)";

// The patterns of the shades and of merged pieces, and the arrowhead, with ids that start with
// the figure's prefix.
std::string definitions(std::string_view prefix);

// A stretch of a lane as drawn: one span, or spans too short to see apart, merged, which keep
// what they share: their shade (running: on one CPU) and their label, where all have the same.
struct Piece {
  Micros begin = 0;
  Micros end = 0;
  double x0 = 0;
  double x1 = 0;               // at least x0 + thinnest_span
  const Span* only = nullptr;  // where it is one span
  std::optional<Shade> shade;  // none where the spans merged differ
  int cpu = -1;                // running: the CPU
  std::string label;           // merged: the label they all have, or none
  std::size_t spans = 1;
  std::size_t switches = 0;  // merged: how many running spans it holds
};

// How a lane's spans (in order of their beginnings) are drawn over the scale's window: a span at
// least thinnest_span wide is a piece of its own; a run of narrower ones is drawn in pieces that
// each reach that width, as a trace viewer does, and pieces side by side that mean the same
// become one. Below that width a drawing cannot show a span's length, and a record of a busy
// machine would otherwise draw millions of shapes no one can tell apart.
std::vector<Piece> pieces(const std::vector<const Span*>& spans, const Scale& scale);

// A level of a step line as drawn: from x0 to x1 at height y.
struct Tread {
  double x0 = 0;
  double x1 = 0;
  double y = 0;
};
// The path of a step line through its treads, in order. The points that fall in one column of a
// tenth draw one upright stroke: of those only the first, the lowest, the highest and the last
// are written, so that a line of a million steps stays a small path that reaches every value.
std::string step_path(const std::vector<Tread>& treads);
// The boxes the line covers, for the labels to keep off: its levels, and its rises, those that
// fall in one column as one box.
std::vector<Box> step_boxes(const std::vector<Tread>& treads);

// The curve of an arrow from (x0, y0) to (x1, y1), leaving and arriving upright.
std::string arrow_path(double x0, double y0, double x1, double y1);

// One entry of a key: a small drawing, 22 by 12, and what it means.
struct Key {
  std::string swatch;
  std::string words;
};
// The key, in rows as wide as the figure, from y = top. Returns the y below it.
double keys(std::string& out, const std::vector<Key>& entries, double top);

}  // namespace lens::svg
