// The tour's lessons, told around their runs: `lens lesson ask NAME` puts the question before a
// lesson runs, and `lens lesson tell NAME OUT...` reads what the runs printed ("key: value"
// lines) and says what was measured and why. The outputs are untrusted text: every figure told
// comes from them, and an output that lacks a line, or whose figures do not add up, is refused
// with one sentence saying what is wrong.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/outputs.h"
#include "views.h"

namespace lens {

// The lessons by name, and how many runs' outputs each one's tell reads.
std::optional<std::size_t> lesson_runs(std::string_view name);

// The question before lesson name runs: narration lines; empty for an unknown lesson.
std::string lesson_ask(std::string_view name, Narration narration);

// What the runs of lesson name measured and why, from their outputs in the tour's order; or,
// in problem, the sentence that says why the outputs cannot be told.
struct Told {
  std::string text;
  std::string problem;
};
Told lesson_tell(std::string_view name, const std::vector<std::string>& outputs,
                 Narration narration);

}  // namespace lens
