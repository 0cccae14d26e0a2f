#include "core/line_reader.h"

#include <cerrno>

#include "core/utf8.h"

namespace {

constexpr std::string_view kEndOfInput = "\x1A";  // Ctrl+Z

int NextByte(LineReader& reader) {
  if (reader.lookahead.empty()) return std::getc(reader.stream);
  int c = static_cast<unsigned char>(reader.lookahead.front());
  reader.lookahead.erase(0, 1);
  return c;
}

// Looks for a byte order mark at the start of the stream; the bytes that turn out not
// to be one are kept for the first line. Only a byte that can begin a mark makes it read
// on, so that a pipe's first line is never waited for beyond its own bytes.
void ReadByteOrderMark(LineReader& reader) {
  reader.started = true;
  constexpr std::string_view kUtf8 = "\xEF\xBB\xBF";
  constexpr std::string_view kUtf16Le = "\xFF\xFE";
  constexpr std::string_view kUtf16Be = "\xFE\xFF";
  for (;;) {
    std::string_view seen = reader.lookahead;
    if (seen == kUtf8 || seen == kUtf16Le || seen == kUtf16Be) {
      reader.encoding = seen == kUtf8      ? TextEncoding::Utf8
                        : seen == kUtf16Le ? TextEncoding::Utf16Le
                                           : TextEncoding::Utf16Be;
      reader.checked = true;
      reader.lookahead.clear();
      return;
    }
    if (!kUtf8.starts_with(seen) && !kUtf16Le.starts_with(seen) && !kUtf16Be.starts_with(seen)) return;
    int c = std::getc(reader.stream);
    if (c == EOF) return;
    reader.lookahead += static_cast<char>(c);
  }
}

// The next UTF-16 code unit, -1 at the end; a last odd byte is a unit of its own that is
// no character.
int NextUnit(LineReader& reader) {
  int first = NextByte(reader);
  if (first == EOF) return -1;
  int second = NextByte(reader);
  if (second == EOF) return 0xDC00;  // a lone low surrogate: written as U+FFFD
  return reader.encoding == TextEncoding::Utf16Le ? first | (second << 8) : (first << 8) | second;
}

// Appends the next character to text as UTF-8, bytes of a UTF-8 stream as they are;
// false at the end of the stream.
bool TakeCharacter(LineReader& reader, std::string& text) {
  if (reader.encoding == TextEncoding::Utf8) {
    int c = NextByte(reader);
    if (c == EOF) return false;
    text += static_cast<char>(c);
    return true;
  }
  int unit = reader.held_unit >= 0 ? reader.held_unit : NextUnit(reader);
  reader.held_unit = -1;
  if (unit < 0) return false;
  char32_t c = static_cast<char32_t>(unit);
  if (unit >= 0xD800 && unit < 0xDC00) {
    int low = NextUnit(reader);
    if (low >= 0xDC00 && low < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + static_cast<char32_t>(low - 0xDC00);
    } else {
      reader.held_unit = low;
      c = kReplacementCharacter;
    }
  }
  AppendUtf8(text, c);
  return true;
}

// NUL in every other byte, and only there: ASCII text written as UTF-16.
bool PlainlyUtf16(std::string_view text) {
  if (text.size() < 2) return false;
  for (std::size_t nul_at : {0U, 1U}) {
    bool plain = true;
    for (std::size_t k = 0; k < text.size() && plain; ++k) plain = (text[k] == '\0') == (k % 2 == nul_at);
    if (plain) return true;
  }
  return false;
}

TextLine Line(LineReader& reader, TextLine::Kind kind) {
  TextLine line;
  line.kind = kind;
  line.number = ++reader.lines_read;
  return line;
}

TextLine Stop(LineReader& reader, TextLine::Kind kind, int error = 0) {
  reader.ended = true;
  TextLine line;
  line.kind = kind;
  line.number = kind == TextLine::Failed ? reader.lines_read + 1 : 0;
  line.error = error;
  return line;
}

TextLine StreamEnd(LineReader& reader) {
  int error = errno;
  if (std::ferror(reader.stream) == 0) return Stop(reader, TextLine::End);
  return Stop(reader, TextLine::Failed, error != 0 ? error : EIO);
}

bool EndsLine(const std::string& text) { return !text.empty() && text.back() == '\n'; }

}  // namespace

TextLine ReadTextLine(LineReader& reader) {
  if (reader.ended) return Stop(reader, TextLine::End);
  if (!reader.started) ReadByteOrderMark(reader);
  std::string text;
  while (reader.rest_to_skip) {
    text.clear();
    errno = 0;
    if (!TakeCharacter(reader, text)) return StreamEnd(reader);
    reader.rest_to_skip = !EndsLine(text);
  }
  text.clear();
  for (;;) {
    errno = 0;
    if (!TakeCharacter(reader, text)) {
      if (std::ferror(reader.stream) != 0 || text.empty()) return StreamEnd(reader);
      reader.ended = true;
      break;
    }
    if (EndsLine(text)) {
      text.pop_back();
      break;
    }
    // One byte more is kept while it may be the "\r" of a "\r\n".
    if (text.size() > reader.max_length && !(text.size() == reader.max_length + 1 && text.back() == '\r')) {
      if (!reader.checked && PlainlyUtf16(text)) return Stop(reader, TextLine::Utf16Bare);
      reader.checked = true;
      reader.rest_to_skip = true;
      return Line(reader, TextLine::TooLong);
    }
  }
  if (!reader.checked && text.size() >= 2) {
    reader.checked = true;
    if (PlainlyUtf16(text)) return Stop(reader, TextLine::Utf16Bare);
  }
  if (text.ends_with('\r')) text.pop_back();
  if (text == kEndOfInput) return Stop(reader, TextLine::End);
  TextLine line = Line(reader, TextLine::Text);
  line.text = std::move(text);
  return line;
}
