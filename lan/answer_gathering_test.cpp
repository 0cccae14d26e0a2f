#include "lan/answer_gathering.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

// One event the fake peer produces: some bytes or a time-out.
struct Event {
  ReceiveStep::Kind kind;
  std::vector<std::uint8_t> bytes{};
  long error = 0;
};

Event Bytes(std::vector<std::uint8_t> bytes) { return {ReceiveStep::Bytes, std::move(bytes)}; }
const Event kQuiet{ReceiveStep::TimedOut, {}, ETIMEDOUT};

// Plays the events in order and records the time limit of every wait.
struct Script {
  std::vector<Event> events;
  std::size_t next = 0;
  std::vector<int> timeouts{};

  ReceiveStep operator()(std::uint8_t* into, std::size_t room, int timeout_ms) {
    timeouts.push_back(timeout_ms);
    if (next == events.size()) return {ReceiveStep::Failed, 0, -1};  // asked once too often
    const Event& event = events[next++];
    std::size_t count = std::min(room, event.bytes.size());
    std::copy_n(event.bytes.begin(), count, into);
    return {event.kind, count, event.error};
  }
};

// The waits themselves: the end-to-end rows see only their sum.
TEST(GatherAnswer, WaitsLongForTheFirstByteThenForAQuietGap) {
  struct Row {
    const char* name;
    std::vector<Event> events;
    Gathered::Outcome outcome;
    std::size_t received;
    std::vector<int> timeouts;
  };
  const std::vector<Row> rows = {
      {"whole in one piece, no wait after it", {Bytes({0xA1, 0xB2, 0, 0, 0x0D, 0x0A})}, Gathered::Received, 6, {5000}},
      {"split in two", {Bytes({0xA1, 0xB2}), Bytes({0, 0, 0x0D, 0x0A})}, Gathered::Received, 6, {5000, 250}},
      {"short answer ends when quiet", {Bytes({0xA1, 0xB2, 6, 0}), kQuiet}, Gathered::Received, 4, {5000, 250}},
      {"nothing within the limit", {kQuiet}, Gathered::Failed, 0, {5000}},
      {"never more than 64 bytes", {Bytes(std::vector<std::uint8_t>(100, 0x20))}, Gathered::Received, 64, {5000}},
  };
  for (const Row& row : rows) {
    Script script{row.events};
    ResponseBuffer answer{};
    Gathered gathered = GatherAnswer(answer, 5000, std::ref(script));
    EXPECT_EQ(gathered.outcome, row.outcome) << row.name;
    EXPECT_EQ(gathered.received, row.received) << row.name;
    EXPECT_EQ(script.timeouts, row.timeouts) << row.name;
  }
}

}  // namespace
