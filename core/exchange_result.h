// What one exchange came to, for the text and the JSON report alike: the tools' exchange
// steps fill it in, the report prints it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/answer_layout.h"
#include "core/command_bytes.h"

// A text from texts.h with the values for its placeholders, in order.
struct Message {
  std::wstring_view text;
  std::vector<std::string> values;
};

struct ExchangeResult {
  std::optional<ParsedCommand> command;  // nothing when the command could not be read
  bool sent = false;                     // the command reached the supply
  bool answered = false;                 // answer, answer_length and raw hold an answer
  ResponseBuffer answer{};
  std::size_t answer_length = 0;  // the received line's bytes, as the command code calls for
  std::array<std::uint8_t, 64> raw{};
  std::size_t raw_length = 0;  // every byte of the answer as it came
  std::string_view verdict;    // texts::keys
  Message message;
  std::optional<long> error;  // the system's error number, where the message carries one
  int status = 0;             // the exit status a one-command run ends with
};

// Told once the command has gone out, before the wait for its answer: the text report
// prints the sent line there.
using SentNotice = std::function<void(const ExchangeResult& result)>;

// A refused command line or command-file line: nothing sent, status 1.
ExchangeResult RefusedCommand(Message message);

// A failure before any answer to the command (nothing when there was none yet): the
// given key, message, status and error number.
ExchangeResult Failure(const std::optional<ParsedCommand>& command, std::string_view key, Message message, int status,
                       std::optional<long> error = std::nullopt);

// Fills in what the received answer in result.answer comes to: its length by command
// code, the verdict against the command, the message and the status.
void JudgeAnswer(const ParsedCommand& command, ExchangeResult& result);

// The message as the text report prints it, values in place, without its leading line
// feed and trailing line end, in UTF-8; a value's bytes that are not valid UTF-8 read as
// U+FFFD, so the text is always valid UTF-8.
std::string MessageText(const Message& message);
