// Bytes as the tools write them: two upper-case hex digits each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The byte items of a transcript line, "A1 \0B2 \0...".
std::string FormatByteItems(const std::uint8_t* bytes, std::size_t count);

// "A1 B2 00": the bytes as hex words, for JSON and logs.
std::string FormatHexWords(const std::uint8_t* bytes, std::size_t count);
