// The exchange report both tools print: the sent line, the received line and one message.
//
// A transcript line is its label, a NUL byte, then each byte as two upper-case hex
// digits, a blank and a NUL byte; it ends with "\n" and a line end, so an empty line
// follows it. The NULs are part of the output that scripts read.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "core/answer_layout.h"
#include "core/command_bytes.h"

// The byte items of a transcript line, "A1 \0B2 \0...".
std::string FormatByteItems(const std::uint8_t* bytes, std::size_t count);

// "A1 B2 00": the bytes as hex words, for logs.
std::string FormatHexWords(const std::uint8_t* bytes, std::size_t count);

// Prints the sent line for the first count bytes of the command.
void PrintSentCommand(const CommandBuffer& command, std::size_t count);

// Prints the received line for the L bytes that the answer's command code calls for,
// and gives back L.
std::size_t PrintReceivedResponse(const ResponseBuffer& answer);

// Prints a message from texts.h, each placeholder in it (%s, %d, %ld) replaced in order
// by the next of values, which are written as they are.
void PrintMessage(std::wstring_view text, std::initializer_list<std::string_view> values = {});
