// An arbitrary answer table file, then a command made of its first bytes matched against
// whatever it held.

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tools/answer_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\n');  // fmemopen takes no empty buffer
  std::FILE* file = fmemopen(text.data(), text.size(), "r");
  if (file == nullptr) std::abort();
  AnswerTable table;
  std::optional<std::string> fault = ReadAnswerTable(file, table);
  (void)std::fclose(file);
  if (fault) return 0;
  for (const AnswerRule& rule : table.rules) {
    if (rule.length > 64 || rule.answer.size() > kMaxTableAnswer) std::abort();
    if ((rule.kind == TableAnswer::Bytes) == rule.answer.empty()) std::abort();
  }
  CommandBuffer command{};
  std::copy(data, data + std::min(size, command.size()), command.begin());
  (void)MatchAnswer(table, command);
  return 0;
}
