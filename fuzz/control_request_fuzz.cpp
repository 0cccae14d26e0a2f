// Arbitrary bytes on the simulator's control socket, in pieces cut where the first byte
// says, answered against a fixed set of devices: one answer a line, each error one
// printable line.

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/control_request.h"

namespace {

const std::vector<ControlledDevice> kDevices = {
    {"A1", "hidraw0", true}, {"", "hidraw1", false}, {"B2", "hidraw2", true}};

void CheckError(const std::string& answer) {
  if (!answer.starts_with("error: ") ||
      std::any_of(answer.begin(), answer.end(), [](char c) { return c < 0x20 || c == 0x7F; }))
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t piece = input.empty() ? 1 : static_cast<unsigned char>(input.front()) % 64 + 1;
  ControlLines lines;
  std::size_t taken = 0;
  for (std::size_t at = 0; at < input.size(); at += piece) {
    for (const ControlLine& line : TakeControlBytes(lines, input.substr(at, piece), at + piece >= input.size())) {
      ++taken;
      std::variant<ControlRequest, std::string> request = ParseControlRequest(line.text);
      if (const std::string* error = std::get_if<std::string>(&request)) {
        CheckError(*error);
      } else if (auto found = FindControlledDevice(kDevices, std::get<ControlRequest>(request).id);
                 std::holds_alternative<std::string>(found)) {
        CheckError(std::get<std::string>(found));
      }
    }
  }
  auto ends = static_cast<std::size_t>(std::count(input.begin(), input.end(), '\n'));
  if (taken != ends + (!input.empty() && !input.ends_with('\n') ? 1 : 0)) std::abort();
  return 0;
}
