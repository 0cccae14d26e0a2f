#include "core/line_reader.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::string Utf16Le(std::string_view ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

// Every line of text, at most 10 bytes each, as "N:TEXT", "N:too long", or "0:UTF-16"
// for a file refused whole.
std::vector<std::string> ReadAll(std::string text) {
  LineReader reader;
  reader.stream = fmemopen(text.data(), text.size(), "rb");
  reader.max_length = 10;
  std::vector<std::string> lines;
  for (TextLine line; (line = ReadTextLine(reader)).kind != TextLine::End;) {
    std::string what = line.kind == TextLine::Text ? line.text : line.kind == TextLine::TooLong ? "too long" : "UTF-16";
    lines.push_back(std::to_string(line.number) + ":" + what);
  }
  (void)std::fclose(reader.stream);
  return lines;
}

TEST(LineReader, TakesFilesAsEditorsWriteThem) {
  const std::string ten(10, 'x');
  const std::pair<std::string, std::vector<std::string>> rows[] = {
      {Utf16Le("\nA1\n"), {"1:", "0:UTF-16"}},  // no mark, after an empty line
      // U+0080, U+07FF and U+0800: where the lengths of UTF-8 change.
      {std::string("\xFF\xFE\x80\x00\xFF\x07\x00\x08\x0A\x00", 10), {"1:\xC2\x80\xDF\xBF\xE0\xA0\x80"}},
      {"\xEF\xBB\x41\n\xFE", {"1:\xEF\xBB\x41", "2:\xFE"}},  // a mark's first bytes only
      {"\x1A A1\n", {"1:\x1A A1"}},                          // Ctrl+Z with more is a line
      // Big-endian after its mark; a line of Ctrl+Z alone ends the input.
      {std::string("\xFE\xFF\x00\x41\x00\x31\x00\x0D\x00\x0A\x00\x1A\x00\x0D\x00\x0A\x00\x41", 18), {"1:A1"}},
      // A character above U+FFFF, then a high surrogate without its low one and a last odd byte.
      {std::string("\xFF\xFE\x3D\xD8\x00\xDE\x3D\xD8\x41\x00\x0A\x00\x41", 13),
       {"1:\xF0\x9F\x98\x80\xEF\xBF\xBD\x41", "2:\xEF\xBF\xBD"}},
      // The ends of the surrogate ranges: the first and the last pair; U+E000 is no low
      // one; two low ones are no pair.
      {std::string("\xFF\xFE\x00\xD8\x00\xDC\xFF\xDB\xFF\xDF\x0A\x00\x00\xD8\x00\xE0\x0A\x00\x00\xDC\x00\xDC", 22),
       {"1:\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "2:\xEF\xBF\xBD\xEE\x80\x80", "3:\xEF\xBF\xBD\xEF\xBF\xBD"}},
      {std::string("A1\nA\0\x31\0\n", 8), {"1:A1", std::string("2:A\0\x31\0", 6)}},  // the first line tells UTF-16
      {std::string(3, '\0') + "\n", {std::string("1:\0\0\0", 5)}},                   // NULs only are no UTF-16
      // One limit whatever the line end: a "\r\n" and the decoding aside, a lone "\r" counted.
      {ten + "\r\n" + ten + "x\r\n" + ten, {"1:" + ten, "2:too long", "3:" + ten}},
      {ten + "\rx\nA1", {"1:too long", "2:A1"}},
      {"\xFF\xFE" + Utf16Le(ten + "\r\n\xE9" + std::string(9, 'x')), {"1:" + ten, "2:too long"}},
  };
  for (const auto& [text, lines] : rows) EXPECT_EQ(ReadAll(text), lines) << text;
}

}  // namespace
