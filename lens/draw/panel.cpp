#include "draw/panel.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "draw/svg.h"

namespace lens::svg {
namespace {

constexpr double caption_height = 16;  // "The whole step", above a view
constexpr double axis_drop = 18;       // from a view's top (under its caption) to its axis
constexpr double first_lane = 8;       // from the axis to the first lane
constexpr double label_lift = 13.5;    // from a lane's line to its lowest labels' baseline
constexpr double label_row = 14;       // from one row of labels to the next
constexpr int most_rows = 6;           // a label that finds no room in these is left out
constexpr double reach = 60;           // how far a label may move sideways to find room
constexpr double lane_pad = 3;         // round what a lane holds
constexpr double name_lift = 1;        // a lane's name's baseline over its line
constexpr double id_drop = 12.5;       // the pid's or tid's baseline under the line
constexpr double compact_half_height = 8.5;
constexpr double name_column = plot_left - gap - name_left;  // the names' width
constexpr double on_line = 4;           // from a line to the baseline of a text centred on it
constexpr double mark_half = 4.5;       // a mark's half width
constexpr double mark_top = 10;         // a mark's top over the line
constexpr double mark_tip = 1;          // its tip over the line
constexpr double mark_label_lead = 3;   // a mark's label starts this far left of it
constexpr double arrow_label_lead = 4;  // an arrow's label starts this far right of its tail
constexpr double arrow_clearance = 6;   // round an arrow, for labels: its head is this wide
constexpr double inside_pad = 3;        // from a bar's start to the text in it
constexpr double counter_band = 64;     // a step line's band
constexpr double counter_room = 28;     // of which above its highest value and below its lowest
constexpr double counter_below = 12;    // from its lowest value to the band's bottom
constexpr double name_over = 14;        // a step line's name over its description
constexpr double value_lead = 2;        // a value starts this far right of its level's start
constexpr double text_ascent = 0.9;     // of a text's size, over its baseline (labels.cpp)
constexpr double zoom_drop = 6;         // from the axis to the top of a magnified stretch's box
constexpr double zoom_note = 13;        // "magnified below", under that box
constexpr double thinnest_box = 3;
constexpr double stroke_reach = 1;  // half a line's width, round a line as an obstacle
constexpr double infinite = 1e9;
// Writing values on a step line: a drawing has room for few, and a line of a million steps is
// not compared step with step.
constexpr std::size_t value_candidates = 256;
// Labels wanted on one lane: more could not find room in any case, and would cost time.
constexpr std::size_t most_labels = 2000;

// A view's markup, in layers, each drawn over the one before.
struct Layers {
  std::string under;   // stripes, names, lines: the ground of what follows
  std::string marks;   // what labels keep off
  std::string arrows;  // over the marks, each on a white halo
  std::string labels;
};

// An arrow shown in a view: its lanes' places among those shown, its ends' x, and its tag.
struct Shown {
  const Arrow* arrow = nullptr;
  std::size_t from = 0;
  std::size_t to = 0;
  double x0 = 0;
  double x1 = 0;
  Tag tag = no_tag;
};

// A lane of a view, laid out in its own coordinates (its line at y = 0), then placed.
struct Laid {
  std::size_t lane = 0;
  bool compact = false;
  std::vector<Piece> pieces;
  std::vector<Tag> piece_tags;
  std::vector<const Mark*> marks;
  std::vector<Tag> mark_tags;
  std::vector<Placed> labels;  // over the lane, and its summary
  std::vector<Placed> inside;  // in its bars: "CPU 1"
  double up = 0;               // from its top to its line
  double down = 0;             // from its line to its bottom
  double line = 0;             // its line's y, once placed
};

double half_of(const std::optional<Shade>& shade, bool compact) {
  const double half = shade ? style_of(*shade).half : span_half;
  return compact ? std::min(half, compact_half) : half;
}

std::string id_text(const Lane& lane) {
  return joined(
      {lane.id == lane.process || lane.process == 0 ? "pid " : "tid ", std::to_string(lane.id)});
}

// The text written over a piece: a span's label (strace's with its length, since a call's length
// is what strace shows), or what merged spans were; none for a thread's life.
std::string piece_text(const Panel& panel, const Piece& piece) {
  if (piece.shade == Shade::alive) {
    return "";
  }
  if (piece.only != nullptr) {
    if (piece.label.empty() || panel.source != Source::strace) {
      return piece.label;
    }
    return piece.label + " " + milliseconds(length_of(piece.begin, piece.end));
  }
  const std::string times = joined({" \u00d7", std::to_string(piece.spans)});
  if (!piece.shade && piece.switches > 0) {
    return joined({"busy, ", std::to_string(piece.switches), " switches"});
  }
  if (!piece.label.empty()) {
    return piece.label + times;
  }
  return piece.shade ? "" : joined({"spans", times});
}

// Whether a moment's label belongs in this view: not where a magnified view below shows it.
bool labelled(const View& view, Micros when) {
  return !view.magnified || when < view.magnified->begin || when > view.magnified->end;
}

// A lane's name as drawn, cut to its column; a compact lane's has its id after it.
std::string drawn_name(const Lane& lane, bool compact) {
  if (compact) {
    return fitted(lane.name, plain_font,
                  name_column - text_width(joined({" ", id_text(lane)}), plain_font));
  }
  return fitted(lane.name, name_font, name_column);
}

// The boxes of a lane's name (and id), in its own coordinates.
std::vector<Box> name_boxes(const Lane& lane, bool compact) {
  if (compact) {
    return {
        text_box(drawn_name(lane, true) + " " + id_text(lane), plain_font, {name_left, on_line})};
  }
  return {text_box(drawn_name(lane, false), name_font, {name_left, -name_lift}),
          text_box(id_text(lane), plain_font, {name_left, id_drop})};
}

// The texts in running bars, where they fit: "CPU 1", or with how many times it ran.
void inside_texts(Laid& laid, Placer& placer) {
  if (laid.compact) {
    return;
  }
  for (std::size_t index = 0; index < laid.pieces.size(); ++index) {
    const Piece& piece = laid.pieces[index];
    if (piece.shade != Shade::running) {
      continue;
    }
    const std::string cpu = joined({"CPU ", std::to_string(piece.cpu)});
    const std::string counted = cpu + ", " + std::to_string(piece.switches) + " switches";
    const double room = piece.x1 - piece.x0 - 2 * inside_pad;
    const std::string& text =
        piece.switches > 1 && text_width(counted, bold_font) <= room ? counted : cpu;
    const double text_length = text_width(text, bold_font);
    if (text_length > room) {
      continue;
    }
    const Box box = text_box(text, bold_font, {piece.x0 + inside_pad, on_line});
    if (placer.place({box}, laid.piece_tags[index])) {
      laid.inside.push_back(Placed{text, box.left, on_line, laid.piece_tags[index], bold_font, -1});
    }
  }
}

// The lane's summary: after its end on its line, or before its beginning, or else in a row of
// its own over it; a compact lane's right of its name first.
void summary_label(Laid& laid, const Lane& lane, const Scale& scale, Placer& placer,
                   const Rows& rows) {
  if (lane.summary.empty() || !scale.meets(lane.begin, lane.end)) {
    return;
  }
  const double width = text_width(lane.summary, plain_font);
  const double end = scale.x(lane.end);
  const double begin = scale.x(lane.begin);
  std::vector<Box> candidates;
  if (laid.compact) {
    candidates.push_back(
        text_box(lane.summary, plain_font, {plot_left - gap, on_line}, Anchor::end));
  }
  // Beside the lane's end or beginning where the view shows it: where the view cuts the lane,
  // the summary would stand by the names, or past the plot, for a lane that goes on.
  for (const double x : {end + gap, end + mark_half + gap, end + cut_sign + 2 * gap}) {
    if (scale.shows(lane.end)) {
      candidates.push_back(text_box(lane.summary, plain_font, {x, on_line}));
    }
  }
  for (const double x : {begin - gap, begin - mark_half - gap, begin - cut_sign - 2 * gap}) {
    if (scale.shows(lane.begin) && x - width >= plot_left - gap) {
      candidates.push_back(text_box(lane.summary, plain_font, {x, on_line}, Anchor::end));
    }
  }
  if (const auto chosen = placer.place(candidates, no_tag)) {
    laid.labels.push_back(
        Placed{lane.summary, candidates[*chosen].left, on_line, no_tag, plain_font, -1});
    return;
  }
  if (const auto placed = place_in_rows(placer, {lane.summary, end - width, no_tag}, rows, reach)) {
    laid.labels.push_back(*placed);
  }
}

// Lays out one lane: its pieces, and every label it carries placed.
Laid lay_out(const Panel& panel, const View& view, const Scale& scale, std::size_t lane_index,
             const std::vector<const Span*>& spans, std::size_t place,
             const std::vector<Shown>& arrows, Tag& tags) {
  const Lane& lane = panel.lanes[lane_index];
  Laid laid;
  laid.lane = lane_index;
  laid.compact = lane.compact;
  laid.pieces = pieces(spans, scale);
  Placer placer(Box{name_left, -infinite, width - gap, infinite});
  for (const Box& box : name_boxes(lane, laid.compact)) {
    placer.block(box);
  }
  for (const Piece& piece : laid.pieces) {
    const Tag tag = tags++;
    laid.piece_tags.push_back(tag);
    const double half = std::max(half_of(piece.shade, laid.compact), stroke_reach);
    const bool cut_before = piece.begin < scale.window.begin;
    const bool cut_after = piece.end > scale.window.end;
    placer.block(Box{piece.x0 - (cut_before ? cut_sign + 2 : 0), -half,
                     piece.x1 + (cut_after ? cut_sign + 2 : 0), half},
                 tag);
  }
  for (const Mark& mark : panel.marks) {
    if (mark.lane == lane_index && scale.shows(mark.at)) {
      const Tag tag = tags++;
      laid.marks.push_back(&mark);
      laid.mark_tags.push_back(tag);
      const double x = scale.x(mark.at);
      placer.block(Box{x - mark_half, -mark_top, x + mark_half, -mark_tip}, tag);
    }
  }
  // An arrow runs from one lane's line to another's: it crosses the labels of the lower lane
  // (which sit over its line), the whole of every lane between, and the upper lane under its
  // line.
  for (const Shown& shown : arrows) {
    const std::size_t upper = std::min(shown.from, shown.to);
    const std::size_t lower = std::max(shown.from, shown.to);
    if (place < upper || place > lower) {
      continue;
    }
    const double top = place == upper ? 0 : -infinite;
    const double bottom = place == lower && place != upper ? 0 : infinite;
    placer.block(Box{std::min(shown.x0, shown.x1) - arrow_clearance, top,
                     std::max(shown.x0, shown.x1) + arrow_clearance, bottom},
                 shown.tag);
  }
  inside_texts(laid, placer);
  const Rows rows{label_lift, label_row, laid.compact ? 0 : most_rows};
  std::vector<Wanted> wanted;
  for (const Shown& shown : arrows) {
    if (shown.from == place && !shown.arrow->label.empty() && labelled(view, shown.arrow->to)) {
      wanted.push_back(Wanted{shown.arrow->label, shown.x0 + arrow_label_lead, shown.tag});
    }
  }
  for (std::size_t index = 0; index < laid.marks.size(); ++index) {
    const Mark& mark = *laid.marks[index];
    if (!mark.label.empty() && labelled(view, mark.at)) {
      wanted.push_back(
          Wanted{mark.label, scale.x(mark.at) - mark_label_lead, laid.mark_tags[index]});
    }
  }
  for (std::size_t index = 0; index < laid.pieces.size(); ++index) {
    const Piece& piece = laid.pieces[index];
    std::string text = laid.compact || !labelled(view, piece.begin) ? "" : piece_text(panel, piece);
    // A call is labelled however short (its label says how long it took); merged spans, and a
    // sleep (labelled with who ended it), only over a piece as wide as the label.
    const bool over_its_own = piece.only == nullptr || piece.shade == Shade::asleep;
    if (!text.empty() && (!over_its_own || text_width(text, plain_font) <= piece.x1 - piece.x0)) {
      wanted.push_back(Wanted{std::move(text), piece.x0, laid.piece_tags[index]});
    }
  }
  if (!laid.compact) {
    std::stable_sort(wanted.begin(), wanted.end(),
                     [](const Wanted& one, const Wanted& other) { return one.x < other.x; });
    wanted.resize(std::min(wanted.size(), most_labels));
    for (const Wanted& each : wanted) {
      if (auto placed = place_in_rows(placer, each, rows, reach)) {
        laid.labels.push_back(std::move(*placed));
      }
    }
  }
  summary_label(laid, lane, scale, placer, rows);
  double top = laid.compact ? -compact_half_height : -(name_lift + name_font.size + lane_pad);
  double bottom = laid.compact ? compact_half_height : id_drop + text_size / 2 + lane_pad;
  for (const std::vector<Placed>* texts : {&laid.labels, &laid.inside}) {
    for (const Placed& placed : *texts) {
      const Box box = text_box(placed.text, placed.font, {placed.x, placed.baseline});
      top = std::min(top, box.top - lane_pad);
      bottom = std::max(bottom, box.bottom + lane_pad);
    }
  }
  laid.up = -top;
  laid.down = bottom;
  return laid;
}

// The data-id of a thing a label names, where one does.
std::string id_of(Tag tag, const std::vector<Tag>& named) {
  return std::binary_search(named.begin(), named.end(), tag)
             ? joined({" data-id=\"", std::to_string(tag), "\""})
             : std::string();
}

// A piece of a lane, cut to the window: where the window cuts it, its outline stays open on that
// side and a small arrowhead past the edge says that it goes on.
void piece_shape(std::string& out, const Piece& piece, const Scale& scale, double line,
                 bool compact, std::string_view prefix, const std::string& id) {
  const double half = half_of(piece.shade, compact);
  const std::string stroke = !piece.shade ? std::string("#555555")
                             : *piece.shade == Shade::running
                                 ? std::string(cpu_colour(piece.cpu))
                                 : std::string(style_of(*piece.shade).stroke);
  if (half == 0) {
    append(out, {"<path class=\"asleep\"", id, " d=\"M", at(piece.x0), ",", at(line), " H",
                 at(piece.x1), "\"/>\n"});
    return;
  }
  const std::string fill = piece.shade ? fill_of(prefix, *piece.shade, piece.cpu)
                                       : joined({"url(#", prefix, "-merged)"});
  const bool cut_before = piece.begin < scale.window.begin;
  const bool cut_after = piece.end > scale.window.end;
  const double top = line - half;
  const double bottom = line + half;
  append(out, {"<rect", id, " x=\"", at(piece.x0), "\" y=\"", at(top), "\" width=\"",
               at(piece.x1 - piece.x0), "\" height=\"", at(2 * half), "\" fill=\"", fill, "\""});
  if (!cut_before && !cut_after) {
    append(out, {" stroke=\"", stroke, "\"/>\n"});
    return;
  }
  append(out,
         {"/><path class=\"edge\"", id, " stroke=\"", stroke, "\" d=\"M", at(piece.x0), ",",
          at(top), " H", at(piece.x1),
          cut_after ? joined({" M", at(piece.x1), ",", at(bottom)}) : joined({" V", at(bottom)}),
          " H", at(piece.x0), cut_before ? "" : joined({" V", at(top)}), "\"/>"});
  for (const bool after : {false, true}) {
    if (after ? cut_after : cut_before) {
      const double base = after ? piece.x1 + 2 : piece.x0 - 2;
      const double tip = after ? base + cut_sign : base - cut_sign;
      append(out,
             {"<path class=\"cut\"", id, " fill=\"", stroke, "\" d=\"M", at(base), ",", at(top),
              " L", at(tip), ",", at(line), " L", at(base), ",", at(bottom), " z\"/>"});
    }
  }
  out += "\n";
}

// The lane's line where it lives and no piece covers it.
std::string life_path(const std::vector<Piece>& pieces, double begin, double end, double line) {
  constexpr double least = 0.3;
  std::string d;
  double from = begin;
  const auto segment = [&d, line](double x0, double x1) {
    if (x1 - x0 > least) {
      append(d, {"M", at(x0), ",", at(line), " H", at(x1)});
    }
  };
  for (const Piece& piece : pieces) {
    segment(from, std::min(piece.x0, end));
    from = std::max(from, piece.x1);
  }
  segment(from, end);
  return d;
}

// The lane: its stripe (every other one), name, line, pieces and marks.
void lane_shapes(Layers& layers, const Panel& panel, const Laid& laid, std::size_t place,
                 const Scale& scale, std::string_view prefix, const std::vector<Tag>& named,
                 Signs& signs) {
  const Lane& lane = panel.lanes[laid.lane];
  const double line = laid.line;
  if (place % 2 == 1) {
    append(layers.under, {"<rect class=\"stripe\" x=\"0\" y=\"", at(line - laid.up), "\" width=\"",
                          at(width), "\" height=\"", at(laid.up + laid.down), "\"/>\n"});
  }
  if (laid.compact) {
    append(layers.under, {"<text class=\"lane small\" x=\"", at(name_left), "\" y=\"",
                          at(line + on_line), "\">", escape(drawn_name(lane, true)),
                          " <tspan class=\"id\">", id_text(lane), "</tspan></text>\n"});
  } else {
    layers.under += text("lane", name_left, line - name_lift, drawn_name(lane, false));
    layers.under += text("id", name_left, line + id_drop, id_text(lane));
  }
  if (scale.meets(lane.begin, lane.end)) {
    const std::string d = life_path(laid.pieces, scale.x(lane.begin), scale.x(lane.end), line);
    if (!d.empty()) {
      append(layers.under, {"<path class=\"life\" d=\"", d, "\"/>\n"});
      signs.life = true;
    }
  }
  for (std::size_t index = 0; index < laid.pieces.size(); ++index) {
    const Piece& piece = laid.pieces[index];
    piece_shape(layers.marks, piece, scale, line, laid.compact, prefix,
                id_of(laid.piece_tags[index], named));
    if (piece.shade) {
      signs.shades[static_cast<std::size_t>(*piece.shade)] = true;
    }
    if (piece.shade == Shade::running &&
        std::find(signs.cpus.begin(), signs.cpus.end(), piece.cpu) == signs.cpus.end()) {
      signs.cpus.push_back(piece.cpu);
    }
    signs.merged = signs.merged || !piece.shade;
    signs.cut = signs.cut || piece.begin < scale.window.begin || piece.end > scale.window.end;
  }
  for (std::size_t index = 0; index < laid.marks.size(); ++index) {
    const double x = scale.x(laid.marks[index]->at);
    append(layers.marks, {"<path class=\"mark\"", id_of(laid.mark_tags[index], named), " d=\"M",
                          at(x - mark_half), ",", at(line - mark_top), " L", at(x + mark_half), ",",
                          at(line - mark_top), " L", at(x), ",", at(line - mark_tip), " z\"/>\n"});
    signs.marks = true;
  }
}

// A placed label as a text, with what it names.
std::string label_text(const Placed& placed, double line, std::string_view css_class) {
  std::string out = joined({"<text class=\"", css_class, "\""});
  if (placed.names != no_tag) {
    append(out, {" data-of=\"", std::to_string(placed.names), "\""});
  }
  append(out, {" x=\"", at(placed.x), "\" y=\"", at(line + placed.baseline), "\">",
               escape(placed.text), "</text>\n"});
  return out;
}

// The values written on a step line, each only where it has room. The final value is offered a
// place first, then the highest, the first, and the others from the longest level down; where
// the highest finds none, the final value says that the line went there first ("1→0"), so that
// what is written is never untrue, however close the steps.
std::vector<Placed> step_values(const std::vector<Tread>& treads, const std::vector<int>& values,
                                Placer& placer, double top) {
  if (treads.empty()) {
    return {};
  }
  const auto highest = *std::max_element(values.begin(), values.end());
  std::vector<std::size_t> order(treads.size());
  for (std::size_t index = 0; index < order.size(); ++index) {
    order[index] = index;
  }
  const std::size_t last = treads.size() - 1;
  const auto rank = [&](std::size_t index) {
    return std::make_tuple(index != last, values[index] != highest, index != 0,
                           treads[index].x0 - treads[index].x1);
  };
  const std::size_t offered = std::min(order.size(), value_candidates);
  std::partial_sort(
      order.begin(), order.begin() + static_cast<std::ptrdiff_t>(offered), order.end(),
      [&rank](std::size_t one, std::size_t other) { return rank(one) < rank(other); });
  // Where a value may go: over its level, from its start or up to its end; the final value also
  // right of the line's end, or else over the whole line at the band's top.
  struct Place {
    Spot spot;
    Anchor anchor = Anchor::start;
  };
  const auto over = [&treads](std::size_t index) {
    const Tread& tread = treads[index];
    return std::vector<Place>{{{tread.x0 + value_lead, tread.y - text_lift}},
                              {{tread.x1, tread.y - text_lift}, Anchor::end}};
  };
  std::vector<Place> final_places{{{treads[last].x1 + value_lead, treads[last].y + on_line}}};
  for (const Place& place : over(last)) {
    final_places.push_back(place);
  }
  final_places.push_back(
      {{treads[last].x1, top + plain_font.size * text_ascent + stroke_reach / 2}, Anchor::end});
  std::vector<Placed> written;
  // Places the text at the first of the places free; whether it did.
  const auto write = [&written](Placer& into, const std::string& text,
                                const std::vector<Place>& places) {
    std::vector<Box> boxes;
    boxes.reserve(places.size());
    for (const Place& place : places) {
      boxes.push_back(text_box(text, bold_font, place.spot, place.anchor));
    }
    const auto chosen = into.place(boxes, no_tag);
    if (chosen) {
      written.push_back(
          Placed{text, boxes[*chosen].left, places[*chosen].spot.baseline, no_tag, bold_font, -1});
    }
    return chosen.has_value();
  };
  // The final value and the highest, together where both find room.
  const std::string final_text = std::to_string(values[last]);
  Placer tried = placer;
  bool highest_written = values[last] == highest;
  if (write(tried, final_text, final_places)) {
    for (std::size_t rank_index = 1; rank_index < offered && !highest_written; ++rank_index) {
      const std::size_t index = order[rank_index];
      if (values[index] != highest) {
        break;
      }
      highest_written = write(tried, std::to_string(highest), over(index));
    }
    if (highest_written) {
      placer = tried;
    } else {
      written.clear();
    }
  }
  if (!highest_written) {
    write(placer, std::to_string(highest) + "\u2192" + final_text, final_places);
  }
  for (std::size_t rank_index = 0; rank_index < offered; ++rank_index) {
    const std::size_t index = order[rank_index];
    if (index != last && values[index] != highest) {
      write(placer, std::to_string(values[index]), {over(index).front()});
    }
  }
  return written;
}

// A step line in a band of its own below the lanes, with its values, and its ceiling where it
// has one. Returns the y below it.
double counter_shape(Layers& layers, const Counter& counter, const Scale& scale, Micros end,
                     double top) {
  std::vector<Tread> treads;
  std::vector<int> values;
  int lowest = 0;
  int highest = 1;
  for (std::size_t index = 0; index < counter.levels.size(); ++index) {
    const Level& level = counter.levels[index];
    lowest = std::min(lowest, level.value);
    highest = std::max(highest, level.value);
    const Micros next = index + 1 < counter.levels.size() ? counter.levels[index + 1].at : end;
    if (scale.meets(level.at, next)) {
      treads.push_back(Tread{scale.x(level.at), scale.x(next), 0});
      values.push_back(level.value);
    }
  }
  if (counter.ceiling) {
    highest = std::max(highest, *counter.ceiling);
  }
  const double bottom = top + counter_band - counter_below;
  const double unit =
      (counter_band - counter_room) / (static_cast<double>(highest) - static_cast<double>(lowest));
  const auto y = [&](int value) {
    return bottom - unit * (static_cast<double>(value) - static_cast<double>(lowest));
  };
  for (std::size_t index = 0; index < treads.size(); ++index) {
    treads[index].y = y(values[index]);
  }
  layers.under += text("lane", name_left, bottom - name_over,
                       fitted(counter.name, name_font, plot_left - gap - name_left));
  layers.under +=
      text("id", name_left, bottom,
           joined({"step line, ", std::to_string(lowest), " to ", std::to_string(highest)}));
  append(layers.under, {"<line class=\"zero\" x1=\"", at(plot_left), "\" y1=\"", at(y(0)),
                        "\" x2=\"", at(plot_right), "\" y2=\"", at(y(0)), "\"/>\n"});
  Placer placer(Box{plot_left - gap, top, width - gap, top + counter_band});
  for (const Box& box : step_boxes(treads)) {
    placer.block(box);
  }
  if (counter.ceiling) {
    const double line = y(*counter.ceiling);
    append(layers.under, {"<line class=\"cap\" x1=\"", at(plot_left), "\" y1=\"", at(line),
                          "\" x2=\"", at(plot_right), "\" y2=\"", at(line), "\"/>\n"});
    const Box box =
        text_box(counter.ceiling_label, plain_font, {plot_right, line - text_lift}, Anchor::end);
    if (!counter.ceiling_label.empty() && placer.place({box}, no_tag)) {
      layers.labels +=
          label_text(Placed{counter.ceiling_label, box.left, line - text_lift}, 0, "label");
    }
  }
  append(layers.marks, {"<path class=\"counter\" d=\"", step_path(treads), "\"/>\n"});
  for (const Placed& value : step_values(treads, values, placer, top)) {
    layers.labels += label_text(value, 0, "value");
  }
  return top + counter_band;
}

}  // namespace

void Signs::add(const Signs& other) {
  for (std::size_t index = 0; index < shades.size(); ++index) {
    shades[index] = shades[index] || other.shades[index];
  }
  for (const int cpu : other.cpus) {
    if (std::find(cpus.begin(), cpus.end(), cpu) == cpus.end()) {
      cpus.push_back(cpu);
    }
  }
  merged = merged || other.merged;
  cut = cut || other.cut;
  marks = marks || other.marks;
  life = life || other.life;
  for (std::size_t index = 0; index < carries.size(); ++index) {
    carries[index] = carries[index] || other.carries[index];
  }
}

std::vector<std::size_t> all_lanes(const Panel& panel) {
  std::vector<std::size_t> lanes(panel.lanes.size());
  for (std::size_t index = 0; index < lanes.size(); ++index) {
    lanes[index] = index;
  }
  return lanes;
}

Drawn draw_view(std::string& out, const Panel& panel, const View& view, std::string_view prefix,
                double top, Tag& tags) {
  const Scale scale{view.time, panel.time.begin};
  Layers layers;
  double y = top;
  if (!view.caption.empty()) {
    layers.under += text("panel", name_left, y + text_size,
                         fitted(view.caption, plain_font, width - 2 * name_left));
    y += caption_height;
  }
  const double axis_y = y + axis_drop;
  // The lanes shown, and the arrows whose both ends are.
  std::vector<std::size_t> shown;
  for (const std::size_t lane : view.lanes) {
    if (lane < panel.lanes.size()) {
      shown.push_back(lane);
    }
  }
  constexpr std::size_t nowhere = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> place_of(panel.lanes.size(), nowhere);
  for (std::size_t place = 0; place < shown.size(); ++place) {
    place_of[shown[place]] = place;
  }
  std::vector<Shown> arrows_shown;
  for (const Arrow& arrow : panel.arrows) {
    if (arrow.from_lane < place_of.size() && arrow.to_lane < place_of.size() &&
        place_of[arrow.from_lane] != nowhere && place_of[arrow.to_lane] != nowhere &&
        scale.shows(arrow.from) && scale.shows(arrow.to)) {
      arrows_shown.push_back(Shown{&arrow, place_of[arrow.from_lane], place_of[arrow.to_lane],
                                   scale.x(arrow.from), scale.x(arrow.to), tags++});
    }
  }
  std::vector<std::vector<const Span*>> spans(panel.lanes.size());
  for (const Span& span : panel.spans) {
    if (span.lane < spans.size()) {
      spans[span.lane].push_back(&span);
    }
  }
  for (auto& lane : spans) {
    std::stable_sort(lane.begin(), lane.end(),
                     [](const Span* one, const Span* other) { return one->begin < other->begin; });
  }
  std::vector<Laid> laid;
  double lane_top = axis_y + first_lane;
  for (std::size_t place = 0; place < shown.size(); ++place) {
    laid.push_back(
        lay_out(panel, view, scale, shown[place], spans[shown[place]], place, arrows_shown, tags));
    laid.back().line = lane_top + laid.back().up;
    lane_top = laid.back().line + laid.back().down;
  }
  // What the labels name, for the page's tests to tell what a label may lie over.
  std::vector<Tag> named;
  for (const Laid& lane : laid) {
    for (const std::vector<Placed>* texts : {&lane.labels, &lane.inside}) {
      for (const Placed& placed : *texts) {
        named.push_back(placed.names);
      }
    }
  }
  std::sort(named.begin(), named.end());
  Drawn drawn;
  for (std::size_t place = 0; place < laid.size(); ++place) {
    lane_shapes(layers, panel, laid[place], place, scale, prefix, named, drawn.signs);
    for (const Placed& placed : laid[place].labels) {
      layers.labels +=
          label_text(placed, laid[place].line, placed.row < 0 ? "label summary" : "label");
    }
    for (const Placed& placed : laid[place].inside) {
      layers.labels += label_text(placed, laid[place].line, "oncpu");
    }
  }
  for (const Shown& shown_arrow : arrows_shown) {
    const Laid& from = laid[shown_arrow.from];
    const Laid& to = laid[shown_arrow.to];
    const double half = to.compact ? compact_half : span_half;
    const double end_y = to.line + (to.line > from.line ? -half : half);
    const std::string d = arrow_path(shown_arrow.x0, from.line, shown_arrow.x1, end_y);
    append(layers.arrows, {"<path class=\"halo\" d=\"", d, "\"/><path class=\"arrow\"",
                           id_of(shown_arrow.tag, named), " d=\"", d, "\" marker-end=\"url(#",
                           prefix, "-head)\"/>\n"});
    drawn.signs.carries[static_cast<std::size_t>(shown_arrow.arrow->carries)] = true;
  }
  y = lane_top;
  if (view.counters) {
    for (const Counter& counter : panel.counters) {
      y = counter_shape(layers, counter, scale, panel.time.end, y);
    }
  }
  std::string axis_lines;
  axis(axis_lines, scale, axis_y, y,
       panel.source == Source::strace ? "ms from the step's start" : "ms, scheduler's clock");
  std::string zoom;
  if (view.magnified) {
    const double x0 = scale.x(view.magnified->begin);
    const double x1 = std::max(scale.x(view.magnified->end), x0 + thinnest_box);
    zoom = joined({"<rect class=\"zoom\" x=\"", at(x0), "\" y=\"", at(axis_y + zoom_drop),
                   "\" width=\"", at(x1 - x0), "\" height=\"", at(y - axis_y - zoom_drop), "\"/>\n",
                   text("label", x1, y + zoom_note, "magnified below", Anchor::end)});
    y += zoom_note + text_size / 2;
  }
  append(out,
         {"<g class=\"view\" data-box=\"0,", at(top), ",", at(width), ",", at(y - top), "\">\n"});
  out += layers.under;
  out += axis_lines;
  out += "<g class=\"marks\">\n";
  out += layers.marks;
  out += layers.arrows;
  out += "</g>\n";
  out += zoom;
  out += "<g class=\"labels\">\n";
  out += layers.labels;
  out += "</g>\n</g>\n";
  drawn.bottom = y;
  return drawn;
}

}  // namespace lens::svg
