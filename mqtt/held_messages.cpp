#include "mqtt/held_messages.h"

namespace {

std::size_t Size(const OutgoingMessage& message) {
  return message.topic.size() + message.payload.size() + message.correlation.size();
}

}  // namespace

std::size_t HoldMessage(HeldMessages& held, OutgoingMessage message) {
  held.bytes += Size(message);
  held.messages.push_back(std::move(message));
  std::size_t dropped = 0;
  while (held.messages.size() > kMaxHeldMessages || held.bytes > kMaxHeldBytes) {
    TakeHeldMessage(held);
    ++dropped;
  }
  return dropped;
}

OutgoingMessage TakeHeldMessage(HeldMessages& held) {
  OutgoingMessage message = std::move(held.messages.front());
  held.messages.pop_front();
  held.bytes -= Size(message);
  return message;
}
