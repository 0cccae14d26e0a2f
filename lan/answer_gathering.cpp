#include "lan/answer_gathering.h"

Gathered GatherAnswer(ResponseBuffer& answer, int first_byte_timeout_ms, const ReceiveFunction& receive) {
  Gathered gathered;
  while (!AnswerIsWhole(answer, gathered.received)) {
    int timeout = gathered.received == 0 ? first_byte_timeout_ms : kQuietGapMs;
    std::size_t room = answer.size() - gathered.received;
    ReceiveStep step = receive(answer.data() + gathered.received, room, timeout);
    switch (step.kind) {
      case ReceiveStep::Bytes:
        if (step.count > 0) {
          gathered.received += step.count < room ? step.count : room;
          break;
        }
        [[fallthrough]];  // no bytes and no error: the peer has closed
      case ReceiveStep::Closed:
        gathered.outcome = gathered.received == 0 ? Gathered::ClosedWithoutAnswer : Gathered::Received;
        return gathered;
      case ReceiveStep::TimedOut:
        if (gathered.received > 0) {
          gathered.outcome = Gathered::Received;
          return gathered;
        }
        gathered.error = step.error;
        return gathered;
      case ReceiveStep::Failed:
        gathered.error = step.error;
        return gathered;
    }
  }
  gathered.outcome = Gathered::Received;
  return gathered;
}
