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
#include "core/exchange_result.h"
#include "core/hex_text.h"

// Prints the sent line for the first count bytes of the command.
void PrintSentCommand(const CommandBuffer& command, std::size_t count);

// Prints the received line for the L bytes that the answer's command code calls for,
// and gives back L.
std::size_t PrintReceivedResponse(const ResponseBuffer& answer);

// Prints a message from texts.h, each placeholder in it (%s, %d, %ld) replaced in order
// by the next of values, which are written as they are.
void PrintMessage(std::wstring_view text, std::initializer_list<std::string_view> values = {});

// Prints a message with its values, as above.
void PrintMessage(const Message& message);

// How a run reports its exchanges: the text report, or one JSON object per exchange;
// in a session each report carries the command file's line.
struct ReportMode {
  bool json = false;
  bool session = false;
  std::size_t line = 0;  // in a session: the line of the command file, 0 for none
};

// Called once the command has gone out: the text report prints the sent line here, so
// that it is out before the wait for the answer.
void ReportSent(const ExchangeResult& result, const ReportMode& mode);

// Ends the exchange's report: the received line and the message as text (and in a
// session one more line feed), or the JSON object. Flushed at once.
void ReportEnd(const ExchangeResult& result, const ReportMode& mode);
