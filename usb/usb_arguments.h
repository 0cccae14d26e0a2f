// The USB tool's command line: options that choose the power supply or ask for the
// listing, then the command bytes.
#pragma once

#include <optional>

#include "core/command_bytes.h"
#include "usb/hid.h"

struct UsbCommandLine {
  bool list = false;  // --list: print the power supplies instead of exchanging
  SupplyChoice choice;
  ParsedCommand command;
};

// Reads the options, --list alone or --serial SERIAL and --device PATH before the bytes,
// "--" ending them, then checks the byte count and the bytes. Only these exact words are
// options, so a byte such as -1 can come first. Prints the message for the first fault
// and gives back nothing when the command line is refused.
std::optional<UsbCommandLine> ReadUsbCommandLine(int argc, const char* const* argv);
