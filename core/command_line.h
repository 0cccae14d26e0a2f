// The command-line checks both tools make, each printing its message when it refuses.
#pragma once

#include <cstddef>
#include <optional>

#include "core/command_bytes.h"

// True when argv[first] to argv[argc - 1] are at least `needed` arguments; otherwise
// prints the argument-count message.
bool CheckArgumentCount(int argc, int first, std::size_t needed);

// Parses the command bytes from argv[first] on (see ParseCommandBytes); prints the
// too-many or invalid-byte message and gives back nothing when they are refused.
std::optional<ParsedCommand> ReadCommandBytes(int argc, const char* const* argv, int first, std::size_t max_bytes);
