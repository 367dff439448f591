// The page: one section per mechanism, each an inline SVG drawn to a fixed width of user units
// (scaled to the page by its viewBox), with a few sentences under it. Spans differ by pattern as
// well as by colour, and every span and mark is labelled, so that the diagrams read the same in
// black and white.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <sstream>

#include "draw.h"

namespace timeline {
namespace {

constexpr double svg_width = 960;
constexpr double plot_left = 190;
constexpr double plot_right = 935;
constexpr double char_width = 6.4;  // of the 12-unit labels, on average
constexpr double label_row = 14;
constexpr double compact_lane = 17;
constexpr double counter_band = 62;

std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A coordinate, to one decimal.
std::string at(double value) {
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.1f", value);
  return text.data();
}

// How a look is drawn: the name of its fill (see definitions), what the legend says of it, and
// the colour of its outline.
struct Style {
  const char* name;
  const char* meaning;
  const char* stroke;
};

Style look_style(Look look) {
  switch (look) {
    case Look::busy:
      return {"busy", "working (solid)", "#0a5a8c"};
    case Look::blocked:
      return {"blocked", "in the kernel, waiting (hatched)", "#d55e00"};
    case Look::paused:
      return {"paused", "paused for Enter (dotted)", "#007a5a"};
    case Look::shell:
      return {"shell", "ipcs -m through the shell (striped)", "#a2477f"};
    case Look::alive:
      return {"alive", "a thread alive (light)", "#0a5a8c"};
  }
  return {"busy", "", "#000"};
}

// The fills: a pattern and a colour for each look, so that print and colour blindness lose
// nothing but the colour.
std::string definitions(const std::string& prefix) {
  const std::string id = "id=\"" + prefix + "-";
  return "<defs>\n"
         "<pattern " +
         id +
         "blocked\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
         "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#fff\"/>"
         "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#d55e00\" stroke-width=\"2.4\"/>"
         "</pattern>\n"
         "<pattern " +
         id +
         "paused\" width=\"5\" height=\"5\" patternUnits=\"userSpaceOnUse\">"
         "<rect width=\"5\" height=\"5\" fill=\"#fff\"/>"
         "<circle cx=\"2.5\" cy=\"2.5\" r=\"1.3\" fill=\"#007a5a\"/></pattern>\n"
         "<pattern " +
         id +
         "shell\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\">"
         "<rect width=\"4\" height=\"4\" fill=\"#fff\"/>"
         "<line x1=\"1\" y1=\"0\" x2=\"1\" y2=\"4\" stroke=\"#a2477f\" stroke-width=\"1.4\"/>"
         "</pattern>\n"
         "<pattern " +
         id +
         "busy\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\">"
         "<rect width=\"4\" height=\"4\" fill=\"#0a5a8c\"/></pattern>\n"
         "<pattern " +
         id +
         "alive\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\">"
         "<rect width=\"4\" height=\"4\" fill=\"#cde2f2\"/></pattern>\n"
         "<marker " +
         id +
         "head\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" markerWidth=\"7\" "
         "markerHeight=\"7\" orient=\"auto-start-reverse\"><path d=\"M0,0 L10,5 L0,10 z\" "
         "fill=\"#000\"/></marker>\n"
         "</defs>\n";
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
};

// A label above a lane, placed in the lowest row where it does not run into another.
struct Label {
  double x = 0;
  std::string text;
  int row = 0;
};

void place(std::vector<Label>& labels) {
  std::sort(labels.begin(), labels.end(),
            [](const Label& one, const Label& other) { return one.x < other.x; });
  std::vector<double> row_ends;
  for (Label& label : labels) {
    const double length = static_cast<double>(label.text.size()) * char_width;
    label.x = std::min(label.x, plot_right + 20 - length);
    std::size_t row = 0;
    while (row < row_ends.size() && row_ends[row] > label.x - 5) {
      ++row;
    }
    if (row == row_ends.size()) {
      row_ends.push_back(0);
    }
    row_ends[row] = label.x + length;
    label.row = static_cast<int>(row);
  }
}

// The axis: ticks every 1, 2 or 5 times a power of ten milliseconds, counted from the step's
// start, with faint lines down through the lanes.
void axis(std::ostringstream& svg, const Scale& scale, double top, double bottom) {
  const double from_ms = static_cast<double>(scale.window.begin - scale.origin) / 1000.0;
  const double to_ms = static_cast<double>(scale.window.end - scale.origin) / 1000.0;
  const double rough = std::max((to_ms - from_ms) / 8.0, 0.001);
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  double step = power;
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    step = factor * power;
    if (step >= rough) {
      break;
    }
  }
  const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
  svg << "<line class=\"axis\" x1=\"" << plot_left << "\" y1=\"" << top << "\" x2=\"" << plot_right
      << "\" y2=\"" << top << "\"/>\n";
  const auto last = static_cast<long long>(std::floor(to_ms / step + 1e-6));
  for (auto index = static_cast<long long>(std::ceil(from_ms / step)); index <= last; ++index) {
    const double tick = static_cast<double>(index) * step;
    const double x = scale.x(scale.origin + static_cast<Micros>(std::llround(tick * 1000.0)));
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.*f", decimals, tick);
    svg << "<line class=\"grid\" x1=\"" << at(x) << "\" y1=\"" << top << "\" x2=\"" << at(x)
        << "\" y2=\"" << bottom << "\"/><text class=\"tick\" x=\"" << at(x) << "\" y=\"" << top - 4
        << "\">" << text.data() << "</text>\n";
  }
  svg << "<text class=\"unit\" x=\"" << plot_left - 24 << "\" y=\"" << top - 4
      << "\">ms from the step's start</text>\n";
}

// One panel: an axis, the lanes shown, and (where asked) the step lines, over one window of
// time. Returns the y below it.
// What a panel shows: which lanes, whether the step lines, and where its labels are left out
// because a magnified panel below shows them.
struct Content {
  std::string caption;  // above the axis, where there are two panels
  std::vector<std::size_t> lanes;
  bool counters = true;
  std::optional<Window> unlabelled;
};

double panel(std::ostringstream& svg, const Diagram& diagram, const Scale& scale,
             const Content& content, double top) {
  const auto labelled = [&content](Micros when) {
    return !content.unlabelled || when < content.unlabelled->begin ||
           when > content.unlabelled->end;
  };
  const std::vector<std::size_t>& shown = content.lanes;
  const bool with_counters = content.counters;
  std::ostringstream background;  // the lanes' alternate shading, under everything else
  std::ostringstream body;
  std::ostringstream texts;  // the labels, over the arrows
  if (!content.caption.empty()) {
    svg << "<text class=\"panel\" x=\"10\" y=\"" << at(top + 11) << "\">"
        << escaped(content.caption) << "</text>\n";
    top += 16;
  }
  double y = top + 26;
  std::vector<double> baselines(diagram.lanes.size(), -1);
  int stripe = 0;
  for (const std::size_t index : shown) {
    const Lane& lane = diagram.lanes[index];
    std::vector<Label> labels;
    for (const Mark& mark : diagram.marks) {
      if (mark.lane == index && scale.shows(mark.at) && labelled(mark.at)) {
        labels.push_back(Label{scale.x(mark.at) - 3, mark.name, 0});
      }
    }
    for (const Span& span : diagram.spans) {
      if (span.lane == index && span.look != Look::alive && span.end >= scale.window.begin &&
          span.begin <= scale.window.end && labelled(span.begin)) {
        Label label{std::max(scale.x(span.begin), plot_left),
                    span.name + " " + milliseconds(span.end - span.begin), 0};
        // Over a short span that an arrow enters, the label would hide the arrow's head: it
        // goes after the span instead.
        const double length = static_cast<double>(label.text.size()) * char_width;
        const bool entered =
            std::any_of(diagram.arrows.begin(), diagram.arrows.end(), [&](const Arrow& arrow) {
              return arrow.to_lane == index && arrow.to >= span.begin && arrow.to <= span.end;
            });
        if (entered && scale.x(span.end) - label.x < length + 10) {
          label.x = scale.x(span.end) + 6;
        }
        labels.push_back(label);
      }
    }
    for (const Arrow& arrow : diagram.arrows) {
      if (arrow.from_lane == index && scale.shows(arrow.from) && labelled(arrow.to)) {
        labels.push_back(Label{scale.x(arrow.from) + 4, arrow.name, 0});
      }
    }
    place(labels);
    int rows = 0;
    for (const Label& label : labels) {
      rows = std::max(rows, label.row + 1);
    }
    const bool compact = rows == 0 && lane.role == "worker";
    const double height = compact ? compact_lane : 16 + label_row * std::max(rows, 1) + 12;
    const double baseline = y + height - (compact ? 8.5 : 14);
    baselines[index] = baseline;
    if (stripe++ % 2 == 1) {
      background << "<rect class=\"stripe\" x=\"0\" y=\"" << at(y) << "\" width=\"" << svg_width
                 << "\" height=\"" << at(height) << "\"/>\n";
    }
    // The lane's name: program and role, then the pid (a process) or tid (a thread).
    const std::string id =
        std::string(lane.pid == lane.tid ? "pid " : "tid ") + std::to_string(lane.tid);
    const std::string name = lane.program + (lane.role.empty() ? "" : " " + lane.role);
    if (compact) {
      body << "<text class=\"lane small\" x=\"10\" y=\"" << at(baseline + 4) << "\">"
           << escaped(name) << " <tspan class=\"id\">" << id << "</tspan></text>\n";
    } else {
      body << "<text class=\"lane\" x=\"10\" y=\"" << at(baseline - 1) << "\">" << escaped(name)
           << "</text><text class=\"id\" x=\"10\" y=\"" << at(baseline + 11) << "\">" << id
           << "</text>\n";
    }
    if (lane.end >= scale.window.begin && lane.begin <= scale.window.end) {
      body << "<line class=\"life\" x1=\"" << at(scale.x(lane.begin)) << "\" y1=\"" << at(baseline)
           << "\" x2=\"" << at(scale.x(lane.end)) << "\" y2=\"" << at(baseline) << "\"/>\n";
    }
    for (const Span& span : diagram.spans) {
      if (span.lane != index || span.end < scale.window.begin || span.begin > scale.window.end) {
        continue;
      }
      const double x0 = scale.x(span.begin);
      const double x1 = std::max(scale.x(span.end), x0 + 1.5);
      const double half = span.look == Look::alive ? 5 : 6;
      body << "<rect x=\"" << at(x0) << "\" y=\"" << at(baseline - half) << "\" width=\""
           << at(x1 - x0) << "\" height=\"" << at(2 * half) << "\" fill=\"url(#"
           << diagram.mechanism << "-" << look_style(span.look).name << ")\" stroke=\""
           << look_style(span.look).stroke << "\" stroke-width=\"1\"/>\n";
    }
    for (const Mark& mark : diagram.marks) {
      if (mark.lane == index && scale.shows(mark.at)) {
        const double x = scale.x(mark.at);
        body << "<path class=\"mark\" d=\"M" << at(x - 4.5) << "," << at(baseline - 10) << " L"
             << at(x + 4.5) << "," << at(baseline - 10) << " L" << at(x) << "," << at(baseline - 1)
             << " z\"/>\n";
      }
    }
    for (const Label& label : labels) {
      texts << "<text class=\"label\" x=\"" << at(label.x) << "\" y=\""
            << at(baseline - 12 - label_row * label.row) << "\">" << escaped(label.text)
            << "</text>\n";
    }
    y += height;
  }

  for (const Arrow& arrow : diagram.arrows) {
    const double from_y = baselines[arrow.from_lane];
    const double to_y = baselines[arrow.to_lane];
    if (from_y < 0 || to_y < 0 || !scale.shows(arrow.from) || !scale.shows(arrow.to)) {
      continue;
    }
    const double from_x = scale.x(arrow.from);
    const double to_x = scale.x(arrow.to);
    const double end_y = to_y + (to_y > from_y ? -6 : 6);
    const double middle = (from_y + end_y) / 2;
    const std::string path = std::string("M") + at(from_x) + "," + at(from_y) + " C" + at(from_x) +
                             "," + at(middle) + " " + at(to_x) + "," + at(middle) + " " + at(to_x) +
                             "," + at(end_y);
    body << "<path class=\"halo\" d=\"" << path << "\"/><path class=\"arrow\" d=\"" << path
         << "\" marker-end=\"url(#" << diagram.mechanism << "-head)\"/>\n";
  }
  body << texts.str();

  if (with_counters) {
    for (const Counter& counter : diagram.counters) {
      int most = 1;
      for (const Step& step : counter.steps) {
        most = std::max(most, step.value);
      }
      const double bottom = y + counter_band - 12;
      const double unit = (counter_band - 26) / most;
      const auto level = [&](int value) { return bottom - unit * value; };
      body << "<text class=\"lane\" x=\"10\" y=\"" << at(bottom - 14) << "\">"
           << escaped(counter.name) << "</text><text class=\"id\" x=\"10\" y=\"" << at(bottom)
           << "\">step line, 0 to " << most << "</text>\n";
      body << "<line class=\"zero\" x1=\"" << plot_left << "\" y1=\"" << at(bottom) << "\" x2=\""
           << plot_right << "\" y2=\"" << at(bottom) << "\"/>\n";
      std::string path;
      double last_label = -100;
      for (std::size_t index = 0; index < counter.steps.size(); ++index) {
        const Step& step = counter.steps[index];
        const Micros next =
            index + 1 < counter.steps.size() ? counter.steps[index + 1].at : diagram.time.end;
        if (next < scale.window.begin || step.at > scale.window.end) {
          continue;
        }
        const double x0 = scale.x(step.at);
        path += std::string(path.empty() ? "M" : " L") + at(x0) + "," + at(level(step.value)) +
                " L" + at(scale.x(next)) + "," + at(level(step.value));
        if (x0 - last_label > 14) {
          body << "<text class=\"value\" x=\"" << at(x0 + 2) << "\" y=\""
               << at(level(step.value) - 3) << "\">" << step.value << "</text>\n";
          last_label = x0;
        }
      }
      body << "<path class=\"counter\" d=\"" << path << "\"/>\n";
      y += counter_band;
    }
  }
  svg << background.str();
  axis(svg, scale, top + 18, y);
  svg << body.str();
  return y;
}

// The key to one diagram: what each kind of span, mark and line means.
double legend(std::ostringstream& svg, const Diagram& diagram, double top) {
  std::vector<std::pair<std::string, std::string>> items;  // swatch, words
  const std::string prefix = diagram.mechanism + "-";
  items.emplace_back(
      "<line class=\"life\" x1=\"0\" y1=\"6\" x2=\"22\" y2=\"6\"/>",
      diagram.mechanism == "threads" ? "process or thread running" : "process running");
  if (!diagram.marks.empty()) {
    items.emplace_back("<path class=\"mark\" d=\"M6.5,1.5 L15.5,1.5 L11,10.5 z\"/>",
                       "a system call at that moment");
  }
  for (const Look look : {Look::busy, Look::blocked, Look::paused, Look::shell, Look::alive}) {
    if (std::any_of(diagram.spans.begin(), diagram.spans.end(),
                    [look](const Span& span) { return span.look == look; })) {
      items.emplace_back(
          std::string("<rect x=\"0\" y=\"0\" width=\"22\" height=\"12\" fill=\"url(#") + prefix +
              look_style(look).name + ")\" stroke=\"" + look_style(look).stroke + "\"/>",
          look_style(look).meaning);
    }
  }
  if (!diagram.arrows.empty()) {
    items.emplace_back(std::string("<path class=\"arrow\" d=\"M0,6 L20,6\" marker-end=\"url(#") +
                           prefix + "head)\"/>",
                       "who wakes whom");
  }
  double x = 10;
  double y = top + 8;
  for (const auto& [swatch, words] : items) {
    const double length = 30 + static_cast<double>(words.size()) * char_width + 18;
    if (x + length > svg_width - 10) {
      x = 10;
      y += 20;
    }
    svg << "<g transform=\"translate(" << at(x) << "," << at(y) << ")\">" << swatch
        << "<text class=\"key\" x=\"30\" y=\"10\">" << escaped(words) << "</text></g>\n";
    x += length;
  }
  return y + 22;
}

// A sentence that describes the SVG to those who cannot see it.
std::string description(const Diagram& diagram) {
  if (!diagram.missing.empty()) {
    return std::string("Not recorded: ") + diagram.missing;
  }
  std::string text = "Lanes: ";
  for (std::size_t index = 0; index < diagram.lanes.size(); ++index) {
    text += index == 0 ? "" : ", ";
    text += diagram.lanes[index].label();
  }
  text += ". Spans: ";
  for (std::size_t index = 0; index < diagram.spans.size(); ++index) {
    const Span& span = diagram.spans[index];
    if (span.look == Look::alive) {
      continue;
    }
    text += index == 0 ? "" : ", ";
    text += span.name + " (" + diagram.lanes[span.lane].label() + ", " +
            milliseconds(span.end - span.begin) + ")";
  }
  text += ".";
  for (const Arrow& arrow : diagram.arrows) {
    text += std::string(" An arrow (") + arrow.name + ") from " +
            diagram.lanes[arrow.from_lane].label() + " to " + diagram.lanes[arrow.to_lane].label() +
            ".";
  }
  for (const Counter& counter : diagram.counters) {
    text += std::string(" A step line of ") + counter.name + ":";
    for (const Step& step : counter.steps) {
      text += " ";
      text += std::to_string(step.value);
    }
    text += ".";
  }
  return text;
}

std::string figure(const Diagram& diagram) {
  std::ostringstream svg;
  double height = 0;
  if (!diagram.missing.empty()) {
    svg << "<text class=\"missing\" x=\"10\" y=\"30\">Not recorded: " << escaped(diagram.missing)
        << "</text>\n";
    height = 48;
  } else {
    std::vector<std::size_t> all(diagram.lanes.size());
    for (std::size_t index = 0; index < all.size(); ++index) {
      all[index] = index;
    }
    const Scale whole{diagram.time, diagram.time.begin};
    if (diagram.detail) {
      // The whole step first, then the stretch that matters, magnified.
      Content overview{"The whole step", all, diagram.overview_counters, diagram.detail};
      overview.lanes.resize(std::min(diagram.overview_lanes, all.size()));
      height = panel(svg, diagram, whole, overview, 0);
      const double x0 = whole.x(diagram.detail->begin);
      const double x1 = std::max(whole.x(diagram.detail->end), x0 + 3);
      svg << "<rect class=\"zoom\" x=\"" << at(x0) << "\" y=\"40\" width=\"" << at(x1 - x0)
          << "\" height=\"" << at(height - 38) << "\"/><text class=\"label\" x=\"" << at(x1)
          << "\" y=\"" << at(height + 13) << "\" text-anchor=\"end\">magnified below</text>\n";
      height += 16;
      Content magnified{diagram.detail_caption, diagram.detail_lanes, true, std::nullopt};
      if (magnified.lanes.empty()) {
        magnified.lanes = all;
      }
      height = panel(svg, diagram, Scale{*diagram.detail, diagram.time.begin}, magnified, height);
    } else {
      height = panel(svg, diagram, whole, Content{"", all, true, std::nullopt}, 0);
    }
    height = legend(svg, diagram, height + 4);
  }
  const std::string id = diagram.mechanism;
  std::ostringstream out;
  out << "<section id=\"" << id << "\">\n<h2>" << escaped(diagram.title) << "</h2>\n<figure>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << svg_width << " "
      << at(height) << "\" role=\"img\" aria-labelledby=\"" << id << "-title " << id
      << "-desc\">\n<title id=\"" << id << "-title\">" << escaped(diagram.title) << "</title>\n"
      << "<desc id=\"" << id << "-desc\">" << escaped(description(diagram)) << "</desc>\n"
      << definitions(id) << svg.str() << "</svg>\n<figcaption>\n";
  for (const std::string& note : diagram.notes) {
    out << "<p>" << escaped(note) << "</p>\n";
  }
  out << "</figcaption>\n</figure>\n</section>\n";
  return out.str();
}

constexpr std::string_view style = R"(
body { font-family: "DejaVu Sans", "Helvetica Neue", Arial, sans-serif; color: #111;
       max-width: 62rem; margin: 1.5rem auto; padding: 0 1rem; line-height: 1.45; }
h1 { font-size: 1.5rem; margin-bottom: 0.3rem; }
h2 { font-size: 1.15rem; margin: 2rem 0 0.4rem; }
figure { margin: 0; }
figcaption p { margin: 0.35rem 0; max-width: 52rem; }
svg { display: block; width: 100%; height: auto; border: 1px solid #ccc; background: #fff; }
svg text { font-family: "DejaVu Sans", "Helvetica Neue", Arial, sans-serif; fill: #111; }
.lane { font-size: 12px; font-weight: bold; }
.small { font-size: 11px; font-weight: normal; }
.id { font-size: 11px; fill: #444; font-weight: normal; }
.label { font-size: 11px; paint-order: stroke; stroke: #fff; stroke-width: 3px;
         stroke-linejoin: round; }
.tick { font-size: 10px; text-anchor: middle; fill: #333; }
.unit { font-size: 10px; text-anchor: end; fill: #333; }
.key { font-size: 11px; }
.value { font-size: 10px; font-weight: bold; }
.panel { font-size: 11px; font-style: italic; fill: #333; }
.missing { font-size: 14px; }
.axis { stroke: #333; stroke-width: 1; }
.grid { stroke: #bbb; stroke-width: 0.6; stroke-dasharray: 2 3; }
.stripe { fill: #f3f3f3; }
.life { stroke: #444; stroke-width: 1.6; }
.mark { fill: #000; }
.arrow { fill: none; stroke: #000; stroke-width: 1.6; }
.halo { fill: none; stroke: #fff; stroke-width: 4.5; }
.counter { fill: none; stroke: #000; stroke-width: 2; }
.zero { stroke: #888; stroke-width: 0.8; }
.zoom { fill: none; stroke: #000; stroke-width: 1; stroke-dasharray: 4 3; }
.intro { max-width: 52rem; }
@page { size: A4; margin: 12mm; }
@media print {
  body { max-width: none; margin: 0; padding: 0; font-size: 10pt; }
  section { break-inside: avoid; page-break-inside: avoid; }
  svg { border: none; }
}
)";

}  // namespace

std::string page_html(const std::vector<Diagram>& diagrams) {
  std::ostringstream out;
  out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      << "<title>ipcwalk: the tour as a timeline</title>\n<style>" << style
      << "</style>\n</head>\n<body>\n<h1>The tour as a timeline</h1>\n"
      << "<p class=\"intro\">Each diagram is one step of the tour, drawn from the times at which "
         "strace saw its system calls (strace -f -ttt -T). Time runs left to right, in "
         "milliseconds from the start of the step; each lane is one process or thread, named "
         "after its program with its pid or tid. strace stops every process at every system "
         "call, so all of this runs slower than it would without it: the order of things is "
         "what counts, not the exact times.</p>\n";
  for (const Diagram& diagram : diagrams) {
    out << figure(diagram);
  }
  out << "</body>\n</html>\n";
  return out.str();
}

}  // namespace timeline
