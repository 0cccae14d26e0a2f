#include "usb/lock_outcome.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kInvalidHandle = 6;

struct Row {
  std::uint32_t handle_error, wait_result, wait_error;
  LockOutcome::Kind kind;
  std::uint32_t error;
};

TEST(WindowsLock, OnlyAHoldOrATimeOutLetsTheRunGoOn) {
  const Row rows[] = {
      {0, kWaitObject0, 0, LockOutcome::Held, 0},
      {0, kWaitAbandoned, 0, LockOutcome::Held, 0},  // the last holder died
      {0, kWaitTimeout, 0, LockOutcome::Busy, 0},
      {0, kWaitFailed, kInvalidHandle, LockOutcome::Failed, kInvalidHandle},
      {kAccessDenied, kWaitObject0, 0, LockOutcome::Failed, kAccessDenied},  // made by another user
      {0, 0x3F, 0, LockOutcome::Failed, 0x3F},
  };
  for (const Row& row : rows) {
    LockOutcome got = DecideWindowsLock(row.handle_error, row.wait_result, row.wait_error);
    EXPECT_EQ(got.kind, row.kind) << row.handle_error << " " << row.wait_result;
    EXPECT_EQ(got.error, row.error) << row.handle_error << " " << row.wait_result;
  }
}

}  // namespace
