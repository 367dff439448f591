// The tour's lessons, told around their runs: `lens lesson ask NAME` puts the question before a
// lesson runs, and `lens lesson tell NAME OUT...` says what its runs measured and why, from what
// they printed (read by records/outputs.h: every figure told comes from there, and an output that
// is not a whole run of the lesson is refused with one sentence saying what is wrong). The
// lessons are a table, a row each: a name that is none of them is refused, never told as another.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "narrate/narrator.h"

namespace lens {

// How many runs' outputs lesson name's tell reads; nothing for a name that is no lesson.
std::optional<std::size_t> lesson_runs(std::string_view name);

// The question before lesson name runs; false, and nothing said, for a name that is no lesson.
bool lesson_ask(std::string_view name, Narrator& narrator);

// What the runs of lesson name measured and why, from their outputs in the tour's order: "" once
// told; otherwise the sentence that says why they cannot be told, and nothing said.
std::string lesson_tell(std::string_view name, const std::vector<std::string>& outputs,
                        Narrator& narrator);

}  // namespace lens
