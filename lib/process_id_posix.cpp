#include <unistd.h>

#include "lib/process_id.h"

std::uint64_t CurrentProcessId() { return static_cast<std::uint64_t>(::getpid()); }
