#include "mqtt/request.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "mqtt/utf8.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

Request Refused(std::string problem) {
  Request request;
  request.problem = std::move(problem);
  return request;
}

// The transaction as JSON text for the echo; nullopt with the request's problem set
// when it is of a type no caller could match against.
std::optional<std::string> Transaction(const nlohmann::json& value, Request& request) {
  if (value.is_string() || value.is_number_integer()) return value.dump(-1, ' ', true);
  if (value.is_number_float() && std::isfinite(value.get<double>())) return value.dump();
  request.problem = "the transaction is neither a string nor a number";
  return std::nullopt;
}

Request FromJson(std::string_view payload) {
  nlohmann::json object = nlohmann::json::parse(payload, nullptr, false);
  if (object.is_discarded()) return Refused("the request is not valid JSON");
  if (!object.is_object()) return Refused("the request is JSON but not an object");
  Request request;
  if (auto transaction = object.find("transaction"); transaction != object.end()) {
    request.transaction = Transaction(*transaction, request);
    if (!request.problem.empty()) return request;
  }
  auto command = object.find("command");
  if (command == object.end() || !command->is_string()) {
    request.problem = "the request has no \"command\" string";
  } else if (command->get_ref<const std::string&>().find('\0') != std::string::npos) {
    request.problem = "the command holds a NUL character";
  } else {
    request.command = command->get<std::string>();
  }
  return request;
}

}  // namespace

Request ParseRequest(std::string_view payload) {
  if (payload.size() > kMaxRequestBytes) return Refused("the request is over 4 KiB");
  if (!IsUtf8(payload)) return Refused("the request is not UTF-8");
  std::string_view text = Trimmed(payload);
  if (text.empty()) return Refused("the request is empty");
  if (text.front() == '{' || text.front() == '[' || text.front() == '"') return FromJson(text);
  if (text.find('\0') != std::string_view::npos) return Refused("the command holds a NUL character");
  Request request;
  request.command = text;
  return request;
}
