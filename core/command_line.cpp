#include "core/command_line.h"

#include <string>

#include "core/texts.h"

Message ArgumentCountMessage() { return {texts::kArgumentCount, {}}; }

std::optional<Message> CheckArgumentCount(int argc, int first, std::size_t needed) {
  if (argc >= first && static_cast<std::size_t>(argc - first) >= needed) return std::nullopt;
  return ArgumentCountMessage();
}

Message CommandBytesMessage(const ParsedCommand& command, const char* const* argv, std::size_t max_bytes) {
  if (command.error == CommandError::TooMany) return {texts::kTooManyBytes, {std::to_string(max_bytes)}};
  return {texts::kInvalidByte, {argv[command.bad_argument], std::to_string(command.bad_argument)}};
}
