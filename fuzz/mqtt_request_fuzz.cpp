// A request payload as the broker hands it to the gateway: any bytes. Whatever it is, the
// gateway reads a request or a reason, and the answer it builds is one valid JSON object.
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "mqtt/request.h"
#include "mqtt/result_json.h"
#include "mqtt/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view payload(reinterpret_cast<const char*>(data), size);
  Request request = ParseRequest(payload);
  if (!request.problem.empty() && !request.command.empty()) std::abort();
  if (request.command.find('\0') != std::string::npos || !IsUtf8(request.command)) std::abort();
  dimlink_result result = GatewayResult("bad-request", 1, request.problem.empty() ? payload : request.problem);
  std::string json = ResultJson(result, CommandBytes{}, request.transaction);
  nlohmann::json object = nlohmann::json::parse(json, nullptr, false);
  if (!object.is_object() || object.size() != (request.transaction ? 9U : 8U)) std::abort();
  for (char c : json) {
    if (c < 0x20 || c > 0x7E) std::abort();
  }
  return 0;
}
