#include "core/report.h"

#include "core/console.h"
#include "core/exit_status.h"
#include "core/json_report.h"
#include "core/texts.h"

namespace {

void PrintLine(std::wstring_view label, const std::uint8_t* bytes, std::size_t count) {
  WriteText(label);
  WriteBytes(std::string_view("\0", 1));
  WriteBytes(FormatByteItems(bytes, count));
  WriteBytes("\n\n");
  FlushConsole();
}

}  // namespace

void PrintSentCommand(const CommandBuffer& command, std::size_t count) {
  PrintLine(texts::kSentLabel, command.data(), count < command.size() ? count : command.size());
}

std::size_t PrintReceivedResponse(const ResponseBuffer& answer) {
  std::size_t length = ResponseLength(answer[2]);
  PrintLine(texts::kReceivedLabel, answer.data(), length);
  return length;
}

void PrintMessage(std::wstring_view text, std::initializer_list<std::string_view> values) {
  PrintMessage(Message{text, {values.begin(), values.end()}});
}

void PrintMessage(const Message& message) {
  auto value = message.values.begin();
  auto end = message.values.end();
  std::size_t start = 0;
  std::wstring_view text = message.text;
  for (std::size_t pos = text.find(L'%'); pos != std::wstring_view::npos; pos = text.find(L'%', start)) {
    std::size_t stop = text.find_first_of(L"sd", pos);
    if (stop == std::wstring_view::npos || value == end) break;
    WriteText(text.substr(start, pos - start));
    WriteUtf8(*value++);
    start = stop + 1;
  }
  WriteText(text.substr(start));
  FlushConsole();
}

void ReportSent(const ExchangeResult& result, const ReportMode& mode) {
  if (mode.json || !result.command) return;
  PrintSentCommand(result.command->bytes, result.command->count);
}

void ReportEnd(const ExchangeResult& result, const ReportMode& mode) {
  if (mode.json) {
    WriteBytes(JsonLine(result, mode.session ? std::optional<std::size_t>(mode.line) : std::nullopt));
    FlushConsole();
    return;
  }
  if (result.answered) PrintReceivedResponse(result.answer);
  PrintMessage(result.message);
  if (mode.session) {
    WriteBytes("\n");
    FlushConsole();
  }
}
