// What a simulated supply sends back for a command, on any transport.
#pragma once

#include <cstdint>
#include <vector>

#include "core/command_bytes.h"
#include "tools/supply_options.h"

// The answer bytes for a command: the healthy supply's frame with the given status, or
// the raw bytes, cut to the short length. Empty when the supply stays silent.
std::vector<std::uint8_t> AnswerFor(const AnswerOptions& options, const CommandBuffer& command);
