#include "core/tool_main.h"
#include "usb/kestrow.h"

int ToolMain(int argc, const char* const* argv) { return RunKestrow(argc, argv); }
