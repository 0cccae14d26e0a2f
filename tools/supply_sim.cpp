// supply-sim: a simulated power supply, for trying the tools and testing scripts without
// hardware. It answers each command the way the power supply does, or misbehaves in one
// of the ways a real unit, its USB link or the network can: on TCP for the LAN tool, or
// as USB HID devices beside a command it runs for the USB tool.

#include <cstdio>
#include <cstdlib>

#include "tools/supply_answer.h"
#include "tools/supply_options.h"
#include "tools/supply_tcp.h"
#include "tools/usb_namespace.h"

int main(int argc, char** argv) {
  Options options = ReadOptions(argc, argv);
  if (!options.usb) {
    OpenLog(options.log_path, false);
    return ServeTcp(options);
  }
  int status = RunBesideUsbSupplies(options);
  // The node server's thread is still serving: leave without tearing anything down under it.
  (void)std::fflush(nullptr);
  std::_Exit(status);
}
