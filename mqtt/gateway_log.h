// The gateway's log: one line per event on standard error, whole lines from any thread.
#pragma once

#include <string_view>

void LogLine(std::string_view text);
