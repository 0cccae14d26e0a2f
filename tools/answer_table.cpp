#include "tools/answer_table.h"

#include <cerrno>
#include <cstring>

#include "core/line_reader.h"
#include "core/words.h"
#include "tools/json_object.h"

namespace {

using Fault = std::optional<std::string>;

// The records' name for the shared splitter.
std::vector<std::string_view> Words(std::string_view text) { return SplitWords(text); }

std::optional<std::uint8_t> ByteOf(std::string_view word) {
  if (word.size() > 2 || word.find('\0') != std::string_view::npos) return std::nullopt;
  return ConvertCommandByte(std::string(word).c_str());
}

// Answer bytes as a rule or a record gives them: 1 to kMaxTableAnswer bytes.
Fault AnswerBytes(std::string_view text, std::vector<std::uint8_t>& answer) {
  for (std::string_view word : SplitWords(text)) {
    std::optional<std::uint8_t> byte = ByteOf(word);
    if (!byte) return "bad answer byte \"" + std::string(word) + "\"";
    answer.push_back(*byte);
  }
  if (answer.size() > kMaxTableAnswer) return "answer longer than " + std::to_string(kMaxTableAnswer) + " bytes";
  if (answer.empty()) return std::string("no answer bytes");
  return std::nullopt;
}

Fault PatternBytes(std::string_view text, AnswerRule& rule) {
  std::vector<std::string_view> words = SplitWords(text);
  for (std::size_t k = 0; k < words.size(); ++k) {
    if (words[k] == "*") {
      if (k + 1 != words.size()) return std::string("\"*\" only at the end of a pattern");
      rule.any_rest = true;
      break;
    }
    if (rule.length == rule.pattern.size())
      return "pattern longer than " + std::to_string(rule.pattern.size()) + " bytes";
    std::optional<std::uint8_t> byte = words[k] == "??" ? std::optional<std::uint8_t>(0) : ByteOf(words[k]);
    if (!byte) return "bad pattern byte \"" + std::string(words[k]) + "\"";
    rule.any_byte[rule.length] = words[k] == "??";
    rule.pattern[rule.length++] = *byte;
  }
  if (words.empty()) return std::string("no pattern before \"=>\"");
  return std::nullopt;
}

Fault Rule(std::string_view line, AnswerRule& rule) {
  line = line.substr(0, line.find('#'));
  std::size_t arrow = line.find("=>");
  if (arrow == std::string_view::npos) return std::string("no \"=>\" between a pattern and an answer");
  if (Fault fault = PatternBytes(line.substr(0, arrow), rule)) return fault;
  std::vector<std::string_view> answer = SplitWords(line.substr(arrow + 2));
  if (answer.size() == 1 && answer[0] == "silent") {
    rule.kind = TableAnswer::Silent;
  } else if (answer.size() == 1 && answer[0] == "close") {
    rule.kind = TableAnswer::Close;
  } else {
    return AnswerBytes(line.substr(arrow + 2), rule.answer);
  }
  return std::nullopt;
}

Fault KeyType(const JsonObject& record, std::string_view key, JsonType wanted, const char* what) {
  const JsonValue* value = FindJsonKey(record, key);
  if (value == nullptr || value->type == JsonType::Null || value->type == wanted) return std::nullopt;
  return "\"" + std::string(key) + "\" is not " + what;
}

// A --json record: its command, exactly, with a zero rest, answered with its raw bytes.
// Gives back false in taken when the command never reached the supply.
Fault Record(std::string_view line, AnswerRule& rule, bool& taken) {
  JsonObject record;
  if (Fault fault = ReadJsonObject(line, record)) return "bad record: " + *fault;
  for (const char* key : {"command", "raw", "verdict"}) {
    if (Fault fault = KeyType(record, key, JsonType::String, "a string or null")) return fault;
  }
  if (Fault fault = KeyType(record, "sent", JsonType::Boolean, "true or false")) return fault;
  const JsonValue* command = FindJsonKey(record, "command");
  const JsonValue* sent = FindJsonKey(record, "sent");
  const JsonValue* raw = FindJsonKey(record, "raw");
  const JsonValue* verdict = FindJsonKey(record, "verdict");
  if (command == nullptr) return std::string("no \"command\"");
  taken = command->type == JsonType::String && (sent == nullptr || sent->boolean);
  if (!taken) return std::nullopt;
  for (std::string_view word : Words(command->text)) {
    std::optional<std::uint8_t> byte = ByteOf(word);
    if (!byte) return "bad command byte \"" + std::string(word) + "\"";
    if (rule.length == rule.pattern.size())
      return "command longer than " + std::to_string(rule.pattern.size()) + " bytes";
    rule.pattern[rule.length++] = *byte;
  }
  if (rule.length == 0) return std::string("\"command\" has no bytes");
  if (raw == nullptr || raw->type == JsonType::Null) {
    bool closed = verdict != nullptr && verdict->text == "closed";
    rule.kind = closed ? TableAnswer::Close : TableAnswer::Silent;
    return std::nullopt;
  }
  // An empty "raw" is an all-zero USB report, which one zero byte gives again.
  if (Words(raw->text).empty()) {
    rule.answer.push_back(0);
    return std::nullopt;
  }
  return AnswerBytes(raw->text, rule.answer);
}

}  // namespace

std::optional<std::string> AddTableLine(AnswerTable& table, std::string_view line, std::size_t number) {
  std::size_t start = line.find_first_not_of(kBlanks);
  if (start == std::string_view::npos || line[start] == '#') return std::nullopt;
  AnswerRule rule;
  rule.line = number;
  bool taken = true;
  Fault fault = line[start] == '{' ? Record(line, rule, taken) : Rule(line, rule);
  if (fault) return fault;
  if (taken) table.rules.push_back(std::move(rule));
  return std::nullopt;
}

std::optional<std::string> ReadAnswerTable(std::FILE* file, AnswerTable& table) {
  LineReader reader;
  reader.stream = file;
  reader.max_length = kMaxTableLine;
  for (;;) {
    TextLine line = ReadTextLine(reader);
    std::string where = table.path + " line " + std::to_string(line.number) + ": ";
    switch (line.kind) {
      case TextLine::End:
        return std::nullopt;
      case TextLine::Failed:
        return "cannot read " + table.path + ": " + std::strerror(line.error);
      case TextLine::Utf16Bare:
        return table.path + ": UTF-16 without a byte order mark; save it as UTF-8 or as UTF-16 with one";
      case TextLine::TooLong:
        return where + "longer than " + std::to_string(kMaxTableLine) + " bytes";
      case TextLine::Text:
        if (Fault fault = AddTableLine(table, line.text, line.number)) return where + *fault;
    }
  }
}

std::optional<std::string> LoadAnswerTable(const std::string& path, AnswerTable& table) {
  table.path = path;
  std::FILE* file = std::fopen(path.c_str(), "rbe");
  if (file == nullptr) return "cannot read " + path + ": " + std::strerror(errno);
  Fault fault = ReadAnswerTable(file, table);
  (void)std::fclose(file);
  return fault;
}

const AnswerRule* MatchAnswer(const AnswerTable& table, const CommandBuffer& command) {
  for (const AnswerRule& rule : table.rules) {
    bool match = true;
    for (std::size_t k = 0; k < command.size() && match; ++k) {
      if (k < rule.length) {
        match = rule.any_byte[k] || rule.pattern[k] == command[k];
      } else {
        match = rule.any_rest || command[k] == 0;
      }
    }
    if (match) return &rule;
  }
  return nullptr;
}
