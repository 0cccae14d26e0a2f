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
  std::size_t take = std::min(command.size(), size);
  std::memcpy(command.data(), data, take);
  std::memcpy(answer.data(), data + take, std::min(answer.size(), size - take));

  PrintSentCommand(command, size > 0 ? data[0] % 65 : 0);
  std::size_t length = PrintReceivedResponse(answer);
  Verdict verdict = SelectVerdict(command, answer, length);
  if (length > answer.size() || verdict.message.empty()) std::abort();
  if (verdict.success && (answer[length - 2] != 0x0D || answer[length - 1] != 0x0A)) std::abort();
  PrintMessage(verdict.message);
  return 0;
}
