#include "narrate/visible.h"

#include <cstddef>
#include <optional>

namespace lens {
namespace {

// A byte shown as \xNN, in lower-case hex.
void visible_escape(unsigned char byte, std::string& out) {
  constexpr std::string_view digits = "0123456789abcdef";
  out += "\\x";
  out += digits[byte >> 4U];
  out += digits[byte & 0xfU];
}

// What a UTF-8 sequence's lead byte asks for: its length, and the range of its second byte (the
// bounds that rule out overlong forms, UTF-16 surrogates and code points past U+10FFFF).
struct VisibleLead {
  std::size_t length = 0;  // 0: no lead byte
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
};

VisibleLead visible_lead(unsigned char byte) {
  if (byte >= 0xc2 && byte <= 0xdf) {
    return VisibleLead{2};
  }
  if (byte >= 0xe0 && byte <= 0xef) {
    return byte == 0xe0   ? VisibleLead{3, 0xa0}
           : byte == 0xed ? VisibleLead{3, 0x80, 0x9f}
                          : VisibleLead{3};
  }
  if (byte >= 0xf0 && byte <= 0xf4) {
    return byte == 0xf0   ? VisibleLead{4, 0x90}
           : byte == 0xf4 ? VisibleLead{4, 0x80, 0x8f}
                          : VisibleLead{4};
  }
  return VisibleLead{};
}

bool visible_as_is(unsigned char byte) {
  return byte == '\t' || byte == '\n' || (byte >= 0x20 && byte != 0x7f);
}

// How many bytes from the start of bytes (which begins with a lead byte) form a valid sequence:
// its length, 0 where it is invalid, or nothing where bytes end before it could be told.
std::optional<std::size_t> visible_sequence(std::string_view bytes) {
  const VisibleLead wanted = visible_lead(static_cast<unsigned char>(bytes[0]));
  if (wanted.length == 0) {
    return 0;
  }
  for (std::size_t at = 1; at < wanted.length; ++at) {
    if (at == bytes.size()) {
      return std::nullopt;
    }
    const auto byte = static_cast<unsigned char>(bytes[at]);
    const unsigned char low = at == 1 ? wanted.low : 0x80;
    const unsigned char high = at == 1 ? wanted.high : 0xbf;
    if (byte < low || byte > high) {
      return 0;
    }
  }
  return wanted.length;
}

}  // namespace

void Visible::feed(std::string_view bytes, std::string& out) {
  std::string joined;
  if (!held_.empty()) {
    joined = held_;
    joined += bytes;
    held_.clear();
    bytes = joined;
  }
  out.reserve(out.size() + bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[at]);
    if (byte < 0x80) {
      visible_as_is(byte) ? void(out += static_cast<char>(byte)) : visible_escape(byte, out);
      ++at;
      continue;
    }
    const auto length = visible_sequence(bytes.substr(at));
    if (!length) {
      held_ = bytes.substr(at);
      return;
    }
    if (*length == 0) {
      visible_escape(byte, out);
      ++at;
      continue;
    }
    const auto second = static_cast<unsigned char>(bytes[at + 1]);
    if (byte == 0xc2 && second <= 0x9f) {  // a C1 control, U+0080 to U+009F
      visible_escape(byte, out);
      visible_escape(second, out);
    } else {
      out += bytes.substr(at, *length);
    }
    at += *length;
  }
}

void Visible::finish(std::string& out) {
  for (const char byte : held_) {
    visible_escape(static_cast<unsigned char>(byte), out);
  }
  held_.clear();
}

std::string visible(std::string_view bytes) {
  Visible shown;
  std::string out;
  shown.feed(bytes, out);
  shown.finish(out);
  return out;
}

}  // namespace lens
