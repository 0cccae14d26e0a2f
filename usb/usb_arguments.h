// The USB tool's command line: options that choose the power supply, the output, the
// listing or a session, then the command bytes.
#pragma once

#include <optional>

#include "core/command_bytes.h"
#include "core/exchange_result.h"
#include "usb/hid.h"

struct UsbCommandLine {
  bool list = false;  // --list: print the power supplies instead of exchanging
  bool json = false;  // --json: the report as JSON Lines
  bool keep_going = false;
  const char* commands = nullptr;  // --commands FILE: a session instead of one command
  SupplyChoice choice;
  int wait_ms = 0;  // --wait SECONDS: how long to wait for the supply to be there
  ParsedCommand command;
  std::optional<Message> refused;  // why the command line was refused, if it was
};

// Reads the options (--list, alone or with --json; --serial SERIAL, --device PATH,
// --wait SECONDS, --json, --keep-going and --commands FILE) before the bytes, "--" ending them, then
// checks the byte count and the bytes; a session takes no bytes, and --keep-going only
// comes with one. Only these exact words are options, so a byte such as -1 can come
// first. The options read up to a fault stay set, so that a refusal reaches a JSON
// reader as JSON.
UsbCommandLine ReadUsbCommandLine(int argc, const char* const* argv);
