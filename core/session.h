// A session (--commands): the commands of a command file exchanged one after another in
// one run, each reported as soon as it ends.
#pragma once

#include <cstddef>
#include <functional>

#include "core/exchange_result.h"
#include "core/report.h"

struct SessionOptions {
  const char* path = "-";  // the command file, "-" for standard input; nullptr for none
  bool json = false;
  bool keep_going = false;  // go on after statuses 1 and 2
  std::size_t max_bytes = 0;
};

// Exchanges one command and gives back what came of it; calls ReportSent once the
// command has gone out.
using ExchangeStep = std::function<ExchangeResult(const ParsedCommand& command, const ReportMode& mode)>;

// Opens the command file, then exchanges and reports its lines in order, each as soon as
// it has been read whole. Stops at the first status that is not 0, or with keep_going
// at the first status 3 (the supply unreachable), and once a report could not be
// written; a refused line sends nothing. Gives
// back 0 when every exchange was carried out, else the first other status. A file that
// cannot be opened is refused (status 1) before exchange is ever called.
int RunSession(const SessionOptions& options, const ExchangeStep& exchange);

// A run's exchanges: the session of options.path when it is set, else the one command
// given, reported as options.json asks. Gives back the run's status.
int RunExchanges(const SessionOptions& options, const ParsedCommand& command, const ExchangeStep& exchange);

// Reports a run refused before it began (its command line) as a one-command run or a
// session does, and gives back its status.
int ReportRefusedRun(const Message& message, bool json, bool session);
