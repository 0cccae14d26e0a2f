// One exchange with a power supply over TCP, shared by morvish and the library: a
// connection of its own, the command sent, the answer gathered and judged, the
// connection closed.
#pragma once

#include <cstddef>

#include "core/exchange_result.h"
#include "lan/socket.h"

// The most command bytes one exchange sends.
inline constexpr std::size_t kMaxLanCommandBytes = 64;

// Connects to the address, sends the command and gathers and judges its answer; the
// connect, the send and the wait for the first byte each take at most timeout_ms, and
// nothing waits past the wait's deadline (an answer still coming in pieces then is
// judged as it stands). on_sent is told once the command is out.
ExchangeResult ExchangeOverTcp(const NetAddress& address, const ParsedCommand& command, int timeout_ms,
                               const SentNotice& on_sent, const Wait& wait = Wait{});
