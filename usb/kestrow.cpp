#include "usb/kestrow.h"

#include <algorithm>

#include "core/exchange.h"
#include "core/session.h"
#include "usb/hid.h"
#include "usb/usb_arguments.h"

namespace {

constexpr int kAnswerTimeoutMs = 5000;
constexpr int kBusyTimeoutMs = 5000;  // how long a run waits for another run's exchange

constexpr std::string_view kUsage =
    "Usage: kestrow BYTE BYTE BYTE BYTE BYTE [BYTE ...]\n"
    "       kestrow [--serial SERIAL] [--device PATH] [--json] [--] BYTE BYTE BYTE BYTE BYTE [BYTE ...]\n"
    "       kestrow [--serial SERIAL] [--device PATH] [--json] [--keep-going] --commands FILE\n"
    "       kestrow --list [--json]\n"
    "Sends one command to the USB power supply (HID, vendor 0483, product 5750), reads its\n"
    "answer and prints both.\n"
    "  BYTE             one hexadecimal byte of one or two characters: 0d, D, ff, -1, +7;\n"
    "                   5 to 63 of them, header and footer included\n"
    "  --list           print one line per power supply: path, serial number and product\n"
    "                   name, tab-separated; status 3 when there is none\n"
    "  --serial SERIAL  use the power supply with this serial number\n"
    "  --device PATH    use the power supply at this path, as --list prints it\n"
    "  --json           print one JSON object per exchange on a line of its own, in ASCII:\n"
    "                   command, sent, answer, raw, verdict, message, status, error (and\n"
    "                   line in a session); with --list: path, serial, name\n"
    "  --commands FILE  a session: send each line's command in turn (FILE - is standard\n"
    "                   input); bytes as above, separated by blanks or tabs, # begins a\n"
    "                   comment; stops at the first status other than 0\n"
    "  --keep-going     in a session, go on after statuses 1 and 2 (never after 3)\n"
    "  --               end the options\n"
    "Without --serial or --device the first power supply found is used. Runs that use the\n"
    "same power supply take turns; a run waits at most 5 s for another one's exchange. A\n"
    "session holds its supply from its first command to its end.\n"
    "Two supplies, serial numbers A1 and B2, each sent the same command:\n"
    "  for s in A1 B2; do kestrow --serial \"$s\" A1 B2 00 0D 0A || echo \"$s failed\"; done\n"
    "Exit status: 0 carried out, 1 command line refused,\n"
    "             2 answered with another verdict, 3 no answer (not found, busy, send or\n"
    "             receive failed), 4 the exchange ran but its report could not be written;\n"
    "             a session ends with the first status other than 0.\n";

OutputReport BuildOutputReport(const CommandBuffer& command) {
  OutputReport report{};  // report ID 0x00
  std::copy_n(command.begin(), report.size() - 1, report.begin() + 1);
  return report;
}

// The supply a run uses, found and taken at its first command and held until the run
// ends.
struct UsbLink {
  SupplyChoice choice;
  PowerSupply supply;
};

// Finds and takes the supply on the first call; throws away waiting reports on later ones.
std::optional<ExchangeResult> MakeReady(UsbLink& link) {
  namespace keys = texts::keys;
  if (link.supply.open()) {
    DiscardWaitingReports(link.supply);
    return std::nullopt;
  }
  if (!FindPowerSupply(link.supply, link.choice))
    return Failure(keys::kNotFound, {texts::kSupplyNotFound, {}}, kExitNoAnswer);
  if (!TakeForExchange(link.supply, kBusyTimeoutMs)) {
    link.supply = PowerSupply();  // a run that never got its turn holds nothing
    return Failure(keys::kBusy, {texts::kSupplyBusy, {}}, kExitNoAnswer);
  }
  return std::nullopt;
}

// The report's bytes after its ID, without the zero bytes that pad it.
void KeepRaw(const InputReport& input, ExchangeResult& result) {
  auto last = std::find_if(input.rbegin(), input.rend() - 1, [](std::uint8_t byte) { return byte != 0; });
  result.raw_length = static_cast<std::size_t>(input.rend() - 1 - last);
  std::copy_n(input.begin() + 1, result.raw_length, result.raw.begin());
}

// Writes, reads and judges one command; the supply stays open for the next.
ExchangeResult Exchange(UsbLink& link, const ParsedCommand& command, const ReportMode& mode) {
  namespace keys = texts::keys;
  if (std::optional<ExchangeResult> failed = MakeReady(link)) return *failed;
  if (!WriteOutputReport(link.supply, BuildOutputReport(command.bytes))) {
    return Failure(keys::kSendFailed, {texts::kUsbSendFailed, {}}, kExitNoAnswer);
  }
  ExchangeResult result;
  result.command = command;
  result.sent = true;
  ReportSent(result, mode);

  InputReport input{};
  if (!ReadInputReport(link.supply, input, kAnswerTimeoutMs)) {
    result.verdict = keys::kReceiveFailed;
    result.message = {texts::kUsbReceiveFailed, {}};
    result.status = kExitNoAnswer;
    return result;
  }
  std::copy(input.begin() + 1, input.end(), result.answer.begin());
  KeepRaw(input, result);
  JudgeAnswer(command, result);
  return result;
}

ExchangeResult ExchangeOverUsb(UsbLink& link, const ParsedCommand& command, const ReportMode& mode) {
  ExchangeResult result = Exchange(link, command, mode);
  result.command = command;
  return result;
}

int ListSupplies(bool json) { return ListPowerSupplies(json) > 0 ? kExitSuccess : kExitNoAnswer; }

int KestrowStatus(int argc, const char* const* argv) {
  if (std::optional<int> status = AnswerInfoRequest(argc, argv, "kestrow", kUsage)) return *status;
  UsbCommandLine line = ReadUsbCommandLine(argc, argv);
  if (line.json) SendNotesToStandardError();
  if (line.refused) return ReportRefusedRun(*line.refused, line.json, line.commands != nullptr);
  if (line.list) return ListSupplies(line.json);
  UsbLink link{line.choice, PowerSupply()};
  return RunExchanges(
      {line.commands, line.json, line.keep_going, kMaxUsbCommandBytes}, line.command,
      [&link](const ParsedCommand& command, const ReportMode& mode) { return ExchangeOverUsb(link, command, mode); });
}

}  // namespace

int RunKestrow(int argc, const char* const* argv) {
  StartConsole();
  return FinishConsole("kestrow", KestrowStatus(argc, argv));
}
