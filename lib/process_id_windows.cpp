#include <windows.h>

#include "lib/process_id.h"

std::uint64_t CurrentProcessId() { return GetCurrentProcessId(); }
