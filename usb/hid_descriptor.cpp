#include "usb/hid_descriptor.h"

namespace {

constexpr std::string_view kHidIdKey = "HID_ID=";
constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr std::uint8_t kReportIdItem = 0x84;  // global item, tag 8, size bits cleared

// Reads one hexadecimal field of at most 8 digits, up to the separator or the end.
std::optional<std::uint32_t> HexField(std::string_view& text, char separator) {
  std::size_t end = text.find(separator);
  std::string_view field = text.substr(0, end);
  if (field.empty() || field.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : field) {
    std::uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value << 4 | digit;
  }
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return value;
}

}  // namespace

std::optional<HidIdentifiers> ParseHidUevent(std::string_view uevent) {
  while (!uevent.empty()) {
    std::size_t end = uevent.find('\n');
    std::string_view line = uevent.substr(0, end);
    uevent.remove_prefix(end == std::string_view::npos ? uevent.size() : end + 1);
    if (!line.starts_with(kHidIdKey)) continue;
    line.remove_prefix(kHidIdKey.size());
    std::optional<std::uint32_t> bus = HexField(line, ':');
    std::optional<std::uint32_t> vendor = bus ? HexField(line, ':') : std::nullopt;
    std::optional<std::uint32_t> product = vendor ? HexField(line, '\n') : std::nullopt;
    if (!product || !line.empty()) return std::nullopt;
    return HidIdentifiers{*bus, *vendor, *product};
  }
  return std::nullopt;
}

std::string_view UeventValue(std::string_view uevent, std::string_view key) {
  while (!uevent.empty()) {
    std::size_t end = uevent.find('\n');
    std::string_view line = uevent.substr(0, end);
    uevent.remove_prefix(end == std::string_view::npos ? uevent.size() : end + 1);
    if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == '=')
      return line.substr(key.size() + 1);
  }
  return {};
}

std::optional<bool> UsesNumberedReports(const std::uint8_t* descriptor, std::size_t size) {
  bool numbered = false;
  std::size_t at = 0;
  while (at < size) {
    std::uint8_t prefix = descriptor[at];
    std::size_t item_size = 0;
    if (prefix == kLongItemPrefix) {
      if (size - at < 3) return std::nullopt;
      item_size = 3 + std::size_t{descriptor[at + 1]};
    } else {
      static constexpr std::size_t kDataSize[] = {0, 1, 2, 4};
      item_size = 1 + kDataSize[prefix & 0x03];
      if ((prefix & 0xFC) == kReportIdItem) numbered = true;
    }
    if (item_size > size - at) return std::nullopt;
    at += item_size;
  }
  return numbered;
}
