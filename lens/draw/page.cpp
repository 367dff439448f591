// The page: one section per figure, each an inline SVG drawn to a fixed width of user units. On a
// wide screen the SVG fills the column; on a narrow one it keeps a readable size and its drawing
// scrolls sideways under its fixed caption. Spans differ by pattern as well as by colour, and
// every mark and named span is labelled, so that the figures read the same in black and white.
#include <algorithm>
#include <cmath>

#include "draw/draw.h"
#include "draw/panel.h"
#include "draw/svg.h"

namespace lens {
namespace {

constexpr double source_drop = 14;    // from a recording's line's top to its baseline
constexpr double source_height = 20;  // the recording's line
constexpr double divide_height = 10;  // the rule between two recordings
constexpr double key_drop = 4;        // from a panel's bottom to its key
constexpr double missing_top = 30;    // the first line of why nothing is drawn
constexpr double missing_row = 18;
constexpr double border = 1;             // round each SVG, in CSS pixels (see the style)
constexpr std::size_t spans_told = 24;   // spans described by the first ones and their number
constexpr std::size_t values_told = 24;  // a step line's values described likewise

// The id of each figure: its mechanism's name, numbered from a mechanism's second figure on.
std::vector<std::string> figure_ids(const std::vector<Figure>& figures) {
  std::vector<std::string> ids;
  for (const Figure& figure : figures) {
    const std::string name(svg::mechanism_name(figure.mechanism));
    const auto same = std::count_if(ids.begin(), ids.end(), [&name](const std::string& id) {
      return id == name || id.starts_with(name + "-");
    });
    ids.push_back(same == 0 ? name : name + "-" + std::to_string(same + 1));
  }
  return ids;
}

std::string_view carries_meaning(Carries carries) {
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

std::string bar_swatch(const std::string& fill, std::string_view stroke, double half) {
  constexpr double middle = 6;
  return svg::joined({"<rect x=\"0\" y=\"", svg::at(middle - half), "\" width=\"22\" height=\"",
                      svg::at(2 * half), "\" fill=\"", fill, "\" stroke=\"", stroke, "\"/>"});
}

// The key to what a panel's drawings drew.
std::vector<svg::Key> panel_keys(const Panel& panel, const svg::Signs& signs,
                                 std::string_view prefix) {
  std::vector<svg::Key> found;
  if (signs.life) {
    const bool threads = std::any_of(panel.lanes.begin(), panel.lanes.end(), [](const Lane& lane) {
      return lane.process != 0 && lane.id != lane.process;
    });
    found.push_back({R"(<line class="life" x1="0" y1="6" x2="22" y2="6"/>)",
                     threads ? "process or thread running" : "process running"});
  }
  if (signs.marks) {
    found.push_back({R"(<path class="mark" d="M6.5,1.5 L15.5,1.5 L11,10.5 z"/>)",
                     panel.source == Source::strace ? "a system call at that moment"
                                                    : "an event at that moment"});
  }
  std::vector<int> cpus = signs.cpus;
  std::sort(cpus.begin(), cpus.end());
  for (std::size_t index = 0; index < signs.shades.size(); ++index) {
    if (!signs.shades[index]) {
      continue;
    }
    const auto shade = static_cast<Shade>(index);
    const svg::ShadeStyle& style = svg::style_of(shade);
    if (shade == Shade::running) {
      for (const int cpu : cpus) {
        found.push_back(
            {bar_swatch(std::string(svg::cpu_colour(cpu)), svg::cpu_colour(cpu), svg::span_half),
             std::string(style.meaning) + " " + std::to_string(cpu)});
      }
    } else if (style.half == 0) {
      found.push_back(
          {R"(<line class="asleep" x1="0" y1="6" x2="22" y2="6"/>)", std::string(style.meaning)});
    } else {
      found.push_back({bar_swatch(svg::fill_of(prefix, shade, -1), style.stroke, style.half),
                       std::string(style.meaning)});
    }
  }
  if (signs.merged) {
    found.push_back(
        {bar_swatch(svg::joined({"url(#", prefix, "-merged)"}), "#555555", svg::span_half),
         std::string(svg::merged_meaning)});
  }
  if (signs.cut) {
    found.push_back({R"(<path class="edge" stroke="#444" d="M0,0 H14 M14,12 H0 V0"/>)"
                     R"(<path fill="#444" d="M16,0 L22,6 L16,12 z"/>)",
                     "goes on past the edge"});
  }
  for (std::size_t index = 0; index < signs.carries.size(); ++index) {
    if (signs.carries[index]) {
      found.push_back({svg::joined({R"(<path class="arrow" d="M0,6 L20,6" marker-end="url(#)",
                                    prefix, "-head)\"/>"}),
                       std::string(carries_meaning(static_cast<Carries>(index)))});
    }
  }
  return found;
}

// A panel drawn: the whole of it, and its stretch magnified where it has one; then its key.
double panel_drawing(std::string& out, const Panel& panel, std::string_view prefix, double top,
                     svg::Tag& tags) {
  const std::vector<std::size_t> all = svg::all_lanes(panel);
  svg::Signs signs;
  double bottom = top;
  if (panel.magnified) {
    svg::View whole{panel.time, all, panel.overview_counters, "The whole step",
                    panel.magnified->time};
    if (panel.overview_lanes > 0) {
      whole.lanes.resize(std::min(panel.overview_lanes, all.size()));
    }
    const svg::Drawn first = svg::draw_view(out, panel, whole, prefix, top, tags);
    const svg::View magnified{panel.magnified->time,
                              panel.magnified->lanes.empty() ? all : panel.magnified->lanes, true,
                              panel.magnified->caption, std::nullopt};
    const svg::Drawn second = svg::draw_view(out, panel, magnified, prefix, first.bottom, tags);
    signs = first.signs;
    signs.add(second.signs);
    bottom = second.bottom;
  } else {
    const svg::Drawn drawn = svg::draw_view(
        out, panel, svg::View{panel.time, all, true, "", std::nullopt}, prefix, top, tags);
    signs = drawn.signs;
    bottom = drawn.bottom;
  }
  return svg::keys(out, panel_keys(panel, signs, prefix), bottom + key_drop);
}

std::string lane_words(const Panel& panel, std::size_t lane) {
  return lane < panel.lanes.size()
             ? panel.lanes[lane].name + " " + std::to_string(panel.lanes[lane].id)
             : std::string("?");
}

std::string span_words(const Span& span) {
  if (!span.label.empty()) {
    return span.label;
  }
  const svg::ShadeStyle& style = svg::style_of(span.shade);
  return span.shade == Shade::running ? std::string(style.meaning) + " " + std::to_string(span.cpu)
                                      : std::string(style.meaning);
}

// A sentence that describes the SVG to those who cannot see it.
std::string description(const Figure& figure) {
  if (!figure.missing.empty()) {
    return "Not recorded: " + figure.missing;
  }
  std::string text;
  for (const Panel& panel : figure.panels) {
    text += text.empty() ? "" : " ";
    text += panel.source == Source::strace ? "Recorded by strace. Lanes: "
                                           : "Recorded by the scheduler. Lanes: ";
    std::string_view separator;
    for (std::size_t lane = 0; lane < panel.lanes.size(); ++lane) {
      svg::append(text, {separator, lane_words(panel, lane)});
      separator = ", ";
    }
    text += ". Spans: ";
    separator = "";
    std::size_t spans = 0;
    for (const Span& span : panel.spans) {
      if (span.shade != Shade::alive && span.lane < panel.lanes.size() && spans++ < spans_told) {
        svg::append(text, {separator, span_words(span), " (", lane_words(panel, span.lane), ", ",
                           milliseconds(svg::length_of(span.begin, span.end)), ")"});
        separator = ", ";
      }
    }
    if (spans > spans_told) {
      svg::append(text, {" ... (", std::to_string(spans), " spans in all)"});
    }
    text += ".";
    for (const Arrow& arrow : panel.arrows) {
      if (arrow.from_lane < panel.lanes.size() && arrow.to_lane < panel.lanes.size()) {
        svg::append(text, {" An arrow (",
                           arrow.label.empty() ? carries_meaning(arrow.carries) : arrow.label,
                           ") from ", lane_words(panel, arrow.from_lane), " to ",
                           lane_words(panel, arrow.to_lane), "."});
      }
    }
    for (const Counter& counter : panel.counters) {
      svg::append(text, {" A step line of ", counter.name, ":"});
      const std::size_t levels = counter.levels.size();
      for (std::size_t index = 0; index < levels && index < values_told; ++index) {
        text += ' ' + std::to_string(counter.levels[index].value);
      }
      if (levels > values_told) {
        const auto highest = std::max_element(counter.levels.begin(), counter.levels.end(),
                                              [](const Level& one, const Level& other) {
                                                return one.value < other.value;
                                              })
                                 ->value;
        svg::append(text,
                    {" ... ", std::to_string(counter.levels.back().value), " (",
                     std::to_string(levels), " steps, at most ", std::to_string(highest), ")"});
      }
      text += ".";
    }
  }
  return text;
}

// The share of a task's life that part was, in percent to one decimal, at most `room`.
double share(Micros part, Micros life, double room) {
  constexpr double whole = 100;
  if (life <= 0 || part <= 0) {
    return 0;
  }
  return std::min(
      room, std::round(static_cast<double>(part) * whole * 10 / static_cast<double>(life)) / 10);
}

// schedstat's totals, where perf may not record: a table of the step's tasks, a row each, with
// what each did in its life as numbers and as a bar (on a CPU solid, waiting for one hatched, the
// rest of its width asleep).
std::string totals_table(const Totals& totals) {
  constexpr double whole = 100;
  std::string out = svg::joined(
      {"<div class=\"totals\">\n<p class=\"recording\">", svg::escape(totals.recording)});
  if (totals.cpus) {
    svg::append(out, {"; ", std::to_string(*totals.cpus), " CPUs to run its threads"});
  }
  out +=
      "</p>\n<table>\n<thead><tr><th scope=\"col\">task</th><th scope=\"col\">pid or "
      "tid</th><th scope=\"col\">alive</th><th scope=\"col\">on a CPU</th><th "
      "scope=\"col\">waiting for a CPU</th><th scope=\"col\">asleep</th><th scope=\"col\">time "
      "slices</th><th scope=\"col\">its life</th></tr></thead>\n<tbody>\n";
  for (const TaskTotals& row : totals.rows) {
    const double running = share(row.running, row.alive, whole);
    const double waiting = share(row.waiting, row.alive, whole - running);
    svg::append(out, {"<tr><th scope=\"row\">",
                      svg::escape(row.name),
                      "</th><td>",
                      row.id == row.process || row.process == 0 ? "pid " : "tid ",
                      std::to_string(row.id),
                      "</td><td>",
                      milliseconds(row.alive),
                      "</td><td>",
                      duration(row.running),
                      "</td><td>",
                      duration(row.waiting),
                      "</td><td>",
                      duration(row.asleep),
                      "</td><td>",
                      std::to_string(row.slices),
                      "</td><td class=\"life\"><span class=\"on\" style=\"width: ",
                      svg::at(running),
                      "%\"></span><span class=\"wait\" style=\"width: ",
                      svg::at(waiting),
                      "%\"></span></td></tr>\n"});
  }
  return out +
         "</tbody>\n</table>\n<p class=\"key\"><span class=\"on\"></span> on a CPU "
         "<span class=\"wait\"></span> waiting for a CPU; the rest of a task's life it was "
         "asleep (or stopped)</p>\n</div>\n";
}

std::string figure_section(const Figure& figure, const std::string& id) {
  std::string svg_body;
  double height = 0;
  if (!figure.missing.empty()) {
    double y = missing_top;
    for (const std::string& line :
         svg::wrapped("Not recorded: " + figure.missing, svg::missing_font,
                      svg::width - 2 * svg::name_left)) {
      svg_body += svg::text("missing", svg::name_left, y, line);
      y += missing_row;
    }
    height = y;
  } else {
    svg::Tag tags = 0;
    for (std::size_t index = 0; index < figure.panels.size(); ++index) {
      const Panel& panel = figure.panels[index];
      if (index > 0) {
        svg::append(svg_body,
                    {"<line class=\"divide\" x1=\"0\" y1=\"", svg::at(height + 4), "\" x2=\"",
                     svg::at(svg::width), "\" y2=\"", svg::at(height + 4), "\"/>\n"});
        height += divide_height;
      }
      svg_body += svg::text("source", svg::name_left, height + source_drop, panel.recording);
      height = panel_drawing(svg_body, panel, id, height + source_height, tags);
    }
  }
  const std::string title = svg::escape(figure.title);
  std::string out = svg::joined({"<section id=\"",
                                 id,
                                 "\">\n<h2>",
                                 title,
                                 "</h2>\n<figure>\n<div class=\"drawing\">\n",
                                 "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 ",
                                 svg::at(svg::width),
                                 " ",
                                 svg::at(height),
                                 "\" role=\"img\" aria-labelledby=\"",
                                 id,
                                 "-title ",
                                 id,
                                 "-desc\">\n",
                                 "<title id=\"",
                                 id,
                                 "-title\">",
                                 title,
                                 "</title>\n<desc id=\"",
                                 id,
                                 "-desc\">",
                                 svg::escape(description(figure)),
                                 "</desc>\n",
                                 svg::definitions(id),
                                 svg_body,
                                 "</svg>\n</div>\n"});
  if (figure.totals && figure.missing.empty()) {
    out += totals_table(*figure.totals);
  }
  out += "<figcaption>\n";
  for (const Note& note : figure.notes) {
    svg::append(out, {"<p>", svg::escape(note.text()), "</p>\n"});
  }
  return out + "</figcaption>\n</figure>\n</section>\n";
}

// A drawing scrolls sideways, its caption staying in place, rather than shrink its SVG below the
// width at which text_size text shows readable_px high. Kerning and ligatures are off in the
// drawings, so that their texts are as wide as the placer counts them.
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
svg text { font-family: "DejaVu Sans", "Helvetica Neue", Arial, sans-serif; fill: #111;
           font-kerning: none; font-variant-ligatures: none; }
.lane { font-size: 12px; font-weight: bold; }
.small { font-size: 11px; font-weight: normal; }
.id { font-size: 11px; fill: #444; font-weight: normal; }
.label { font-size: 11px; paint-order: stroke; stroke: #fff; stroke-width: 3px;
         stroke-linejoin: round; }
.summary { fill: #444; }
.tick { font-size: 11px; fill: #333; }
.unit { font-size: 11px; fill: #333; }
.key { font-size: 11px; }
.value { font-size: 11px; font-weight: bold; paint-order: stroke; stroke: #fff;
         stroke-width: 3px; stroke-linejoin: round; }
.panel { font-size: 11px; font-style: italic; fill: #333; }
.missing { font-size: 14px; }
.axis { stroke: #333; stroke-width: 1; }
.grid { stroke: #bbb; stroke-width: 0.6; stroke-dasharray: 2 3; }
.stripe { fill: #f3f3f3; }
.life { fill: none; stroke: #444; stroke-width: 1.6; }
.edge { fill: none; stroke-width: 1; }
.mark { fill: #000; }
.arrow { fill: none; stroke: #000; stroke-width: 1.6; }
.halo { fill: none; stroke: #fff; stroke-width: 4.5; }
.counter { fill: none; stroke: #000; stroke-width: 2; }
.zero { stroke: #888; stroke-width: 0.8; }
.zoom { fill: none; stroke: #000; stroke-width: 1; stroke-dasharray: 4 3; }
.source { font-size: 11px; font-weight: bold; fill: #333; }
.divide { stroke: #999; stroke-width: 1; }
.asleep { fill: none; stroke: #555; stroke-width: 1.6; stroke-dasharray: 1.5 2.5; }
.oncpu { font-size: 11px; font-weight: bold; fill: #fff; }
.cap { stroke: #d55e00; stroke-width: 1; stroke-dasharray: 5 3; }
.intro { max-width: 52rem; }
.totals { overflow-x: auto; font-size: 0.9rem; }
.totals .recording { font-weight: bold; font-size: 0.85rem; color: #333; margin: 0.5rem 0 0.2rem; }
.totals table { border-collapse: collapse; }
.totals th, .totals td { padding: 0.1rem 0.6rem 0.1rem 0; text-align: right; white-space: nowrap; }
.totals th[scope="row"], .totals th:first-child, .totals th:last-child { text-align: left; }
.totals td.life { width: 10rem; min-width: 10rem; text-align: left; border: 1px solid #ccc;
                  padding: 0; font-size: 0; }
.totals .on, .totals .wait { display: inline-block; height: 0.8rem; vertical-align: middle; }
.totals .on { background: #0a5a8c; }
.totals .wait { background: repeating-linear-gradient(45deg, #888 0 2px, #fff 2px 4px); }
.totals .key .on, .totals .key .wait { width: 1.4rem; border: 1px solid #555; }
.totals .key { font-size: 0.85rem; }
@page { size: A4; margin: 12mm; }
@media print {
  body { max-width: none; margin: 0; padding: 0; font-size: 10pt; }
  section { break-inside: avoid; page-break-inside: avoid; }
  .drawing { overflow: visible; }
  svg { border: none; min-width: 0; }
}
)";

}  // namespace

std::string page_html(const std::vector<Figure>& figures) {
  // The narrowest an SVG may be drawn, its border included, for text_size to show readable_px.
  const double narrowest = std::ceil(svg::width * svg::readable_px / svg::text_size) + 2 * border;
  constexpr std::string_view head =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>ipcwalk: the tour as a timeline</title>\n<style>";
  std::string out =
      svg::joined({head, style, "@media screen { svg { min-width: ", svg::at(narrowest),
                   "px; } }\n</style>\n</head>\n<body>\n<h1>The tour as a timeline</h1>\n"});
  out +=
      "<p class=\"intro\">Each diagram is one step of the tour, drawn from the times at which "
      "strace saw its system calls (strace -f -ttt -T). Time runs left to right, in milliseconds "
      "from the start of the step; each lane is one process or thread, named after its program "
      "with its pid or tid. strace stops every process at every system call, so all of this runs "
      "slower than it would without it: the order of things is what counts, not the exact "
      "times. On a narrow screen, scroll a diagram sideways.</p>\n";
  const bool scheduler = std::any_of(figures.begin(), figures.end(), [](const Figure& figure) {
    return std::any_of(figure.panels.begin(), figure.panels.end(),
                       [](const Panel& panel) { return panel.source == Source::scheduler; });
  });
  if (scheduler) {
    out +=
        "<p class=\"intro\">Under a step's lanes, the scheduler's view: the tour ran the step "
        "a second time without strace while perf recorded the kernel's scheduler events. It "
        "shows no system calls, but real times: when each thread ran and on which CPU, when "
        "it waited for a CPU, when it slept and who woke it. In timeline.json these runs are "
        "the kernel's own trace text, which Perfetto draws as CPU tracks and thread states; "
        "being other runs, they come after strace's run there, one after another.</p>\n";
  }
  const bool totals = std::any_of(figures.begin(), figures.end(),
                                  [](const Figure& figure) { return figure.totals.has_value(); });
  if (totals) {
    out +=
        "<p class=\"intro\">Under a step's lanes, a table of what the scheduler counted of each "
        "of its tasks: perf may not record here, so the tour ran the step a second time without "
        "strace, under lens's watcher, and read each thread's schedstat in /proc as it ended: "
        "how long it was on a CPU, and how long it was runnable but waiting for one. Which CPU "
        "ran it, when, and who woke it, perf alone shows.</p>\n";
  }
  const std::vector<std::string> ids = figure_ids(figures);
  for (std::size_t index = 0; index < figures.size(); ++index) {
    out += figure_section(figures[index], ids[index]);
  }
  return out + "</body>\n</html>\n";
}

}  // namespace lens
