#include "tools/control_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The answer a line gets before any device is looked at: "" for a request, with its
// action and ID written out as "unplug|ID".
std::string Parsed(std::string_view line) {
  std::variant<ControlRequest, std::string> parsed = ParseControlRequest(line);
  if (const std::string* error = std::get_if<std::string>(&parsed)) return *error;
  auto request = std::get<ControlRequest>(parsed);
  return (request.action == ControlRequest::Unplug ? "unplug|" : "plug|") + request.id;
}

TEST(ControlRequest, ReadsOneRequestALine) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {" \tplug\t SN 0042  \r", "plug|SN 0042"},  // blanks inside a serial number kept
      {"", "error: empty request (unplug ID or plug ID)"},
      {"unplug", "error: unplug needs an ID (a serial number or a node name)"},
      {std::string_view("x\"\\\x01\xFF y", 7), R"(error: unknown request "x\x22\x5C\x01\xFF" (unplug ID or plug ID))"},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(Parsed(line), expected) << line;
}

TEST(ControlRequest, FindsTheOneDeviceTheIdNames) {
  const std::vector<ControlledDevice> devices = {
      {"A1", "hidraw0", true},  {"", "hidraw1", true},  // no serial number: only its node names it
      {"B2", "hidraw4", false}, {"B2", "hidraw5", true}, {"hidraw0", "hidraw6", true},
  };
  const std::pair<std::string_view, std::variant<std::size_t, std::string>> cases[] = {
      {"/dev/hidraw1", std::size_t{1}},
      {"a1", "error: no device has the serial number or node name \"a1\""},
      {"B2", "error: \"B2\" names 2 devices: name one by its node"},
      {"hidraw0", "error: \"hidraw0\" names 2 devices: name one by its node"},
  };
  for (const auto& [id, expected] : cases) EXPECT_EQ(FindControlledDevice(devices, id), expected) << id;
}

// One answer for a line too long, however many pieces it comes in, then the next lines.
TEST(ControlRequest, TakesALineTooLongAsOne) {
  ControlLines lines;
  EXPECT_TRUE(TakeControlBytes(lines, std::string(kMaxControlLine, 'x'), false).empty());
  std::vector<ControlLine> taken = TakeControlBytes(lines, "x\nplug A1\nunplug", true);
  ASSERT_EQ(taken.size(), 3U);
  EXPECT_TRUE(taken[0].too_long && !taken[1].too_long && !taken[2].too_long);
  EXPECT_EQ(taken[1].text + "|" + taken[2].text, "plug A1|unplug");
}

}  // namespace
