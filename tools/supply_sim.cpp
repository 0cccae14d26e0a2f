// supply-sim: a simulated power supply, for trying the tools and testing scripts without
// hardware. It answers each command the way the power supply does, or misbehaves in one
// of the ways a real unit, its USB link or the network can: on TCP for the LAN tool, or
// as USB HID devices beside a command it runs for the USB tool.

#include <cstdio>
#include <cstdlib>

#include "tools/supply_log.h"
#include "tools/supply_options.h"
#include "tools/supply_tcp.h"
#include "tools/usb_namespace.h"

int main(int argc, char** argv) {
  Options options = ReadOptions(argc, argv);
  int status = 0;
  if (options.usb) {
    status = RunBesideUsbSupplies(options);
  } else {
    FinishLogOnEndingSignals();
    OpenLog(options.log_path, false);
    status = ServeTcp(options);
  }
  (void)FinishLog();
  // The node server's and the log's threads are still running: leave without tearing
  // anything down under them.
  (void)std::fflush(nullptr);
  std::_Exit(status);
}
