// The LAN tool's command line: options, address, port, then the command bytes.
#pragma once

#include <cstdint>
#include <optional>

#include "core/command_bytes.h"
#include "core/exchange_result.h"
#include "lan/socket.h"
#include "lan/tcp_exchange.h"

// Decimal digits only (leading zeros allowed), 1 to 65535.
std::optional<std::uint16_t> ParsePort(const char* text);

struct LanCommandLine {
  bool json = false;  // --json: the report as JSON Lines
  bool keep_going = false;
  const char* commands = nullptr;  // --commands FILE: a session instead of one command
  NetAddress address;
  ParsedCommand command;
  std::optional<Message> refused;  // why the command line was refused, if it was
};

// Reads the options (--json, --keep-going, --commands FILE) before the address, then
// checks the argument count (a session takes no bytes, and --keep-going only comes with
// one), the address, the port and the command bytes in that order. The refusal holds
// the message for the first fault; the options read up to it stay set.
LanCommandLine ReadLanCommandLine(int argc, const char* const* argv);
