#include "lan/morvish.h"

#include "core/exchange.h"
#include "core/session.h"
#include "lan/lan_arguments.h"
#include "lan/tcp_exchange.h"

namespace {

constexpr int kTimeoutMs = 5000;  // for the connect, the send and the first byte of the answer

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

int MorvishStatus(int argc, const char* const* argv) {
  if (std::optional<int> status = AnswerInfoRequest(argc, argv, "morvish", kUsage)) return *status;
  LanCommandLine line = ReadLanCommandLine(argc, argv);
  if (line.refused) return ReportRefusedRun(*line.refused, line.json, line.commands != nullptr);
  return RunExchanges({line.commands, line.json, line.keep_going, kMaxLanCommandBytes}, line.command,
                      [&line](const ParsedCommand& command, const ReportMode& mode) {
                        return ExchangeOverTcp(line.address, command, kTimeoutMs,
                                               [&mode](const ExchangeResult& sent) { ReportSent(sent, mode); });
                      });
}

}  // namespace

int RunMorvish(int argc, const char* const* argv) {
  StartConsole();
  return FinishConsole("morvish", MorvishStatus(argc, argv));
}
