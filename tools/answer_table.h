// The answer table of a simulated supply: which answer each command gets. A table file
// mixes two kinds of line, tried in order, the first match winning:
//   PATTERN => ANSWER   command bytes, "??" for any one byte, a final "*" for any rest;
//                       ANSWER is answer bytes, "silent" or "close"
//   {"command":...}     a record as the tools print it with --json: its "command" is the
//                       pattern, its "raw" the answer; without "raw", what the tools
//                       saw instead (a close, a reset, or silence)
// "#" begins a comment on a rule line; blank lines are skipped. Line ends, encodings and
// the end of input are as the line reader takes them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/command_bytes.h"

enum class TableAnswer { Bytes, Silent, Close, Reset };  // Reset: only from records

struct AnswerRule {
  CommandBuffer pattern{};
  std::array<bool, 64> any_byte{};  // "??" at this place
  std::size_t length = 0;           // bytes the pattern gives; the rest is zeros or, with "*", anything
  bool any_rest = false;
  TableAnswer kind = TableAnswer::Bytes;
  std::vector<std::uint8_t> answer;  // 1 to kMaxTableAnswer bytes
  std::size_t line = 0;
};

struct AnswerTable {
  std::string path;  // for the log and for refusals
  std::vector<AnswerRule> rules;
};

// The longest line taken, so that every line the tools print with --json replays: such a
// line quotes at most one value the user gave, a command-line argument (at most 128 KiB
// on Linux with 4 KiB pages, less on Windows) or a command-file word (under 4096 bytes),
// each byte escaped in at most six, and the rest of the record is far shorter. A longer
// line is refused as soon as it passes this, never held whole (a file such as /dev/zero
// would otherwise never give a line).
inline constexpr std::size_t kMaxTableLine = std::size_t{1024} * 1024;
// As many bytes as either tool ever reads of an answer.
inline constexpr std::size_t kMaxTableAnswer = 64;

// Reads one line of a table into the table. Gives back what is wrong with the line,
// or nothing when it was taken (or was a blank line, a comment, or a record of a command
// that never reached the supply).
std::optional<std::string> AddTableLine(AnswerTable& table, std::string_view line, std::size_t number);

// Reads a whole table from an open file; on a fault gives back "PATH line N: WHY".
std::optional<std::string> ReadAnswerTable(std::FILE* file, AnswerTable& table);

// Reads the table file at path; on a fault gives back what is wrong, naming the file.
std::optional<std::string> LoadAnswerTable(const std::string& path, AnswerTable& table);

// The first rule that matches the command, or null.
const AnswerRule* MatchAnswer(const AnswerTable& table, const CommandBuffer& command);
