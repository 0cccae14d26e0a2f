#include "mqtt/result_json.h"

#include <cstring>

#include "mqtt/json_text.h"

namespace {

std::string HexWords(const unsigned char* bytes, size_t count) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string words;
  for (size_t k = 0; k < count; ++k) {
    if (k > 0) words += ' ';
    words += kHex[bytes[k] >> 4];
    words += kHex[bytes[k] & 0xFU];
  }
  return words;
}

std::string HexOrNull(const unsigned char* bytes, size_t count, size_t capacity, bool present) {
  return present ? '"' + HexWords(bytes, count < capacity ? count : capacity) + '"' : "null";
}

}  // namespace

dimlink_result GatewayResult(const char* verdict, int status, std::string_view message) {
  dimlink_result result = DIMLINK_RESULT_INIT;
  result.verdict = verdict;
  result.status = status;
  size_t length = message.size() < sizeof result.message - 1 ? message.size() : sizeof result.message - 1;
  std::memcpy(result.message, message.data(), length);
  return result;
}

std::string ResultJson(const dimlink_result& result, const CommandBytes& command,
                       const std::optional<std::string>& transaction) {
  bool answered = result.answered != 0;
  std::string out = "{\"command\":";
  out += HexOrNull(command.bytes, command.length, sizeof command.bytes, command.length > 0);
  out += ",\"sent\":";
  out += result.sent ? "true" : "false";
  out += ",\"answer\":" + HexOrNull(result.answer, result.answer_length, sizeof result.answer, answered);
  out += ",\"raw\":" + HexOrNull(result.raw, result.raw_length, sizeof result.raw, answered);
  out += ",\"verdict\":" + JsonString(result.verdict != nullptr ? result.verdict : "internal-error");
  out += ",\"message\":" + JsonString(std::string_view(result.message, strnlen(result.message, sizeof result.message)));
  out += ",\"status\":" + std::to_string(result.status);
  out += ",\"error\":" + (result.error != 0 ? std::to_string(result.error) : "null");
  if (transaction) out += ",\"transaction\":" + *transaction;
  return out + '}';
}
