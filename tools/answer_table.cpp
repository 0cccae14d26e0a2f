#include "tools/answer_table.h"

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "core/line_reader.h"
#include "core/words.h"

namespace {

using Fault = std::optional<std::string>;
using Json = nlohmann::json;

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

// A record's value of key; null for a missing key or a null value.
const Json* Value(const Json& record, const char* key) {
  auto found = record.find(key);
  return found == record.end() || found->is_null() ? nullptr : &*found;
}

// One JSON object (the line begins with "{"), whose keys each come once: a record with two "raw"s says nothing.
Fault ReadObject(std::string_view line, Json& record) {
  std::set<std::string> keys;
  std::string twice;
  auto note_key = [&](int depth, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::key && depth == 1 && !keys.insert(parsed.get<std::string>()).second) {
      twice = parsed.get<std::string>();
    }
    return true;
  };
  try {
    record = Json::parse(line.begin(), line.end(), note_key);
  } catch (const Json::exception& error) {  // a syntax error, or a number too large
    std::string_view why = error.what();
    return std::string(why.substr(why.find("] ") + 2));  // without the library's own tag
  }
  if (!twice.empty()) return "key \"" + twice + "\" given twice";
  return std::nullopt;
}

Fault KeyTypes(const Json& record) {
  for (const char* key : {"command", "raw", "verdict"}) {
    const Json* value = Value(record, key);
    if (value != nullptr && !value->is_string()) return "\"" + std::string(key) + "\" is not a string or null";
  }
  const Json* sent = Value(record, "sent");
  if (sent != nullptr && !sent->is_boolean()) return std::string("\"sent\" is not true or false");
  const Json* error = Value(record, "error");
  if (error != nullptr && !error->is_number_integer()) return std::string("\"error\" is not a whole number or null");
  return std::nullopt;
}

// What the tools saw of an exchange that gave no answer, as the supply plays it again:
// a connection closed without an answer is closed again, a connection reset (which only
// a failed receive reports) is reset again, and any other failure is silence.
TableAnswer Unanswered(const Json& record) {
  const Json* verdict = Value(record, "verdict");
  const Json* error = Value(record, "error");
  if (verdict != nullptr && *verdict == "closed") return TableAnswer::Close;
  return error != nullptr && *error == ECONNRESET ? TableAnswer::Reset : TableAnswer::Silent;
}

// A --json record: its command, exactly, with a zero rest, answered with its raw bytes.
// Gives back false in taken when the command never reached the supply.
Fault Record(std::string_view line, AnswerRule& rule, bool& taken) {
  Json record;
  if (Fault fault = ReadObject(line, record)) return "bad record: " + *fault;
  if (Fault fault = KeyTypes(record)) return fault;
  if (!record.contains("command")) return std::string("no \"command\"");
  const Json* command = Value(record, "command");
  const Json* sent = Value(record, "sent");
  const Json* raw = Value(record, "raw");
  taken = command != nullptr && (sent == nullptr || sent->get<bool>());
  if (!taken) return std::nullopt;
  std::string command_text = command->get<std::string>();
  for (std::string_view word : SplitWords(command_text)) {
    std::optional<std::uint8_t> byte = ByteOf(word);
    if (!byte) return "bad command byte \"" + std::string(word) + "\"";
    if (rule.length == rule.pattern.size())
      return "command longer than " + std::to_string(rule.pattern.size()) + " bytes";
    rule.pattern[rule.length++] = *byte;
  }
  if (rule.length == 0) return std::string("\"command\" has no bytes");
  if (raw == nullptr) {
    rule.kind = Unanswered(record);
    return std::nullopt;
  }
  std::string raw_text = raw->get<std::string>();
  // An empty "raw" is an all-zero USB report, which one zero byte gives again.
  if (SplitWords(raw_text).empty()) {
    rule.answer.push_back(0);
    return std::nullopt;
  }
  return AnswerBytes(raw_text, rule.answer);
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
