// Results made while the broker is away, kept in order to be published once it is back;
// bounded, the oldest giving way.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

constexpr std::size_t kMaxHeldMessages = 10000;
constexpr std::size_t kMaxHeldBytes = 16 * 1024 * 1024;

struct OutgoingMessage {
  std::string topic;
  std::string payload;
  std::string correlation;  // empty where none
};

struct HeldMessages {
  std::deque<OutgoingMessage> messages;
  std::size_t bytes = 0;
};

// Keeps a message; gives back how many of the oldest were dropped to make room.
std::size_t HoldMessage(HeldMessages& held, OutgoingMessage message);

// Takes out the oldest message; the queue must not be empty.
OutgoingMessage TakeHeldMessage(HeldMessages& held);
