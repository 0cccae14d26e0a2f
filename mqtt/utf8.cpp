#include "mqtt/utf8.h"

#include <nlohmann/json.hpp>
#include <string>

// The JSON library checks every string it writes with a strict decoder.
bool IsUtf8(std::string_view text) {
  try {
    static_cast<void>(nlohmann::json(std::string(text)).dump());
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}
