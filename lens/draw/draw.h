// Drawing the figures of a run (model/step.h): one self-contained HTML page (inline SVG and CSS,
// no script, nothing fetched), and the same run as a trace-event JSON file for Perfetto and
// chrome://tracing.
#pragma once

#include <string>
#include <vector>

#include "model/step.h"

namespace lens {

// The page: one section per figure, each panel drawn by the same hand whatever recording it
// comes from, its labels placed so that none overlaps another or lies over what it does not name.
std::string page_html(const std::vector<Figure>& figures);

// The trace file: strace's panels as trace events; the scheduler's records, where kept, as the
// kernel's own trace text, each run on a stretch of time of its own after strace's run.
std::string trace_json(const std::vector<Figure>& figures);

}  // namespace lens
