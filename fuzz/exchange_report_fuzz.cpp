// The whole exchange report on an arbitrary command and answer: the sent line, the
// received line and the verdict.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/answer_layout.h"
#include "core/console.h"
#include "core/report.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  StartConsole();
  // The report goes to standard output; keep the fuzzer's log readable.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CommandBuffer command{};
  ResponseBuffer answer{};
  std::size_t count = size > 0 ? data[0] % 65 : 0;
  std::size_t at = size > 0 ? 1 : 0;
  std::size_t take = std::min(command.size(), size - at);
  std::memcpy(command.data(), data + at, take);
  at += take;
  std::memcpy(answer.data(), data + at, std::min(answer.size(), size - at));

  PrintSentCommand(command, count);
  std::size_t length = PrintReceivedResponse(answer);
  if (length > answer.size()) std::abort();
  Verdict verdict = SelectVerdict(command, answer, length);
  if (verdict.message.empty()) std::abort();
  if (verdict.success &&
      (answer[3] != 0 || answer[0] != command[0] || answer[1] != command[1] || answer[2] != command[2] || length < 2 ||
       answer[length - 2] != 0x0D || answer[length - 1] != 0x0A)) {
    std::abort();
  }
  PrintMessage(verdict.message);
  return 0;
}
