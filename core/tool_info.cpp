#include "core/tool_info.h"

#include <string>

#include "core/console.h"
#include "core/exit_status.h"

namespace {
// The second line of --version, as GNU and Debian tools give it.
constexpr char kLicenceLine[] = "License: MIT\n";
}  // namespace

std::string VersionText(std::string_view tool) { return std::string(tool) + " " DIMLINK_VERSION "\n" + kLicenceLine; }

std::optional<int> AnswerInfoRequest(int argc, const char* const* argv, std::string_view tool, std::string_view usage) {
  if (argc != 2) return std::nullopt;
  std::string_view argument = argv[1];
  if (argument == "-h" || argument == "--help") {
    WriteBytes(usage);
  } else if (argument == "--version") {
    WriteBytes(VersionText(tool));
  } else {
    return std::nullopt;
  }
  FlushConsole();
  return kExitSuccess;
}
