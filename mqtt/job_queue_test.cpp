#include "mqtt/job_queue.h"

#include <gtest/gtest.h>

#include "mqtt/held_messages.h"
#include "mqtt/transaction_history.h"

namespace {

Job JobNamed(std::string name, Clock::time_point deadline) {
  Job job;
  job.transaction = std::move(name);
  job.deadline = deadline;
  return job;
}

TEST(JobQueue, HoldsAtMost256AndGivesThemInOrder) {
  JobQueue queue;
  auto later = Clock::now() + std::chrono::hours(1);
  for (size_t k = 0; k < kMaxWaitingJobs; ++k) {
    Job job = JobNamed(std::to_string(k), later);
    ASSERT_TRUE(PushJob(queue, job));
  }
  Job extra = JobNamed("extra", later);
  EXPECT_FALSE(PushJob(queue, extra));
  EXPECT_EQ(extra.transaction, "extra");  // left to be answered "queue-full"
  EXPECT_EQ(PopJob(queue)->transaction, "0");
  EXPECT_TRUE(PushJob(queue, extra));
  EXPECT_EQ(TakeAllJobs(queue, true).back().transaction, "extra");
  EXPECT_FALSE(PopJob(queue));
  extra = JobNamed("closed", later);
  EXPECT_FALSE(PushJob(queue, extra));
}

TEST(JobQueue, TakesOutOnlyTheExpiredKeepingTheRestInOrder) {
  JobQueue queue;
  auto now = Clock::now();
  for (auto [name, offset] : {std::pair{"a", -1}, {"b", 5}, {"c", -2}, {"d", 0}, {"e", 9}}) {
    Job job = JobNamed(name, now + std::chrono::seconds(offset));
    PushJob(queue, job);
  }
  std::vector<Job> expired = TakeExpiredJobs(queue, now);
  ASSERT_EQ(expired.size(), 3U);
  EXPECT_EQ(expired[0].transaction, "a");
  EXPECT_EQ(expired[1].transaction, "c");
  EXPECT_EQ(expired[2].transaction, "d");
  EXPECT_EQ(PopJob(queue)->transaction, "b");
  EXPECT_EQ(PopJob(queue)->transaction, "e");
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
  std::string mib(1024 * 1024, 'x');
  for (int k = 0; k < 16; ++k) EXPECT_EQ(HoldMessage(big, {"t", mib, ""}), k < 15 ? 0U : 1U);
  EXPECT_EQ(big.messages.size(), 15U);
  EXPECT_LE(big.bytes, kMaxHeldBytes);
}

}  // namespace
