#include "core/tool_main.h"
#include "lan/morvish.h"

int ToolMain(int argc, const char* const* argv) { return RunMorvish(argc, argv); }
