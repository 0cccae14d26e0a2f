// The program's entry point is the platform's (tool_main_posix.cpp, tool_main_windows.cpp);
// it hands the arguments to the tool's ToolMain, UTF-8 on Windows whatever the code page,
// as the system gives them elsewhere.
#pragma once

// Runs the tool; each tool's executable defines it. Gives back the exit status.
int ToolMain(int argc, const char* const* argv);
