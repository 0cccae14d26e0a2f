// An arbitrary command file, in any encoding, read line by line as a session reads it,
// its refusals written as JSON.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/command_file.h"
#include "core/json_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string content(reinterpret_cast<const char*>(data), size);
  CommandFile file;
  file.name = "fuzz";
  file.reader.stream = fmemopen(content.data(), content.size() + 1, "rb");  // never size 0
  file.reader.max_length = kMaxCommandLineLength;
  file.owned = true;
  if (file.reader.stream == nullptr) return 0;
  std::size_t last = 0;
  for (;;) {
    CommandFileLine line = NextCommandLine(file, 63);
    if (line.kind == CommandFileLine::End || line.kind == CommandFileLine::Failed) break;
    // Lines come in order, and a command always has 5 to 63 bytes.
    if (line.number <= last || line.kind == CommandFileLine::Skipped) std::abort();
    if (line.kind == CommandFileLine::Command && (line.command.count < 5 || line.command.count > 63)) std::abort();
    // A refusal quotes the line's bytes; as JSON it is printable ASCII all the same.
    for (char c : JsonMessage(line.refusal)) {
      if (c < 0x20 || c > 0x7E) std::abort();
    }
    last = line.number;
  }
  return 0;
}
