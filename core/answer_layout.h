// The power supply's answer: its length by command code, its echo and footer, and the
// verdict its status byte gives. The tools, the simulated power supply and the tests all
// take the layout from here.
//
//   r[0] r[1]  echo of command bytes 0 and 1
//   r[2]       command code, echo of command byte 2
//   r[3]       status
//   r[4] ...   data, if any
//   r[L-2..L-1] footer 0D 0A
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/command_bytes.h"

// The answer as received; bytes that did not arrive read as 0.
using ResponseBuffer = std::array<std::uint8_t, 64>;

inline constexpr std::array<std::uint8_t, 2> ResponseFooter{0x0D, 0x0A};

// The frame length L, footer included, for a command code; 0 when the code has none.
std::size_t ResponseLength(std::uint8_t command_code);

struct Verdict {
  std::wstring_view message;
  bool success = false;
  std::string_view key;  // texts::keys
};

// Picks the verdict from the status r[3]. Status 0 is a success only when the answer
// echoes command bytes 0 to 2 and ends with the footer at r[L-2], r[L-1]; with L = 0
// there is no footer to find.
Verdict SelectVerdict(const CommandBuffer& command, const ResponseBuffer& answer, std::size_t length);

// True once a partly received answer cannot grow any more: all 64 bytes are in, or the
// command code has arrived and as many bytes as its length.
bool AnswerIsWhole(const ResponseBuffer& answer, std::size_t received);

struct Answer {
  std::array<std::uint8_t, 64> bytes{};
  std::size_t length = 0;
};

// The answer a healthy power supply gives to a command: the echo, the given status,
// zero data and the footer. A command code without a known length gets the shortest
// frame (echo, status, footer).
Answer BuildAnswer(const CommandBuffer& command, std::uint8_t status);
