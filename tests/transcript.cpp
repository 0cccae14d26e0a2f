#include "tests/transcript.h"

#include <iconv.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace expected {

std::vector<std::string> Words(const std::string& text) {
  std::istringstream stream(text);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

std::string Hex2(int value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[(value >> 4) & 0x0F], kDigits[value & 0x0F]};
}

std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  for (const std::string& word : Words(text)) bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
  return bytes;
}

std::string Line(const std::string& label, const std::vector<std::uint8_t>& bytes) {
  std::string line = label;
  line += '\0';
  for (std::uint8_t byte : bytes) {
    line += Hex2(byte);
    line += ' ';
    line += '\0';
  }
  return line + "\n\n";
}

std::string ToCodePage932(const std::string& utf8) {
  iconv_t convert = ::iconv_open("CP932", "UTF-8");
  // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv's own failure value
  if (convert == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no CP932 converter");
  std::string out(utf8.size() * 2, '\0');
  char* in_ptr = const_cast<char*>(utf8.data());
  std::size_t in_left = utf8.size();
  char* out_ptr = out.data();
  std::size_t out_left = out.size();
  std::size_t done = ::iconv(convert, &in_ptr, &in_left, &out_ptr, &out_left);
  ::iconv_close(convert);
  if (done == static_cast<std::size_t>(-1)) throw std::runtime_error("text has no CP932 form");
  out.resize(out.size() - out_left);
  return out;
}

}  // namespace expected
