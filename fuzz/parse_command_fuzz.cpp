// A command text as a program hands it to the library, cut at its first NUL as a C
// string is.

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/utf8.h"
#include "lib/dimlink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(text.find('\0') == std::string::npos ? size : text.find('\0'));
  unsigned char command[64];
  std::size_t length = 0;
  dimlink_result result = DIMLINK_RESULT_INIT;
  int status = dimlink_parse_command(text.c_str(), command, &length, &result);
  if (status == 0) {
    if (length < 5 || length > 64) std::abort();
    return 0;
  }
  // A refusal is status 1 with a message that ends within its field.
  if (status != 1 || result.status != 1 || std::strcmp(result.verdict, "bad-command") != 0) std::abort();
  std::size_t message_length = strnlen(result.message, sizeof result.message);
  if (message_length == sizeof result.message) std::abort();
  // Valid UTF-8: a U+FFFD that stands for a bad byte takes one byte, a real one three.
  for (std::string_view rest(result.message, message_length); !rest.empty();) {
    std::size_t before = rest.size();
    if (TakeUtf8Character(rest) == kReplacementCharacter && before - rest.size() != 3) std::abort();
  }
  return 0;
}
