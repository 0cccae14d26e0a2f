// Gathering one answer from a byte stream. TCP keeps no message boundaries, so an
// answer may arrive in pieces; it is complete when its frame is whole, when 64 bytes are
// in, when the peer closes, or when the line goes quiet after the last byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/answer_layout.h"
#include "lan/receive_step.h"

// Waits up to timeout_ms for bytes and stores at most room of them at into.
using ReceiveFunction = std::function<ReceiveStep(std::uint8_t* into, std::size_t room, int timeout_ms)>;

inline constexpr int kQuietGapMs = 250;

struct Gathered {
  enum Outcome { Received, ClosedWithoutAnswer, Failed } outcome = Failed;
  std::size_t received = 0;
  long error = 0;  // with Failed
};

// Receives into the zero-filled answer until it is complete. No first byte within
// first_byte_timeout_ms, or a receive error at any point, is a failure; never more than
// 64 bytes are taken.
Gathered GatherAnswer(ResponseBuffer& answer, int first_byte_timeout_ms, const ReceiveFunction& receive);
