// The command file of a session (--commands): one command per line, its bytes written as
// on the command line and separated by blanks or tabs. "#" begins a comment; blank and
// comment-only lines are passed over. Line ends, encodings and the end of input are as
// the line reader takes them.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "core/command_bytes.h"
#include "core/exchange_result.h"
#include "core/line_reader.h"

// The longest line taken, line end left out; a longer one is refused, never held whole.
inline constexpr std::size_t kMaxCommandLineLength = 4096;

// The fewest command bytes a command has, header and footer included.
inline constexpr std::size_t kFewestCommandBytes = 5;

struct CommandFileLine {
  enum Kind {
    Command,  // command holds the line's bytes
    Refused,  // the line is refused: refusal says why
    Skipped,  // blank or comment only
    End,      // no more lines
    Failed,   // the file could not be read on: refusal and error say why
  } kind = End;
  std::size_t number = 0;  // of the line, from 1
  ParsedCommand command;
  Message refusal;
  std::optional<long> error;
};

// The open command file and how far it has been read. Standard input is left open.
struct CommandFile {
  CommandFile() = default;
  CommandFile(const CommandFile&) = delete;
  CommandFile& operator=(const CommandFile&) = delete;
  ~CommandFile();
  LineReader reader;  // its stream is the file's
  bool owned = false;
  std::string name;  // as the user gave it
};

// Opens the file at path for reading in binary mode, "-" being standard input. Gives
// back the refusal (cannot-read message, error number set) when it cannot be opened.
std::optional<CommandFileLine> OpenCommandFile(CommandFile& file, const char* path);

// Reads the next line that is not skipped, returning as soon as its line end (or the
// end of the file) has been read, so that a session can be driven through a pipe.
CommandFileLine NextCommandLine(CommandFile& file, std::size_t max_bytes);

// Reads one line's text, line end left out: its bytes, or the refusal for too few, too
// many (before any byte is looked at) or the first byte that does not convert.
CommandFileLine ParseCommandFileLine(std::string_view text, std::size_t number, std::size_t max_bytes);
