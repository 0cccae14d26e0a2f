// The control socket of supply-sim --usb: the command beside the simulated devices
// unplugs and plugs them back through it while it runs.
#pragma once

#include <functional>
#include <string>

#include "tools/control_request.h"

// The environment variable that gives the command the control socket's path.
inline constexpr const char* kControlVariable = "DIMLINK_SIM_CONTROL";

// Makes a Unix stream socket at path, open to every process of the run, and listens on
// it; gives back its descriptor, or ends the run with the reason.
int ListenForControl(const std::string& path);

// Serves the listening socket on a thread of its own for the rest of the process: any
// number of connections at once, one request a line each, answered in order with what
// answer gives back ("ok" or "error: ...") or with the error for a line that is no request.
// A connection that sends without reading its answers is read no further until it does.
using ControlAnswer = std::function<std::string(const ControlRequest&)>;
void StartControlServer(int listener, ControlAnswer answer);
