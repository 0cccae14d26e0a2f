// An arbitrary argument, cut at its first NUL as a command line would be.

#include <cstdlib>
#include <string>

#include "core/command_bytes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string argument(reinterpret_cast<const char*>(data), size);
  argument.resize(argument.find('\0') == std::string::npos ? size : argument.find('\0'));
  std::optional<std::uint8_t> byte = ConvertCommandByte(argument.c_str());
  if (!byte) return 0;
  // Accepted only when short and read whole by the C library.
  char* end = nullptr;
  long value = std::strtol(argument.c_str(), &end, 16);
  if (argument.empty() || argument.size() > 2 || *end != '\0' || static_cast<std::uint8_t>(value & 0xFF) != *byte) {
    std::abort();
  }
  return 0;
}
