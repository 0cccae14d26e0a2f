#include "lan/lan_arguments.h"

#include "core/command_line.h"
#include "core/report.h"
#include "core/texts.h"

namespace {

constexpr int kAddressIndex = 1;
constexpr int kPortIndex = 2;
constexpr int kFirstByteIndex = 3;
constexpr std::size_t kMaxCommandBytes = 64;

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

std::optional<LanCommandLine> ReadLanCommandLine(int argc, const char* const* argv) {
  LanCommandLine line;
  if (!ParseNumericAddress(argv[kAddressIndex], line.address)) {
    PrintMessage(texts::kInvalidAddress, {argv[kAddressIndex]});
    return std::nullopt;
  }
  std::optional<std::uint16_t> port = ParsePort(argv[kPortIndex]);
  if (!port) {
    PrintMessage(texts::kInvalidPort, {argv[kPortIndex]});
    return std::nullopt;
  }
  line.address.port = *port;
  std::optional<ParsedCommand> command = ReadCommandBytes(argc, argv, kFirstByteIndex, kMaxCommandBytes);
  if (!command) return std::nullopt;
  line.command = *command;
  return line;
}
