// Arbitrary command-line arguments: each line of the input is one argument.

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/command_bytes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> words{"tool"};
  std::string word;
  for (std::size_t k = 0; k < size; ++k) {
    if (data[k] == '\n') {
      words.push_back(word);
      word.clear();
    } else if (data[k] != '\0') {
      word += static_cast<char>(data[k]);
    }
  }
  words.push_back(word);
  std::vector<const char*> argv;
  argv.reserve(words.size());
  for (const std::string& each : words) argv.push_back(each.c_str());

  for (std::size_t k = 1; k < words.size(); ++k) {
    std::optional<std::uint8_t> byte = ConvertCommandByte(argv[k]);
    if (!byte) continue;
    // Accepted only when short and read whole by the C library.
    if (words[k].empty() || words[k].size() > 2) std::abort();
    char* end = nullptr;
    long value = std::strtol(argv[k], &end, 16);
    if (*end != '\0' || static_cast<std::uint8_t>(value & 0xFF) != *byte) std::abort();
  }
  ParsedCommand parsed = ParseCommandBytes(static_cast<int>(argv.size()), argv.data(), 1, 64);
  if (parsed.error == CommandError::None) {
    if (parsed.count > 64) std::abort();
    for (std::size_t k = parsed.count; k < parsed.bytes.size(); ++k) {
      if (parsed.bytes[k] != 0) std::abort();
    }
  }
  return 0;
}
