// The exchange core shared by both tools: command bytes from the command line, the
// power supply's answer layout and verdicts, and the exchange report.
#pragma once

#include "core/answer_layout.h"
#include "core/command_bytes.h"
#include "core/command_line.h"
#include "core/console.h"
#include "core/exit_status.h"
#include "core/report.h"
#include "core/texts.h"
#include "core/tool_info.h"
