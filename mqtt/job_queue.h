// One supply's waiting requests: carried out in the order they came, at most 256 waiting,
// each with the moment past which it is answered "expired" instead.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mqtt/request.h"
#include "mqtt/result_json.h"

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxWaitingJobs = 256;

// A request on its way to a supply, and where its result goes.
struct Job {
  std::optional<std::string> transaction;
  CommandBytes command;
  std::string reply_topic;
  std::string correlation;  // MQTT correlation data, binary; empty where none came
  Clock::time_point deadline;
};

struct JobQueue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Job> jobs;
  bool closed = false;
};

// Queues a job; false (the job untouched) when kMaxWaitingJobs wait or the queue is closed.
bool PushJob(JobQueue& queue, Job& job);

// The next job, waiting for one; nullopt once the queue is closed.
std::optional<Job> PopJob(JobQueue& queue);

// Takes out the jobs whose deadline is past, in their order.
std::vector<Job> TakeExpiredJobs(JobQueue& queue, Clock::time_point now);

// Takes out every waiting job, in order; with close, PopJob gives nullopt from then on.
std::vector<Job> TakeAllJobs(JobQueue& queue, bool close);
