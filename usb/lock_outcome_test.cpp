#include "usb/lock_outcome.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

TEST(WindowsLock, OnlyAHoldOrATimeOutLetsTheRunGoOn) {
  struct Row {
    std::uint32_t handle_error, wait_result, wait_error;
    LockOutcome::Kind kind;
    std::uint32_t error;
  };
  const Row rows[] = {
      {0, kWaitObject0, 0, LockOutcome::Held, 0},
      {0, kWaitAbandoned, 0, LockOutcome::Held, 0},  // the last holder died
      {0, kWaitTimeout, 0, LockOutcome::Busy, 0},
      {0, kWaitFailed, 6, LockOutcome::Failed, 6},   // ERROR_INVALID_HANDLE
      {5, kWaitObject0, 0, LockOutcome::Failed, 5},  // ERROR_ACCESS_DENIED: made by another user
  };
  for (const Row& row : rows) {
    LockOutcome got = DecideWindowsLock(row.handle_error, row.wait_result, row.wait_error);
    EXPECT_EQ(std::pair(got.kind, got.error), std::pair(row.kind, row.error))
        << row.handle_error << " " << row.wait_result;
  }
}

}  // namespace
