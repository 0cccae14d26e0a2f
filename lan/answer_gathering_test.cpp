#include "lan/answer_gathering.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// One event the fake peer produces: some bytes, or a close, a time-out or an error.
struct Event {
  ReceiveStep::Kind kind;
  std::vector<std::uint8_t> bytes{};
  long error = 0;
};

Event Bytes(std::vector<std::uint8_t> bytes) { return {ReceiveStep::Bytes, std::move(bytes)}; }
const Event kClosed{ReceiveStep::Closed};
const Event kQuiet{ReceiveStep::TimedOut, {}, ETIMEDOUT};
Event Error(long error) { return {ReceiveStep::Failed, {}, error}; }

struct Script {
  std::vector<Event> events;
  std::size_t next = 0;
  std::vector<int> timeouts{};

  ReceiveStep operator()(std::uint8_t* into, std::size_t room, int timeout_ms) {
    timeouts.push_back(timeout_ms);
    if (next == events.size()) return {ReceiveStep::Failed, 0, -1};  // asked once too often
    Event& event = events[next];
    if (event.kind != ReceiveStep::Bytes) {
      ++next;
      return {event.kind, 0, event.error};
    }
    // Like a socket, hand out at most room bytes and keep the rest for the next call.
    std::size_t count = std::min(room, event.bytes.size());
    std::memcpy(into, event.bytes.data(), count);
    event.bytes.erase(event.bytes.begin(), event.bytes.begin() + static_cast<long>(count));
    if (event.bytes.empty()) ++next;
    return {ReceiveStep::Bytes, count, 0};
  }
};

std::vector<std::uint8_t> Range(std::size_t count, std::uint8_t first = 0xA1) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t k = 0; k < count; ++k) bytes[k] = static_cast<std::uint8_t>(first + k);
  return bytes;
}

TEST(GatherAnswer, EndsWhereTheAnswerEnds) {
  const std::vector<std::uint8_t> whole{0xA1, 0xB2, 0x00, 0x00, 0x0D, 0x0A};
  std::vector<std::uint8_t> long_frame = whole;
  long_frame[2] = 0x06;
  long_frame.resize(23);
  std::vector<std::uint8_t> unknown = whole;
  unknown[2] = 0x20;

  struct Row {
    const char* name;
    std::vector<Event> events;
    Gathered::Outcome outcome;
    std::size_t received;
    long error;
    std::vector<int> timeouts;
  };
  const std::vector<Row> rows = {
      {"whole in one piece, no wait after it", {Bytes(whole)}, Gathered::Answer, 6, 0, {5000}},
      {"split in two", {Bytes({0xA1, 0xB2}), Bytes({0x00, 0x00, 0x0D, 0x0A})}, Gathered::Answer, 6, 0, {5000, 250}},
      {"one byte at a time",
       {Bytes({0xA1}), Bytes({0xB2}), Bytes({0x00}), Bytes({0x00}), Bytes({0x0D}), Bytes({0x0A})},
       Gathered::Answer,
       6,
       0,
       {5000, 250, 250, 250, 250, 250}},
      {"23-byte frame in pieces",
       {Bytes({long_frame.begin(), long_frame.begin() + 3}), Bytes({long_frame.begin() + 3, long_frame.end()})},
       Gathered::Answer,
       23,
       0,
       {5000, 250}},
      {"short answer ends when the line goes quiet",
       {Bytes({0xA1, 0xB2, 0x06, 0x00}), kQuiet},
       Gathered::Answer,
       4,
       0,
       {5000, 250}},
      {"unknown length ends when quiet", {Bytes(unknown), kQuiet}, Gathered::Answer, 6, 0, {5000, 250}},
      {"closed after part of it", {Bytes({0xA1, 0xB2}), kClosed}, Gathered::Answer, 2, 0, {5000, 250}},
      {"closed before any byte", {kClosed}, Gathered::ClosedWithoutAnswer, 0, 0, {5000}},
      {"nothing within the limit", {kQuiet}, Gathered::Failed, 0, ETIMEDOUT, {5000}},
      {"error before any byte", {Error(ECONNRESET)}, Gathered::Failed, 0, ECONNRESET, {5000}},
      {"error after part of it",
       {Bytes({0xA1, 0xB2, 0x06}), Error(ECONNRESET)},
       Gathered::Failed,
       3,
       ECONNRESET,
       {5000, 250}},
      {"never more than 64 bytes", {Bytes(Range(100, 0x20))}, Gathered::Answer, 64, 0, {5000}},
  };
  for (const Row& row : rows) {
    Script script{row.events};
    ResponseBuffer answer{};
    Gathered gathered = GatherAnswer(answer, std::ref(script));
    EXPECT_EQ(gathered.outcome, row.outcome) << row.name;
    EXPECT_EQ(gathered.received, row.received) << row.name;
    EXPECT_EQ(gathered.error, row.error) << row.name;
    EXPECT_EQ(script.timeouts, row.timeouts) << row.name;
  }
}

TEST(GatherAnswer, KeepsTheBytesInOrderAndZeroesTheRest) {
  Script script{{Bytes({0xA1}), Bytes({0xB2, 0x06}), Bytes({0x00, 0x11}), kQuiet}};
  ResponseBuffer answer{};
  GatherAnswer(answer, std::ref(script));
  ResponseBuffer expected{0xA1, 0xB2, 0x06, 0x00, 0x11};
  EXPECT_EQ(answer, expected);
}

}  // namespace
