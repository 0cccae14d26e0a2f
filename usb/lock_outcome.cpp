#include "usb/lock_outcome.h"

LockOutcome DecideWindowsLock(std::uint32_t handle_error, std::uint32_t wait_result, std::uint32_t wait_error) {
  if (handle_error != 0) return {LockOutcome::Failed, handle_error};
  switch (wait_result) {
    case kWaitObject0:
    case kWaitAbandoned:
      return {LockOutcome::Held, 0};
    case kWaitTimeout:
      return {LockOutcome::Busy, 0};
    default:  // WAIT_FAILED, or a result the wait never gives, which still names something
      return {LockOutcome::Failed, wait_error != 0 ? wait_error : wait_result};
  }
}
