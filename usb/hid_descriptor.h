// Reading what a HID device says about itself: its identifiers, whether its reports
// carry a report ID byte and how long its output reports are. Plain parsing, shared by
// the platform files and the tests.
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

// The data bytes of the device's longest output report, after its report ID byte if it
// has one, from the Output items' report sizes and counts (each report ID's added up on
// their own); 0 when the device declares no Output item. Gives back nothing when the
// descriptor ends inside an item, pops more than it pushed or declares a report longer
// than any device sends.
std::optional<std::size_t> OutputReportBytes(const std::uint8_t* descriptor, std::size_t size);
