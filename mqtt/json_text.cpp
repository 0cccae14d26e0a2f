#include "mqtt/json_text.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Takes one character off the front of text; a byte that does not start a valid
// sequence is taken alone and reads as U+FFFD.
char32_t TakeCharacter(std::string_view& text) {
  auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  std::uint8_t lead = byte(0);
  std::size_t length = lead < 0x80                    ? 1
                       : lead >= 0xC2 && lead <= 0xDF ? 2
                       : (lead & 0xF0) == 0xE0        ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                      : 0;
  if (length == 1) {
    text.remove_prefix(1);
    return lead;
  }
  if (length == 0 || text.size() < length) {
    text.remove_prefix(1);
    return kReplacement;
  }
  char32_t c = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(k) & 0xC0) != 0x80) {
      text.remove_prefix(1);
      return kReplacement;
    }
    c = (c << 6) | (byte(k) & 0x3FU);
  }
  constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    text.remove_prefix(1);
    return kReplacement;
  }
  text.remove_prefix(length);
  return c;
}

void AppendEscape(std::string& out, unsigned unit) {
  constexpr char kHex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xFU];
}

}  // namespace

bool IsUtf8(std::string_view text) {
  while (!text.empty()) {
    std::size_t before = text.size();
    // A real U+FFFD is three bytes; one taken alone stands for a bad byte.
    if (TakeCharacter(text) == kReplacement && before - text.size() != 3) return false;
  }
  return true;
}

std::string JsonString(std::string_view utf8) {
  std::string out = "\"";
  while (!utf8.empty()) {
    char32_t c = TakeCharacter(utf8);
    if (c == U'"' || c == U'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == U'\n') {
      out += "\\n";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (c >= 0x10000) {
      char32_t v = c - 0x10000;
      AppendEscape(out, 0xD800 + static_cast<unsigned>(v >> 10));
      AppendEscape(out, 0xDC00 + static_cast<unsigned>(v & 0x3FF));
    } else {
      AppendEscape(out, static_cast<unsigned>(c));
    }
  }
  return out + '"';
}
