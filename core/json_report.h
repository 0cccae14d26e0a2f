// The report as JSON Lines (--json): one object per exchange, on one line, in ASCII
// only, so that no code page and no shell's decoding can change a byte of it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/exchange_result.h"

// A JSON string of UTF-8 text: quoted, with every character outside printable ASCII as
// \uXXXX (surrogate pairs above U+FFFF). A byte that is not part of valid UTF-8 reads as
// U+FFFD.
std::string JsonString(std::string_view utf8);

// The message as the text report prints it, values in place, without its leading line
// feed and trailing line end, as a JSON string. Values are taken as UTF-8.
std::string JsonMessage(const Message& message);

// The exchange's object and its line feed; in a session (line given) with "line" last,
// null for 0.
std::string JsonLine(const ExchangeResult& result, std::optional<std::size_t> line);

// The same, with the message already in UTF-8 (as the library keeps it).
std::string JsonLineWithMessage(const ExchangeResult& result, std::string_view message,
                                std::optional<std::size_t> line);

// One supply of the listing: {"path":...,"serial":...,"name":...} and a line feed.
std::string JsonListing(std::string_view path, std::string_view serial, std::string_view name);
