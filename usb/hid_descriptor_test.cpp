#include "usb/hid_descriptor.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(ParseHidUevent, FindsTheIdentifiersLine) {
  struct Row {
    const char* name;
    std::string_view uevent;
    std::optional<HidIdentifiers> ids;
  };
  const Row rows[] = {
      {"usb", "DRIVER=hid-generic\nHID_ID=0003:00000483:00005750\nHID_NAME=Lighting supply\n",
       HidIdentifiers{3, 0x0483, 0x5750}},
      {"lower case", "HID_ID=0003:0000abcd:0000ef01\n", HidIdentifiers{3, 0xABCD, 0xEF01}},
      {"no HID_ID", "DRIVER=hid-generic\nHID_NAME=x\n", std::nullopt},
      {"a key that only ends like it", "XHID_ID=0003:00000483:00005750\n", std::nullopt},
      {"not hexadecimal", "HID_ID=0003:0000048G:00005750\n", std::nullopt},
      {"field too long", "HID_ID=0003:100000483:00005750\n", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const Row& row : rows) {
    std::optional<HidIdentifiers> ids = ParseHidUevent(row.uevent);
    ASSERT_EQ(ids.has_value(), row.ids.has_value()) << row.name;
    if (ids) {
      EXPECT_EQ(ids->bus, row.ids->bus) << row.name;
      EXPECT_EQ(ids->vendor, row.ids->vendor) << row.name;
      EXPECT_EQ(ids->product, row.ids->product) << row.name;
    }
  }
}

// A vendor-defined device with 63-byte input and output reports and no report IDs.
const std::vector<std::uint8_t> kVendor63 = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,                                      // usage page, usage, collection
    0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x3F, 0x81, 0x02,  // input
    0x09, 0x03, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x3F, 0x91, 0x02,  // output
    0xC0,
};

// Puts a Report ID item right after the item that ends at byte `at`.
std::vector<std::uint8_t> WithReportId(std::vector<std::uint8_t> descriptor, long at) {
  descriptor.insert(descriptor.begin() + at, {0x85, 0x01});
  return descriptor;
}

TEST(UsesNumberedReports, ReadsItemsNotBytes) {
  struct Row {
    const char* name;
    std::vector<std::uint8_t> descriptor;
    std::optional<bool> numbered;
  };
  const Row rows[] = {
      {"vendor-defined, 63 bytes, unnumbered", kVendor63, false},
      {"the same with report ID 1", WithReportId(kVendor63, 7), true},
      {"0x85 as item data only", {0x26, 0x85, 0x00, 0x95, 0x85, 0x81, 0x02}, false},
      {"0x85 inside a long item", {0xFE, 0x04, 0x10, 0x85, 0x01, 0x85, 0x85, 0xC0}, false},
      {"report ID after a long item", {0xFE, 0x01, 0x10, 0x85, 0x85, 0x02}, true},
      {"empty", {}, false},
      {"ends inside a short item", {0x06, 0x00}, std::nullopt},
      {"ends inside a long item", {0xFE, 0x05, 0x10, 0x01}, std::nullopt},
      {"long item header cut short", {0xC0, 0xFE, 0x05}, std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(UsesNumberedReports(row.descriptor.data(), row.descriptor.size()), row.numbered) << row.name;
  }
}

// Report size 8, report count `count` (two data bytes when above 255), then the main item.
std::vector<std::uint8_t> Field(std::uint8_t main_item, unsigned count) {
  if (count > 0xFF)
    return {0x75, 0x08, 0x96, static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8), main_item, 0x02};
  return {0x75, 0x08, 0x95, static_cast<std::uint8_t>(count), main_item, 0x02};
}

std::vector<std::uint8_t> Joined(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> joined;
  for (const auto& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

TEST(OutputReportBytes, AddsUpEachReportsOutputFields) {
  constexpr std::uint8_t kInput = 0x81;
  constexpr std::uint8_t kOutput = 0x91;
  struct Row {
    const char* name;
    std::vector<std::uint8_t> descriptor;
    std::optional<std::size_t> bytes;
  };
  const Row rows[] = {
      {"vendor-defined, 63 bytes", kVendor63, 63},
      {"numbered, 63 bytes", WithReportId(kVendor63, 7), 63},
      {"input longer than output", Joined({Field(kInput, 200), Field(kOutput, 8)}), 8},
      {"two-byte count", Field(kOutput, 4096), 4096},
      {"fields of one report add up", Joined({Field(kOutput, 3), Field(kOutput, 4)}), 7},
      {"bits rounded up to bytes", {0x75, 0x01, 0x95, 0x0C, 0x91, 0x02}, 2},
      {"the longest of two reports",
       Joined({{0x85, 0x01}, Field(kOutput, 8), {0x85, 0x02}, Field(kOutput, 20), {0x85, 0x01}, Field(kOutput, 8)}),
       20},
      {"pop restores the count", Joined({Field(kOutput, 2), {0xA4, 0x95, 0x30, 0xB4, 0x91, 0x02}}), 4},
      {"input only", Field(kInput, 63), 0},
      {"pop without push", {0xB4, 0x91, 0x02}, std::nullopt},
      {"as long as any report", {0x75, 0x20, 0x96, 0x00, 0x10, 0x91, 0x02}, 16384},
      {"longer than any report", {0x75, 0x20, 0x96, 0x00, 0x10, 0x91, 0x02, 0x95, 0x01, 0x91, 0x02}, std::nullopt},
      {"huge size times count", {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x91, 0x02}, std::nullopt},
      {"ends inside an item", {0x75, 0x08, 0x96, 0x00}, std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(OutputReportBytes(row.descriptor.data(), row.descriptor.size()), row.bytes) << row.name;
  }
}

}  // namespace
