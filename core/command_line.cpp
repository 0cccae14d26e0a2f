#include "core/command_line.h"

#include <string>

#include "core/report.h"
#include "core/texts.h"

bool CheckArgumentCount(int argc, int first, std::size_t needed) {
  if (argc >= first && static_cast<std::size_t>(argc - first) >= needed) return true;
  PrintMessage(texts::kArgumentCount);
  return false;
}

std::optional<ParsedCommand> ReadCommandBytes(int argc, const char* const* argv, int first, std::size_t max_bytes) {
  ParsedCommand command = ParseCommandBytes(argc, argv, first, max_bytes);
  switch (command.error) {
    case CommandError::None:
      return command;
    case CommandError::TooMany:
      PrintMessage(texts::kTooManyBytes, {std::to_string(max_bytes)});
      break;
    case CommandError::BadByte:
      PrintMessage(texts::kInvalidByte, {argv[command.bad_argument], std::to_string(command.bad_argument)});
      break;
  }
  return std::nullopt;
}
