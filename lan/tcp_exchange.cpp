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

// A connected socket, or the failure that kept it from being one.
std::optional<ExchangeResult> Connect(const NetAddress& address, const ParsedCommand& command, int timeout_ms,
                                      Socket& socket) {
  long error = 0;
  socket = MakeStreamSocket(address, error);
  if (!socket.valid()) return Failed(command, keys::kConnectFailed, texts::kSocketFailed, error, kExitBadCommandLine);
  if ((error = ConnectWithin(socket, address, timeout_ms)) != 0)
    return Failed(command, keys::kConnectFailed, texts::kConnectFailed, error, kExitNoAnswer);
  return std::nullopt;
}

// Gathers the answer to the command already sent and judges it.
ExchangeResult ReceiveAnswer(const Socket& socket, const ParsedCommand& command, int timeout_ms) {
  ExchangeResult result;
  result.command = command;
  result.sent = true;
  Gathered gathered =
      GatherAnswer(result.answer, timeout_ms, [&socket](std::uint8_t* into, std::size_t room, int wait_ms) {
        return ReceiveWithin(socket, into, room, wait_ms);
      });
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
                               const SentNotice& on_sent) {
  SocketLibrary library;
  if (library.error != 0) {
    return Failed(command, keys::kConnectFailed, texts::kSocketStartupFailed, library.error, kExitBadCommandLine);
  }
  Socket socket;
  if (std::optional<ExchangeResult> failed = Connect(address, command, timeout_ms, socket)) return *failed;
  if (long error = SendAll(socket, command.bytes.data(), command.bytes.size(), timeout_ms); error != 0)
    return Failed(command, keys::kSendFailed, texts::kSendFailed, error, kExitNoAnswer);
  ExchangeResult sent;
  sent.command = command;
  sent.sent = true;
  on_sent(sent);
  return ReceiveAnswer(socket, command, timeout_ms);
}
