#include "core/hex_text.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHex(std::string& out, std::uint8_t byte) {
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0x0F];
}

}  // namespace

std::string FormatByteItems(const std::uint8_t* bytes, std::size_t count) {
  std::string items;
  items.reserve(count * 4);
  for (std::size_t k = 0; k < count; ++k) {
    AppendHex(items, bytes[k]);
    items += ' ';
    items += '\0';
  }
  return items;
}

std::string FormatHexWords(const std::uint8_t* bytes, std::size_t count) {
  std::string words;
  words.reserve(count * 3);
  for (std::size_t k = 0; k < count; ++k) {
    if (k > 0) words += ' ';
    AppendHex(words, bytes[k]);
  }
  return words;
}
