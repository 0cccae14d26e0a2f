#include "usb/kestrow.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/exchange.h"
#include "core/json_report.h"
#include "core/session.h"
#include "usb/hid.h"
#include "usb/usb_arguments.h"
#include "usb/usb_exchange.h"

namespace {

constexpr int kTimeoutMs = 5000;      // for each write and for the answer
constexpr int kBusyTimeoutMs = 5000;  // how long a run waits for another run's exchange

constexpr std::string_view kUsage =
    "Usage: kestrow BYTE BYTE BYTE BYTE BYTE [BYTE ...]\n"
    "       kestrow [--serial SERIAL] [--device PATH] [--wait SECONDS] [--json] [--] BYTE BYTE BYTE BYTE BYTE [BYTE "
    "...]\n"
    "       kestrow [--serial SERIAL] [--device PATH] [--wait SECONDS] [--json] [--keep-going] --commands FILE\n"
    "       kestrow --list [--json]\n"
    "Sends one command to the USB power supply (HID, vendor 0483, product 5750), reads its\n"
    "answer and prints both.\n"
    "  BYTE             one hexadecimal byte of one or two characters: 0d, D, ff, -1, +7;\n"
    "                   5 to 63 of them, header and footer included\n"
    "  --list           print one line per power supply: path, serial number and product\n"
    "                   name, tab-separated; status 3 when there is none\n"
    "  --serial SERIAL  use the power supply with this serial number\n"
    "  --device PATH    use the power supply at this path, as --list prints it\n"
    "  --wait SECONDS   wait up to SECONDS (0 to 86400, e.g. 2.5) for the power supply\n"
    "                   to be there before the first command, and in a session before\n"
    "                   each command that finds it gone, instead of failing at once\n"
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

// The supply a run uses, found and taken at its first command and held until the run
// ends; with --wait, found again when it goes between two commands of a session.
struct UsbLink {
  SupplyHold held;
  int wait_ms = 0;
};

// The search's lines go to standard output, or with --json to standard error.
void PrintNotes(const std::string& notes) {
  if (!notes.empty()) WriteNote(notes);
}

// Finds and takes the supply for the run, at its first command.
std::optional<ExchangeResult> TakeSupply(UsbLink& link, const ParsedCommand& command) {
  std::string notes;
  std::optional<ExchangeResult> failed = WaitForHeldSupply(link.held, command, link.wait_ms, notes);
  PrintNotes(notes);
  if (failed) return failed;
  if ((failed = LockUsbSupply(link.held.supply, command, kBusyTimeoutMs))) link.held.supply = PowerSupply();
  return failed;
}

ExchangeResult ExchangeOverUsb(UsbLink& link, const ParsedCommand& command, const ReportMode& mode) {
  // Without --wait a supply gone since the last command is found gone by the write.
  if (link.wait_ms > 0) DropIfGone(link.held);
  if (!link.held.supply.open()) {
    if (std::optional<ExchangeResult> failed = TakeSupply(link, command)) return *failed;
  }
  return ExchangeWithUsbSupply(link.held.supply, command, kTimeoutMs,
                               [&mode](const ExchangeResult& result) { ReportSent(result, mode); });
}

// A field of a listing line: control characters would break the line or its columns.
std::string ListingField(std::string field) {
  std::replace_if(
      field.begin(), field.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
  return field;
}

int ListSupplies(bool json) {
  std::vector<SupplyListing> supplies = ListPowerSupplies().value_or(std::vector<SupplyListing>{});
  for (const SupplyListing& supply : supplies) {
    if (json) {
      WriteBytes(JsonListing(supply.path, supply.serial, supply.name));
    } else {
      WriteUtf8(supply.path + "\t" + ListingField(supply.serial) + "\t" + ListingField(supply.name) + "\n");
    }
  }
  FlushConsole();
  return supplies.empty() ? kExitNoAnswer : kExitSuccess;
}

int KestrowStatus(int argc, const char* const* argv) {
  if (std::optional<int> status = AnswerInfoRequest(argc, argv, "kestrow", kUsage)) return *status;
  UsbCommandLine line = ReadUsbCommandLine(argc, argv);
  if (line.json) SendNotesToStandardError();
  if (line.refused) return ReportRefusedRun(*line.refused, line.json, line.commands != nullptr);
  if (line.list) return ListSupplies(line.json);
  UsbLink link;
  link.held.choice = line.choice;
  link.wait_ms = line.wait_ms;
  return RunExchanges(
      {line.commands, line.json, line.keep_going, kMaxUsbCommandBytes}, line.command,
      [&link](const ParsedCommand& command, const ReportMode& mode) { return ExchangeOverUsb(link, command, mode); });
}

}  // namespace

int RunKestrow(int argc, const char* const* argv) {
  StartConsole();
  return FinishConsole("kestrow", KestrowStatus(argc, argv));
}
