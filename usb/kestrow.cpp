#include "usb/kestrow.h"

#include <algorithm>

#include "core/exchange.h"
#include "usb/hid.h"

namespace {

constexpr std::size_t kNeededArguments = 5;
// The output report has room for 63 command bytes after its report ID.
constexpr std::size_t kMaxCommandBytes = 63;
constexpr int kAnswerTimeoutMs = 5000;

constexpr std::string_view kUsage =
    "Usage: kestrow BYTE BYTE BYTE BYTE BYTE [BYTE ...]\n"
    "Sends one command to the USB power supply (HID, vendor 0483, product 5750), reads its\n"
    "answer and prints both.\n"
    "  BYTE     one hexadecimal byte of one or two characters: 0d, D, ff, -1, +7;\n"
    "           5 to 63 of them, header and footer included\n"
    "Exit status: 0 carried out, 1 command line refused,\n"
    "             2 answered with another verdict, 3 no answer (not found, send or receive failed).\n";

OutputReport BuildOutputReport(const CommandBuffer& command) {
  OutputReport report{};  // report ID 0x00
  std::copy_n(command.begin(), report.size() - 1, report.begin() + 1);
  return report;
}

// Searches, writes, reads and reports; the device is closed on every path.
int ExchangeOverUsb(const ParsedCommand& command) {
  PowerSupply supply;
  if (!FindPowerSupply(supply)) {
    PrintMessage(texts::kSupplyNotFound);
    return kExitNoAnswer;
  }
  if (!WriteOutputReport(supply, BuildOutputReport(command.bytes))) {
    PrintMessage(texts::kUsbSendFailed);
    return kExitNoAnswer;
  }
  PrintSentCommand(command.bytes, command.count);

  InputReport input{};
  if (!ReadInputReport(supply, input, kAnswerTimeoutMs)) {
    PrintMessage(texts::kUsbReceiveFailed);
    return kExitNoAnswer;
  }
  ResponseBuffer answer{};
  std::copy(input.begin() + 1, input.end(), answer.begin());
  std::size_t length = PrintReceivedResponse(answer);
  Verdict verdict = SelectVerdict(command.bytes, answer, length);
  PrintMessage(verdict.message);
  return verdict.success ? kExitSuccess : kExitNotCarriedOut;
}

}  // namespace

int RunKestrow(int argc, const char* const* argv) {
  StartConsole();
  if (std::optional<int> status = AnswerInfoRequest(argc, argv, "kestrow", kUsage)) return *status;
  if (!CheckArgumentCount(argc, kNeededArguments)) return kExitBadCommandLine;
  std::optional<ParsedCommand> command = ReadCommandBytes(argc, argv, 1, kMaxCommandBytes);
  if (!command) return kExitBadCommandLine;
  return ExchangeOverUsb(*command);
}
