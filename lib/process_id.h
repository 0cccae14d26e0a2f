// Which process is running: a handle belongs to the process that opened it, so a child
// made by fork() is refused instead of sharing its parent's device and lock.
#pragma once

#include <cstdint>

std::uint64_t CurrentProcessId();
