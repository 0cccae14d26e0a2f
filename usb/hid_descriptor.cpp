#include "usb/hid_descriptor.h"

#include <algorithm>
#include <map>
#include <vector>

namespace {

constexpr std::string_view kHidIdKey = "HID_ID=";
constexpr std::uint8_t kLongItemPrefix = 0xFE;
// Short items' prefixes with their size bits cleared.
constexpr std::uint8_t kOutputItem = 0x90;
constexpr std::uint8_t kReportSizeItem = 0x74;
constexpr std::uint8_t kReportIdItem = 0x84;
constexpr std::uint8_t kReportCountItem = 0x94;
constexpr std::uint8_t kPushItem = 0xA4;
constexpr std::uint8_t kPopItem = 0xB4;
// The longest report a HID transport hands over whole.
constexpr std::uint64_t kLongestReportBits = std::uint64_t{8} * 16384;

// A short item: its prefix without the size bits, and its data, little-endian.
struct ShortItem {
  std::uint8_t tag = 0;
  std::uint32_t data = 0;
};

// The global items an Output item's length depends on; Push and Pop save and restore them.
struct ReportGlobals {
  std::uint32_t report_size = 0;  // bits per field
  std::uint32_t report_count = 0;
  std::uint32_t report_id = 0;
};

// Calls visit(item) for each short item in order, passing long items over, while visit
// gives true. False when the descriptor ends inside an item or visit gave false.
template <typename Visit>
bool WalkShortItems(const std::uint8_t* descriptor, std::size_t size, Visit visit) {
  std::size_t at = 0;
  while (at < size) {
    std::uint8_t prefix = descriptor[at];
    if (prefix == kLongItemPrefix) {
      if (size - at < 3 || std::size_t{descriptor[at + 1]} > size - at - 3) return false;
      at += 3 + std::size_t{descriptor[at + 1]};
      continue;
    }
    static constexpr std::size_t kDataSize[] = {0, 1, 2, 4};
    std::size_t data_size = kDataSize[prefix & 0x03];
    if (data_size >= size - at) return false;
    std::uint32_t data = 0;
    for (std::size_t k = data_size; k > 0; --k) data = data << 8 | descriptor[at + k];
    if (!visit(ShortItem{static_cast<std::uint8_t>(prefix & 0xFC), data})) return false;
    at += 1 + data_size;
  }
  return true;
}

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
  bool whole = WalkShortItems(descriptor, size, [&numbered](ShortItem item) {
    numbered = numbered || item.tag == kReportIdItem;
    return true;
  });
  if (!whole) return std::nullopt;
  return numbered;
}

std::optional<std::size_t> OutputReportBytes(const std::uint8_t* descriptor, std::size_t size) {
  ReportGlobals globals;
  std::vector<ReportGlobals> pushed;
  std::map<std::uint32_t, std::uint64_t> bits;  // by report ID
  bool whole = WalkShortItems(descriptor, size, [&](ShortItem item) {
    switch (item.tag) {
      case kReportSizeItem:
        globals.report_size = item.data;
        break;
      case kReportCountItem:
        globals.report_count = item.data;
        break;
      case kReportIdItem:
        globals.report_id = item.data;
        break;
      case kPushItem:
        pushed.push_back(globals);
        break;
      case kPopItem:
        if (pushed.empty()) return false;
        globals = pushed.back();
        pushed.pop_back();
        break;
      case kOutputItem: {
        // Each factor is below 2^32, so the product fits; the sum is checked as it grows.
        std::uint64_t item_bits = std::uint64_t{globals.report_size} * globals.report_count;
        std::uint64_t& report = bits[globals.report_id];
        if (item_bits > kLongestReportBits - report) return false;
        report += item_bits;
        break;
      }
      default:
        break;
    }
    return true;
  });
  if (!whole) return std::nullopt;
  std::uint64_t longest = 0;
  for (const auto& [id, report] : bits) longest = std::max(longest, report);
  return static_cast<std::size_t>((longest + 7) / 8);
}
