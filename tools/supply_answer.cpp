#include "tools/supply_answer.h"

#include "core/answer_layout.h"

std::vector<std::uint8_t> AnswerFor(const AnswerOptions& options, const CommandBuffer& command) {
  if (options.silent) return {};
  std::vector<std::uint8_t> answer = options.raw;
  if (answer.empty()) {
    Answer built = BuildAnswer(command, options.status);
    answer.assign(built.bytes.begin(), built.bytes.begin() + static_cast<long>(built.length));
  }
  if (options.short_length != 0 && options.short_length < answer.size()) answer.resize(options.short_length);
  return answer;
}
