// The command-line checks both tools make. Each gives back the message for a refusal,
// which the tool reports as text or JSON.
#pragma once

#include <cstddef>
#include <optional>

#include "core/command_bytes.h"
#include "core/exchange_result.h"

// The argument-count message, for a command line with missing or surplus arguments.
Message ArgumentCountMessage();

// Nothing when argv[first] to argv[argc - 1] are at least `needed` arguments; otherwise
// the argument-count message.
std::optional<Message> CheckArgumentCount(int argc, int first, std::size_t needed);

// The too-many or invalid-byte message for a command that ParseCommandBytes refused.
Message CommandBytesMessage(const ParsedCommand& command, const char* const* argv, std::size_t max_bytes);
