#include "lib/turn_queue.h"

#include <algorithm>
#include <chrono>

bool TakeTurn(TurnQueue& turns, const Wait& wait) {
  std::unique_lock<std::mutex> lock(turns.mutex);
  std::uint64_t ticket = turns.next++;
  while (turns.serving != ticket) {
    // dimlink_interrupt may run in a signal handler, where nothing can be notified: look
    // now and then.
    if (Interrupted(wait) || WaitClock::now() >= wait.deadline) {
      turns.given_up.insert(ticket);
      return false;
    }
    turns.changed.wait_until(lock,
                             std::min(wait.deadline, WaitClock::now() + std::chrono::milliseconds(kInterruptCheckMs)));
  }
  return true;
}

void GiveTurn(TurnQueue& turns) {
  {
    std::lock_guard<std::mutex> lock(turns.mutex);
    ++turns.serving;
    while (turns.given_up.erase(turns.serving) != 0) ++turns.serving;
  }
  turns.changed.notify_all();
}
