#include "core/json_report.h"

#include "core/exchange_result.h"
#include "core/hex_text.h"
#include "core/utf8.h"

namespace {

void AppendEscape(std::string& out, unsigned unit) {
  constexpr char kHex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xFU];
}

void AppendCharacter(std::string& out, char32_t c) {
  if (c == U'"' || c == U'\\') {
    out += '\\';
    out += static_cast<char>(c);
  } else if (c == U'\n') {
    out += "\\n";
  } else if (c >= 0x20 && c < 0x7F) {
    out += static_cast<char>(c);
  } else if (c >= 0x10000) {
    char32_t v = c - 0x10000;
    AppendEscape(out, 0xD800 + static_cast<unsigned>(v >> 10));
    AppendEscape(out, 0xDC00 + static_cast<unsigned>(v & 0x3FF));
  } else {
    AppendEscape(out, static_cast<unsigned>(c));
  }
}

void AppendEscaped(std::string& out, std::string_view utf8) {
  while (!utf8.empty()) AppendCharacter(out, TakeUtf8Character(utf8));
}

std::string HexOrNull(const std::uint8_t* bytes, std::size_t count, bool present) {
  return present ? '"' + FormatHexWords(bytes, count) + '"' : "null";
}

}  // namespace

std::string JsonString(std::string_view utf8) {
  std::string out = "\"";
  AppendEscaped(out, utf8);
  return out + '"';
}

std::string JsonMessage(const Message& message) { return JsonString(MessageText(message)); }

std::string JsonLine(const ExchangeResult& result, std::optional<std::size_t> line) {
  return JsonLineWithMessage(result, MessageText(result.message), line);
}

std::string JsonLineWithMessage(const ExchangeResult& result, std::string_view message,
                                std::optional<std::size_t> line) {
  const std::optional<ParsedCommand>& command = result.command;
  std::string out = "{\"command\":";
  out += command ? HexOrNull(command->bytes.data(), command->count, true) : "null";
  out += ",\"sent\":";
  out += result.sent ? "true" : "false";
  out += ",\"answer\":" + HexOrNull(result.answer.data(), result.answer_length, result.answered);
  out += ",\"raw\":" + HexOrNull(result.raw.data(), result.raw_length, result.answered);
  out += ",\"verdict\":" + JsonString(result.verdict);
  out += ",\"message\":" + JsonString(message);
  out += ",\"status\":" + std::to_string(result.status);
  out += ",\"error\":" + (result.error ? std::to_string(*result.error) : "null");
  if (line) out += ",\"line\":" + (*line != 0 ? std::to_string(*line) : "null");
  return out + "}\n";
}

std::string JsonListing(std::string_view path, std::string_view serial, std::string_view name) {
  return "{\"path\":" + JsonString(path) + ",\"serial\":" + JsonString(serial) + ",\"name\":" + JsonString(name) +
         "}\n";
}
