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
      {"either case", "HID_ID=0003:0000AbcD:0000eF01\n", HidIdentifiers{3, 0xABCD, 0xEF01}},
      {"no HID_ID", "DRIVER=hid-generic\nHID_NAME=x\n", std::nullopt},
      {"a key that only ends like it", "XHID_ID=0003:00000483:00005750\n", std::nullopt},
      {"not hexadecimal", "HID_ID=0003:0000048G:00005750\n", std::nullopt},
      {"field too long", "HID_ID=0003:100000483:00005750\n", std::nullopt},
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

// Items: 75 report size, 95 and 96 report count, 85 report ID, 81 input, 91 output, A4
// push, B4 pop, FE a long item.
TEST(ReportDescriptor, ReadsItemsNotBytes) {
  struct Row {
    const char* name;
    std::vector<std::uint8_t> descriptor;
    std::optional<bool> numbered;
    std::optional<std::size_t> output_bytes;
  };
  const Row rows[] = {
      {"vendor-defined, 63 bytes, unnumbered", kVendor63, false, 63},
      {"0x85 as item data only", {0x26, 0x85, 0x00, 0x95, 0x85, 0x81, 0x02}, false, 0},
      {"0x85 inside a long item", {0xFE, 0x04, 0x10, 0x85, 0x01, 0x85, 0x85, 0xC0}, false, 0},
      {"report ID after a long item", {0xFE, 0x01, 0x10, 0x85, 0x85, 0x02}, true, 0},
      {"empty", {}, false, 0},
      {"ends inside a short item", {0x06, 0x00}, std::nullopt, std::nullopt},
      {"ends inside a long item", {0xFE, 0x05, 0x10, 0x01}, std::nullopt, std::nullopt},
      {"long item header cut short", {0xC0, 0xFE, 0x05}, std::nullopt, std::nullopt},
      {"2-byte count, input apart", {0x75, 0x08, 0x95, 0xC8, 0x81, 0x02, 0x96, 0x00, 0x01, 0x91, 0x02}, false, 256},
      {"fields add up, bits round up", {0x75, 0x01, 0x95, 0x06, 0x91, 0x02, 0x91, 0x02}, false, 2},
      {"longest", {0x75, 0x08, 0x85, 0x02, 0x95, 0x14, 0x91, 0x02, 0x85, 0x01, 0x95, 0x08, 0x91, 0x02}, true, 20},
      {"pop restores the count", {0x75, 0x08, 0x95, 0x02, 0xA4, 0x95, 0x30, 0xB4, 0x91, 0x02}, false, 2},
      {"pop without push", {0xB4, 0x91, 0x02}, false, std::nullopt},
      {"as long as any report", {0x75, 0x20, 0x96, 0x00, 0x10, 0x91, 0x02}, false, 16384},
      {"too long", {0x75, 0x20, 0x96, 0x00, 0x10, 0x91, 0x02, 0x95, 0x01, 0x91, 0x02}, false, std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(UsesNumberedReports(row.descriptor.data(), row.descriptor.size()), row.numbered) << row.name;
    EXPECT_EQ(OutputReportBytes(row.descriptor.data(), row.descriptor.size()), row.output_bytes) << row.name;
  }
}

}  // namespace
