#include "core/command_bytes.h"

#include <cstdlib>
#include <cstring>

std::optional<std::uint8_t> ConvertCommandByte(const char* argument) {
  std::size_t length = std::strlen(argument);
  if (length == 0 || length > 2) return std::nullopt;
  char* end = nullptr;
  long value = std::strtol(argument, &end, 16);
  if (end != argument + length) return std::nullopt;
  return static_cast<std::uint8_t>(static_cast<unsigned long>(value) & 0xFFU);
}

ParsedCommand ParseCommandBytes(int argc, const char* const* argv, int first, std::size_t max_bytes) {
  ParsedCommand parsed;
  std::size_t count = argc > first ? static_cast<std::size_t>(argc - first) : 0;
  if (count > max_bytes || count > parsed.bytes.size()) {
    parsed.error = CommandError::TooMany;
    return parsed;
  }
  for (std::size_t k = 0; k < count; ++k) {
    int index = first + static_cast<int>(k);
    std::optional<std::uint8_t> byte = ConvertCommandByte(argv[index]);
    if (!byte) {
      parsed.error = CommandError::BadByte;
      parsed.bad_argument = index;
      return parsed;
    }
    parsed.bytes[k] = *byte;
  }
  parsed.count = count;
  return parsed;
}
