// Arbitrary uevent texts.

#include <cstdlib>
#include <string_view>

#include "usb/hid_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<HidIdentifiers> ids = ParseHidUevent(text);
  if (ids && text.find("HID_ID=") == std::string_view::npos) std::abort();
  return 0;
}
