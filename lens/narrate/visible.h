// The terminal's one escape: every byte lens prints to a terminal that it did not write itself (a
// program's output under `lens show`, strace's text of a call, a row of /proc, a file's name) is
// shown with nothing in it that could work the terminal. Whoever wrote the bytes (another user
// can write into a shared-memory segment that segpeek prints) must not get to set its title, move
// its cursor or clear its screen.
#pragma once

#include <string>
#include <string_view>

namespace lens {

// Turns bytes into text safe for a terminal, piece by piece as they arrive. Tab, newline and
// every valid UTF-8 character pass unchanged; every other control character (C0 but tab and
// newline, DEL, and the C1 controls U+0080 to U+009F) and every byte of no valid UTF-8 sequence
// are shown as \xNN, a C1 control as its two bytes: \xc2\x9b.
class Visible {
 public:
  // Appends to out what bytes show, holding back the start of a character that the next bytes
  // may complete.
  void feed(std::string_view bytes, std::string& out);
  // The input has ended: what was held back is shown escaped.
  void finish(std::string& out);

 private:
  std::string held_;  // the start of a UTF-8 sequence cut by the end of a piece
};

// The whole of bytes shown, as Visible shows them.
std::string visible(std::string_view bytes);

}  // namespace lens
