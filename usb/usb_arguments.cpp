#include "usb/usb_arguments.h"

#include <string_view>

#include "core/command_line.h"

namespace {

constexpr std::size_t kNeededBytes = 5;

bool TakesValue(std::string_view word) { return word == "--serial" || word == "--device" || word == "--commands"; }

// Reads the options; gives back the index of the first command byte, or nothing when an
// option lacks its value.
std::optional<int> ReadOptions(int argc, const char* const* argv, UsbCommandLine& line) {
  int first = 1;
  for (; first < argc; ++first) {
    std::string_view word = argv[first];
    if (word == "--") return first + 1;
    if (word == "--list" || word == "--json" || word == "--keep-going") {
      (word == "--list" ? line.list : word == "--json" ? line.json : line.keep_going) = true;
      continue;
    }
    if (!TakesValue(word)) break;
    if (first + 1 == argc) return std::nullopt;
    const char* value = argv[++first];
    if (word == "--commands") {
      line.commands = value;
    } else {
      (word == "--serial" ? line.choice.serial : line.choice.path) = value;
    }
  }
  return first;
}

}  // namespace

UsbCommandLine ReadUsbCommandLine(int argc, const char* const* argv) {
  UsbCommandLine line;
  std::optional<int> first = ReadOptions(argc, argv, line);
  bool listing_alone = !line.list || (argc == 2 + (line.json ? 1 : 0) && !line.keep_going);
  bool session_alone = line.commands == nullptr || (first && *first == argc && !line.list);
  if (!first || !listing_alone || !session_alone || (line.keep_going && line.commands == nullptr)) {
    line.refused = ArgumentCountMessage();
    return line;
  }
  if (line.list || line.commands != nullptr) return line;
  if ((line.refused = CheckArgumentCount(argc, *first, kNeededBytes))) return line;
  line.command = ParseCommandBytes(argc, argv, *first, kMaxUsbCommandBytes);
  if (line.command.error != CommandError::None)
    line.refused = CommandBytesMessage(line.command, argv, kMaxUsbCommandBytes);
  return line;
}
