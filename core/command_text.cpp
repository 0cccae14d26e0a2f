#include "core/command_text.h"

#include <string>
#include <vector>

#include "core/command_line.h"
#include "core/words.h"

namespace {

constexpr std::size_t kFewestBytes = 5;

}  // namespace

CommandText ParseCommandText(std::string_view text, std::size_t max_bytes) {
  std::vector<std::string> words;
  for (std::string_view word : SplitWords(text)) words.emplace_back(word);
  // As an argument vector whose first byte is argument 1.
  std::vector<const char*> argv{""};
  for (const std::string& word : words) argv.push_back(word.c_str());
  int argc = static_cast<int>(argv.size());
  CommandText parsed;
  if ((parsed.refusal = CheckArgumentCount(argc, 1, kFewestBytes))) return parsed;
  parsed.command = ParseCommandBytes(argc, argv.data(), 1, max_bytes);
  if (parsed.command.error != CommandError::None)
    parsed.refusal = CommandBytesMessage(parsed.command, argv.data(), max_bytes);
  return parsed;
}
