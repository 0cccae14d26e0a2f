#include "core/utf8.h"

namespace {

bool IsCharacter(char32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

}  // namespace

void AppendUtf8(std::string& out, char32_t c) {
  if (!IsCharacter(c)) c = kReplacementCharacter;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

char32_t TakeUtf8Character(std::string_view& text) {
  auto byte = [&text](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(0);
  std::size_t length = lead < 0x80                   ? 1
                       : lead >= 0xC2 && lead < 0xE0 ? 2
                       : lead >= 0xE0 && lead < 0xF0 ? 3
                       : lead >= 0xF0 && lead < 0xF5 ? 4
                                                     : 0;
  char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1FU : length == 3 ? lead & 0x0FU : lead & 0x07U;
  bool valid = length != 0 && length <= text.size();
  for (std::size_t k = 1; valid && k < length; ++k) {
    valid = (byte(k) & 0xC0U) == 0x80;
    c = (c << 6) | (byte(k) & 0x3FU);
  }
  bool shortest = length < 3 || (length == 3 && c >= 0x800) || (length == 4 && c >= 0x10000);
  if (!valid || !shortest || !IsCharacter(c)) {
    text.remove_prefix(1);
    return kReplacementCharacter;
  }
  text.remove_prefix(length);
  return c;
}

std::string ValidUtf8(std::string_view text) {
  std::string out;
  while (!text.empty()) AppendUtf8(out, TakeUtf8Character(text));
  return out;
}
