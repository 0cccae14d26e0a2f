#include "core/line_reader.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::string Utf16(std::string_view ascii, bool big_endian) {
  std::string out;
  for (char c : ascii) out += big_endian ? std::string{'\0', c} : std::string{c, '\0'};
  return out;
}

// Every line of text as "N:TEXT", a line refused as "N:too long", a file refused whole as
// "0:UTF-16 without a mark".
std::vector<std::string> ReadAll(std::string text, std::size_t max_length) {
  std::FILE* file = fmemopen(text.data(), text.size(), "rb");
  LineReader reader;
  reader.stream = file;
  reader.max_length = max_length;
  std::vector<std::string> lines;
  for (;;) {
    TextLine line = ReadTextLine(reader);
    if (line.kind == TextLine::End) break;
    std::string what = line.kind == TextLine::TooLong ? "too long" : "UTF-16 without a mark";
    lines.push_back(std::to_string(line.number) + ":" + (line.kind == TextLine::Text ? line.text : what));
  }
  (void)std::fclose(file);
  return lines;
}

TEST(LineReader, TakesFilesAsEditorsWriteThem) {
  struct Row {
    const char* name;
    std::string text;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {"UTF-16LE without a mark, after an empty line", Utf16("\nA1\n", false), {"1:", "0:UTF-16 without a mark"}},
      // U+0080, U+07FF and U+0800: where the lengths of UTF-8 change.
      {"UTF-16LE to UTF-8",
       std::string("\xFF\xFE\x80\x00\xFF\x07\x00\x08\x0A\x00", 10),
       {"1:\xC2\x80\xDF\xBF\xE0\xA0\x80"}},
      {"a mark's first bytes only", "\xEF\xBB\x41\n\xFE", {"1:\xEF\xBB\x41", "2:\xFE"}},
      {"Ctrl+Z with more is a line", "\x1A A1\n", {"1:\x1A A1"}},
      {"Ctrl+Z in UTF-16", "\xFF\xFE" + Utf16("A1\n\x1A\nA2\n", false), {"1:A1"}},
      // A character above U+FFFF, then a high surrogate without its low one and a last odd byte.
      {"surrogates",
       std::string("\xFF\xFE\x3D\xD8\x00\xDE\x3D\xD8\x41\x00\x0A\x00\x41", 13),
       {"1:\xF0\x9F\x98\x80\xEF\xBF\xBD\x41", "2:\xEF\xBF\xBD"}},
      {"only the first line tells UTF-16", std::string("A1\nA\0\x31\0\n", 8), {"1:A1", std::string("2:A\0\x31\0", 6)}},
      {"NULs only are no UTF-16", std::string(3, '\0') + "\n", {std::string("1:\0\0\0", 5)}},
  };
  for (const Row& row : rows) EXPECT_EQ(ReadAll(row.text, 10), row.lines) << row.name;
}

TEST(LineReader, OneLimitWhateverTheLineEnd) {
  // The limit counts the line's own bytes in UTF-8, a "\r\n" or the decoding aside.
  const std::string ten(10, 'x');
  const std::string eleven(11, 'x');
  EXPECT_EQ(ReadAll(ten + "\r\n" + eleven + "\r\n" + ten, 10),
            (std::vector<std::string>{"1:" + ten, "2:too long", "3:" + ten}));
  EXPECT_EQ(ReadAll(ten + "\r" + "x\nA1", 10), (std::vector<std::string>{"1:too long", "2:A1"}));
  EXPECT_EQ(ReadAll("\xFF\xFE" + Utf16(ten + "\r\n", false) + Utf16("\xE9" + std::string(9, 'x'), false), 10),
            (std::vector<std::string>{"1:" + ten, "2:too long"}));
}

}  // namespace
