// The page: one section per mechanism, each an inline SVG drawn to a fixed width of user units.
// On a wide screen the SVG fills the column; on a narrow one it keeps a readable size and its
// drawing scrolls sideways under its fixed caption. Spans differ by pattern as well as by colour,
// and every mark and named span is labelled, so that the diagrams read the same in black and white.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string_view>

#include "draw.h"
#include "draw_cpu.h"
#include "draw_parts.h"

namespace lens {
namespace {

// Sizes, in the SVG's user units: one unit is one CSS pixel where the figure is svg_width wide.
constexpr double svg_width = 960;
constexpr double plot_left = 190;   // the lanes' names are left of this
constexpr double plot_right = 935;  // right of this: room for signs of a cut span, final values
constexpr double name_left = 10;
constexpr double text_size = 11;       // the labels', ticks' and values' font size
constexpr double readable_px = 10;     // the smallest font the page lets a screen show
constexpr double border = 1;           // round each SVG, in CSS pixels (see style)
constexpr double char_width = 6.6;     // of text_size text, on average
constexpr double digit_width = 7.4;    // of a bold digit of text_size
constexpr double gap = 5;              // between labels, and between a label and an arrow
constexpr double label_row = 14;       // from one row of labels to the next
constexpr double label_lift = 12;      // from a lane's line to its lowest labels' baseline
constexpr double text_lift = 4;        // from a line to the baseline of the text just over it
constexpr double nudge = 2;            // between a text and what it names, along the line
constexpr double id_drop = 11;         // from a lane's name to the pid or tid under it
constexpr double lane_top = 16;        // above a lane's labels
constexpr double lane_bottom = 12;     // below its line
constexpr double compact_lane = 17;    // a worker thread's lane that has no labels
constexpr double span_half = 6;        // half a span's height
constexpr double alive_half = 5;       // half a thread's life's height
constexpr double thinnest_span = 1.5;  // a span shorter than this is drawn this wide
constexpr double cut_sign = 6;         // the arrowhead beside a span that goes on past the edge
constexpr double counter_band = 62;    // a step line's lane
constexpr double counter_room = 26;    // of which above the highest value and below zero
constexpr double caption_height = 16;  // "The whole step", above a panel
constexpr double axis_drop = 18;       // from a panel's top to its axis
constexpr double first_lane = 26;      // from a panel's top to its first lane

double text_width(const std::string& text) {
  return static_cast<double>(text.size()) * char_width;
}

// How each look is drawn, in one place: the fill (a pattern tile drawn in `ink`), the outline
// colour and the legend's words. The fills differ by pattern as well as colour, so that print
// and colour blindness lose nothing but the colour.
struct LookStyle {
  Look look;
  std::string_view name;     // the fill's id, after the diagram's own prefix
  std::string_view meaning;  // the legend's words
  std::string_view stroke;   // the outline
  std::string_view ink;      // the tile's colour (currentColor in the tile)
  int tile;                  // the tile's size
  int turn;                  // the tile's rotation, in degrees
  std::string_view marks;    // what the tile holds, over white
};

constexpr std::array<LookStyle, 5> look_styles{{
    {Look::busy, "busy", "working (solid)", "#0a5a8c", "#0a5a8c", 4, 0,
     R"(<rect width="4" height="4" fill="currentColor"/>)"},
    {Look::blocked, "blocked", "in the kernel, waiting (hatched)", "#d55e00", "#d55e00", 6, 45,
     R"(<line x1="0" y1="0" x2="0" y2="6" stroke="currentColor" stroke-width="2.4"/>)"},
    {Look::paused, "paused", "paused for Enter (dotted)", "#007a5a", "#007a5a", 5, 0,
     R"(<circle cx="2.5" cy="2.5" r="1.3" fill="currentColor"/>)"},
    {Look::shell, "shell", "ipcs -m through the shell (striped)", "#a2477f", "#a2477f", 4, 0,
     R"(<line x1="1" y1="0" x2="1" y2="4" stroke="currentColor" stroke-width="1.4"/>)"},
    {Look::alive, "alive", "a thread alive (light)", "#0a5a8c", "#cde2f2", 4, 0,
     R"(<rect width="4" height="4" fill="currentColor"/>)"},
}};

// Spans of different looks, each too short to see, merged into one piece: grey, cross-hatched.
constexpr LookStyle merged_style{
    Look::busy,
    "merged",
    "spans too short to draw apart, merged (cross-hatched)",
    "#555555",
    "#7a7a7a",
    4,
    0,
    R"(<path d="M0,0 L4,4 M4,0 L0,4" stroke="currentColor" stroke-width="1.2"/>)"};

const LookStyle& style_of(Look look) {
  for (const LookStyle& style : look_styles) {
    if (style.look == look) {
      return style;
    }
  }
  return look_styles.front();
}

std::string fill_of(const std::string& prefix, Look look) {
  return "url(#" + prefix + "-" + std::string(style_of(look).name) + ")";
}

// The fills of the looks and the arrowhead, with ids that start with the diagram's own prefix.
std::string definitions(const std::string& prefix) {
  std::ostringstream defs;
  defs << "<defs>\n";
  std::array<LookStyle, look_styles.size() + 1> styles{};
  std::copy(look_styles.begin(), look_styles.end(), styles.begin());
  styles.back() = merged_style;
  for (const LookStyle& style : styles) {
    defs << "<pattern id=\"" << prefix << "-" << style.name << "\" width=\"" << style.tile
         << "\" height=\"" << style.tile << "\" patternUnits=\"userSpaceOnUse\"";
    if (style.turn != 0) {
      defs << " patternTransform=\"rotate(" << style.turn << ")\"";
    }
    defs << " color=\"" << style.ink << "\"><rect width=\"" << style.tile << "\" height=\""
         << style.tile << "\" fill=\"#fff\"/>" << style.marks << "</pattern>\n";
  }
  defs << "<marker id=\"" << prefix
       << "-head\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" markerWidth=\"7\" "
          "markerHeight=\"7\" orient=\"auto-start-reverse\"><path d=\"M0,0 L10,5 L0,10 z\" "
          "fill=\"#000\"/></marker>\n</defs>\n";
  return defs.str();
}

// Time to x, within one panel.
struct Scale {
  Window window;
  Micros origin = 0;  // the step's start: the axis counts from here

  double x(Micros when) const {
    const double length = static_cast<double>(std::max<Micros>(window.end - window.begin, 1));
    const double share = static_cast<double>(when - window.begin) / length;
    return plot_left + std::clamp(share, 0.0, 1.0) * (plot_right - plot_left);
  }
  bool shows(Micros when) const {
    return when >= window.begin && when <= window.end;
  }
  bool meets(Micros begin, Micros end) const {
    return end >= window.begin && begin <= window.end;
  }
};

// The axis: ticks every 1, 2 or 5 times a power of ten milliseconds, counted from the step's
// start, with faint lines down through the lanes.
void axis(std::ostream& svg, const Scale& scale, double top, double bottom) {
  const double from_ms = static_cast<double>(scale.window.begin - scale.origin) / 1000.0;
  const double to_ms = static_cast<double>(scale.window.end - scale.origin) / 1000.0;
  constexpr double ticks = 8;
  const double rough = std::max((to_ms - from_ms) / ticks, 0.001);
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  double step = power;
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    step = factor * power;
    if (step >= rough) {
      break;
    }
  }
  const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
  svg << "<line class=\"axis\" x1=\"" << plot_left << "\" y1=\"" << at(top) << "\" x2=\""
      << plot_right << "\" y2=\"" << at(top) << "\"/>\n";
  const auto last = static_cast<long long>(std::floor(to_ms / step + 1e-6));
  for (auto index = static_cast<long long>(std::ceil(from_ms / step)); index <= last; ++index) {
    const double tick = static_cast<double>(index) * step;
    const double x = scale.x(scale.origin + static_cast<Micros>(std::llround(tick * 1000.0)));
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.*f", decimals, tick);
    svg << "<line class=\"grid\" x1=\"" << at(x) << "\" y1=\"" << at(top) << "\" x2=\"" << at(x)
        << "\" y2=\"" << at(bottom) << "\"/><text class=\"tick\" x=\"" << at(x) << "\" y=\""
        << at(top - text_lift) << "\">" << text.data() << "</text>\n";
  }
  svg << "<text class=\"unit\" x=\"" << plot_left - 24 << "\" y=\"" << at(top - text_lift)
      << "\">ms from the step's start</text>\n";
}

// What a panel shows: which lanes, whether the step lines, and where its labels are left out
// because a magnified panel below shows them.
struct Content {
  std::string caption;  // above the axis, where there are two panels
  std::vector<std::size_t> lanes;
  bool counters = true;
  std::optional<Window> unlabelled;
};

// A label above a lane: where it would like to be, then where it is put.
struct Label {
  double x = 0;
  std::string text;
  int row = 0;
};

// Where an arrow crosses a lane's labels: between its two ends, in every row.
struct Band {
  double left = 0;
  double right = 0;
};

// An arrow, where both its ends are in the panel: its lanes' places among those shown.
struct Shown {
  const Arrow* arrow;
  std::size_t from;
  std::size_t to;
};

std::vector<Shown> arrows_shown(const Diagram& diagram, const Scale& scale,
                                const Content& content) {
  std::vector<Shown> found;
  const auto place_of = [&content](std::size_t lane) {
    return static_cast<std::size_t>(std::find(content.lanes.begin(), content.lanes.end(), lane) -
                                    content.lanes.begin());
  };
  for (const Arrow& arrow : diagram.arrows) {
    const std::size_t from = place_of(arrow.from_lane);
    const std::size_t to = place_of(arrow.to_lane);
    if (from < content.lanes.size() && to < content.lanes.size() && scale.shows(arrow.from) &&
        scale.shows(arrow.to)) {
      found.push_back(Shown{&arrow, from, to});
    }
  }
  return found;
}

// The bands of the arrows that cross the labels of the lane shown in place `place`: an arrow
// runs from one lane's line to another's, so it crosses the labels (which sit above a line) of
// the lower lane and of every lane between.
std::vector<Band> bands_over(const std::vector<Shown>& arrows, const Scale& scale,
                             std::size_t place) {
  std::vector<Band> bands;
  for (const Shown& shown : arrows) {
    if (place > std::min(shown.from, shown.to) && place <= std::max(shown.from, shown.to)) {
      const double from = scale.x(shown.arrow->from);
      const double to = scale.x(shown.arrow->to);
      bands.push_back(Band{std::min(from, to) - gap, std::max(from, to) + gap});
    }
  }
  return bands;
}

// A stretch of a lane as drawn (draw_parts.h): one span, or spans too short to see apart, which
// keep what they share: their look and their name, where all have the same.
struct Piece {
  Micros begin = 0;
  Micros end = 0;
  double x0 = 0;
  double x1 = 0;
  const Span* only = nullptr;  // where it is one span
  std::optional<Look> look;    // none where the spans merged differ
  std::string name;            // merged: the name they all have, or none
  std::size_t spans = 1;

  // A merged piece's label, "wait ×37", or "spans ×37" where their names differ.
  std::string merged_label() const {
    return (name.empty() ? std::string("spans") : name) + " \u00d7" + std::to_string(spans);
  }
};

// The spans of each lane, in order of their beginnings.
std::vector<std::vector<const Span*>> spans_by_lane(const Diagram& diagram) {
  std::vector<std::vector<const Span*>> lanes(diagram.lanes.size());
  for (const Span& span : diagram.spans) {
    if (span.lane < lanes.size()) {
      lanes[span.lane].push_back(&span);
    }
  }
  for (auto& spans : lanes) {
    std::stable_sort(spans.begin(), spans.end(),
                     [](const Span* one, const Span* other) { return one->begin < other->begin; });
  }
  return lanes;
}

// How a lane's spans are drawn in one panel: those too short to see are merged with their
// neighbours, and merged pieces side by side that mean the same become one.
std::vector<Piece> pieces_of(const std::vector<const Span*>& lane_spans, const Scale& scale) {
  std::vector<const Span*> shown;
  std::vector<std::pair<double, double>> ends;
  for (const Span* span : lane_spans) {
    if (scale.meets(span->begin, span->end)) {
      shown.push_back(span);
      ends.emplace_back(scale.x(span->begin), std::max(scale.x(span->begin), scale.x(span->end)));
    }
  }
  std::vector<Piece> pieces;
  for (const Stretch& stretch : stretches(ends, thinnest_span)) {
    const Span& first = *shown[stretch.first];
    Piece piece{first.begin, first.end, stretch.x0, stretch.x1, &first, first.look, first.name, 1};
    if (stretch.spans() == 1) {
      pieces.push_back(std::move(piece));
      continue;
    }
    piece.only = nullptr;
    piece.spans = stretch.spans();
    for (std::size_t index = stretch.first + 1; index < stretch.last; ++index) {
      const Span& span = *shown[index];
      piece.end = std::max(piece.end, span.end);
      if (piece.look != span.look) {
        piece.look.reset();
      }
      if (piece.name != span.name) {
        piece.name.clear();
      }
    }
    Piece* last = pieces.empty() ? nullptr : &pieces.back();
    if (last != nullptr && last->only == nullptr && last->look == piece.look &&
        last->name == piece.name && piece.x0 - last->x1 < thinnest_span) {
      last->end = std::max(last->end, piece.end);
      last->x1 = std::max(last->x1, piece.x1);
      last->spans += piece.spans;
    } else {
      pieces.push_back(std::move(piece));
    }
  }
  return pieces;
}

// What a lane's labels say, and where each would like to be: at its mark, span or arrow. A
// merged piece is labelled only where it is as wide as its label.
std::vector<Label> wanted_labels(const Diagram& diagram, const Scale& scale, const Content& content,
                                 std::size_t lane, const std::vector<Piece>& pieces) {
  const auto labelled = [&content](Micros when) {
    return !content.unlabelled || when < content.unlabelled->begin ||
           when > content.unlabelled->end;
  };
  std::vector<Label> labels;
  for (const Mark& mark : diagram.marks) {
    if (mark.lane == lane && scale.shows(mark.at) && labelled(mark.at)) {
      labels.push_back(Label{scale.x(mark.at) - 3, mark.name, 0});
    }
  }
  for (const Piece& piece : pieces) {
    if (piece.look == Look::alive || !labelled(piece.begin)) {
      continue;
    }
    if (piece.only != nullptr && !piece.name.empty()) {
      labels.push_back(
          Label{piece.x0, piece.name + " " + milliseconds(piece.end - piece.begin), 0});
    } else if (piece.only == nullptr && piece.x1 - piece.x0 >= text_width(piece.merged_label())) {
      labels.push_back(Label{piece.x0, piece.merged_label(), 0});
    }
  }
  for (const Arrow& arrow : diagram.arrows) {
    if (arrow.from_lane == lane && scale.shows(arrow.from) && labelled(arrow.to)) {
      labels.push_back(Label{scale.x(arrow.from) + text_lift, arrow.name, 0});
    }
  }
  return labels;
}

// Moves a label of the given width beside any band it would lie in, to the nearer side.
double clear_of(double x, double width, const std::vector<Band>& bands) {
  for (std::size_t round = 0; round < bands.size(); ++round) {
    bool moved = false;
    for (const Band& band : bands) {
      if (x < band.right && x + width > band.left) {
        const double left = band.left - width;
        x = x - left < band.right - x ? left : band.right;
        moved = true;
      }
    }
    if (!moved) {
      break;
    }
  }
  return x;
}

// Puts each label clear of the arrows, within the figure, in the lowest row where it does not
// run into another. Returns the number of rows used.
int place(std::vector<Label>& labels, const std::vector<Band>& bands) {
  std::sort(labels.begin(), labels.end(),
            [](const Label& one, const Label& other) { return one.x < other.x; });
  std::vector<double> row_ends;
  for (Label& label : labels) {
    const double width = text_width(label.text);
    label.x = std::clamp(label.x, plot_left - gap, svg_width - gap - width);
    label.x = clear_of(label.x, width, bands);
    std::size_t row = 0;
    while (row < row_ends.size() && row_ends[row] > label.x - gap) {
      ++row;
    }
    if (row == row_ends.size()) {
      row_ends.push_back(0);
    }
    row_ends[row] = label.x + width;
    label.row = static_cast<int>(row);
  }
  return static_cast<int>(row_ends.size());
}

// One lane of a panel, laid out: its labels placed, its height and the y of its line.
struct LaneBox {
  std::size_t lane = 0;
  double top = 0;
  double height = 0;
  double baseline = 0;
  bool compact = false;
  std::vector<Label> labels;
  std::vector<Piece> pieces;
};

std::vector<LaneBox> lay_out(const Diagram& diagram, const Scale& scale, const Content& content,
                             const std::vector<Shown>& arrows, double top) {
  const std::vector<std::vector<const Span*>> spans = spans_by_lane(diagram);
  std::vector<LaneBox> boxes;
  double y = top;
  for (std::size_t place_index = 0; place_index < content.lanes.size(); ++place_index) {
    LaneBox box;
    box.lane = content.lanes[place_index];
    box.pieces = pieces_of(spans[box.lane], scale);
    box.labels = wanted_labels(diagram, scale, content, box.lane, box.pieces);
    const int rows = place(box.labels, bands_over(arrows, scale, place_index));
    box.compact = rows == 0 && diagram.lanes[box.lane].role == "worker";
    box.top = y;
    box.height =
        box.compact ? compact_lane : lane_top + label_row * std::max(rows, 1) + lane_bottom;
    box.baseline = y + box.height - (box.compact ? compact_lane / 2 : lane_bottom + nudge);
    y += box.height;
    boxes.push_back(std::move(box));
  }
  return boxes;
}

// The lane's name: program and role, then the pid (a process) or tid (a thread).
void lane_name(std::ostream& svg, const Lane& lane, const LaneBox& box) {
  const std::string id =
      std::string(lane.pid == lane.tid ? "pid " : "tid ") + std::to_string(lane.tid);
  const std::string name = lane.program + (lane.role.empty() ? "" : " " + lane.role);
  if (box.compact) {
    svg << "<text class=\"lane small\" x=\"" << name_left << "\" y=\""
        << at(box.baseline + text_lift) << "\">" << page_text(name) << " <tspan class=\"id\">" << id
        << "</tspan></text>\n";
  } else {
    svg << "<text class=\"lane\" x=\"" << name_left << "\" y=\"" << at(box.baseline - 1) << "\">"
        << page_text(name) << "</text><text class=\"id\" x=\"" << name_left << "\" y=\""
        << at(box.baseline + id_drop) << "\">" << id << "</text>\n";
  }
}

// A piece of a lane, cut to the window: where the window cuts it, its outline stays open on that
// side and a small arrowhead past the edge says that it goes on. Spans merged with different
// looks are drawn in the merged style.
void piece_shape(std::ostream& svg, const Piece& piece, const Scale& scale, double baseline,
                 const std::string& prefix) {
  const LookStyle& style = piece.look ? style_of(*piece.look) : merged_style;
  const std::string fill = "url(#" + prefix + "-" + std::string(style.name) + ")";
  const bool cut_before = piece.begin < scale.window.begin;
  const bool cut_after = piece.end > scale.window.end;
  const double x0 = piece.x0;
  const double x1 = std::max(piece.x1, x0 + thinnest_span);
  const double half = piece.look == Look::alive ? alive_half : span_half;
  const double top = baseline - half;
  const double bottom = baseline + half;
  svg << "<rect x=\"" << at(x0) << "\" y=\"" << at(top) << "\" width=\"" << at(x1 - x0)
      << "\" height=\"" << at(2 * half) << "\" fill=\"" << fill << "\"/>";
  svg << "<path class=\"edge\" stroke=\"" << style.stroke << "\" d=\"M" << at(x0) << "," << at(top)
      << " H" << at(x1) << (cut_after ? " M" + at(x1) + "," + at(bottom) : " V" + at(bottom))
      << " H" << at(x0) << (cut_before ? "" : " V" + at(top)) << "\"/>";
  for (const bool after : {false, true}) {
    if (after ? cut_after : cut_before) {
      const double base = after ? x1 + nudge : x0 - nudge;
      const double tip = after ? base + cut_sign : base - cut_sign;
      svg << "<path class=\"cut\" fill=\"" << style.stroke << "\" d=\"M" << at(base) << ","
          << at(baseline - half) << " L" << at(tip) << "," << at(baseline) << " L" << at(base)
          << "," << at(baseline + half) << " z\"/>";
    }
  }
  svg << "\n";
}

// A system call: a small triangle pointing down at the lane's line.
void mark_shape(std::ostream& svg, double x, double baseline) {
  constexpr double half = 4.5;
  constexpr double height = 9;
  svg << "<path class=\"mark\" d=\"M" << at(x - half) << "," << at(baseline - height - 1) << " L"
      << at(x + half) << "," << at(baseline - height - 1) << " L" << at(x) << ","
      << at(baseline - 1) << " z\"/>\n";
}

// What a panel's lanes drew that the key must explain.
struct Signs {
  bool cut = false;     // a span cut by the window
  bool merged = false;  // spans of different looks merged into one piece
};

// One lane's name, line, spans and marks.
Signs lane_shapes(std::ostream& svg, const Diagram& diagram, const Scale& scale,
                  const LaneBox& box) {
  const Lane& lane = diagram.lanes[box.lane];
  lane_name(svg, lane, box);
  if (scale.meets(lane.begin, lane.end)) {
    svg << "<line class=\"life\" x1=\"" << at(scale.x(lane.begin)) << "\" y1=\"" << at(box.baseline)
        << "\" x2=\"" << at(scale.x(lane.end)) << "\" y2=\"" << at(box.baseline) << "\"/>\n";
  }
  Signs signs;
  for (const Piece& piece : box.pieces) {
    piece_shape(svg, piece, scale, box.baseline, diagram.mechanism);
    signs.cut = signs.cut || piece.begin < scale.window.begin || piece.end > scale.window.end;
    signs.merged = signs.merged || !piece.look;
  }
  for (const Mark& mark : diagram.marks) {
    if (mark.lane == box.lane && scale.shows(mark.at)) {
      mark_shape(svg, scale.x(mark.at), box.baseline);
    }
  }
  return signs;
}

// An arrow from one lane's line to just under or over the other's span, under a white halo
// that keeps it clear of the lines it crosses.
void arrow_shape(std::ostream& svg, const Shown& shown, const std::vector<LaneBox>& boxes,
                 const Scale& scale, const std::string& prefix) {
  const double from_y = boxes[shown.from].baseline;
  const double to_y = boxes[shown.to].baseline;
  const double from_x = scale.x(shown.arrow->from);
  const double to_x = scale.x(shown.arrow->to);
  const double end_y = to_y + (to_y > from_y ? -span_half : span_half);
  const double middle = (from_y + end_y) / 2;
  std::ostringstream curve;
  curve << "M" << at(from_x) << "," << at(from_y) << " C" << at(from_x) << "," << at(middle) << " "
        << at(to_x) << "," << at(middle) << " " << at(to_x) << "," << at(end_y);
  const std::string path = curve.str();
  svg << "<path class=\"halo\" d=\"" << path << "\"/><path class=\"arrow\" d=\"" << path
      << "\" marker-end=\"url(#" << prefix << "-head)\"/>\n";
}

void lane_labels(std::ostream& svg, const LaneBox& box) {
  for (const Label& label : box.labels) {
    svg << "<text class=\"label\" x=\"" << at(label.x) << "\" y=\""
        << at(box.baseline - label_lift - label_row * label.row) << "\">" << page_text(label.text)
        << "</text>\n";
  }
}

// A value written on a step line, and the box it takes.
struct Value {
  double left = 0;
  double right = 0;
  double top = 0;
  double bottom = 0;
  std::string text;

  bool meets(const Value& other) const {
    return left < other.right + gap && other.left < right + gap && top < other.bottom &&
           other.top < bottom;
  }
};

// A step as drawn: from x0 to x1 at a value.
struct Tread {
  double x0 = 0;
  double x1 = 0;
  int value = 0;
};

// How a step line's values map to y: the lowest at `bottom`, `unit` apart.
struct Rise {
  double bottom = 0;
  double unit = 0;
  int lowest = 0;

  double y(int value) const {
    return bottom - unit * (value - lowest);
  }
};

// The order in which a step line's values are offered a place: the final value, the highest,
// the first, then the others from the longest level down.
std::vector<std::size_t> writing_order(const std::vector<Tread>& levels, int highest) {
  std::vector<std::size_t> order(levels.size());
  for (std::size_t index = 0; index < order.size(); ++index) {
    order[index] = index;
  }
  const auto rank = [&levels, highest](std::size_t index) {
    return std::make_tuple(index + 1 != levels.size(), levels[index].value != highest, index != 0,
                           levels[index].x0 - levels[index].x1);
  };
  std::stable_sort(order.begin(), order.end(),
                   [&rank](std::size_t one, std::size_t other) { return rank(one) < rank(other); });
  return order;
}

// The values to write on a step line, each only where it has room: it runs into no other value,
// and the line does not rise through it. The final value is always written; where the highest
// finds no room, the final value says that the line went there first ("1→0"), so that what is
// written is never untrue, however close the steps.
std::vector<Value> values_to_write(const std::vector<Tread>& levels, const Rise& rise) {
  if (levels.empty()) {
    return {};
  }
  const int highest =
      std::max_element(levels.begin(), levels.end(), [](const Tread& one, const Tread& other) {
        return one.value < other.value;
      })->value;
  const auto box = [&rise](const Tread& level, const std::string& text) {
    const double left = level.x0 + nudge;
    const double bottom = rise.y(level.value) - text_lift;
    return Value{left, left + digit_width * static_cast<double>(text.size()), bottom - text_size,
                 bottom, text};
  };
  // A drawing has room for few values: the first candidates in writing order are enough, and a
  // line of a million steps (a million threads) is not compared step with step.
  constexpr std::size_t candidates = 256;
  std::vector<Value> chosen;
  const std::vector<std::size_t> order = writing_order(levels, highest);
  for (std::size_t rank = 0; rank < order.size() && rank < candidates; ++rank) {
    const std::size_t index = order[rank];
    const Tread& level = levels[index];
    const Value value = box(level, std::to_string(level.value));
    // The levels follow each other left to right: those under the value start at this one.
    bool risen_through = false;
    for (std::size_t next = index; next < levels.size() && levels[next].x0 < value.right + gap;
         ++next) {
      risen_through = risen_through || levels[next].value > level.value;
    }
    const bool crowded = value.right > svg_width - gap ||
                         std::any_of(chosen.begin(), chosen.end(),
                                     [&value](const Value& other) { return value.meets(other); });
    if (index + 1 == levels.size() || (!risen_through && !crowded)) {
      chosen.push_back(value);
    }
  }
  if (std::none_of(chosen.begin(), chosen.end(), [highest](const Value& value) {
        return value.text == std::to_string(highest);
      })) {
    chosen.front() = box(levels.back(), std::to_string(highest) + "\u2192" + chosen.front().text);
  }
  return chosen;
}

// The path of a step line: its steps' levels at their heights (draw_parts.h).
std::string counter_path(const std::vector<Tread>& steps, const Rise& rise) {
  std::vector<Level> levels;
  levels.reserve(steps.size());
  for (const Tread& step : steps) {
    levels.push_back(Level{step.x0, step.x1, rise.y(step.value)});
  }
  return step_path(levels);
}

// A step line in a band of its own below the lanes. Returns the y below it.
double counter_shape(std::ostream& svg, const Counter& counter, const Scale& scale, Micros end,
                     double top) {
  std::vector<Tread> levels;
  for (std::size_t index = 0; index < counter.steps.size(); ++index) {
    const Step& step = counter.steps[index];
    const Micros next = index + 1 < counter.steps.size() ? counter.steps[index + 1].at : end;
    if (scale.meets(step.at, next)) {
      levels.push_back(Tread{scale.x(step.at), scale.x(next), step.value});
    }
  }
  int lowest = 0;
  int highest = 1;
  for (const Step& step : counter.steps) {
    lowest = std::min(lowest, step.value);
    highest = std::max(highest, step.value);
  }
  const double bottom = top + counter_band - lane_bottom;
  const Rise rise{bottom, (counter_band - counter_room) / (highest - lowest), lowest};
  svg << "<text class=\"lane\" x=\"" << name_left << "\" y=\"" << at(bottom - label_row) << "\">"
      << page_text(counter.name) << "</text><text class=\"id\" x=\"" << name_left << "\" y=\""
      << at(bottom) << "\">step line, " << lowest << " to " << highest << "</text>\n";
  svg << "<line class=\"zero\" x1=\"" << plot_left << "\" y1=\"" << at(rise.y(0)) << "\" x2=\""
      << plot_right << "\" y2=\"" << at(rise.y(0)) << "\"/>\n";
  svg << "<path class=\"counter\" d=\"" << counter_path(levels, rise) << "\"/>\n";
  for (const Value& value : values_to_write(levels, rise)) {
    svg << "<text class=\"value\" x=\"" << at(value.left) << "\" y=\"" << at(value.bottom) << "\">"
        << page_text(value.text) << "</text>\n";
  }
  return top + counter_band;
}

// What a panel drew: the y below it, and the signs its key must explain.
struct Drawn {
  double bottom = 0;
  Signs signs;
};

// One panel: an axis, the lanes shown, and (where asked) the step lines, over one window of time.
Drawn panel(std::ostream& svg, const Diagram& diagram, const Scale& scale, const Content& content,
            double top) {
  if (!content.caption.empty()) {
    svg << "<text class=\"panel\" x=\"" << name_left << "\" y=\"" << at(top + text_size) << "\">"
        << page_text(content.caption) << "</text>\n";
    top += caption_height;
  }
  const std::vector<Shown> arrows = arrows_shown(diagram, scale, content);
  const std::vector<LaneBox> boxes = lay_out(diagram, scale, content, arrows, top + first_lane);
  Drawn drawn{top + first_lane, {}};
  std::ostringstream body;
  for (std::size_t index = 0; index < boxes.size(); ++index) {
    const LaneBox& box = boxes[index];
    if (index % 2 == 1) {
      svg << "<rect class=\"stripe\" x=\"0\" y=\"" << at(box.top) << "\" width=\"" << svg_width
          << "\" height=\"" << at(box.height) << "\"/>\n";
    }
    const Signs signs = lane_shapes(body, diagram, scale, box);
    drawn.signs.cut = drawn.signs.cut || signs.cut;
    drawn.signs.merged = drawn.signs.merged || signs.merged;
    drawn.bottom = box.top + box.height;
  }
  for (const Shown& shown : arrows) {
    arrow_shape(body, shown, boxes, scale, diagram.mechanism);
  }
  for (const LaneBox& box : boxes) {
    lane_labels(body, box);
  }
  if (content.counters) {
    for (const Counter& counter : diagram.counters) {
      drawn.bottom = counter_shape(body, counter, scale, diagram.time.end, drawn.bottom);
    }
  }
  axis(svg, scale, top + axis_drop, drawn.bottom);
  svg << body.str();
  return drawn;
}

// One entry of a diagram's key: a small drawing and what it means.
struct Key {
  std::string swatch;
  std::string words;
};

// What each kind of arrow stands for, in the key.
std::string_view arrow_meaning(Carries carries) {
  switch (carries) {
    case Carries::bytes:
      return "the bytes, written, then read";
    case Carries::bytes_waking:
      return "the bytes, written, then read: the write wakes the waiting read";
    case Carries::wake_up:
      break;
  }
  return "who wakes whom";
}

std::vector<Key> keys(const Diagram& diagram, const Signs& signs) {
  const std::string& prefix = diagram.mechanism;
  std::vector<Key> found;
  found.push_back(
      {R"(<line class="life" x1="0" y1="6" x2="22" y2="6"/>)",
       diagram.mechanism == "threads" ? "process or thread running" : "process running"});
  if (!diagram.marks.empty()) {
    found.push_back({R"(<path class="mark" d="M6.5,1.5 L15.5,1.5 L11,10.5 z"/>)",
                     "a system call at that moment"});
  }
  for (const LookStyle& style : look_styles) {
    if (std::any_of(diagram.spans.begin(), diagram.spans.end(),
                    [&style](const Span& span) { return span.look == style.look; })) {
      found.push_back({R"(<rect x="0" y="0" width="22" height="12" fill=")" +
                           fill_of(prefix, style.look) + "\" stroke=\"" +
                           std::string(style.stroke) + "\"/>",
                       std::string(style.meaning)});
    }
  }
  if (signs.merged) {
    found.push_back({R"(<rect x="0" y="0" width="22" height="12" fill="url(#)" + prefix + "-" +
                         std::string(merged_style.name) + ")\" stroke=\"" +
                         std::string(merged_style.stroke) + "\"/>",
                     std::string(merged_style.meaning)});
  }
  if (signs.cut) {
    found.push_back({R"(<path class="edge" stroke="#444" d="M0,0 H14 M14,12 H0 V0"/>)"
                     R"(<path fill="#444" d="M16,0 L22,6 L16,12 z"/>)",
                     "goes on past the edge"});
  }
  std::vector<Carries> told;
  for (const Arrow& arrow : diagram.arrows) {
    if (std::find(told.begin(), told.end(), arrow.carries) == told.end()) {
      told.push_back(arrow.carries);
      found.push_back(
          {R"(<path class="arrow" d="M0,6 L20,6" marker-end="url(#)" + prefix + "-head)\"/>",
           std::string(arrow_meaning(arrow.carries))});
    }
  }
  return found;
}

// The key to one diagram, in rows as wide as the figure. Returns the y below it.
double legend(std::ostream& svg, const std::vector<Key>& entries, double top) {
  constexpr double swatch_width = 30;
  constexpr double spacing = 18;
  constexpr double row = 20;
  double x = name_left;
  double y = top + 8;
  for (const Key& key : entries) {
    const double length = swatch_width + text_width(key.words) + spacing;
    if (x + length > svg_width - name_left) {
      x = name_left;
      y += row;
    }
    svg << "<g transform=\"translate(" << at(x) << "," << at(y) << ")\">" << key.swatch
        << "<text class=\"key\" x=\"" << swatch_width << "\" y=\"10\">" << page_text(key.words)
        << "</text></g>\n";
    x += length;
  }
  return y + row + 2;
}

// A sentence that describes the SVG to those who cannot see it.
int highest_of(const Counter& counter) {
  int highest = 0;
  for (const Step& step : counter.steps) {
    highest = std::max(highest, step.value);
  }
  return highest;
}

std::string description(const Diagram& diagram) {
  if (!diagram.missing.empty()) {
    return std::string("Not recorded: ") + diagram.missing;
  }
  std::string text = "Lanes: ";
  std::string_view separator;
  for (const Lane& lane : diagram.lanes) {
    text += std::string(separator) + lane.label();
    separator = ", ";
  }
  text += ". Spans: ";
  separator = "";
  // Many spans (thousands of waits) are told by the first ones and their number.
  constexpr std::size_t spans_told = 24;
  std::size_t spans = 0;
  for (const Span& span : diagram.spans) {
    if (span.look != Look::alive && spans++ < spans_told) {
      text += std::string(separator) + span.name + " (" + diagram.lanes[span.lane].label() + ", " +
              milliseconds(span.end - span.begin) + ")";
      separator = ", ";
    }
  }
  if (spans > spans_told) {
    text += " ... (" + std::to_string(spans) + " spans in all)";
  }
  text += ".";
  for (const Arrow& arrow : diagram.arrows) {
    text += " An arrow (" + arrow.name + ") from " + diagram.lanes[arrow.from_lane].label() +
            " to " + diagram.lanes[arrow.to_lane].label() + ".";
  }
  // A long step line is told by its first values, its highest and its last.
  constexpr std::size_t values_told = 24;
  for (const Counter& counter : diagram.counters) {
    text += " A step line of " + counter.name + ":";
    const std::size_t steps = counter.steps.size();
    for (std::size_t index = 0; index < steps && index < values_told; ++index) {
      text += ' ' + std::to_string(counter.steps[index].value);
    }
    if (steps > values_told) {
      text += " ... " + std::to_string(counter.steps.back().value) + " (" + std::to_string(steps) +
              " steps, at most " + std::to_string(highest_of(counter)) + ")";
    }
    text += ".";
  }
  return text;
}

// The whole step, then (where the diagram asks) the stretch that matters, magnified, with a
// dashed box on the whole step round the stretch.
Drawn panels(std::ostream& svg, const Diagram& diagram) {
  std::vector<std::size_t> all(diagram.lanes.size());
  for (std::size_t index = 0; index < all.size(); ++index) {
    all[index] = index;
  }
  const Scale whole{diagram.time, diagram.time.begin};
  if (!diagram.detail) {
    return panel(svg, diagram, whole, Content{"", all, true, std::nullopt}, 0);
  }
  Content overview{"The whole step", all, diagram.overview_counters, diagram.detail};
  overview.lanes.resize(std::min(diagram.overview_lanes, all.size()));
  const Drawn first = panel(svg, diagram, whole, overview, 0);
  constexpr double box_top = caption_height + axis_drop + 6;
  constexpr double thinnest_box = 3;
  const double x0 = whole.x(diagram.detail->begin);
  const double x1 = std::max(whole.x(diagram.detail->end), x0 + thinnest_box);
  svg << "<rect class=\"zoom\" x=\"" << at(x0) << "\" y=\"" << at(box_top) << "\" width=\""
      << at(x1 - x0) << "\" height=\"" << at(first.bottom - box_top)
      << "\"/><text class=\"label\" x=\"" << at(x1) << "\" y=\"" << at(first.bottom + 13)
      << "\" text-anchor=\"end\">magnified below</text>\n";
  Content magnified{diagram.detail_caption, diagram.detail_lanes, true, std::nullopt};
  if (magnified.lanes.empty()) {
    magnified.lanes = all;
  }
  const Drawn second = panel(svg, diagram, Scale{*diagram.detail, diagram.time.begin}, magnified,
                             first.bottom + caption_height);
  return {second.bottom,
          {first.signs.cut || second.signs.cut, first.signs.merged || second.signs.merged}};
}

std::string figure(const Diagram& diagram) {
  std::ostringstream svg;
  double height = 0;
  if (!diagram.missing.empty()) {
    constexpr double missing_height = 48;
    svg << "<text class=\"missing\" x=\"" << name_left
        << "\" y=\"30\">Not recorded: " << page_text(diagram.missing) << "</text>\n";
    height = missing_height;
  } else {
    // Which recording the lanes come from, over them; the scheduler's view, if any, under them.
    constexpr Frame frame{svg_width, plot_left, plot_right, name_left};
    const double below = recording_line(svg, diagram, frame, 0);
    svg << "<g transform=\"translate(0," << at(below) << ")\">\n";
    const Drawn drawn = panels(svg, diagram);
    height = below + legend(svg, keys(diagram, drawn.signs), drawn.bottom + 4);
    svg << "</g>\n";
    height = scheduler_panels(svg, diagram, frame, height);
  }
  const std::string& id = diagram.mechanism;
  std::ostringstream out;
  out << "<section id=\"" << id << "\">\n<h2>" << page_text(diagram.title)
      << "</h2>\n<figure>\n<div class=\"drawing\">\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << svg_width << " "
      << at(height) << "\" role=\"img\" aria-labelledby=\"" << id << "-title " << id
      << "-desc\">\n<title id=\"" << id << "-title\">" << page_text(diagram.title) << "</title>\n"
      << "<desc id=\"" << id << "-desc\">" << page_text(description(diagram)) << "</desc>\n"
      << definitions(id) << svg.str() << "</svg>\n</div>\n<figcaption>\n";
  for (const std::string& note : diagram.notes) {
    out << "<p>" << page_text(note) << "</p>\n";
  }
  out << "</figcaption>\n</figure>\n</section>\n";
  return out.str();
}

// A drawing scrolls sideways, its caption staying in place, rather than shrink its SVG below the
// width at which text_size text shows readable_px high.
constexpr std::string_view style = R"(
body { font-family: "DejaVu Sans", "Helvetica Neue", Arial, sans-serif; color: #111;
       max-width: 62rem; margin: 1.5rem auto; padding: 0 1rem; line-height: 1.45; }
h1 { font-size: 1.5rem; margin-bottom: 0.3rem; }
h2 { font-size: 1.15rem; margin: 2rem 0 0.4rem; }
figure { margin: 0; }
.drawing { overflow-x: auto; }
figcaption p { margin: 0.35rem 0; max-width: 52rem; }
svg { display: block; width: 100%; height: auto; border: 1px solid #ccc; background: #fff;
      box-sizing: border-box; }
svg text { font-family: "DejaVu Sans", "Helvetica Neue", Arial, sans-serif; fill: #111; }
.lane { font-size: 12px; font-weight: bold; }
.small { font-size: 11px; font-weight: normal; }
.id { font-size: 11px; fill: #444; font-weight: normal; }
.label { font-size: 11px; paint-order: stroke; stroke: #fff; stroke-width: 3px;
         stroke-linejoin: round; }
.tick { font-size: 11px; text-anchor: middle; fill: #333; }
.unit { font-size: 11px; text-anchor: end; fill: #333; }
.key { font-size: 11px; }
.value { font-size: 11px; font-weight: bold; paint-order: stroke; stroke: #fff;
         stroke-width: 3px; stroke-linejoin: round; }
.panel { font-size: 11px; font-style: italic; fill: #333; }
.missing { font-size: 14px; }
.axis { stroke: #333; stroke-width: 1; }
.grid { stroke: #bbb; stroke-width: 0.6; stroke-dasharray: 2 3; }
.stripe { fill: #f3f3f3; }
.life { stroke: #444; stroke-width: 1.6; }
.edge { fill: none; stroke-width: 1; }
.mark { fill: #000; }
.arrow { fill: none; stroke: #000; stroke-width: 1.6; }
.halo { fill: none; stroke: #fff; stroke-width: 4.5; }
.counter { fill: none; stroke: #000; stroke-width: 2; }
.zero { stroke: #888; stroke-width: 0.8; }
.zoom { fill: none; stroke: #000; stroke-width: 1; stroke-dasharray: 4 3; }
.source { font-size: 11px; font-weight: bold; fill: #333; }
.divide { stroke: #999; stroke-width: 1; }
.asleep { stroke: #555; stroke-width: 1.6; stroke-dasharray: 1.5 2.5; }
.oncpu { font-size: 11px; font-weight: bold; fill: #fff; }
.cap { stroke: #d55e00; stroke-width: 1; stroke-dasharray: 5 3; }
.intro { max-width: 52rem; }
@page { size: A4; margin: 12mm; }
@media print {
  body { max-width: none; margin: 0; padding: 0; font-size: 10pt; }
  section { break-inside: avoid; page-break-inside: avoid; }
  .drawing { overflow: visible; }
  svg { border: none; min-width: 0; }
}
)";

}  // namespace

std::string page_html(const std::vector<Diagram>& diagrams) {
  // The narrowest an SVG may be drawn, its border included, for text_size to show readable_px.
  const double narrowest = std::ceil(svg_width * readable_px / text_size) + 2 * border;
  std::ostringstream out;
  out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      << "<title>ipcwalk: the tour as a timeline</title>\n<style>" << style
      << "@media screen { svg { min-width: " << narrowest
      << "px; } }\n</style>\n</head>\n<body>\n<h1>The tour as a timeline</h1>\n"
      << "<p class=\"intro\">Each diagram is one step of the tour, drawn from the times at which "
         "strace saw its system calls (strace -f -ttt -T). Time runs left to right, in "
         "milliseconds from the start of the step; each lane is one process or thread, named "
         "after its program with its pid or tid. strace stops every process at every system "
         "call, so all of this runs slower than it would without it: the order of things is "
         "what counts, not the exact times. On a narrow screen, scroll a diagram sideways.</p>\n";
  if (std::any_of(diagrams.begin(), diagrams.end(),
                  [](const Diagram& diagram) { return diagram.cpu.has_value(); })) {
    out << "<p class=\"intro\">Under a step's lanes, the scheduler's view: the tour ran the step "
           "a second time without strace while perf recorded the kernel's scheduler events. It "
           "shows no system calls, but real times: when each thread ran and on which CPU, when "
           "it waited for a CPU, when it slept and who woke it. In timeline.json these runs are "
           "the kernel's own trace text, which Perfetto draws as CPU tracks and thread states; "
           "being other runs, they come after strace's run there, one after another.</p>\n";
  }
  for (const Diagram& diagram : diagrams) {
    out << figure(diagram);
  }
  out << "</body>\n</html>\n";
  return out.str();
}

}  // namespace lens
