#include "lan/morvish.h"

#include <string>

#include "core/exchange.h"
#include "lan/answer_gathering.h"
#include "lan/lan_arguments.h"
#include "lan/socket.h"

namespace {

constexpr std::size_t kNeededArguments = 7;  // address, port, five command bytes
constexpr int kConnectTimeoutMs = 5000;

constexpr std::string_view kUsage =
    "Usage: morvish ADDRESS PORT BYTE BYTE BYTE BYTE BYTE [BYTE ...]\n"
    "Sends one command to the power supply over TCP, reads its answer and prints both.\n"
    "  ADDRESS  numeric IPv4 (dotted decimal) or IPv6 address of the power supply\n"
    "  PORT     decimal, 1 to 65535\n"
    "  BYTE     one hexadecimal byte of one or two characters: 0d, D, ff, -1, +7;\n"
    "           5 to 64 of them, header and footer included\n"
    "Exit status: 0 carried out, 1 command line refused or sockets unavailable,\n"
    "             2 answered with another verdict, 3 no answer,\n"
    "             4 the exchange ran but its report could not be written.\n";

std::string Number(long value) { return std::to_string(value); }

// Connects, sends, receives and reports; resources are released in reverse order.
int ExchangeOverLan(const LanCommandLine& line) {
  SocketLibrary library;
  if (library.error != 0) {
    PrintMessage(texts::kSocketStartupFailed, {Number(library.error)});
    return kExitBadCommandLine;
  }
  long error = 0;
  Socket socket = MakeStreamSocket(line.address, error);
  if (!socket.valid()) {
    PrintMessage(texts::kSocketFailed, {Number(error)});
    return kExitBadCommandLine;
  }
  if ((error = ConnectWithin(socket, line.address, kConnectTimeoutMs)) != 0) {
    PrintMessage(texts::kConnectFailed, {Number(error)});
    return kExitNoAnswer;
  }
  const CommandBuffer& command = line.command.bytes;
  if ((error = SendAll(socket, command.data(), command.size())) != 0) {
    PrintMessage(texts::kSendFailed, {Number(error)});
    return kExitNoAnswer;
  }
  PrintSentCommand(command, line.command.count);

  ResponseBuffer answer{};
  Gathered gathered = GatherAnswer(answer, [&socket](std::uint8_t* into, std::size_t room, int timeout_ms) {
    return ReceiveWithin(socket, into, room, timeout_ms);
  });
  if (gathered.outcome == Gathered::Failed) {
    PrintMessage(texts::kReceiveFailed, {Number(gathered.error)});
    return kExitNoAnswer;
  }
  if (gathered.outcome == Gathered::ClosedWithoutAnswer) {
    PrintMessage(texts::kClosedWithoutAnswer);
    return kExitNoAnswer;
  }
  std::size_t length = PrintReceivedResponse(answer);
  Verdict verdict = SelectVerdict(command, answer, length);
  PrintMessage(verdict.message);
  return verdict.success ? kExitSuccess : kExitNotCarriedOut;
}

int MorvishStatus(int argc, const char* const* argv) {
  if (std::optional<int> status = AnswerInfoRequest(argc, argv, "morvish", kUsage)) return *status;
  if (!CheckArgumentCount(argc, 1, kNeededArguments)) return kExitBadCommandLine;
  std::optional<LanCommandLine> line = ReadLanCommandLine(argc, argv);
  if (!line) return kExitBadCommandLine;
  return ExchangeOverLan(*line);
}

}  // namespace

int RunMorvish(int argc, const char* const* argv) {
  StartConsole();
  return FinishConsole("morvish", MorvishStatus(argc, argv));
}
