// The arguments come as UTF-16 (wmain), so that a file name or a serial number outside
// the ANSI code page survives; the tools carry them as UTF-8.

#include <windows.h>

#include <string>
#include <vector>

#include "core/tool_main.h"

namespace {

std::string Utf8(const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), size, nullptr, nullptr);
  bytes.pop_back();  // the NUL the count includes
  return bytes;
}

}  // namespace

extern "C" int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int k = 0; k < argc; ++k) arguments.push_back(Utf8(argv[k]));
  std::vector<const char*> pointers(arguments.size() + 1, nullptr);
  for (std::size_t k = 0; k < arguments.size(); ++k) pointers[k] = arguments[k].c_str();
  return ToolMain(argc, pointers.data());
}
