// What a command running beside the simulated USB devices asks of them through the
// control socket: one request a line, "unplug ID" or "plug ID", answered by one line,
// "ok" or "error: WHY". ID is a device's serial number or its node name (hidrawN or
// /dev/hidrawN; for an unplugged device, the name it had last).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// Longest request line taken, line end left out; a longer one is answered with an error.
inline constexpr std::size_t kMaxControlLine = 4096;

struct ControlRequest {
  enum Action { Unplug, Plug } action = Unplug;
  std::string id;  // blanks around it left out; blanks inside kept, as a serial number may hold them
};

// The request one line holds (line end left out, a final "\r" passed over), or the
// error answer for a line that is no request.
std::variant<ControlRequest, std::string> ParseControlRequest(std::string_view line);

// A device as the control sees it.
struct ControlledDevice {
  std::string serial;  // empty: none, and never matched
  std::string node;    // hidrawN: the one it has, or had last when unplugged
  bool plugged = true;
};

// The device the ID names (its index), or the error answer when it names none or more
// than one.
std::variant<std::size_t, std::string> FindControlledDevice(const std::vector<ControlledDevice>& devices,
                                                            std::string_view id);

// The answer to a request for a device that is already as asked, or nothing when the
// request changes it.
std::optional<std::string> AlreadyDone(const ControlRequest& request, const ControlledDevice& device);

// A connection's input cut into lines as it arrives.
struct ControlLines {
  std::string pending;    // the line so far
  bool too_long = false;  // the line passed kMaxControlLine: the rest is passed over
};

// One line taken from the input: its text, or the error answer for a line too long.
struct ControlLine {
  bool too_long = false;
  std::string text;
};

// Takes the bytes that came and gives back each line they end (at most one answer a line,
// a line too long answered when it ends). With at_end, the connection has closed and a
// last line without its end counts too.
std::vector<ControlLine> TakeControlBytes(ControlLines& lines, std::string_view bytes, bool at_end);

// The error answer for a line too long.
std::string TooLongAnswer();

// The text with every byte outside printable ASCII, the quote and the backslash written
// as \xHH, in quotes: an answer stays one printable line whatever a request held.
std::string Quoted(std::string_view text);
