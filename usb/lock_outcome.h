// What taking a supply's exchange lock came to, and, on Windows, how the system's answers
// to making the lock and waiting for it decide that. Plain numbers, so that the decision
// is the same code and the same test on every platform.
#pragma once

#include <cstdint>

struct LockOutcome {
  enum Kind {
    Held,    // this run holds the supply until it gives it back
    Busy,    // another holder kept it for the whole wait
    Failed,  // the lock cannot be had at all: nothing may be sent
  } kind = Held;
  std::uint32_t error = 0;  // the system's error number, when Failed
};

// The Windows wait results, as numbers.
inline constexpr std::uint32_t kWaitObject0 = 0x00000000;
inline constexpr std::uint32_t kWaitAbandoned = 0x00000080;
inline constexpr std::uint32_t kWaitTimeout = 0x00000102;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;

// Decides the lock from the error that making or opening the mutex ended with (0 when a
// handle was had; then the wait was not made and its inputs are not read), the wait's
// result and the error the wait left behind. A mutex whose last holder ended without
// giving it back is held all the same; anything but a hold or a time-out is a failure,
// never an unlocked exchange.
LockOutcome DecideWindowsLock(std::uint32_t handle_error, std::uint32_t wait_result, std::uint32_t wait_error);
