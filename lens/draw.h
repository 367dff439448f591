// Drawing the diagrams: one self-contained HTML page (inline SVG and CSS, no script, nothing
// fetched), and the same events as a trace-event JSON file for Perfetto and chrome://tracing.
#pragma once

#include <string>
#include <vector>

#include "diagrams.h"

namespace lens {

std::string page_html(const std::vector<Diagram>& diagrams);
std::string trace_json(const std::vector<Diagram>& diagrams);

}  // namespace lens
