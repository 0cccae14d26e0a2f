// The informational calls every tool answers: -h/--help and --version.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// When the only argument asks for help or the version, prints it and gives back the
// exit status (0); otherwise gives back nothing and prints nothing.
std::optional<int> AnswerInfoRequest(int argc, const char* const* argv, std::string_view tool, std::string_view usage);

// "TOOL VERSION" and the licence, each on a line of its own, as --version prints them.
std::string VersionText(std::string_view tool);
