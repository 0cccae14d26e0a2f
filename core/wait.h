// How long one exchange may wait, and how another thread or a signal ends its waits.
// The tools wait step by step with no more than each step's own time-out; the library
// gives a whole exchange one deadline and lets dimlink_interrupt end it, so every wait
// of an exchange watches both.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

using WaitClock = std::chrono::steady_clock;

// What an exchange's waits watch; the default is the tools': no deadline beyond each
// step's time-out, nothing that interrupts.
struct Wait {
  WaitClock::time_point deadline = WaitClock::time_point::max();
  // The handle's interrupt count, and what it was when the exchange began: an exchange
  // ends once the count has moved on.
  const std::atomic<std::uint32_t>* interrupts = nullptr;
  std::uint32_t begun = 0;
  // Told on the waiting thread when a signal broke a wait, before it goes on.
  void (*on_signal)(void* context) = nullptr;
  void* context = nullptr;
};

// Waits that can be interrupted wake at least this often to look.
inline constexpr int kInterruptCheckMs = 50;

// The end of a step allowed timeout_ms: never past the exchange's deadline.
WaitClock::time_point StepEnd(const Wait& wait, int timeout_ms);

// Whether dimlink_interrupt was called for the handle since the exchange began.
bool Interrupted(const Wait& wait);

// The next slice of a wait that ends at end, in milliseconds: at most
// kInterruptCheckMs where the wait can be interrupted; 0 once end has passed.
int SliceMs(const Wait& wait, WaitClock::time_point end);

// A wait was broken by a signal: tells the hook, if there is one.
void SignalArrived(const Wait& wait);
