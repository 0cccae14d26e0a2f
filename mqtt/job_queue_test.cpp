#include "mqtt/job_queue.h"

#include <gtest/gtest.h>

#include "mqtt/held_messages.h"
#include "mqtt/transaction_history.h"

namespace {

// Queues jobs named by their seconds to the deadline from now; gives back the names of
// those refused.
std::string Push(JobQueue& queue, Clock::time_point now, std::initializer_list<int> offsets) {
  std::string refused;
  for (int offset : offsets) {
    Job job;
    job.transaction = std::to_string(offset);
    job.deadline = now + std::chrono::seconds(offset);
    if (!PushJob(queue, job)) refused += job.transaction.value_or("taken") + " ";
  }
  return refused;
}

std::string Names(const std::vector<Job>& jobs) {
  std::string names;
  for (const Job& job : jobs) names += *job.transaction + " ";
  return names;
}

TEST(JobQueue, HoldsAtMost256InOrderAndTakesOutTheExpired) {
  JobQueue queue;
  auto now = Clock::now();
  EXPECT_EQ(Push(queue, now, {-1, 5, -2, 0, 9}), "");
  EXPECT_EQ(Names(TakeExpiredJobs(queue, now)), "-1 -2 0 ");
  EXPECT_EQ(PopJob(queue)->transaction, "5");
  for (size_t k = 1; k < kMaxWaitingJobs; ++k) Push(queue, now, {1});
  EXPECT_EQ(Push(queue, now, {7, 8}), "7 8 ");  // left untouched, to be answered "queue-full"
  EXPECT_EQ(Names(TakeAllJobs(queue, true)).substr(0, 4), "9 1 ");
  EXPECT_FALSE(PopJob(queue));
  EXPECT_EQ(Push(queue, now, {3}), "3 ");
}

TEST(TransactionHistory, RemembersTheLast1000) {
  TransactionHistory history;
  for (size_t k = 0; k <= kRememberedTransactions; ++k)
    RememberTransaction(history, std::to_string(k), "r" + std::to_string(k));
  EXPECT_FALSE(EarlierResult(history, "0"));
  EXPECT_EQ(EarlierResult(history, "1"), "r1");
  RememberTransaction(history, "1", "again");  // the same one again takes no new place
  EXPECT_EQ(history.order.size(), kRememberedTransactions);
  EXPECT_EQ(EarlierResult(history, "1000"), "r1000");
}

TEST(HeldMessages, DropsTheOldestPastEitherLimit) {
  HeldMessages held;
  size_t dropped = 0;
  for (size_t k = 0; k < kMaxHeldMessages + 3; ++k) dropped += HoldMessage(held, {"t", std::to_string(k), ""});
  EXPECT_EQ(dropped, 3U);
  EXPECT_EQ(TakeHeldMessage(held).payload, "3");

  HeldMessages big;
  std::string mib(size_t{1024} * 1024, 'x');
  for (int k = 0; k < 16; ++k) EXPECT_EQ(HoldMessage(big, {"t", mib, ""}), k < 15 ? 0U : 1U);
  EXPECT_EQ(big.messages.size(), 15U);
  EXPECT_LE(big.bytes, kMaxHeldBytes);
}

}  // namespace
