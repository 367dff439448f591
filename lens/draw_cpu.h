// Drawing the scheduler's view of a step (sched_view.h) into the step's SVG, under strace's
// panels and on the same grid: its own axis (the scheduler's clock, from the step's first event
// of its programs), a lane per thread, a step line per count, and its own key.
#pragma once

#include <ostream>

#include "diagrams.h"

namespace lens {

// The measures of the figure that the scheduler's panels share with strace's, in SVG units.
struct Frame {
  double width = 0;       // the whole figure
  double plot_left = 0;   // where time begins; the lanes' names are left of it
  double plot_right = 0;  // where time ends
  double name_left = 0;   // where the lanes' names begin
};

// The line at the top of a figure that says which recording its lanes come from, where the
// diagram says it. Returns the y below it (top where there is none).
double recording_line(std::ostream& svg, const Diagram& diagram, const Frame& frame, double top);

// The diagram's scheduler's view, from y = top: its caption, its panels and its key. Returns the
// y below it (top where the diagram has none).
double scheduler_panels(std::ostream& svg, const Diagram& diagram, const Frame& frame, double top);

}  // namespace lens
