#include "usb/usb_exchange.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/exit_status.h"
#include "core/texts.h"

namespace {

namespace keys = texts::keys;

OutputReport BuildOutputReport(const CommandBuffer& command) {
  OutputReport report{};  // report ID 0x00
  std::copy_n(command.begin(), report.size() - 1, report.begin() + 1);
  return report;
}

// The report's bytes after its ID, without the zero bytes that pad it.
void KeepRaw(const InputReport& input, ExchangeResult& result) {
  auto last = std::find_if(input.rbegin(), input.rend() - 1, [](std::uint8_t byte) { return byte != 0; });
  result.raw_length = static_cast<std::size_t>(input.rend() - 1 - last);
  std::copy_n(input.begin() + 1, result.raw_length, result.raw.begin());
}

}  // namespace

std::optional<ExchangeResult> OpenUsbSupply(PowerSupply& supply, const SupplyChoice& choice,
                                            const std::optional<ParsedCommand>& command, std::string& notes,
                                            OpenFailure* first_failure) {
  if (FindPowerSupply(supply, choice, notes, first_failure)) return std::nullopt;
  return Failure(command, keys::kNotFound, {texts::kSupplyNotFound, {}}, kExitNoAnswer);
}

std::optional<ExchangeResult> LockUsbSupply(PowerSupply& supply, const ParsedCommand& command, int timeout_ms,
                                            const Wait& wait) {
  LockOutcome lock = TakeForExchange(supply, timeout_ms, wait);
  if (lock.kind == LockOutcome::Held) return std::nullopt;
  if (Interrupted(wait)) return Failure(command, keys::kInterrupted, {texts::kInterrupted, {}}, kExitNoAnswer);
  if (lock.kind == LockOutcome::Busy) return Failure(command, keys::kBusy, {texts::kSupplyBusy, {}}, kExitNoAnswer);
  return Failure(command, keys::kLockFailed, {texts::kLockFailed, {std::to_string(lock.error)}}, kExitNoAnswer,
                 lock.error);
}

ExchangeResult ExchangeWithUsbSupply(const PowerSupply& supply, const ParsedCommand& command, int timeout_ms,
                                     const SentNotice& on_sent, const Wait& wait) {
  // A command the device's output report has no room for would go out cut short.
  std::size_t room = supply.caps.output_report_length;
  if (room != 0 && command.count >= room) {
    return Failure(command, keys::kBadCommand, {texts::kTooManyBytes, {std::to_string(room - 1)}}, kExitBadCommandLine);
  }
  DiscardWaitingReports(supply);
  std::optional<long> error;
  if (!WriteOutputReport(supply, BuildOutputReport(command.bytes), timeout_ms, error, wait)) {
    if (Interrupted(wait)) return Failure(command, keys::kInterrupted, {texts::kInterrupted, {}}, kExitNoAnswer);
    // Where the platform gives no error number the message stays as it has always been.
    Message message =
        error ? Message{texts::kUsbSendFailedWithError, {std::to_string(*error)}} : Message{texts::kUsbSendFailed, {}};
    return Failure(command, keys::kSendFailed, std::move(message), kExitNoAnswer, error);
  }
  ExchangeResult result;
  result.command = command;
  result.sent = true;
  on_sent(result);

  InputReport input{};
  if (!ReadInputReport(supply, input, timeout_ms, wait)) {
    bool interrupted = Interrupted(wait);
    result.verdict = interrupted ? keys::kInterrupted : keys::kReceiveFailed;
    result.message = {interrupted ? texts::kInterrupted : texts::kUsbReceiveFailed, {}};
    result.status = kExitNoAnswer;
    return result;
  }
  std::copy(input.begin() + 1, input.end(), result.answer.begin());
  KeepRaw(input, result);
  JudgeAnswer(command, result);
  return result;
}
