#include "usb/usb_arguments.h"

#include <string_view>

#include "core/command_line.h"
#include "core/report.h"
#include "core/texts.h"

namespace {

constexpr std::size_t kNeededBytes = 5;
// The output report has room for 63 command bytes after its report ID.
constexpr std::size_t kMaxCommandBytes = 63;

}  // namespace

std::optional<UsbCommandLine> ReadUsbCommandLine(int argc, const char* const* argv) {
  UsbCommandLine line;
  int first = 1;  // of the command bytes, once the options are read
  for (; first < argc; ++first) {
    std::string_view word = argv[first];
    if (word == "--") {
      ++first;
      break;
    }
    if (word == "--list" && argc == 2) {
      line.list = true;
      return line;
    }
    if (word != "--list" && word != "--serial" && word != "--device") break;
    // --list among other arguments, or an option without its value.
    if (word == "--list" || first + 1 == argc) {
      PrintMessage(texts::kArgumentCount);
      return std::nullopt;
    }
    (word == "--serial" ? line.choice.serial : line.choice.path) = argv[++first];
  }
  if (!CheckArgumentCount(argc, first, kNeededBytes)) return std::nullopt;
  std::optional<ParsedCommand> command = ReadCommandBytes(argc, argv, first, kMaxCommandBytes);
  if (!command) return std::nullopt;
  line.command = *command;
  return line;
}
