// A command written as one text, as a program hands it over: its bytes separated by
// blanks or tabs, each read as the tools read a byte given as an argument.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/command_bytes.h"
#include "core/exchange_result.h"

struct CommandText {
  ParsedCommand command;
  std::optional<Message> refusal;  // set when the text is refused
};

// Reads the text's bytes. Refused as the same bytes given as arguments are: fewer than 5
// gets the argument-count message, more than max_bytes the too-many message before any
// byte is looked at, else the first byte that does not convert, numbered from 1.
CommandText ParseCommandText(std::string_view text, std::size_t max_bytes);
