#include "draw/labels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace lens::svg {
namespace {

// The advances of DejaVu Sans, in thousandths of its size, rounded up: printable ASCII from the
// blank on, Book and Bold, as Chromium draws them with kerning off (the page's style).
constexpr std::array<std::uint16_t, 95> book_advances{
    318, 401, 460, 838, 637, 951, 780,  275, 391, 391, 500, 838, 318, 361, 318, 337,  // ' ' to /
    637, 637, 637, 637, 637, 637, 637,  637, 637, 637,                                // 0 to 9
    337, 337, 838, 838, 838, 531, 1000,                                               // : to @
    685, 686, 699, 770, 632, 576, 775,  752, 295, 295, 656, 558, 863,                 // A to M
    748, 788, 603, 788, 695, 635, 611,  732, 685, 989, 686, 611, 686,                 // N to Z
    391, 337, 391, 838, 500, 500,                                                     // [ to `
    613, 635, 550, 635, 616, 353, 635,  634, 278, 278, 580, 278, 975,                 // a to m
    634, 612, 635, 635, 412, 521, 393,  634, 592, 818, 592, 592, 525,                 // n to z
    637, 337, 637, 838};                                                              // { to ~
constexpr std::array<std::uint16_t, 95> bold_advances{
    349,  457, 521, 838, 696, 1002, 873, 307,  457, 457, 523, 838, 380, 415,  380, 366,
    696,  696, 696, 696, 696, 696,  696, 696,  696, 696, 400, 400, 838, 838,  838, 581,
    1000, 774, 763, 734, 831, 684,  684, 821,  837, 373, 373, 775, 638, 996,  837, 851,
    733,  851, 770, 721, 683, 812,  774, 1103, 771, 725, 726, 457, 366, 457,  838, 500,
    500,  675, 716, 593, 716, 679,  436, 716,  712, 343, 343, 665, 343, 1042, 712, 687,
    716,  716, 494, 596, 478, 712,  652, 924,  645, 652, 582, 712, 366, 712,  838};

// The characters beyond ASCII that the page writes itself, Book and Bold.
struct Wide {
  char32_t from;
  char32_t to;
  std::uint16_t book;
  std::uint16_t bold;
};
constexpr std::array<Wide, 6> known{{
    {0x00b5, 0x00b5, 637, 736},    // µ, of µs
    {0x00d7, 0x00d7, 838, 838},    // ×, of merged spans
    {0x2026, 0x2026, 1000, 1000},  // …, of a cut text
    {0x2192, 0x2192, 838, 838},    // →, of a step line's final value
    {0x2400, 0x2426, 601, 601},    // the control characters' pictures
    {0xfffd, 0xfffd, 1026, 1114},  // the replacement character
}};
// Any other character: wider than any of the page's fonts draws a letter or an ideograph.
constexpr std::uint16_t unknown_advance = 1300;
constexpr double thousand = 1000;
constexpr double ink_margin = 0.15;  // of the size: the ink of a slanted or overhanging glyph
constexpr double ascent = 0.9;       // of the size, above the baseline
constexpr double descent = 0.27;     // below it
constexpr double ellipsis_advance = 1000;
constexpr double label_spacing = 4;  // kept between two labels side by side
constexpr unsigned char delete_byte = 0x7f;

char32_t code_point(std::string_view text, std::size_t at, std::size_t length) {
  const auto byte = [text](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  constexpr std::array<unsigned char, 5> lead_bits{0, 0x7f, 0x1f, 0x0f, 0x07};
  char32_t value = byte(at) & lead_bits[length];
  for (std::size_t index = at + 1; index < at + length; ++index) {
    value = (value << 6U) | (byte(index) & 0x3fU);
  }
  return value;
}

std::uint16_t advance(char32_t character, bool bold) {
  constexpr char32_t first_printable = 0x20;
  if (character < first_printable || character == delete_byte) {
    return known[4].book;  // drawn as its picture
  }
  if (character < delete_byte) {
    const auto index = static_cast<std::size_t>(character - first_printable);
    return bold ? bold_advances[index] : book_advances[index];
  }
  for (const Wide& wide : known) {
    if (character >= wide.from && character <= wide.to) {
      return bold ? wide.bold : wide.book;
    }
  }
  return unknown_advance;
}

// A character of a text as drawn: where it ends in the text, and its advance.
struct Glyph {
  std::size_t end = 0;
  double advance = 0;
};

// The characters of a text with their advances, as drawn (a stray byte as U+FFFD), until `visit`
// returns false.
template <typename Visit>
void each_character(std::string_view text, Font font, Visit visit) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8_length(text, at);
    const char32_t character = length == 0 ? char32_t{0xfffd} : code_point(text, at, length);
    at += std::max<std::size_t>(length, 1);
    const double width = static_cast<double>(advance(character, font.bold)) * font.size / thousand;
    if (!visit(Glyph{at, width})) {
      return;
    }
  }
}

}  // namespace

std::size_t utf8_length(std::string_view text, std::size_t at) {
  const auto byte = [text](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  if (lead < 0x80) {
    length = 1;
  } else if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
  }
  if (length == 0 || at + length > text.size()) {
    return 0;
  }
  for (std::size_t index = at + 1; index < at + length; ++index) {
    if ((byte(index) & 0xc0U) != 0x80) {
      return 0;
    }
  }
  const unsigned char second = length > 1 ? byte(at + 1) : 0;
  if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second >= 0xa0) ||
      (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second >= 0x90)) {
    return 0;
  }
  return length;
}

double text_width(std::string_view text, Font font) {
  double width = 0;
  each_character(text, font, [&width](Glyph character) {
    width += character.advance;
    return true;
  });
  return width + ink_margin * font.size;
}

Box text_box(std::string_view text, Font font, Spot spot, Anchor anchor) {
  const double width = text_width(text, font);
  const double left = anchor == Anchor::start ? spot.x
                      : anchor == Anchor::end ? spot.x - width
                                              : spot.x - width / 2;
  return Box{left, spot.baseline - ascent * font.size, left + width,
             spot.baseline + descent * font.size};
}

std::string fitted(std::string_view text, Font font, double width) {
  if (text_width(text, font) <= width) {
    return std::string(text);
  }
  const double room = width - (ink_margin + ellipsis_advance / thousand) * font.size;
  double used = 0;
  std::size_t end = 0;
  each_character(text, font, [&](Glyph character) {
    if (used + character.advance > room) {
      return false;
    }
    used += character.advance;
    end = character.end;
    return true;
  });
  return room > 0 ? std::string(text.substr(0, end)) + "\u2026" : std::string();
}

std::vector<std::string> wrapped(std::string_view text, Font font, double width) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t blank = std::min(text.find(' ', at), text.size());
    const std::string_view word = text.substr(at, blank - at);
    const std::string longer = line.empty() ? std::string(word) : line + " " + std::string(word);
    if (text_width(longer, font) <= width) {
      line = longer;
    } else {
      if (!line.empty()) {
        lines.push_back(line);
      }
      line = fitted(word, font, width);
    }
    at = blank + 1;
  }
  if (!line.empty() || lines.empty()) {
    lines.push_back(line);
  }
  return lines;
}

void Placer::block(const Box& box, Tag tag) {
  blocked_.push_back(Blocked{box, tag});
}

bool Placer::free(const Box& box, Tag names) const {
  return area_.holds(box) &&
         std::none_of(blocked_.begin(), blocked_.end(), [&](const Blocked& one) {
           return (one.tag == no_tag || one.tag != names) && one.box.meets(box);
         });
}

std::optional<std::size_t> Placer::place(const std::vector<Box>& candidates, Tag names) {
  for (std::size_t index = 0; index < candidates.size(); ++index) {
    if (free(candidates[index], names)) {
      const Box& box = candidates[index];
      blocked_.push_back(
          Blocked{Box{box.left - label_spacing, box.top, box.right + label_spacing, box.bottom}});
      return index;
    }
  }
  return std::nullopt;
}

std::vector<Box> Placer::in_the_way(const Box& box, Tag names) const {
  std::vector<Box> found;
  for (const Blocked& one : blocked_) {
    if ((one.tag == no_tag || one.tag != names) && one.box.meets(box)) {
      found.push_back(one.box);
    }
  }
  return found;
}

std::optional<Placed> place_in_rows(Placer& placer, const Wanted& wanted, const Rows& rows,
                                    double reach) {
  // A label near what it names reads as its own: a row higher first, and only where no row has
  // room near, one further aside.
  constexpr double near = 12;
  const double width = text_width(wanted.text, wanted.font);
  const Box& area = placer.area();
  const double x = std::clamp(wanted.x, area.left, std::max(area.left, area.right - width));
  for (const double aside : {std::min(near, reach), reach}) {
    for (int row = 0; row < rows.most; ++row) {
      const double baseline = rows.baseline(row);
      const Box here = text_box(wanted.text, wanted.font, {x, baseline});
      // Beside each thing in this row within reach: its right, or its left.
      std::vector<double> starts{x};
      const Box around{x - aside - width, here.top, x + width + aside, here.bottom};
      for (const Box& other : placer.in_the_way(around, wanted.names)) {
        starts.push_back(other.right + 1);
        starts.push_back(other.left - 1 - width);
      }
      std::stable_sort(starts.begin(), starts.end(), [x](double one, double other) {
        return std::abs(one - x) < std::abs(other - x);
      });
      std::vector<Box> candidates;
      for (const double start : starts) {
        if (std::abs(start - x) <= aside) {
          candidates.push_back(here.moved(start - x, 0));
        }
      }
      if (const auto chosen = placer.place(candidates, wanted.names)) {
        return Placed{wanted.text, candidates[*chosen].left, baseline, wanted.names, wanted.font,
                      row};
      }
    }
  }
  return std::nullopt;
}

}  // namespace lens::svg
