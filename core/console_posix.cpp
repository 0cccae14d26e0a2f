#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "core/console.h"
#include "core/exit_status.h"
#include "core/texts.h"
#include "core/utf8.h"

namespace {

bool use_locale_encoding = false;
bool notes_to_standard_error = false;
int output_error = 0;  // the first failure to write standard output, as errno gave it

void NoteOutputError(int error) {
  if (output_error == 0) output_error = error != 0 ? error : EIO;
}

// A closed standard stream would hand its number to the next file the tool opens, the
// device node or the socket, and the report would be written there. The root directory,
// opened read-only (it is there even where /dev is not), takes the number instead:
// writes to it still fail, as on the closed stream.
void HoldClosedStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int held = ::open("/", O_RDONLY | O_DIRECTORY);
    if (held >= 0 && held != fd) {
      (void)::dup2(held, fd);
      (void)::close(held);
    }
  }
}

// Converts through the selected locale; false when a character has no encoding there.
bool EncodeForLocale(std::wstring_view text, std::string& out) {
  std::mbstate_t state{};
  char bytes[MB_LEN_MAX];
  for (wchar_t c : text) {
    std::size_t n = std::wcrtomb(bytes, c, &state);
    if (n == static_cast<std::size_t>(-1)) return false;
    out.append(bytes, n);
  }
  // A stateful encoding returns to its initial shift state at the end of each text.
  std::size_t n = std::wcrtomb(bytes, L'\0', &state);
  if (n == static_cast<std::size_t>(-1)) return false;
  if (n > 0) out.append(bytes, n - 1);
  return true;
}

bool LocaleEncodesAllTexts() {
  std::string scratch;
  for (std::wstring_view text : texts::kAll) {
    if (!EncodeForLocale(text, scratch)) return false;
  }
  return true;
}

}  // namespace

void StartConsole() {
  HoldClosedStandardStreams();
  // Only character conversion depends on the locale here, so the other categories are
  // not loaded at every start. Without a usable locale the C locale stays, and the texts
  // go out as UTF-8.
  (void)std::setlocale(LC_CTYPE, "");
  // A UTF-8 locale encodes everything, and the own encoder gives the same bytes without
  // converting every text once at start-up.
  use_locale_encoding = std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0 && LocaleEncodesAllTexts();
}

void WriteText(std::wstring_view text) {
  std::string out;
  if (!use_locale_encoding || !EncodeForLocale(text, out)) {
    out.clear();
    for (wchar_t c : text) AppendUtf8(out, static_cast<char32_t>(c));
  }
  WriteBytes(out);
}

void WriteBytes(std::string_view bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) NoteOutputError(errno);
}

// Device names and strings on Linux are bytes, written as the system gave them.
void WriteUtf8(std::string_view text) { WriteBytes(text); }

std::FILE* OpenFileForReading(const char* name) { return std::fopen(name, "rb"); }

void FlushConsole() {
  if (std::fflush(stdout) != 0) NoteOutputError(errno);
}

void UseBinaryStandardInput() {}

void SendNotesToStandardError() { notes_to_standard_error = true; }

void WriteNote(std::string_view line) {
  if (notes_to_standard_error) {
    (void)std::fwrite(line.data(), 1, line.size(), stderr);
    return;
  }
  WriteBytes(line);
  FlushConsole();
}

bool OutputLost() { return output_error != 0; }

int FinishConsole(std::string_view program, int status) {
  FlushConsole();
  if (output_error == 0) return status;
  std::string line(program);
  line += texts::kCannotWriteOutput;
  line += std::strerror(output_error);
  line += '\n';
  (void)std::fputs(line.c_str(), stderr);
  return kExitOutputLost;
}
