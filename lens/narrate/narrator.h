// The one narrator of the "## " lines that lens prints: the kernel's views of the steps, what the
// kernel holds during them, and the lessons' questions and what their runs measured. Every line
// it writes is made visible first (narrate/visible.h): whatever bytes a record or /proc holds,
// none reaches the terminal as a control.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace lens {

// How narration lines are written: "## TEXT", or the same in cyan for a terminal.
enum class Narration { plain, color };

class Narrator {
 public:
  // width: the columns a line of narration may take, its "## " included, wrapped at blanks to
  // fit (a word longer than that stands alone on its line); 0: no wrapping.
  explicit Narrator(Narration narration, std::size_t width = 0);

  // A sentence of narration: "## SENTENCE", on as many lines as the width asks.
  void say(std::string_view sentence);
  // One paragraph given as lines: each its own "## " line where nothing wraps, and joined and
  // wrapped to the width otherwise.
  void say(std::initializer_list<std::string_view> lines);
  // A command as the reader would type it: "$ COMMAND", bold on a terminal; never wrapped, so
  // that it can be copied.
  void command(std::string_view line);
  // A line as it was read (strace's text of a call, a row of /proc), shown unwrapped.
  void show(std::string_view line);

  // What was said so far; the narrator starts again empty.
  std::string take();

 private:
  void line(std::string_view start, std::string_view text);

  Narration narration_;
  std::size_t width_;
  std::string text_;
};

}  // namespace lens
