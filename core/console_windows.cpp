// Console output on Windows. On a console, text goes out as UTF-16 through WriteConsoleW,
// so Japanese shows whatever the console's code page. Redirected to a file or a pipe, it
// goes out as code page 932 bytes where that is the system's ANSI code page, UTF-8
// elsewhere, and raw bytes go out as they are.

#include <windows.h>

#include <clocale>
#include <string>

#include "core/console.h"

namespace {

HANDLE output = INVALID_HANDLE_VALUE;
bool to_console = false;
UINT redirected_code_page = CP_UTF8;
std::string pending;  // redirected output not yet written

void WriteToConsole(std::wstring_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    if (!WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

std::wstring Widen(std::string_view bytes, UINT code_page) {
  if (bytes.empty()) return {};
  int size = MultiByteToWideChar(code_page, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(code_page, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), size);
  return wide;
}

std::string Narrow(std::wstring_view text, UINT code_page) {
  if (text.empty()) return {};
  int size =
      WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
  return bytes;
}

}  // namespace

void StartConsole() {
  (void)std::setlocale(LC_ALL, "");
  output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  to_console = GetConsoleMode(output, &mode) != 0;
  redirected_code_page = GetACP() == 932 ? 932 : CP_UTF8;
}

void WriteText(std::wstring_view text) {
  if (to_console) {
    WriteToConsole(text);
  } else {
    pending += Narrow(text, redirected_code_page);
  }
}

void WriteBytes(std::string_view bytes) {
  if (to_console) {
    // Bytes are hex digits, blanks, NULs and arguments as typed, in the ANSI code page.
    WriteToConsole(Widen(bytes, CP_ACP));
  } else {
    pending += bytes;
  }
}

void FlushConsole() {
  std::string_view left = pending;
  while (!left.empty()) {
    DWORD written = 0;
    if (!WriteFile(output, left.data(), static_cast<DWORD>(left.size()), &written, nullptr) || written == 0) break;
    left.remove_prefix(written);
  }
  pending.clear();
}
