// Text files read line by line, as command files and answer tables are, whichever
// encoding the editor or shell that wrote them chose. A UTF-8 byte order mark is passed
// over; UTF-16 with a byte order mark (either byte order) is decoded to UTF-8, so that
// limits, words and messages are the same as for a UTF-8 file; UTF-16 without one is
// refused rather than read as lines of stray NULs. "\n" and "\r\n" end a line. A line
// holding only Ctrl+Z (0x1A) ends the input, as Windows programs take it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

enum class TextEncoding { Utf8, Utf16Le, Utf16Be };

// The stream and how far it has been read. The stream is not closed here.
struct LineReader {
  std::FILE* stream = nullptr;
  std::size_t max_length = 0;  // of a line taken, in bytes of UTF-8, line end left out
  TextEncoding encoding = TextEncoding::Utf8;
  bool started = false;       // the byte order mark has been looked for
  bool checked = false;       // a line has been looked at for UTF-16 without a mark
  bool rest_to_skip = false;  // the line refused as too long has not ended yet
  bool ended = false;         // nothing more is read
  std::string lookahead;      // bytes read while looking for the mark, not yet taken
  int held_unit = -1;         // a UTF-16 unit read after a high surrogate it does not complete
  std::size_t lines_read = 0;
};

struct TextLine {
  enum Kind {
    Text,       // text holds the line, line end left out
    TooLong,    // the line has more than max_length bytes; the rest is passed over on the next read
    End,        // no more lines
    Failed,     // the stream could not be read: error holds the system's error number
    Utf16Bare,  // the file is UTF-16 without a byte order mark
  } kind = End;
  std::size_t number = 0;  // of the line, from 1
  std::string text;
  int error = 0;
};

// Reads the next line. Returns as soon as the line end has been read, so that a pipe
// can feed one line at a time, and as soon as a line passes max_length, keeping no more
// than max_length bytes of it.
TextLine ReadTextLine(LineReader& reader);
