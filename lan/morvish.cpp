#include "lan/morvish.h"

#include <algorithm>
#include <string>

#include "core/exchange.h"
#include "core/session.h"
#include "lan/answer_gathering.h"
#include "lan/lan_arguments.h"
#include "lan/socket.h"

namespace {

constexpr int kConnectTimeoutMs = 5000;

constexpr std::string_view kUsage =
    "Usage: morvish ADDRESS PORT BYTE BYTE BYTE BYTE BYTE [BYTE ...]\n"
    "       morvish [--json] ADDRESS PORT BYTE BYTE BYTE BYTE BYTE [BYTE ...]\n"
    "       morvish [--json] [--keep-going] --commands FILE ADDRESS PORT\n"
    "Sends one command to the power supply over TCP, reads its answer and prints both.\n"
    "  ADDRESS          numeric IPv4 (dotted decimal) or IPv6 address of the power supply\n"
    "  PORT             decimal, 1 to 65535\n"
    "  BYTE             one hexadecimal byte of one or two characters: 0d, D, ff, -1, +7;\n"
    "                   5 to 64 of them, header and footer included\n"
    "  --json           print one JSON object per exchange on a line of its own, in ASCII:\n"
    "                   command, sent, answer, raw, verdict, message, status, error (and\n"
    "                   line in a session)\n"
    "  --commands FILE  a session: send each line's command in turn, one connection each\n"
    "                   (FILE - is standard input); bytes as above, separated by blanks or\n"
    "                   tabs, # begins a comment; stops at the first status other than 0\n"
    "  --keep-going     in a session, go on after statuses 1 and 2 (never after 3)\n"
    "Exit status: 0 carried out, 1 command line refused or sockets unavailable,\n"
    "             2 answered with another verdict, 3 no answer,\n"
    "             4 the exchange ran but its report could not be written;\n"
    "             a session ends with the first status other than 0.\n";

std::string Number(long value) { return std::to_string(value); }

ExchangeResult Failed(std::string_view key, std::wstring_view text, long error, int status) {
  return Failure(key, {text, {Number(error)}}, status, error);
}

// Connects, sends and receives one command; resources are released in reverse order.
ExchangeResult Connect(const NetAddress& address, const ParsedCommand& command, const ReportMode& mode) {
  namespace keys = texts::keys;
  SocketLibrary library;
  if (library.error != 0) {
    return Failed(keys::kConnectFailed, texts::kSocketStartupFailed, library.error, kExitBadCommandLine);
  }
  long error = 0;
  Socket socket = MakeStreamSocket(address, error);
  if (!socket.valid()) return Failed(keys::kConnectFailed, texts::kSocketFailed, error, kExitBadCommandLine);
  if ((error = ConnectWithin(socket, address, kConnectTimeoutMs)) != 0) {
    return Failed(keys::kConnectFailed, texts::kConnectFailed, error, kExitNoAnswer);
  }
  if ((error = SendAll(socket, command.bytes.data(), command.bytes.size())) != 0) {
    return Failed(keys::kSendFailed, texts::kSendFailed, error, kExitNoAnswer);
  }
  ExchangeResult result;
  result.command = command;
  result.sent = true;
  ReportSent(result, mode);

  Gathered gathered = GatherAnswer(result.answer, [&socket](std::uint8_t* into, std::size_t room, int timeout_ms) {
    return ReceiveWithin(socket, into, room, timeout_ms);
  });
  if (gathered.outcome == Gathered::Failed) {
    result = Failed(keys::kReceiveFailed, texts::kReceiveFailed, gathered.error, kExitNoAnswer);
  } else if (gathered.outcome == Gathered::ClosedWithoutAnswer) {
    result = Failure(keys::kClosed, {texts::kClosedWithoutAnswer, {}}, kExitNoAnswer);
  } else {
    result.raw_length = std::min(gathered.received, result.raw.size());
    std::copy_n(result.answer.begin(), result.raw_length, result.raw.begin());
    JudgeAnswer(command, result);
  }
  result.sent = true;
  return result;
}

ExchangeResult ExchangeOverLan(const NetAddress& address, const ParsedCommand& command, const ReportMode& mode) {
  ExchangeResult result = Connect(address, command, mode);
  result.command = command;
  return result;
}

int MorvishStatus(int argc, const char* const* argv) {
  if (std::optional<int> status = AnswerInfoRequest(argc, argv, "morvish", kUsage)) return *status;
  LanCommandLine line = ReadLanCommandLine(argc, argv);
  if (line.refused) return ReportRefusedRun(*line.refused, line.json, line.commands != nullptr);
  return RunExchanges({line.commands, line.json, line.keep_going, kMaxLanCommandBytes}, line.command,
                      [&line](const ParsedCommand& command, const ReportMode& mode) {
                        return ExchangeOverLan(line.address, command, mode);
                      });
}

}  // namespace

int RunMorvish(int argc, const char* const* argv) {
  StartConsole();
  return FinishConsole("morvish", MorvishStatus(argc, argv));
}
