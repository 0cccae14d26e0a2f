// Arbitrary report descriptors, as a device could hand them over.

#include "usb/hid_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)UsesNumberedReports(data, size);
  (void)OutputReportBytes(data, size);
  return 0;
}
