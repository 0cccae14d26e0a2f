// Arbitrary bytes on the simulator's control socket, in pieces cut where the input says,
// answered against a fixed set of devices: every line gets one answer, and every answer
// is "ok"-able or one printable line.

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/control_request.h"

namespace {

const std::vector<ControlledDevice> kDevices = {
    {"A1", "hidraw0", true}, {"", "hidraw1", false}, {"B2", "hidraw2", true}, {"B2", "hidraw3", false}};

bool Printable(const std::string& answer) {
  for (char c : answer) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) return false;
  }
  return answer.starts_with("error: ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first byte says how long each piece is.
  std::size_t piece = input.empty() ? 1 : static_cast<unsigned char>(input.front()) % 64 + 1;
  ControlLines lines;
  std::size_t taken = 0;
  std::size_t ends = 0;
  for (std::size_t at = 0; at < input.size(); at += piece) {
    std::string_view bytes = input.substr(at, piece);
    ends += static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    bool last = at + piece >= input.size();
    for (const ControlLine& line : TakeControlBytes(lines, bytes, last)) {
      ++taken;
      if (line.text.size() > kMaxControlLine || (line.too_long && !line.text.empty())) std::abort();
      if (line.too_long) continue;
      std::variant<ControlRequest, std::string> request = ParseControlRequest(line.text);
      if (const std::string* error = std::get_if<std::string>(&request)) {
        if (!Printable(*error)) std::abort();
        continue;
      }
      std::variant<std::size_t, std::string> found =
          FindControlledDevice(kDevices, std::get<ControlRequest>(request).id);
      if (const std::string* error = std::get_if<std::string>(&found); error != nullptr && !Printable(*error))
        std::abort();
      if (const std::size_t* index = std::get_if<std::size_t>(&found); index != nullptr && *index >= kDevices.size()) {
        std::abort();
      }
    }
  }
  // One answer a line: each line end, and a last line without one.
  bool open_line = !input.empty() && !input.ends_with('\n');
  if (taken != ends + (open_line ? 1 : 0)) std::abort();
  return 0;
}
