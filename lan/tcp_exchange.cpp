#include "lan/tcp_exchange.h"

#include <algorithm>
#include <string>

#include "core/exit_status.h"
#include "core/texts.h"
#include "lan/answer_gathering.h"

namespace {

namespace keys = texts::keys;

ExchangeResult Failed(const ParsedCommand& command, std::string_view key, std::wstring_view text, long error,
                      int status) {
  return Failure(command, key, {text, {std::to_string(error)}}, status, error);
}

ExchangeResult InterruptedExchange(const ParsedCommand& command, bool sent) {
  ExchangeResult result = Failure(command, keys::kInterrupted, {texts::kInterrupted, {}}, kExitNoAnswer);
  result.sent = sent;
  return result;
}

// Nothing sent: the exchange was interrupted, or its deadline passed as it connected.
ExchangeResult InterruptedOrLate(const ParsedCommand& command, const Wait& wait) {
  if (Interrupted(wait)) return InterruptedExchange(command, false);
  return Failed(command, keys::kSendFailed, texts::kSendFailed, TimedOutError(), kExitNoAnswer);
}

// A connected socket, or the failure that kept it from being one.
std::optional<ExchangeResult> Connect(const NetAddress& address, const ParsedCommand& command, int timeout_ms,
                                      const Wait& wait, Socket& socket) {
  long error = 0;
  socket = MakeStreamSocket(address, error);
  if (!socket.valid()) return Failed(command, keys::kConnectFailed, texts::kSocketFailed, error, kExitBadCommandLine);
  if ((error = ConnectWithin(socket, address, timeout_ms, wait)) != 0 && Interrupted(wait))
    return InterruptedExchange(command, false);
  if (error != 0) return Failed(command, keys::kConnectFailed, texts::kConnectFailed, error, kExitNoAnswer);
  return std::nullopt;
}

// Gathers the answer to the command already sent and judges it.
ExchangeResult ReceiveAnswer(const Socket& socket, const ParsedCommand& command, int timeout_ms, const Wait& wait) {
  ExchangeResult result;
  result.command = command;
  result.sent = true;
  Gathered gathered =
      GatherAnswer(result.answer, timeout_ms, [&socket, &wait](std::uint8_t* into, std::size_t room, int wait_ms) {
        return ReceiveWithin(socket, into, room, wait_ms, wait);
      });
  if (Interrupted(wait) && !AnswerIsWhole(result.answer, gathered.received)) return InterruptedExchange(command, true);
  if (gathered.outcome == Gathered::Failed) {
    result = Failed(command, keys::kReceiveFailed, texts::kReceiveFailed, gathered.error, kExitNoAnswer);
  } else if (gathered.outcome == Gathered::ClosedWithoutAnswer) {
    result = Failure(command, keys::kClosed, {texts::kClosedWithoutAnswer, {}}, kExitNoAnswer);
  } else {
    result.raw_length = std::min(gathered.received, result.raw.size());
    std::copy_n(result.answer.begin(), result.raw_length, result.raw.begin());
    JudgeAnswer(command, result);
  }
  result.sent = true;
  return result;
}

}  // namespace

ExchangeResult ExchangeOverTcp(const NetAddress& address, const ParsedCommand& command, int timeout_ms,
                               const SentNotice& on_sent, const Wait& wait) {
  SocketLibrary library;
  if (library.error != 0) {
    return Failed(command, keys::kConnectFailed, texts::kSocketStartupFailed, library.error, kExitBadCommandLine);
  }
  Socket socket;
  if (std::optional<ExchangeResult> failed = Connect(address, command, timeout_ms, wait, socket)) return *failed;
  int send_ms = SliceMs(Wait{}, StepEnd(wait, timeout_ms));
  if (send_ms <= 0 || Interrupted(wait)) return InterruptedOrLate(command, wait);
  if (long error = SendAll(socket, command.bytes.data(), command.bytes.size(), send_ms); error != 0)
    return Failed(command, keys::kSendFailed, texts::kSendFailed, error, kExitNoAnswer);
  ExchangeResult sent;
  sent.command = command;
  sent.sent = true;
  on_sent(sent);
  return ReceiveAnswer(socket, command, timeout_ms, wait);
}
