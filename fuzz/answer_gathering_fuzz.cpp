// The answer gathered from an arbitrary byte stream cut into arbitrary pieces, with
// time-outs, closes and errors between them.
//
// Input: a count n, then n event bytes, then the stream. Each event byte gives the size
// of the next piece (1 to 251), or 0 for a quiet line, 252 to 254 for an error, 255 for a
// close. Once the events are used up, the rest of the stream comes in one piece.

#include <cstdlib>
#include <cstring>

#include "lan/answer_gathering.h"

constexpr int kFirstByteTimeout = 5000;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t events = std::min<std::size_t>(data[0], size - 1);
  const std::uint8_t* event = data + 1;
  const std::uint8_t* stream = event + events;
  std::size_t stream_size = size - 1 - events;
  std::size_t next_event = 0;
  std::size_t offered = 0;

  ReceiveFunction receive = [&](std::uint8_t* into, std::size_t room, int timeout_ms) -> ReceiveStep {
    if (room == 0 || room > 64 || (timeout_ms != kFirstByteTimeout && timeout_ms != kQuietGapMs)) std::abort();
    std::size_t piece = stream_size - offered;
    if (next_event < events) {
      std::uint8_t kind = event[next_event++];
      if (kind == 0) return {ReceiveStep::TimedOut, 0, 110};
      if (kind >= 252 && kind < 255) return {ReceiveStep::Failed, 0, kind};
      if (kind == 255) return {ReceiveStep::Closed, 0, 0};
      piece = std::min<std::size_t>(piece, kind);
    }
    if (piece == 0) return {ReceiveStep::Closed, 0, 0};
    piece = std::min(piece, room);
    std::memcpy(into, stream + offered, piece);
    offered += piece;
    return {ReceiveStep::Bytes, piece, 0};
  };

  ResponseBuffer answer{};
  Gathered gathered = GatherAnswer(answer, kFirstByteTimeout, receive);
  // Every byte offered is kept, in order, and an answer has at least one.
  if (gathered.received != offered || std::memcmp(answer.data(), stream, offered) != 0) std::abort();
  if ((gathered.outcome == Gathered::Received) != (offered > 0 && gathered.outcome != Gathered::Failed)) std::abort();
  return 0;
}
