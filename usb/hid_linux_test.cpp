#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "usb/hid.h"

namespace {

// Three handles of their own on a file standing in for the node (the locks are the
// system's, on any file): one that gave up waiting must not keep the next one waiting.
TEST(SupplyLock, AWaiterThatGivesUpLeavesTheLine) {
  std::string path = "/tmp/supply_lock_XXXXXX";
  ::close(::mkstemp(path.data()));
  PowerSupply handles[3];
  for (PowerSupply& handle : handles) handle.device_handle = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ::unlink(path.c_str());
  ASSERT_EQ(TakeForExchange(handles[0], 100).kind, LockOutcome::Held);
  EXPECT_EQ(TakeForExchange(handles[1], 20).kind, LockOutcome::Busy);
  ReleaseExchange(handles[0]);
  EXPECT_EQ(TakeForExchange(handles[2], 20).kind, LockOutcome::Held);
}

}  // namespace
