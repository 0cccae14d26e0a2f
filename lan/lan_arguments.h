// The LAN tool's command line: address, port, then the command bytes.
#pragma once

#include <cstdint>
#include <optional>

#include "core/command_bytes.h"
#include "lan/socket.h"

// Decimal digits only (leading zeros allowed), 1 to 65535.
std::optional<std::uint16_t> ParsePort(const char* text);

struct LanCommandLine {
  NetAddress address;
  ParsedCommand command;
};

// Checks the address, the port and the command bytes in that order and prints the
// message for the first one refused. Gives back nothing when the command line is refused.
std::optional<LanCommandLine> ReadLanCommandLine(int argc, const char* const* argv);
