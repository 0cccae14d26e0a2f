// The command beside the simulated supplies runs under an init of supply-sim's own, the
// first process of a PID namespace made for the run. When that init ends, the kernel ends
// every process left in the namespace, wherever it has gone (another mount namespace, a
// session of its own), and the init ends with supply-sim however supply-sim ends, SIGKILL
// included. So nothing the command started outlives the run.
#pragma once

#include <string>
#include <vector>

// Blocks the signals that are passed on to the command, in this thread and so in every
// thread started after it, and ignores SIGPIPE; keeps what they were for the command.
// Call before any thread starts. Signals that come during set-up wait until the command
// has started.
void HoldSignals();

// Runs the command under the init and gives back supply-sim's exit status: the command's
// own, 128+N when signal N ended it, 126 or 127 when it could not be run, 125 when the
// run could not be set up. The catchable signals that reach supply-sim (HUP INT QUIT USR1
// USR2 ALRM TERM) are passed on to the command meanwhile. The command's view of the
// mounts follows supply-sim's shared ones, and never changes them back; the mount at
// hidden is supply-sim's alone. No thread can start in the process after this.
int RunUnderInit(const std::vector<std::string>& command, const std::string& hidden);
