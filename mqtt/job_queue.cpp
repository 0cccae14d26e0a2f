#include "mqtt/job_queue.h"

#include <algorithm>

bool PushJob(JobQueue& queue, Job& job) {
  {
    std::lock_guard lock(queue.mutex);
    if (queue.closed || queue.jobs.size() >= kMaxWaitingJobs) return false;
    queue.jobs.push_back(std::move(job));
  }
  queue.ready.notify_one();
  return true;
}

std::optional<Job> PopJob(JobQueue& queue) {
  std::unique_lock lock(queue.mutex);
  queue.ready.wait(lock, [&] { return queue.closed || !queue.jobs.empty(); });
  if (queue.closed) return std::nullopt;
  Job job = std::move(queue.jobs.front());
  queue.jobs.pop_front();
  return job;
}

std::vector<Job> TakeExpiredJobs(JobQueue& queue, Clock::time_point now) {
  std::vector<Job> expired;
  std::lock_guard lock(queue.mutex);
  auto kept =
      std::stable_partition(queue.jobs.begin(), queue.jobs.end(), [&](const Job& job) { return job.deadline > now; });
  std::move(kept, queue.jobs.end(), std::back_inserter(expired));
  queue.jobs.erase(kept, queue.jobs.end());
  return expired;
}

std::vector<Job> TakeAllJobs(JobQueue& queue, bool close) {
  std::vector<Job> all;
  {
    std::lock_guard lock(queue.mutex);
    std::move(queue.jobs.begin(), queue.jobs.end(), std::back_inserter(all));
    queue.jobs.clear();
    queue.closed |= close;
  }
  queue.ready.notify_all();
  return all;
}
