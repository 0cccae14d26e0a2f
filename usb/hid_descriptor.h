// Reading what a HID device says about itself: its identifiers, and whether its reports
// carry a report ID byte. Plain parsing, shared by the platform files and the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

struct HidIdentifiers {
  std::uint32_t bus = 0;
  std::uint32_t vendor = 0;
  std::uint32_t product = 0;
};

// Finds the line HID_ID=bus:vendor:product (hexadecimal fields) in a device's uevent text.
std::optional<HidIdentifiers> ParseHidUevent(std::string_view uevent);

// The value of the line KEY=value in a device's uevent text (HID_UNIQ, HID_NAME); empty
// when the line is missing or has no value.
std::string_view UeventValue(std::string_view uevent, std::string_view key);

// Walks a report descriptor item by item (short items by their size bits, long items by
// their length byte) and tells whether any Report ID item is present. Gives back nothing
// when the descriptor ends inside an item.
std::optional<bool> UsesNumberedReports(const std::uint8_t* descriptor, std::size_t size);
