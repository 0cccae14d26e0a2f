// UTF-8, written and read, for every place that turns characters into bytes or back:
// the console, JSON output and text files in other encodings.
#pragma once

#include <string>
#include <string_view>

// The character that stands in for anything that is not a character.
inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Appends the UTF-8 form of c; a surrogate or a value past U+10FFFF appends U+FFFD.
void AppendUtf8(std::string& out, char32_t c);

// Decodes the UTF-8 sequence at the start of text and takes it off. Overlong forms,
// surrogates and cut sequences give U+FFFD and take off only their first byte, so that
// every byte of a text that is not UTF-8 still shows as one character.
char32_t TakeUtf8Character(std::string_view& text);

// The text with every byte that is not part of valid UTF-8 read as U+FFFD.
std::string ValidUtf8(std::string_view text);
