#include "usb/kestrow.h"

#include <algorithm>

#include "core/exchange.h"
#include "usb/hid.h"
#include "usb/usb_arguments.h"

namespace {

constexpr int kAnswerTimeoutMs = 5000;
constexpr int kBusyTimeoutMs = 5000;  // how long a run waits for another run's exchange

constexpr std::string_view kUsage =
    "Usage: kestrow BYTE BYTE BYTE BYTE BYTE [BYTE ...]\n"
    "       kestrow [--serial SERIAL] [--device PATH] [--] BYTE BYTE BYTE BYTE BYTE [BYTE ...]\n"
    "       kestrow --list\n"
    "Sends one command to the USB power supply (HID, vendor 0483, product 5750), reads its\n"
    "answer and prints both.\n"
    "  BYTE             one hexadecimal byte of one or two characters: 0d, D, ff, -1, +7;\n"
    "                   5 to 63 of them, header and footer included\n"
    "  --list           print one line per power supply: path, serial number and product\n"
    "                   name, tab-separated; status 3 when there is none\n"
    "  --serial SERIAL  use the power supply with this serial number\n"
    "  --device PATH    use the power supply at this path, as --list prints it\n"
    "  --               end the options\n"
    "Without --serial or --device the first power supply found is used. Runs that use the\n"
    "same power supply take turns; a run waits at most 5 s for another one's exchange.\n"
    "Two supplies, serial numbers A1 and B2, each sent the same command:\n"
    "  for s in A1 B2; do kestrow --serial \"$s\" A1 B2 00 0D 0A || echo \"$s failed\"; done\n"
    "Exit status: 0 carried out, 1 command line refused,\n"
    "             2 answered with another verdict, 3 no answer (not found, busy, send or\n"
    "             receive failed), 4 the exchange ran but its report could not be written.\n";

OutputReport BuildOutputReport(const CommandBuffer& command) {
  OutputReport report{};  // report ID 0x00
  std::copy_n(command.begin(), report.size() - 1, report.begin() + 1);
  return report;
}

int ListSupplies() { return ListPowerSupplies() > 0 ? kExitSuccess : kExitNoAnswer; }

// Searches, takes the supply, writes, reads and reports; the device is closed and the
// supply given back on every path.
int ExchangeOverUsb(const UsbCommandLine& line) {
  PowerSupply supply;
  if (!FindPowerSupply(supply, line.choice)) {
    PrintMessage(texts::kSupplyNotFound);
    return kExitNoAnswer;
  }
  if (!TakeForExchange(supply, kBusyTimeoutMs)) {
    PrintMessage(texts::kSupplyBusy);
    return kExitNoAnswer;
  }
  const ParsedCommand& command = line.command;
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

int KestrowStatus(int argc, const char* const* argv) {
  if (std::optional<int> status = AnswerInfoRequest(argc, argv, "kestrow", kUsage)) return *status;
  std::optional<UsbCommandLine> line = ReadUsbCommandLine(argc, argv);
  if (!line) return kExitBadCommandLine;
  return line->list ? ListSupplies() : ExchangeOverUsb(*line);
}

}  // namespace

int RunKestrow(int argc, const char* const* argv) {
  StartConsole();
  return FinishConsole("kestrow", KestrowStatus(argc, argv));
}
