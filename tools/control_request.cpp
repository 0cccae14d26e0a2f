#include "tools/control_request.h"

#include <cstdio>

namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kDeviceDirectory = "/dev/";

std::string_view Trimmed(std::string_view text) {
  std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool NamesNode(std::string_view id, const std::string& node) {
  if (id.starts_with(kDeviceDirectory)) id.remove_prefix(kDeviceDirectory.size());
  return id == node;
}

}  // namespace

std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
      quoted += c;
    } else {
      char escape[5];
      (void)std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      quoted += escape;
    }
  }
  return quoted + "\"";
}

std::variant<ControlRequest, std::string> ParseControlRequest(std::string_view line) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  line = Trimmed(line);
  if (line.empty()) return "error: empty request (unplug ID or plug ID)";
  std::string_view action = line.substr(0, line.find_first_of(kBlanks));
  ControlRequest request;
  if (action == "unplug") {
    request.action = ControlRequest::Unplug;
  } else if (action == "plug") {
    request.action = ControlRequest::Plug;
  } else {
    return "error: unknown request " + Quoted(action) + " (unplug ID or plug ID)";
  }
  request.id = Trimmed(line.substr(action.size()));
  if (request.id.empty()) return "error: " + std::string(action) + " needs an ID (a serial number or a node name)";
  return request;
}

std::variant<std::size_t, std::string> FindControlledDevice(const std::vector<ControlledDevice>& devices,
                                                            std::string_view id) {
  std::vector<std::size_t> found;
  for (std::size_t k = 0; k < devices.size(); ++k) {
    const ControlledDevice& device = devices[k];
    if ((!device.serial.empty() && device.serial == id) || NamesNode(id, device.node)) found.push_back(k);
  }
  if (found.empty()) return "error: no device has the serial number or node name " + Quoted(id);
  if (found.size() > 1) {
    return "error: " + Quoted(id) + " names " + std::to_string(found.size()) + " devices: name one by its node";
  }
  return found.front();
}

std::optional<std::string> AlreadyDone(const ControlRequest& request, const ControlledDevice& device) {
  if (request.action == ControlRequest::Unplug && !device.plugged) {
    return "error: " + device.node + " is unplugged already";
  }
  if (request.action == ControlRequest::Plug && device.plugged) {
    return "error: " + device.node + " is plugged in already";
  }
  return std::nullopt;
}

std::string TooLongAnswer() { return "error: request longer than " + std::to_string(kMaxControlLine) + " bytes"; }

std::vector<ControlLine> TakeControlBytes(ControlLines& lines, std::string_view bytes, bool at_end) {
  std::vector<ControlLine> taken;
  for (;;) {
    std::size_t end = bytes.find('\n');
    std::string_view piece = bytes.substr(0, end);
    if (!lines.too_long && lines.pending.size() + piece.size() > kMaxControlLine) {
      lines.too_long = true;
      lines.pending.clear();
    }
    if (!lines.too_long) lines.pending.append(piece);
    bool ended = end != std::string_view::npos || (at_end && (!lines.pending.empty() || lines.too_long));
    if (!ended) return taken;
    taken.push_back({lines.too_long, lines.too_long ? std::string() : std::move(lines.pending)});
    lines = {};
    if (end == std::string_view::npos) return taken;
    bytes.remove_prefix(end + 1);
  }
}
