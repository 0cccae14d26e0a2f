#include "tools/supply_answer.h"

#include "core/answer_layout.h"

std::vector<std::uint8_t> AnswerFor(const AnswerOptions& options, const CommandBuffer& command, TableAnswer* kind) {
  if (options.table) {
    if (const AnswerRule* rule = MatchAnswer(*options.table, command)) {
      Log("answered by line " + std::to_string(rule->line) + " of " + options.table->path);
      if (kind != nullptr) *kind = rule->kind;
      return rule->answer;
    }
    Log("no line of " + options.table->path + " matched: the default answer");
  }
  if (options.silent) return {};
  std::vector<std::uint8_t> answer = options.raw;
  if (answer.empty()) {
    Answer built = BuildAnswer(command, options.status);
    answer.assign(built.bytes.begin(), built.bytes.begin() + static_cast<long>(built.length));
  }
  if (options.short_length != 0 && options.short_length < answer.size()) answer.resize(options.short_length);
  return answer;
}
