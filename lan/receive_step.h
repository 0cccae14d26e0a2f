// What one wait for bytes on a stream gave.
#pragma once

#include <cstddef>

struct ReceiveStep {
  enum Kind { Bytes, Closed, TimedOut, Failed } kind = Failed;
  std::size_t count = 0;  // with Bytes: how many arrived
  long error = 0;         // with TimedOut and Failed: the platform's error number
};
