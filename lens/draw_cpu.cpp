// The scheduler's panels. A thread running is a bar in its CPU's colour, with "CPU n" written in
// it where it is wide enough (so that the CPU reads without colour too); waiting for a CPU is a
// thin hatched bar; asleep is a dotted line, labelled with who woke it where there is room.
#include "draw_cpu.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string_view>

#include "draw_parts.h"

namespace lens {
namespace {

constexpr double text_size = 11;
constexpr double char_width = 6.6;       // of text_size text, on average
constexpr double bold_char_width = 7.6;  // of a lane's name
constexpr double gap = 5;
constexpr double caption_height = 18;  // a caption line above a panel
// The key's entries after the CPUs' colours: waiting, asleep, busy and the wake-up arrow.
constexpr std::size_t key_entries_beside_cpus = 4;
constexpr double axis_drop = 16;       // from a panel's caption to its axis
constexpr double first_lane = 8;       // from the axis to the first lane's top
constexpr double lane_height = 30;     // a lane with room for a label over its line
constexpr double compact_height = 15;  // a worker's or a shell's lane
constexpr double bar_half = 6;         // half a running bar's height
constexpr double compact_half = 4;
constexpr double waiting_half = 3;    // half a runnable bar's height
constexpr double thinnest_bar = 1.2;  // a bar shorter than this is drawn this wide
constexpr double cpu_text_room = 40;  // a bar at least this wide has "CPU n" in it
constexpr double line_band = 56;      // a step line's band
constexpr double line_room = 22;      // of which above its highest value and below 0
constexpr double key_row = 20;
constexpr int ticks = 8;

// One colour per CPU, repeating after eight: the text in the bars tells those apart.
constexpr std::array<std::string_view, 8> cpu_colours{"#0072b2", "#e69f00", "#009e73", "#cc79a7",
                                                      "#56b4e9", "#d55e00", "#6a6a00", "#555555"};

constexpr std::string_view caption_text =
    "Recorded by the scheduler (perf, sched: events), the step run again without strace: real "
    "times, no system calls";

double text_width(const std::string& text) {
  return static_cast<double>(text.size()) * char_width;
}

std::string_view colour_of(int cpu) {
  return cpu_colours[static_cast<std::size_t>(std::max(cpu, 0)) % cpu_colours.size()];
}

// Time to x within one panel.
struct Scale {
  Micros begin = 0;
  Micros end = 0;
  double left = 0;
  double right = 0;

  double x(Micros when) const {
    const double length = static_cast<double>(std::max<Micros>(end - begin, 1));
    const double share = static_cast<double>(when - begin) / length;
    return left + std::clamp(share, 0.0, 1.0) * (right - left);
  }
  bool meets(Micros from, Micros to) const {
    return to >= begin && from <= end;
  }
};

// Ticks every 1, 2 or 5 times a power of ten microseconds, written in milliseconds.
void axis(std::ostream& svg, const Scale& scale, double top, double bottom) {
  const double rough = std::max(static_cast<double>(scale.end - scale.begin) / ticks, 1.0);
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  double step = power;
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    step = factor * power;
    if (step >= rough) {
      break;
    }
  }
  const int decimals = step >= 1000 ? 0 : static_cast<int>(std::ceil(3 - std::log10(step) - 1e-9));
  svg << "<line class=\"axis\" x1=\"" << scale.left << "\" y1=\"" << at(top) << "\" x2=\""
      << scale.right << "\" y2=\"" << at(top) << "\"/>\n";
  const auto first = static_cast<long long>(std::ceil(static_cast<double>(scale.begin) / step));
  const auto last = static_cast<long long>(std::floor(static_cast<double>(scale.end) / step));
  for (long long index = first; index <= last; ++index) {
    const double tick = static_cast<double>(index) * step;
    const double x = scale.x(static_cast<Micros>(std::llround(tick)));
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.*f", decimals, tick / 1000.0);
    svg << "<line class=\"grid\" x1=\"" << at(x) << "\" y1=\"" << at(top) << "\" x2=\"" << at(x)
        << "\" y2=\"" << at(bottom) << "\"/><text class=\"tick\" x=\"" << at(x) << "\" y=\""
        << at(top - 4) << "\">" << text.data() << "</text>\n";
  }
  svg << "<text class=\"unit\" x=\"" << scale.left - 24 << "\" y=\"" << at(top - 4)
      << "\">ms, scheduler's clock</text>\n";
}

// A stretch of a lane as drawn (draw_parts.h): one span, or spans too short to see apart, which
// keep what they mean where they share it: a run of short slices on one CPU is still running on
// that CPU, while slices on several CPUs, or sleeps and waits in turn, are busy.
struct Piece {
  Micros begin = 0;
  Micros end = 0;
  double x0 = 0;
  double x1 = 0;
  const SchedSpan* only = nullptr;  // where it is one span
  Doing doing = Doing::running;     // merged: what they all were (running: on `cpu`)
  int cpu = -1;
  bool busy = false;         // merged: none of the above, a mix
  std::size_t switches = 0;  // merged: how many times the thread was switched onto a CPU

  bool means_as(const Piece& other) const {
    return only == nullptr && other.only == nullptr && busy == other.busy && doing == other.doing &&
           cpu == other.cpu;
  }
};

// What spans [first, last) of a lane, merged, mean.
Piece merged(const std::vector<const SchedSpan*>& spans, const Stretch& stretch) {
  Piece piece{spans[stretch.first]->begin, spans[stretch.first]->end, stretch.x0, stretch.x1};
  std::size_t asleep = 0;
  std::size_t waiting = 0;
  bool one_cpu = true;
  for (std::size_t index = stretch.first; index < stretch.last; ++index) {
    const SchedSpan& span = *spans[index];
    piece.end = std::max(piece.end, span.end);
    if (span.doing == Doing::running) {
      one_cpu = one_cpu && (piece.switches == 0 || piece.cpu == span.cpu);
      piece.cpu = span.cpu;
      ++piece.switches;
    } else {
      ++(span.doing == Doing::asleep ? asleep : waiting);
    }
  }
  if (piece.switches > 0) {
    piece.busy = !one_cpu;
  } else {
    piece.doing = waiting == 0 ? Doing::asleep : Doing::runnable;
    piece.busy = asleep > 0 && waiting > 0;
  }
  if (piece.busy) {
    piece.doing = Doing::running;
    piece.cpu = -1;
  }
  return piece;
}

// How a lane's spans are drawn in one panel: those too short to see merged with their
// neighbours, and merged pieces side by side that mean the same made one.
std::vector<Piece> pieces_of(const CpuLane& lane, const Scale& scale) {
  std::vector<const SchedSpan*> shown;
  std::vector<std::pair<double, double>> ends;
  for (const SchedSpan& span : lane.spans) {
    if (scale.meets(span.begin, span.end)) {
      shown.push_back(&span);
      ends.emplace_back(scale.x(span.begin), std::max(scale.x(span.begin), scale.x(span.end)));
    }
  }
  std::vector<Piece> pieces;
  for (const Stretch& stretch : stretches(ends, thinnest_bar)) {
    if (stretch.spans() == 1) {
      const SchedSpan& span = *shown[stretch.first];
      pieces.push_back(
          Piece{span.begin, span.end, stretch.x0, stretch.x1, &span, span.doing, span.cpu});
      continue;
    }
    const Piece piece = merged(shown, stretch);
    if (!pieces.empty() && pieces.back().means_as(piece) &&
        piece.x0 - pieces.back().x1 < thinnest_bar) {
      pieces.back().end = std::max(pieces.back().end, piece.end);
      pieces.back().x1 = std::max(pieces.back().x1, piece.x1);
      pieces.back().switches += piece.switches;
    } else {
      pieces.push_back(piece);
    }
  }
  return pieces;
}

// A lane's shapes, gathered by how they are drawn into one path each, so that a lane of
// thousands of slices is a few elements of the page rather than thousands; its texts go over
// them.
class Shapes {
 public:
  void rect(const std::string& style, double x0, double top, double width, double height) {
    std::string& d = path(style);
    for (const auto& [command, value] :
         {std::pair{'M', x0}, {',', top}, {'h', width}, {'v', height}, {'h', -width}}) {
      d += command;
      d += at(value);
    }
    d += 'z';
  }
  void line(const std::string& style, double x0, double x1, double y) {
    std::string& d = path(style);
    for (const auto& [command, value] : {std::pair{'M', x0}, {',', y}, {'H', x1}}) {
      d += command;
      d += at(value);
    }
  }
  std::ostringstream& texts() {
    return texts_;
  }
  void write(std::ostream& svg) const {
    for (const auto& [style, d] : paths_) {
      svg << "<path " << style << " d=\"" << d << "\"/>\n";
    }
    svg << texts_.str();
  }

 private:
  std::string& path(const std::string& style) {
    for (auto& [known, d] : paths_) {
      if (known == style) {
        return d;
      }
    }
    return paths_.emplace_back(style, "").second;
  }
  std::vector<std::pair<std::string, std::string>> paths_;  // in order of first use
  std::ostringstream texts_;
};

// A running bar in its CPU's colour, with "CPU n" in it (and, for merged slices, how many)
// where it is wide enough.
void running_bar(Shapes& shapes, const Piece& piece, double y, double half) {
  const double x0 = piece.x0;
  const double x1 = std::max(piece.x1, x0 + thinnest_bar);
  shapes.rect("fill=\"" + std::string(colour_of(piece.cpu)) + "\"", x0, y - half, x1 - x0,
              2 * half);
  if (x1 - x0 >= cpu_text_room && half >= bar_half) {
    const std::string cpu = "CPU " + std::to_string(piece.cpu);
    const std::string many = cpu + ", " + std::to_string(piece.switches) + " switches";
    const bool counted =
        piece.only == nullptr && x1 - x0 >= bold_char_width * static_cast<double>(many.size());
    shapes.texts() << "<text class=\"oncpu\" x=\"" << at(x0 + 3) << "\" y=\"" << at(y + 4) << "\">"
                   << (counted ? many : cpu) << "</text>\n";
  }
}

// Who woke a sleep, where the lanes show it: "asleep, woken by gategive".
std::string sleep_label(const CpuView& view, const SchedSpan& span) {
  for (const CpuLane& lane : view.lanes) {
    if (lane.tid == span.waker) {
      return "asleep, woken by " + lane.name;
    }
  }
  if (span.waker == 0) {
    return "asleep, woken by an interrupt";
  }
  const auto waker = view.wakers.find(span.waker);
  return waker != view.wakers.end() ? "asleep, woken by " + waker->second : "asleep";
}

// A label over a piece of a lane with room for it.
void piece_label(Shapes& shapes, const Piece& piece, const std::string& label, double y) {
  if (piece.x1 - piece.x0 > text_width(label) + 2 * gap) {
    shapes.texts() << "<text class=\"label\" x=\"" << at(piece.x0 + gap) << "\" y=\""
                   << at(y - bar_half - 3) << "\">" << page_text(label) << "</text>\n";
  }
}

// One piece of a lane: running, waiting for a CPU, asleep (with who woke it where that fits),
// or busy with switches too short to draw apart. Returns whether it is busy.
bool piece_shape(Shapes& shapes, const CpuView& view, const Piece& piece, double y, bool compact,
                 const std::string& prefix) {
  const double x0 = piece.x0;
  const double x1 = std::max(piece.x1, x0 + thinnest_bar);
  if (piece.busy) {
    const double half = compact ? compact_half : bar_half;
    shapes.rect("fill=\"url(#" + prefix + "-cpu-busy)\" stroke=\"#555\" stroke-width=\"0.5\"", x0,
                y - half, x1 - x0, 2 * half);
    if (!compact) {
      piece_label(shapes, piece, "busy, " + std::to_string(piece.switches) + " switches", y);
    }
    return true;
  }
  if (piece.doing == Doing::running) {
    running_bar(shapes, piece, y, compact ? compact_half : bar_half);
  } else if (piece.doing == Doing::runnable) {
    shapes.rect("fill=\"url(#" + prefix + "-cpu-wait)\" stroke=\"#777\" stroke-width=\"0.5\"", x0,
                y - waiting_half, x1 - x0, 2 * waiting_half);
  } else {
    shapes.line("class=\"asleep\"", x0, piece.x1, y);
    if (!compact && piece.only != nullptr) {
      piece_label(shapes, piece, sleep_label(view, *piece.only), y);
    }
  }
  return false;
}

// How wide a lane's name and tid are written, in bold.
double name_width(const CpuLane& lane) {
  return static_cast<double>(lane.name.size() + std::to_string(lane.tid).size() + 1) *
         bold_char_width;
}

// The lane's summary after its end, or else before its beginning, or else (over its spans,
// on a white halo) at the figure's right edge; a compact lane's in the names' column.
void summary_text(std::ostream& svg, const CpuLane& lane, const Scale& scale, const Frame& frame,
                  double y) {
  if (lane.compact) {
    // One of many alike: its time running, right of its name.
    svg << "<text class=\"id\" x=\"" << at(scale.left - gap) << "\" y=\"" << at(y + 4)
        << "\" text-anchor=\"end\">" << page_text(lane.summary) << "</text>\n";
    return;
  }
  if (!scale.meets(lane.begin, lane.end)) {
    return;
  }
  const double width = text_width(lane.summary);
  const double after = scale.x(lane.end) + gap;
  const double before = scale.x(lane.begin) - gap - width;
  const double right = frame.width - gap - width;
  const double name_end = frame.name_left + name_width(lane) + gap;
  const double x = after <= right ? after : before >= name_end ? before : right;
  svg << "<text class=\"id label\" x=\"" << at(x) << "\" y=\"" << at(y + 4) << "\">"
      << page_text(lane.summary) << "</text>\n";
}

// A lane: its name and tid, its spans (which cover its life) and its summary. Returns whether
// it drew a busy piece.
bool lane_shape(std::ostream& svg, const Diagram& diagram, const CpuLane& lane, const Scale& scale,
                const Frame& frame, double y) {
  const CpuView& view = *diagram.cpu;
  svg << "<text class=\"lane" << (lane.compact ? " small" : "") << "\" x=\"" << frame.name_left
      << "\" y=\"" << at(y + 4) << "\">" << page_text(lane.name) << " <tspan class=\"id\">"
      << lane.tid << "</tspan></text>\n";
  bool busy = false;
  Shapes shapes;
  for (const Piece& piece : pieces_of(lane, scale)) {
    busy = piece_shape(shapes, view, piece, y, lane.compact, diagram.mechanism) || busy;
  }
  shapes.write(svg);
  summary_text(svg, lane, scale, frame, y);
  return busy;
}

// A count's step line, with a dashed line at the number of CPUs where the count is of threads
// running. Returns the y below it.
double line_shape(std::ostream& svg, const CpuLine& line, const CpuView& view, const Scale& scale,
                  const Frame& frame, double top) {
  int highest = 1;
  for (const SchedStep& step : line.steps) {
    highest = std::max(highest, step.count);
  }
  const bool capped = line.name == "running at once";
  highest = std::max(highest, capped ? view.cpus : 0);
  const double bottom = top + line_band - gap;
  const double unit = (line_band - line_room) / highest;
  const auto y = [&](int count) { return bottom - unit * count; };
  std::vector<Level> levels;
  for (std::size_t index = 0; index < line.steps.size(); ++index) {
    const SchedStep& step = line.steps[index];
    const Micros next = index + 1 < line.steps.size() ? line.steps[index + 1].at : view.end;
    if (scale.meets(step.at, next)) {
      levels.push_back(Level{scale.x(step.at), scale.x(next), y(step.count)});
    }
  }
  svg << "<text class=\"lane\" x=\"" << frame.name_left << "\" y=\"" << at(bottom - 14) << "\">"
      << page_text(line.name) << "</text><text class=\"id\" x=\"" << frame.name_left << "\" y=\""
      << at(bottom) << "\">step line, at most " << most_at_once(line.steps) << "</text>\n";
  svg << "<line class=\"zero\" x1=\"" << scale.left << "\" y1=\"" << at(y(0)) << "\" x2=\""
      << scale.right << "\" y2=\"" << at(y(0)) << "\"/>\n";
  if (capped) {
    svg << "<line class=\"cap\" x1=\"" << scale.left << "\" y1=\"" << at(y(view.cpus)) << "\" x2=\""
        << scale.right << "\" y2=\"" << at(y(view.cpus)) << "\"/><text class=\"label\" x=\""
        << scale.right << "\" y=\"" << at(y(view.cpus) - 3) << "\" text-anchor=\"end\">"
        << view.cpus << " CPUs</text>\n";
  }
  svg << "<path class=\"counter\" d=\"" << step_path(levels) << "\"/>\n";
  return top + line_band;
}

// What one panel shows.
struct Content {
  std::string caption;
  std::vector<std::size_t> lanes;
  bool lines = true;
};

// An arrow from the waker's lane at the wake-up to the woken lane where it ran again.
void wake_shape(std::ostream& svg, const CpuWake& wake, double from_y, double to_y,
                const Scale& scale, const std::string& prefix) {
  const double from_x = scale.x(wake.at);
  const double to_x = scale.x(wake.ran);
  const double end_y = to_y + (to_y > from_y ? -bar_half : bar_half);
  const double middle = (from_y + end_y) / 2;
  std::ostringstream curve;
  curve << "M" << at(from_x) << "," << at(from_y) << " C" << at(from_x) << "," << at(middle) << " "
        << at(to_x) << "," << at(middle) << " " << at(to_x) << "," << at(end_y);
  const std::string path = curve.str();
  svg << "<path class=\"halo\" d=\"" << path << "\"/><path class=\"arrow\" d=\"" << path
      << "\" marker-end=\"url(#" << prefix << "-head)\"/>\n";
}

// What a panel drew: the y below it, and whether a lane has a busy piece (for the key).
struct Drawn {
  double bottom = 0;
  bool busy = false;
};

Drawn panel(std::ostream& svg, const Diagram& diagram, const Scale& scale, const Content& content,
            const Frame& frame, double top) {
  const CpuView& view = *diagram.cpu;
  svg << "<text class=\"panel\" x=\"" << frame.name_left << "\" y=\"" << at(top + text_size)
      << "\">" << page_text(content.caption) << "</text>\n";
  const double axis_top = top + caption_height + axis_drop;
  std::ostringstream body;
  std::vector<double> baselines(view.lanes.size(), -1);
  double y = axis_top + first_lane;
  bool busy = false;
  for (std::size_t place = 0; place < content.lanes.size(); ++place) {
    const std::size_t index = content.lanes[place];
    const double height = view.lanes[index].compact ? compact_height : lane_height;
    if (place % 2 == 1) {
      body << "<rect class=\"stripe\" x=\"0\" y=\"" << at(y) << "\" width=\"" << frame.width
           << "\" height=\"" << at(height) << "\"/>\n";
    }
    baselines[index] = y + height - (view.lanes[index].compact ? height / 2 : bar_half + 4);
    busy = lane_shape(body, diagram, view.lanes[index], scale, frame, baselines[index]) || busy;
    y += height;
  }
  for (const CpuWake& wake : view.wakes) {
    if (baselines[wake.from] >= 0 && baselines[wake.to] >= 0 && scale.meets(wake.at, wake.at) &&
        scale.meets(wake.ran, wake.ran)) {
      wake_shape(body, wake, baselines[wake.from], baselines[wake.to], scale, diagram.mechanism);
    }
  }
  for (const CpuLine& line : content.lines ? view.lines : std::vector<CpuLine>{}) {
    y = line_shape(body, line, view, scale, frame, y);
  }
  axis(svg, scale, axis_top, y);
  svg << body.str();
  return Drawn{y + gap, busy};
}

// The key: a colour per CPU of the record, waiting, asleep, busy where drawn, and the wake-up
// arrow.
double key(std::ostream& svg, const Diagram& diagram, const Frame& frame, const Drawn& drawn) {
  const double top = drawn.bottom;
  const std::string& prefix = diagram.mechanism;
  std::vector<std::pair<std::string, std::string>> entries;
  const int cpus = std::min<int>(diagram.cpu->cpus, static_cast<int>(cpu_colours.size()));
  entries.reserve(static_cast<std::size_t>(cpus) + key_entries_beside_cpus);
  for (int cpu = 0; cpu < cpus; ++cpu) {
    entries.emplace_back(
        "<rect width=\"22\" height=\"12\" fill=\"" + std::string(colour_of(cpu)) + "\"/>",
        "running on CPU " + std::to_string(cpu));
  }
  entries.emplace_back("<rect y=\"3\" width=\"22\" height=\"6\" fill=\"url(#" + prefix +
                           "-cpu-wait)\" stroke=\"#777\" stroke-width=\"0.5\"/>",
                       "runnable, waiting for a CPU");
  entries.emplace_back(R"(<line class="asleep" x1="0" y1="6" x2="22" y2="6"/>)", "asleep");
  if (drawn.busy) {
    entries.emplace_back("<rect width=\"22\" height=\"12\" fill=\"url(#" + prefix +
                             "-cpu-busy)\" stroke=\"#555\" stroke-width=\"0.5\"/>",
                         "busy: switches too short to draw apart (cross-hatched)");
  }
  if (!diagram.cpu->wakes.empty()) {
    entries.emplace_back(
        R"(<path class="arrow" d="M0,6 L20,6" marker-end="url(#)" + prefix + "-head)\"/>",
        "a wake-up, to the woken thread running");
  }
  double x = frame.name_left;
  double y = top + 4;
  for (const auto& [swatch, words] : entries) {
    const double length = 30 + text_width(words) + 18;
    if (x + length > frame.width - frame.name_left) {
      x = frame.name_left;
      y += key_row;
    }
    svg << "<g transform=\"translate(" << at(x) << "," << at(y) << ")\">" << swatch
        << "<text class=\"key\" x=\"30\" y=\"10\">" << page_text(words) << "</text></g>\n";
    x += length;
  }
  return y + key_row + 2;
}

}  // namespace

double recording_line(std::ostream& svg, const Diagram& diagram, const Frame& frame, double top) {
  if (diagram.recording.empty()) {
    return top;
  }
  svg << "<text class=\"source\" x=\"" << frame.name_left << "\" y=\"" << at(top + 14) << "\">"
      << page_text(diagram.recording) << "</text>\n";
  return top + caption_height + 2;
}

double scheduler_panels(std::ostream& svg, const Diagram& diagram, const Frame& frame, double top) {
  if (!diagram.cpu) {
    return top;
  }
  const CpuView& view = *diagram.cpu;
  svg << "<defs><pattern id=\"" << diagram.mechanism
      << "-cpu-wait\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\" "
         "patternTransform=\"rotate(45)\"><rect width=\"4\" height=\"4\" fill=\"#fff\"/>"
         "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"4\" stroke=\"#888\" stroke-width=\"1.6\"/>"
         "</pattern><pattern id=\""
      << diagram.mechanism
      << "-cpu-busy\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\">"
         "<rect width=\"4\" height=\"4\" fill=\"#fff\"/><path d=\"M0,0 L4,4 M4,0 L0,4\" "
         "stroke=\"#6a6a6a\" stroke-width=\"1.2\"/></pattern></defs>\n";
  svg << "<line class=\"divide\" x1=\"0\" y1=\"" << at(top + 4) << "\" x2=\"" << frame.width
      << "\" y2=\"" << at(top + 4) << "\"/><text class=\"source\" x=\"" << frame.name_left
      << "\" y=\"" << at(top + 22) << "\">" << caption_text << "</text>\n";
  top += caption_height + 10;
  std::vector<std::size_t> all(view.lanes.size());
  for (std::size_t index = 0; index < all.size(); ++index) {
    all[index] = index;
  }
  const Scale whole{0, std::max<Micros>(view.end, 1), frame.plot_left, frame.plot_right};
  if (!view.detail_begin) {
    return key(svg, diagram, frame,
               panel(svg, diagram, whole, Content{"The whole step", all, true}, frame, top));
  }
  Content overview{"The whole step", all, false};
  overview.lanes.resize(std::min(view.overview_lanes, all.size()));
  const Drawn first = panel(svg, diagram, whole, overview, frame, top);
  const Scale detail{*view.detail_begin, std::max(view.detail_end, *view.detail_begin + 1),
                     frame.plot_left, frame.plot_right};
  Content magnified{view.detail_caption, view.detail_lanes, true};
  if (magnified.lanes.empty()) {
    magnified.lanes = all;
  }
  Drawn second = panel(svg, diagram, detail, magnified, frame, first.bottom);
  second.busy = second.busy || first.busy;
  return key(svg, diagram, frame, second);
}

}  // namespace lens
