#include "core/command_text.h"

#include <string>
#include <vector>

#include "core/command_line.h"

namespace {

constexpr std::size_t kFewestBytes = 5;

std::vector<std::string> BlankSeparatedWords(std::string_view text) {
  std::vector<std::string> words;
  std::size_t start = text.find_first_not_of(" \t");
  while (start != std::string_view::npos) {
    std::size_t end = text.find_first_of(" \t", start);
    words.emplace_back(text.substr(start, end - start));
    start = text.find_first_not_of(" \t", end);
  }
  return words;
}

}  // namespace

CommandText ParseCommandText(std::string_view text, std::size_t max_bytes) {
  std::vector<std::string> words = BlankSeparatedWords(text);
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
