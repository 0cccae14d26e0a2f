// What the gateway takes in must be UTF-8, as MQTT and JSON require of text.
#pragma once

#include <string_view>

// True when text is well-formed UTF-8 (no overlong form, surrogate or value past U+10FFFF).
bool IsUtf8(std::string_view text);
