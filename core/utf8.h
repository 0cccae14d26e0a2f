// UTF-8, read and written one character at a time.
#pragma once

#include <string>
#include <string_view>

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes the UTF-8 sequence at the start of text and takes it off. An overlong form, a
// surrogate or a cut sequence gives U+FFFD for its first byte alone. text must not be
// empty.
char32_t NextCharacter(std::string_view& text);

// Appends the character's UTF-8 bytes.
void AppendUtf8(std::string& out, char32_t c);

// The text with every byte that is not part of valid UTF-8 read as U+FFFD.
std::string ValidUtf8(std::string_view text);
