// The USB side of supply-sim in a build made without libfuse3: there are no simulated
// devices to serve, so --usb says why and fails as any other set-up failure does.

#include <cstdio>

#include "tools/usb_namespace.h"

int RunBesideUsbSupplies(const Options& /*options*/) {
  (void)std::fputs("supply-sim: this build has no USB simulation (built without libfuse3)\n", stderr);
  return kUsbSetupFailed;
}
