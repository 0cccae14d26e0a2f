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
  const ControlRequest& request = std::get<ControlRequest>(parsed);
  return (request.action == ControlRequest::Unplug ? "unplug|" : "plug|") + request.id;
}

TEST(ControlRequest, ReadsOneRequestALine) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {" \tplug\t SN 0042  ", "plug|SN 0042"},  // blanks inside a serial number kept
      {"", "error: empty request (unplug ID or plug ID)"},
      {"unplug", "error: unplug needs an ID (a serial number or a node name)"},
      {"Unplug A1", "error: unknown request \"Unplug\" (unplug ID or plug ID)"},
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
      {"dev/hidraw1", "error: no device has the serial number or node name \"dev/hidraw1\""},
      {"a1", "error: no device has the serial number or node name \"a1\""},
      {"B2", "error: \"B2\" names 2 devices: name one by its node"},
      {"hidraw0", "error: \"hidraw0\" names 2 devices: name one by its node"},
  };
  for (const auto& [id, expected] : cases) EXPECT_EQ(FindControlledDevice(devices, id), expected) << id;
}

// Lines come whatever the pieces the bytes arrive in; "!" marks a line too long.
std::vector<std::string> Lines(const std::vector<std::string>& pieces, bool close) {
  ControlLines lines;
  std::vector<std::string> taken;
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    for (const ControlLine& line : TakeControlBytes(lines, pieces[k], close && k + 1 == pieces.size()))
      taken.push_back(line.too_long ? "!" : line.text);
  }
  return taken;
}

TEST(ControlRequest, CutsInputIntoLines) {
  std::string longest(kMaxControlLine, 'x');
  using Strings = std::vector<std::string>;
  EXPECT_EQ(Lines({"unplug A1\nplu", "g A1\n", "unplug B2"}, true), (Strings{"unplug A1", "plug A1", "unplug B2"}));
  EXPECT_EQ(Lines({longest + "\n"}, false), (Strings{longest}));
  // One answer for a line too long, however many pieces it comes in, then the next line.
  EXPECT_EQ(Lines({longest, "x", std::string(10000, 'x'), "\nplug A1\n"}, false), (Strings{"!", "plug A1"}));
  EXPECT_EQ(Lines({longest + "x"}, true), (Strings{"!"}));
}

}  // namespace
