#include "core/session.h"

#include "core/command_file.h"
#include "core/console.h"
#include "core/exit_status.h"

namespace {

ExchangeResult RefusedLine(const CommandFileLine& line) {
  ExchangeResult result = RefusedCommand(line.refusal);
  result.error = line.error;
  return result;
}

bool GoesOn(int status, bool keep_going) { return status == kExitSuccess || (keep_going && status != kExitNoAnswer); }

}  // namespace

int RunSession(const SessionOptions& options, const ExchangeStep& exchange) {
  ReportMode mode{options.json, true, 0};
  CommandFile file;
  if (std::optional<CommandFileLine> refused = OpenCommandFile(file, options.path)) {
    ReportEnd(RefusedLine(*refused), mode);
    return kExitBadCommandLine;
  }
  int first_failure = kExitSuccess;
  for (;;) {
    CommandFileLine line = NextCommandLine(file, options.max_bytes);
    if (line.kind == CommandFileLine::End) break;
    mode.line = line.number;
    ExchangeResult result = line.kind == CommandFileLine::Command ? exchange(line.command, mode) : RefusedLine(line);
    ReportEnd(result, mode);
    if (first_failure == kExitSuccess) first_failure = result.status;
    if (line.kind == CommandFileLine::Failed || !GoesOn(result.status, options.keep_going) || OutputLost()) break;
  }
  return first_failure;
}

int RunExchanges(const SessionOptions& options, const ParsedCommand& command, const ExchangeStep& exchange) {
  if (options.path != nullptr) return RunSession(options, exchange);
  ReportMode mode{options.json, false, 0};
  ExchangeResult result = exchange(command, mode);
  ReportEnd(result, mode);
  return result.status;
}

int ReportRefusedRun(const Message& message, bool json, bool session) {
  ReportEnd(RefusedCommand(message), ReportMode{json, session && json, 0});
  return kExitBadCommandLine;
}
