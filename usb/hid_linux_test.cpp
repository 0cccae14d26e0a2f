#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "usb/hid.h"

namespace {

// A file standing in for the node: the locks are the system's, on any file, and each
// handle has an open file of its own, as runs and library handles do.
struct Node {
  std::string path = "/tmp/supply_lock_XXXXXX";
  Node() { ::close(::mkstemp(path.data())); }
  ~Node() { ::unlink(path.c_str()); }
  PowerSupply Open() const {
    PowerSupply supply;
    supply.device_handle = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    return supply;
  }
};

// Whether someone waits in line: the first byte is locked.
bool SomeoneWaits(const Node& node) {
  PowerSupply probe = node.Open();
  struct flock first {};
  first.l_type = F_WRLCK;
  first.l_len = 1;
  return ::fcntl(static_cast<int>(probe.device_handle), F_OFD_GETLK, &first) == 0 && first.l_type != F_UNLCK;
}

TEST(SupplyLock, AWaiterGoesBeforeAHolderThatComesBack) {
  Node node;
  PowerSupply holder = node.Open();
  PowerSupply waiter = node.Open();
  ASSERT_EQ(TakeForExchange(holder, 100).kind, LockOutcome::Held);
  auto waiter_took = std::async(std::launch::async, [&waiter] {
    LockOutcome lock = TakeForExchange(waiter, 10000);
    auto took = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ReleaseExchange(waiter);
    return std::make_pair(lock.kind, took);
  });
  for (int k = 0; k < 1000 && !SomeoneWaits(node); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ReleaseExchange(holder);
  ASSERT_EQ(TakeForExchange(holder, 10000).kind, LockOutcome::Held);
  auto holder_took = std::chrono::steady_clock::now();
  ReleaseExchange(holder);
  auto [kind, took] = waiter_took.get();
  EXPECT_EQ(kind, LockOutcome::Held);
  EXPECT_LT(took, holder_took);
}

TEST(SupplyLock, AWaiterThatGivesUpLeavesTheLine) {
  Node node;
  PowerSupply holder = node.Open();
  PowerSupply gave_up = node.Open();
  PowerSupply next = node.Open();
  ASSERT_EQ(TakeForExchange(holder, 100).kind, LockOutcome::Held);
  EXPECT_EQ(TakeForExchange(gave_up, 20).kind, LockOutcome::Busy);
  ReleaseExchange(holder);
  EXPECT_EQ(TakeForExchange(next, 20).kind, LockOutcome::Held);
}

}  // namespace
