#include "narrate/narrator.h"

#include <utility>

#include "narrate/visible.h"

namespace lens {
namespace {

constexpr std::string_view narrator_cyan = "\x1b[36m";
constexpr std::string_view narrator_bold = "\x1b[1m";
constexpr std::string_view narrator_reset = "\x1b[0m";
constexpr std::string_view narration_start = "## ";

// The columns that UTF-8 text takes: one a character (a continuation byte takes none).
std::size_t narrator_columns(std::string_view text) {
  std::size_t columns = 0;
  for (const char byte : text) {
    columns += (static_cast<unsigned char>(byte) & 0xc0U) != 0x80U ? 1 : 0;
  }
  return columns;
}

// The text made visible, on one line: a newline in it is shown as \x0a too.
std::string narrator_one_line(std::string_view text) {
  std::string shown;
  for (const char byte : visible(text)) {
    shown += byte == '\n' ? std::string_view("\\x0a") : std::string_view(&byte, 1);
  }
  return shown;
}

}  // namespace

Narrator::Narrator(Narration narration, std::size_t width) : narration_(narration), width_(width) {}

void Narrator::line(std::string_view start, std::string_view text) {
  if (narration_ == Narration::color) {
    text_ += start == narration_start ? narrator_cyan : narrator_bold;
  }
  text_ += start;
  text_ += text;
  if (narration_ == Narration::color) {
    text_ += narrator_reset;
  }
  text_ += '\n';
}

void Narrator::say(std::string_view sentence) {
  const std::string shown = narrator_one_line(sentence);
  if (width_ == 0) {
    line(narration_start, shown);
    return;
  }
  // What fits after "## ", at least a column: a word too long for it stands alone.
  const std::size_t room =
      width_ > narration_start.size() + 1 ? width_ - narration_start.size() : 1;
  std::string_view rest = shown;
  std::string wrapped;
  std::size_t columns = 0;
  bool said = false;
  while (!rest.empty()) {
    const std::size_t blank = rest.find(' ');
    const std::string_view word = rest.substr(0, blank);
    rest.remove_prefix(blank == std::string_view::npos ? rest.size() : blank + 1);
    if (word.empty()) {
      continue;
    }
    const std::size_t wide = narrator_columns(word);
    if (!wrapped.empty() && columns + 1 + wide > room) {
      line(narration_start, wrapped);
      said = true;
      wrapped.clear();
      columns = 0;
    }
    if (!wrapped.empty()) {
      wrapped += ' ';
      ++columns;
    }
    wrapped += word;
    columns += wide;
  }
  if (!wrapped.empty() || !said) {
    line(narration_start, wrapped);
  }
}

void Narrator::say(std::initializer_list<std::string_view> lines) {
  if (width_ == 0) {
    for (const std::string_view each : lines) {
      say(each);
    }
    return;
  }
  std::string joined;
  for (const std::string_view each : lines) {
    joined += joined.empty() ? "" : " ";
    joined += each;
  }
  say(joined);
}

void Narrator::command(std::string_view text) {
  line("$ ", narrator_one_line(text));
}

void Narrator::show(std::string_view text) {
  text_ += narrator_one_line(text);
  text_ += '\n';
}

std::string Narrator::take() {
  return std::exchange(text_, std::string());
}

}  // namespace lens
