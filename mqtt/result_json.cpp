#include "mqtt/result_json.h"

#include <cstring>
#include <stdexcept>

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
  const unsigned char* bytes = command.length > 0 ? command.bytes : nullptr;
  std::string out(1024, '\0');
  int length = dimlink_result_json(&result, bytes, command.length, out.data(), out.size());
  if (length >= 0 && static_cast<std::size_t>(length) >= out.size()) {
    out.assign(static_cast<std::size_t>(length) + 1, '\0');
    length = dimlink_result_json(&result, bytes, command.length, out.data(), out.size());
  }
  if (length < 2) throw std::logic_error("the library wrote no JSON for a result");
  out.resize(static_cast<std::size_t>(length) - 1);  // up to its closing brace
  if (transaction) out += ",\"transaction\":" + *transaction;
  return out + '}';
}
