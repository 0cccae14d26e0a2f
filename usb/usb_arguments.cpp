#include "usb/usb_arguments.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "core/command_line.h"
#include "core/texts.h"

namespace {

constexpr std::size_t kNeededBytes = 5;
constexpr int kLongestWaitMs = 86400 * 1000;

bool TakesValue(std::string_view word) {
  return word == "--serial" || word == "--device" || word == "--commands" || word == "--wait";
}

// Seconds as decimal digits, with at most three more after a point: milliseconds, or
// nothing for anything else or more than a day.
std::optional<int> WaitMs(std::string_view text) {
  std::size_t point = text.find('.');
  std::string_view whole = text.substr(0, point);
  std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
  auto digits = [](std::string_view part) { return part.find_first_not_of("0123456789") == std::string_view::npos; };
  if (whole.empty() || !digits(whole) || !digits(fraction) || fraction.size() > 3 ||
      (point != std::string_view::npos && fraction.empty())) {
    return std::nullopt;
  }
  whole.remove_prefix(std::min(whole.find_first_not_of('0'), whole.size()));
  if (whole.size() > 5) return std::nullopt;
  long long ms = 0;
  for (char digit : whole) ms = ms * 10 + (digit - '0');
  ms *= 1000;
  long long place = 100;
  for (char digit : fraction) {
    ms += (digit - '0') * place;
    place /= 10;
  }
  if (ms > kLongestWaitMs) return std::nullopt;
  return static_cast<int>(ms);
}

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
    if (word == "--wait") {
      std::optional<int> wait_ms = WaitMs(value);
      if (!wait_ms) {
        line.refused = Message{texts::kBadWait, {value}};
        return std::nullopt;
      }
      line.wait_ms = *wait_ms;
    } else if (word == "--commands") {
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
    if (!line.refused) line.refused = ArgumentCountMessage();
    return line;
  }
  if (line.list || line.commands != nullptr) return line;
  if ((line.refused = CheckArgumentCount(argc, *first, kNeededBytes))) return line;
  line.command = ParseCommandBytes(argc, argv, *first, kMaxUsbCommandBytes);
  if (line.command.error != CommandError::None)
    line.refused = CommandBytesMessage(line.command, argv, kMaxUsbCommandBytes);
  return line;
}
