// What a simulated supply sends back for a command, on any transport.
#pragma once

#include <cstdint>
#include <vector>

#include "core/command_bytes.h"
#include "tools/supply_options.h"

// The answer bytes for a command: those of the first line of the answer table that
// matches it; else the healthy supply's frame with the given status, or the raw bytes,
// cut to the short length. Empty when the supply stays silent. *kind is set to the kind
// of the table's line that answered (to close or reset the connection, or hang up,
// without answering); with a table, the log says which line answered or that none
// matched.
std::vector<std::uint8_t> AnswerFor(const AnswerOptions& options, const CommandBuffer& command,
                                    TableAnswer* kind = nullptr);
