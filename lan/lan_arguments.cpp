#include "lan/lan_arguments.h"

#include <string_view>

#include "core/command_line.h"
#include "core/texts.h"

namespace {

constexpr std::size_t kNeededArguments = 7;  // address, port, five command bytes

// Reads the options; gives back the index of the address, or nothing when --commands
// lacks its file.
std::optional<int> ReadOptions(int argc, const char* const* argv, LanCommandLine& line) {
  int first = 1;
  for (; first < argc; ++first) {
    std::string_view word = argv[first];
    if (word == "--json") {
      line.json = true;
    } else if (word == "--keep-going") {
      line.keep_going = true;
    } else if (word == "--commands") {
      if (first + 1 == argc) return std::nullopt;
      line.commands = argv[++first];
    } else {
      break;
    }
  }
  return first;
}

}  // namespace

std::optional<std::uint16_t> ParsePort(const char* text) {
  unsigned long value = 0;
  if (*text == '\0') return std::nullopt;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned long>(*c - '0');
    if (value > 65535) return std::nullopt;
  }
  if (value == 0) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

LanCommandLine ReadLanCommandLine(int argc, const char* const* argv) {
  LanCommandLine line;
  std::optional<int> first = ReadOptions(argc, argv, line);
  bool session = line.commands != nullptr;
  bool counted = first && (session ? argc - *first == 2 : !CheckArgumentCount(argc, *first, kNeededArguments));
  if (!counted || (line.keep_going && !session)) {
    line.refused = ArgumentCountMessage();
    return line;
  }
  const char* address = argv[*first];
  const char* port_text = argv[*first + 1];
  if (!ParseNumericAddress(address, line.address)) {
    line.refused = Message{texts::kInvalidAddress, {address}};
    return line;
  }
  std::optional<std::uint16_t> port = ParsePort(port_text);
  if (!port) {
    line.refused = Message{texts::kInvalidPort, {port_text}};
    return line;
  }
  line.address.port = *port;
  if (session) return line;
  line.command = ParseCommandBytes(argc, argv, *first + 2, kMaxLanCommandBytes);
  if (line.command.error != CommandError::None) {
    line.refused = CommandBytesMessage(line.command, argv, kMaxLanCommandBytes);
  }
  return line;
}
