// A small, strict reader of one JSON object with plain values, as the tools print one
// exchange per line with --json.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class JsonType { Null, Boolean, Number, String };

struct JsonValue {
  JsonType type = JsonType::Null;
  std::string text;  // a string's characters in UTF-8, or a number as written
  bool boolean = false;
};

using JsonObject = std::vector<std::pair<std::string, JsonValue>>;

// Reads text as exactly one JSON object (blanks around it allowed) whose values are
// strings, numbers, true, false or null. Gives back what is wrong, or nothing when the
// object was read. Nested objects and arrays, a key given twice, and anything JSON does
// not allow (such as a raw control character or a lone surrogate in a string) are refused.
std::optional<std::string> ReadJsonObject(std::string_view text, JsonObject& object);

// The value of the key, or null when the object has no such key.
const JsonValue* FindJsonKey(const JsonObject& object, std::string_view key);
