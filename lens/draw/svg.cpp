#include "draw/svg.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

#include "model/mechanisms.h"

namespace lens::svg {
namespace {

constexpr std::array<ShadeStyle, 8> shade_styles{{
    {Shade::busy, "busy", "working (solid)", "#0a5a8c"},
    {Shade::blocked, "blocked", "in the kernel, waiting (hatched)", "#d55e00"},
    {Shade::paused, "paused", "paused for Enter (dotted)", "#007a5a"},
    {Shade::shell, "shell", "ipcs -m through the shell (striped)", "#a2477f"},
    {Shade::alive, "alive", "a thread alive (light)", "#0a5a8c", 5},
    {Shade::running, "", "running on CPU", "", span_half},
    {Shade::runnable, "runnable", "runnable, waiting for a CPU", "#777777", 3},
    {Shade::asleep, "", "asleep", "#555555", 0},
}};

// The tiles of the patterns: what each holds over white, in `ink`, its size and its turn.
struct Tile {
  std::string_view name;
  std::string_view ink;
  int size;
  int turn;
  std::string_view marks;
};
constexpr std::array<Tile, 7> tiles{{
    {"busy", "#0a5a8c", 4, 0, R"(<rect width="4" height="4" fill="currentColor"/>)"},
    {"blocked", "#d55e00", 6, 45,
     R"(<line x1="0" y1="0" x2="0" y2="6" stroke="currentColor" stroke-width="2.4"/>)"},
    {"paused", "#007a5a", 5, 0, R"(<circle cx="2.5" cy="2.5" r="1.3" fill="currentColor"/>)"},
    {"shell", "#a2477f", 4, 0,
     R"(<line x1="1" y1="0" x2="1" y2="4" stroke="currentColor" stroke-width="1.4"/>)"},
    {"alive", "#cde2f2", 4, 0, R"(<rect width="4" height="4" fill="currentColor"/>)"},
    {"runnable", "#888888", 4, 45,
     R"(<line x1="0" y1="0" x2="0" y2="4" stroke="currentColor" stroke-width="1.6"/>)"},
    {"merged", "#6a6a6a", 4, 0,
     R"(<path d="M0,0 L4,4 M4,0 L0,4" stroke="currentColor" stroke-width="1.2"/>)"},
}};

constexpr std::array<std::string_view, cpu_colours> colours{
    "#0072b2", "#e69f00", "#009e73", "#cc79a7", "#56b4e9", "#d55e00", "#6a6a00", "#555555"};

constexpr double micros_per_milli = 1000;
constexpr double ticks = 8;

// What spans [first, last) of a lane, merged, mean: running where every running span among them
// ran on one CPU (a run of short slices on one CPU is still running on that CPU); else, without
// running spans, the shade they all have; else none (slices on several CPUs, or sleeps and waits
// in turn, or calls of several kinds).
Piece merged(const std::vector<const Span*>& spans, std::size_t first, std::size_t last) {
  Piece piece;
  piece.begin = spans[first]->begin;
  piece.end = spans[first]->end;
  piece.spans = last - first;
  piece.label = spans[first]->label;
  piece.shade = spans[first]->shade;
  bool one_cpu = true;
  for (std::size_t index = first; index < last; ++index) {
    const Span& span = *spans[index];
    piece.end = std::max(piece.end, span.end);
    if (span.label != piece.label) {
      piece.label.clear();
    }
    if (span.shade != piece.shade) {
      piece.shade.reset();
    }
    if (span.shade == Shade::running) {
      one_cpu = one_cpu && (piece.switches == 0 || piece.cpu == span.cpu);
      piece.cpu = span.cpu;
      ++piece.switches;
    }
  }
  if (piece.switches > 0) {
    piece.shade = one_cpu ? std::optional(Shade::running) : std::nullopt;
  }
  if (!piece.shade || *piece.shade != Shade::running) {
    piece.cpu = -1;
  }
  return piece;
}

bool means_as(const Piece& one, const Piece& other) {
  return one.only == nullptr && other.only == nullptr && one.shade == other.shade &&
         one.cpu == other.cpu && one.label == other.label;
}

}  // namespace

Micros length_of(Micros begin, Micros end) {
  if (end <= begin) {
    return 0;
  }
  if (begin < 0 && end > std::numeric_limits<Micros>::max() + begin) {
    return std::numeric_limits<Micros>::max();
  }
  return end - begin;
}

std::string_view mechanism_name(Mechanism mechanism) {
  return row_of(mechanism).names->word;
}

void append(std::string& out, std::initializer_list<std::string_view> parts) {
  for (const std::string_view part : parts) {
    out += part;
  }
}

std::string joined(std::initializer_list<std::string_view> parts) {
  std::string out;
  append(out, parts);
  return out;
}

std::string at(double value) {
  std::array<char, 32> written{};
  std::snprintf(written.data(), written.size(), "%.1f", value);
  return written.data();
}

std::string escape(std::string_view raw) {
  constexpr std::string_view replacement = "\xef\xbf\xbd";
  constexpr unsigned char delete_byte = 0x7f;
  constexpr unsigned char pictures = 0x80;  // U+2400's last byte, for byte 0
  std::string out;
  out.reserve(raw.size());
  for (std::size_t index = 0; index < raw.size();) {
    const std::size_t length = utf8_length(raw, index);
    if (length == 0) {
      out += replacement;
      ++index;
      continue;
    }
    const auto byte = static_cast<unsigned char>(raw[index]);
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
      out += raw.substr(index, length);
    }
    index += length;
  }
  return out;
}

std::string text(std::string_view css_class, double x, double y, std::string_view content,
                 Anchor anchor) {
  std::string out = "<text class=\"";
  out += css_class;
  append(out, {"\" x=\"", at(x), "\" y=\"", at(y), "\""});
  if (anchor != Anchor::start) {
    out += anchor == Anchor::end ? " text-anchor=\"end\"" : " text-anchor=\"middle\"";
  }
  out += '>';
  out += escape(content);
  out += "</text>\n";
  return out;
}

double Scale::x(Micros when) const {
  return x_after_origin(static_cast<double>(when) - static_cast<double>(origin));
}

// In doubles: a record's times may be anything, and their differences overflow 64 bits.
double Scale::x_after_origin(double micros) const {
  const double begin = static_cast<double>(window.begin) - static_cast<double>(origin);
  const double length =
      std::max(static_cast<double>(window.end) - static_cast<double>(window.begin), 1.0);
  return plot_left + std::clamp((micros - begin) / length, 0.0, 1.0) * (plot_right - plot_left);
}

void axis(std::string& out, const Scale& scale, double top, double bottom, std::string_view unit) {
  const double from = static_cast<double>(scale.window.begin) - static_cast<double>(scale.origin);
  const double to = static_cast<double>(scale.window.end) - static_cast<double>(scale.origin);
  const double rough = std::max((to - from) / ticks, 1.0);
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  double step = power;
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    step = factor * power;
    if (step >= rough) {
      break;
    }
  }
  const int decimals =
      step >= micros_per_milli ? 0 : static_cast<int>(std::ceil(3 - std::log10(step) - 1e-9));
  append(out, {"<line class=\"axis\" x1=\"", at(plot_left), "\" y1=\"", at(top), "\" x2=\"",
               at(plot_right), "\" y2=\"", at(top), "\"/>\n"});
  const double first = std::ceil(from / step - 1e-6) * step;
  constexpr int most_ticks = 12;
  for (int index = 0; index < most_ticks && first + index * step <= to + step * 1e-6; ++index) {
    const double tick = first + index * step;
    const double x = scale.x_after_origin(tick);
    std::array<char, 32> written{};
    std::snprintf(written.data(), written.size(), "%.*f", decimals, tick / micros_per_milli);
    append(out, {"<line class=\"grid\" x1=\"", at(x), "\" y1=\"", at(top), "\" x2=\"", at(x),
                 "\" y2=\"", at(bottom), "\"/>"});
    out += text("tick", x, top - text_lift, written.data(), Anchor::middle);
  }
  out += text("unit", plot_left - 24, top - text_lift, unit, Anchor::end);
}

const ShadeStyle& style_of(Shade shade) {
  for (const ShadeStyle& style : shade_styles) {
    if (style.shade == shade) {
      return style;
    }
  }
  return shade_styles.front();
}

std::string fill_of(std::string_view prefix, Shade shade, int cpu) {
  const ShadeStyle& style = style_of(shade);
  if (style.name.empty()) {
    return std::string(cpu_colour(cpu));
  }
  return joined({"url(#", prefix, "-", style.name, ")"});
}

std::string_view cpu_colour(int cpu) {
  return colours[static_cast<std::size_t>(std::max(cpu, 0)) % colours.size()];
}

std::string definitions(std::string_view prefix) {
  std::string defs = "<defs>\n";
  for (const Tile& tile : tiles) {
    const std::string size = std::to_string(tile.size);
    append(defs, {"<pattern id=\"", prefix, "-", tile.name, "\" width=\"", size, "\" height=\"",
                  size, "\" patternUnits=\"userSpaceOnUse\""});
    if (tile.turn != 0) {
      append(defs, {" patternTransform=\"rotate(", std::to_string(tile.turn), ")\""});
    }
    append(defs, {" color=\"", tile.ink, "\"><rect width=\"", size, "\" height=\"", size,
                  "\" fill=\"#fff\"/>", tile.marks, "</pattern>\n"});
  }
  append(defs, {"<marker id=\"", std::string(prefix),
                "-head\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" markerWidth=\"7\" "
                "markerHeight=\"7\" orient=\"auto-start-reverse\"><path d=\"M0,0 L10,5 L0,10 z\" "
                "fill=\"#000\"/></marker>\n</defs>\n"});
  return defs;
}

std::vector<Piece> pieces(const std::vector<const Span*>& spans, const Scale& scale) {
  std::vector<const Span*> shown;
  for (const Span* span : spans) {
    if (scale.meets(span->begin, span->end)) {
      shown.push_back(span);
    }
  }
  // The stretches: [first, last) of the spans shown, from x0 to x1.
  struct Stretch {
    std::size_t first;
    std::size_t last;
    double x0;
    double x1;
  };
  std::vector<Stretch> stretches;
  bool open = false;  // whether the last stretch is a run of narrow spans still growing
  for (std::size_t index = 0; index < shown.size(); ++index) {
    const double x0 = scale.x(shown[index]->begin);
    const double x1 = std::max(x0, scale.x(shown[index]->end));
    if (x1 - x0 >= thinnest_span || !open) {
      stretches.push_back(Stretch{index, index + 1, x0, x1});
      open = x1 - x0 < thinnest_span;
    } else {
      Stretch& run = stretches.back();
      run.last = index + 1;
      run.x1 = std::max(run.x1, x1);
      open = run.x1 - run.x0 < thinnest_span;
    }
  }
  std::vector<Piece> found;
  for (const Stretch& stretch : stretches) {
    Piece piece = merged(shown, stretch.first, stretch.last);
    piece.x0 = stretch.x0;
    piece.x1 = std::max(stretch.x1, stretch.x0 + thinnest_span);
    if (stretch.last - stretch.first == 1) {
      piece.only = shown[stretch.first];
    }
    if (!found.empty() && means_as(found.back(), piece) &&
        piece.x0 - found.back().x1 < thinnest_span) {
      Piece& last = found.back();
      last.end = std::max(last.end, piece.end);
      last.x1 = std::max(last.x1, piece.x1);
      last.spans += piece.spans;
      last.switches += piece.switches;
    } else {
      found.push_back(std::move(piece));
    }
  }
  return found;
}

std::string step_path(const std::vector<Tread>& treads) {
  std::string path;
  std::string column;  // the x of the points held back
  std::vector<double> ys;
  const auto flush = [&path, &column, &ys] {
    if (ys.empty()) {
      return;
    }
    const auto [low, high] = std::minmax_element(ys.begin(), ys.end());
    for (const double y : {ys.front(), *low, *high, ys.back()}) {
      append(path, {(path.empty() ? "M" : " L"), column, ",", at(y)});
    }
    ys.clear();
  };
  for (const Tread& tread : treads) {
    for (const double x : {tread.x0, tread.x1}) {
      if (std::string here = at(x); here != column) {
        flush();
        column = std::move(here);
      }
      ys.push_back(tread.y);
    }
  }
  flush();
  return path;
}

std::vector<Box> step_boxes(const std::vector<Tread>& treads) {
  constexpr double stroke = 1;    // half the line's width
  constexpr double column = 0.5;  // rises closer than this are one box
  std::vector<Box> boxes;
  std::optional<Box> rise;
  const auto flush = [&boxes, &rise] {
    if (rise) {
      boxes.push_back(*rise);
      rise.reset();
    }
  };
  for (std::size_t index = 0; index < treads.size(); ++index) {
    const Tread& tread = treads[index];
    if (index > 0) {
      const double low = std::min(treads[index - 1].y, tread.y) - stroke;
      const double high = std::max(treads[index - 1].y, tread.y) + stroke;
      if (rise && tread.x0 - rise->right > column) {
        flush();
      }
      if (!rise) {
        rise = Box{tread.x0 - stroke, low, tread.x0 + stroke, high};
      }
      rise->right = std::max(rise->right, tread.x0 + stroke);
      rise->top = std::min(rise->top, low);
      rise->bottom = std::max(rise->bottom, high);
    }
    if (tread.x1 - tread.x0 >= column) {
      flush();
      boxes.push_back(Box{tread.x0, tread.y - stroke, tread.x1, tread.y + stroke});
    }
  }
  flush();
  return boxes;
}

std::string arrow_path(double x0, double y0, double x1, double y1) {
  const double middle = (y0 + y1) / 2;
  std::string d = "M";
  append(d, {at(x0), ",", at(y0), " C", at(x0), ",", at(middle), " ", at(x1), ",", at(middle), " ",
             at(x1), ",", at(y1)});
  return d;
}

double keys(std::string& out, const std::vector<Key>& entries, double top) {
  constexpr double swatch_width = 30;
  constexpr double spacing = 18;
  constexpr double row = 20;
  constexpr double text_baseline = 10;
  double x = name_left;
  double y = top + 8;
  for (const Key& key : entries) {
    const double length = swatch_width + text_width(key.words, plain_font) + spacing;
    if (x > name_left && x + length - spacing > width - name_left) {
      x = name_left;
      y += row;
    }
    const double room = width - name_left - x - swatch_width;
    append(out, {"<g transform=\"translate(", at(x), ",", at(y), ")\">", key.swatch,
                 text("key", swatch_width, text_baseline, fitted(key.words, plain_font, room)),
                 "</g>\n"});
    x += length;
  }
  return y + row + 2;
}

}  // namespace lens::svg
