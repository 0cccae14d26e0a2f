// Console output on Windows. On a console, text goes out as UTF-16 through WriteConsoleW,
// so Japanese shows whatever the console's code page. Redirected to a file or a pipe, it
// goes out as code page 932 bytes where that is the system's ANSI code page, UTF-8
// elsewhere, and raw bytes go out as they are. Values the user gave (arguments, file
// names, command-file words) are carried as UTF-8 and written in that same encoding.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <clocale>
#include <cstdio>
#include <string>

#include "core/console.h"
#include "core/exit_status.h"
#include "core/texts.h"

namespace {

HANDLE output = INVALID_HANDLE_VALUE;
bool to_console = false;
UINT redirected_code_page = CP_UTF8;
std::string pending;     // redirected output not yet written
DWORD output_error = 0;  // the first failure to write standard output
bool notes_to_standard_error = false;

// A write that reports success but takes nothing counts as a write fault.
void NoteOutputError(BOOL succeeded) {
  if (output_error == 0) output_error = succeeded ? static_cast<DWORD>(ERROR_WRITE_FAULT) : GetLastError();
}

void WriteToConsole(std::wstring_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    BOOL succeeded = WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    if (!succeeded || written == 0) {
      NoteOutputError(succeeded);
      return;
    }
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

// The system's description of an error, in the user's language, without its line end.
std::wstring SystemReason(DWORD error) {
  wchar_t* text = nullptr;
  DWORD size = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
  std::wstring reason = size != 0 ? std::wstring(text, size) : L"error " + std::to_wstring(error);
  LocalFree(text);
  while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' || reason.back() == L' ')) {
    reason.pop_back();
  }
  return reason;
}

// Standard error takes a line as standard output would: Unicode on a console, the
// output encoding when redirected.
void WriteErrorLine(std::wstring_view line) {
  HANDLE error_output = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(error_output, &mode) != 0) {
    (void)WriteConsoleW(error_output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return;
  }
  std::string bytes = Narrow(line, redirected_code_page);
  (void)WriteFile(error_output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
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
    // Bytes are hex digits, blanks, NULs, JSON and device paths: ASCII.
    WriteToConsole(Widen(bytes, CP_UTF8));
  } else {
    pending += bytes;
  }
}

void WriteUtf8(std::string_view text) { WriteText(Widen(text, CP_UTF8)); }

std::FILE* OpenFileForReading(const char* name) { return _wfopen(Widen(name, CP_UTF8).c_str(), L"rb"); }

void FlushConsole() {
  std::string_view left = pending;
  while (!left.empty()) {
    DWORD written = 0;
    BOOL succeeded = WriteFile(output, left.data(), static_cast<DWORD>(left.size()), &written, nullptr);
    if (!succeeded || written == 0) {
      NoteOutputError(succeeded);
      break;
    }
    left.remove_prefix(written);
  }
  pending.clear();
}

void UseBinaryStandardInput() { (void)_setmode(_fileno(stdin), _O_BINARY); }

void SendNotesToStandardError() { notes_to_standard_error = true; }

void WriteNote(std::string_view line) {
  if (notes_to_standard_error) {
    (void)std::fwrite(line.data(), 1, line.size(), stderr);
    (void)std::fflush(stderr);
    return;
  }
  WriteBytes(line);
  FlushConsole();
}

bool OutputLost() { return output_error != 0; }

int FinishConsole(std::string_view program, int status) {
  FlushConsole();
  if (output_error == 0) return status;
  std::wstring line = Widen(program, CP_UTF8) + Widen(texts::kCannotWriteOutput, CP_UTF8);
  line += SystemReason(output_error);
  line += L"\r\n";
  WriteErrorLine(line);
  return kExitOutputLost;
}
