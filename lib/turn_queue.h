// The turns of one handle's exchanges: one at a time, in the order they came, so that a
// thread exchanging back to back never keeps another out for longer than one exchange.
// A waiter gives up at the exchange's deadline or when it is interrupted, and leaves its
// place to the next.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

#include "core/wait.h"

struct TurnQueue {
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t next = 0;            // the ticket the next caller takes
  std::uint64_t serving = 0;         // the ticket whose turn it is
  std::set<std::uint64_t> given_up;  // tickets whose callers stopped waiting
};

// Waits for the caller's turn; false when the wait's deadline passed or it was
// interrupted first. A true must be followed by GiveTurn (TurnHeld does it).
bool TakeTurn(TurnQueue& turns, const Wait& wait);

// Ends the caller's turn: the next waiter's begins.
void GiveTurn(TurnQueue& turns);

// Gives the turn back on every path out of an exchange.
struct TurnHeld {
  explicit TurnHeld(TurnQueue& held) : turns(held) {}
  TurnQueue& turns;
  TurnHeld(const TurnHeld&) = delete;
  TurnHeld& operator=(const TurnHeld&) = delete;
  ~TurnHeld() { GiveTurn(turns); }
};
