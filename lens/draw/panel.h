// A panel of a figure drawn, whatever recording it comes from: its axis, a lane per process or
// thread (its name, its line, its spans and marks), the arrows between lanes, its step lines,
// and every label placed by the one placer (labels.h). What differs from one recording to
// another comes from the model: a running span's CPU, an asleep span's line, a compact lane.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "draw/labels.h"
#include "model/step.h"

namespace lens::svg {

// One drawing of a panel: the whole of it, or its stretch magnified.
struct View {
  Window time;
  std::vector<std::size_t> lanes;  // the lanes shown, in order
  bool counters = true;            // whether its step lines are shown
  std::string caption;             // above its axis; none where empty
  // The stretch drawn again below, magnified: a dashed box round it here, and its labels left
  // out here (the magnified drawing shows them).
  std::optional<Window> magnified;
};

// What a drawing drew that a key must explain.
struct Signs {
  std::array<bool, 8> shades{};  // by Shade
  std::vector<int> cpus;         // of running pieces, in order
  bool merged = false;           // pieces of spans of different shades
  bool cut = false;              // a span cut by the window
  bool marks = false;
  bool life = false;              // a lane's line where no span covers it
  std::array<bool, 3> carries{};  // arrows, by Carries

  void add(const Signs& other);
};

struct Drawn {
  double bottom = 0;
  Signs signs;
};

// Draws one view of a panel from y = top into out. `prefix` is the figure's, for its patterns;
// `tags` numbers what labels name, across the figure.
Drawn draw_view(std::string& out, const Panel& panel, const View& view, std::string_view prefix,
                double top, Tag& tags);

// The lanes of a panel, by index.
std::vector<std::size_t> all_lanes(const Panel& panel);

}  // namespace lens::svg
