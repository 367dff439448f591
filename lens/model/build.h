// What the figures of every mechanism are built with: time arithmetic that never overflows (a
// log's times are what strace wrote, and a wrong or hand-made log may hold any), step lines from
// changes, lanes from lives, arrows between spans, magnified stretches with room around them,
// and notes. For lens's model only (model/*.cpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "facts/tasks.h"
#include "model/step.h"

namespace lens {

// Times are added and multiplied only here, saturating at the ends of Micros.
Micros plus(Micros time, Micros duration);
Micros minus(Micros time, Micros duration);
// From begin to end, or 0 where end comes first.
Micros length(Micros begin, Micros end);
// A duration (at least 0) times a factor (at least 1).
Micros times(Micros duration, Micros factor);

// How much room a magnified stretch gets around it: 1/before of its length ahead of it and
// 1/after behind it, so that its first and last moments do not sit on the panel's edges.
struct Margins {
  Micros before = 1;
  Micros after = 1;
};
Window with_margins(Micros begin, Micros end, Margins margins);
// A short moment's stretch: `factor` times its length on each side, and at least `least`.
Window around(Micros begin, Micros end, Micros factor, Micros least);

// A lane for a task's life, named "PROGRAM ROLE" or "PROGRAM" (its program is the name's first
// word).
// Its process is itself (a thread's lane sets its process apart).
Lane lane_of(std::string name, int id, Life life);

// A span of a call, or of any stretch.
Span span_of(std::size_t lane, Shade shade, Interval time, std::string label = {});

// Where an arrow leaves one span and enters another: inside the sender's span (its middle, or
// earlier if the receiver ends sooner), and inside the receiver's span just before its end,
// never earlier than it leaves.
Arrow arrow_between(const Span& sender, const Span& receiver, Carries carries, std::string label);

// A count's changes over time (+1, -1 at a moment).
using Changes = std::vector<std::pair<Micros, int>>;

// Changes of a count summed into a step line from `start` on. A count of processes, threads or a
// semaphore's value is never below 0: a log that shows more ends than beginnings (a wrong or cut
// log) holds the line at 0 instead.
std::vector<Level> step_line(Changes changes, Level start);

// The largest value of a step line (0 for none).
int highest(const std::vector<Level>& levels);

// A note: its key, its sentence, and its values in the order of the sentence's holes.
Note note(std::string_view key, std::string_view sentence,
          std::vector<std::pair<std::string_view, std::string>> values = {});

// A figure of a step or lesson of the mechanism, titled, with nothing in it yet.
Figure figure_of(Mechanism mechanism, std::string title);

// A figure that has nothing to draw, and why.
Figure not_recorded(Mechanism mechanism, std::string title, std::string why);

// An empty panel of strace's records, over time.
Panel strace_panel(Window time);

// "once", "twice", "3 times".
std::string times_text(int count);

}  // namespace lens
