// Turning command-line arguments into the command sent to the power supply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

// The command as typed, one byte per argument; bytes after the last one stay 0.
using CommandBuffer = std::array<std::uint8_t, 64>;

// Converts one argument of one or two characters as a hexadecimal byte: leading blanks,
// a sign and digits of either case, as the C library reads base 16. The argument is
// accepted only when every character takes part, so a byte the user did not type can
// never go out ("1FF", "1g", "d " and "0x41" are refused). A negative value is stored
// as its low 8 bits, so "-1" is 0xFF.
std::optional<std::uint8_t> ConvertCommandByte(const char* argument);

enum class CommandError { None, TooMany, BadByte };

struct ParsedCommand {
  CommandBuffer bytes{};
  std::size_t count = 0;
  CommandError error = CommandError::None;
  int bad_argument = 0;  // index into argv of the first argument refused
};

// Parses argv[first] to argv[argc - 1] into a zero-filled CommandBuffer. More than
// max_bytes arguments is refused as a whole before any byte is looked at; otherwise the
// first argument that does not convert is reported.
ParsedCommand ParseCommandBytes(int argc, const char* const* argv, int first, std::size_t max_bytes);
