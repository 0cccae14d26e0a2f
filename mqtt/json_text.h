// UTF-8 checks and JSON strings for what the gateway publishes: the same ASCII-only form
// the tools' --json reports use, so that a result reads byte for byte as theirs does.
#pragma once

#include <string>
#include <string_view>

// True when text is well-formed UTF-8 (no overlong form, surrogate or value past U+10FFFF).
bool IsUtf8(std::string_view text);

// A JSON string of UTF-8 text: quoted, with every character outside printable ASCII as
// \uXXXX (surrogate pairs above U+FFFF); a byte not part of valid UTF-8 reads as U+FFFD.
std::string JsonString(std::string_view utf8);
