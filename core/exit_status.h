// What a tool's exit status tells its caller.
#pragma once

enum ExitStatus : int {
  kExitSuccess = 0,         // an answer came and the power supply carried the command out
  kExitBadCommandLine = 1,  // the command line was refused, or the tool could not start
  kExitNotCarriedOut = 2,   // an answer came with any other verdict
  kExitNoAnswer = 3,        // no answer was had: no device, no connection, send or receive failed
  kExitOutputLost = 4,      // the exchange ran but its report could not be written
};
