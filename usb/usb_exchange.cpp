#include "usb/usb_exchange.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

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

std::optional<ExchangeResult> OpenHeldSupply(SupplyHold& hold, const std::optional<ParsedCommand>& command,
                                             std::string& notes, OpenFailure* first_failure) {
  std::optional<ExchangeResult> failed = OpenUsbSupply(hold.supply, hold.choice, command, notes, first_failure);
  if (failed || hold.pinned) return failed;
  hold.pinned = true;
  std::string serial;
  for (const SupplyListing& listed : ListPowerSupplies().value_or(std::vector<SupplyListing>{})) {
    if (listed.path == hold.supply.path) serial = listed.serial;
  }
  hold.choice = serial.empty() ? SupplyChoice{std::nullopt, hold.supply.path} : SupplyChoice{serial, std::nullopt};
  return failed;
}

std::optional<ExchangeResult> WaitForHeldSupply(SupplyHold& hold, const std::optional<ParsedCommand>& command,
                                                int wait_ms, std::string& notes, OpenFailure* first_failure) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    notes.clear();
    OpenFailure failure;
    std::optional<ExchangeResult> failed = OpenHeldSupply(hold, command, notes, &failure);
    if (first_failure != nullptr) *first_failure = failure;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (!failed || left <= 0) return failed;
    if (!PauseBetweenSearches(static_cast<int>(std::min<long long>(left, kSearchPauseMs)))) {
      return Failure(command, keys::kInterrupted, {texts::kInterrupted, {}}, kExitNoAnswer);
    }
  }
}

bool DropIfGone(SupplyHold& hold) {
  if (!hold.supply.open() || !SupplyGone(hold.supply)) return false;
  hold.supply = PowerSupply();
  return true;
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
    // A supply that went before its answer came fails at once, with the read's error.
    if (!interrupted && SupplyGone(supply, &result.error) && result.error) {
      result.message = {texts::kUsbReceiveFailedWithError, {std::to_string(*result.error)}};
    }
    result.status = kExitNoAnswer;
    return result;
  }
  std::copy(input.begin() + 1, input.end(), result.answer.begin());
  KeepRaw(input, result);
  JudgeAnswer(command, result);
  return result;
}
