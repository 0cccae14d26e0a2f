#include "core/wait.h"

#include <algorithm>

WaitClock::time_point StepEnd(const Wait& wait, int timeout_ms) {
  return std::min(wait.deadline, WaitClock::now() + std::chrono::milliseconds(timeout_ms));
}

bool Interrupted(const Wait& wait) {
  return wait.interrupts != nullptr && wait.interrupts->load(std::memory_order_acquire) != wait.begun;
}

int SliceMs(const Wait& wait, WaitClock::time_point end) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(end - WaitClock::now()).count();
  if (left <= 0) return 0;
  if (wait.interrupts != nullptr) left = std::min<decltype(left)>(left, kInterruptCheckMs);
  return static_cast<int>(std::min<decltype(left)>(left, 0x7FFFFFFF));
}

void SignalArrived(const Wait& wait) {
  if (wait.on_signal != nullptr) wait.on_signal(wait.context);
}
