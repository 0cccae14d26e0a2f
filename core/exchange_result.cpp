#include "core/exchange_result.h"

#include <utility>

#include "core/exit_status.h"
#include "core/texts.h"
#include "core/utf8.h"

namespace {

// Wide texts are UTF-32 on Linux and UTF-16 on Windows; the tools' texts hold no
// characters above U+FFFF, so a lone surrogate is never joined.
void AppendWide(std::string& out, std::wstring_view text) {
  for (wchar_t c : text) AppendUtf8(out, static_cast<char32_t>(c));
}

}  // namespace

void JudgeAnswer(const ParsedCommand& command, ExchangeResult& result) {
  result.answered = true;
  result.answer_length = ResponseLength(result.answer[2]);
  Verdict verdict = SelectVerdict(command.bytes, result.answer, result.answer_length);
  result.verdict = verdict.key;
  result.message = {verdict.message, {}};
  result.status = verdict.success ? kExitSuccess : kExitNotCarriedOut;
}

ExchangeResult RefusedCommand(Message message) {
  return Failure(std::nullopt, texts::keys::kBadCommand, std::move(message), kExitBadCommandLine);
}

ExchangeResult Failure(const std::optional<ParsedCommand>& command, std::string_view key, Message message, int status,
                       std::optional<long> error) {
  ExchangeResult result;
  result.command = command;
  result.verdict = key;
  result.message = std::move(message);
  result.status = status;
  result.error = error;
  return result;
}

std::string MessageText(const Message& message) {
  std::wstring_view text = message.text;
  if (text.starts_with(L'\n')) text.remove_prefix(1);
  if (text.ends_with(L'\n')) text.remove_suffix(1);
  std::string out;
  auto value = message.values.begin();
  std::size_t start = 0;
  for (std::size_t pos = text.find(L'%'); pos != std::wstring_view::npos; pos = text.find(L'%', start)) {
    std::size_t stop = text.find_first_of(L"sd", pos);
    if (stop == std::wstring_view::npos || value == message.values.end()) break;
    AppendWide(out, text.substr(start, pos - start));
    out += ValidUtf8(*value++);
    start = stop + 1;
  }
  AppendWide(out, text.substr(start));
  return out;
}
