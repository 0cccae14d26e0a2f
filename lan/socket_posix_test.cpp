#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <thread>
#include <vector>

#include "lan/socket.h"

namespace {

// A send blocked on a full buffer is cut short by signals, with part of the bytes sent or
// none; all of them must still arrive once, in order.
TEST(SendAll, GoesOnAfterSignalsAndPartialSends) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  Socket sender(pair[0]);
  struct sigaction tick {};
  tick.sa_handler = [](int) {};  // no SA_RESTART: the blocked send gives up with EINTR
  ASSERT_EQ(::sigaction(SIGALRM, &tick, nullptr), 0);
  itimerval every_10ms{{0, 10000}, {0, 10000}};
  ASSERT_EQ(::setitimer(ITIMER_REAL, &every_10ms, nullptr), 0);

  std::vector<std::uint8_t> bytes(1 << 20);
  for (std::size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<std::uint8_t>(k * 7 + k / 256);
  std::vector<std::uint8_t> arrived;
  std::thread reader([&] {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);  // the signals are for the sender
    ::usleep(200000);                             // long enough for the buffer to fill and several signals to come
    std::uint8_t chunk[65536];
    for (ssize_t got; (got = ::read(pair[1], chunk, sizeof chunk)) > 0;)
      arrived.insert(arrived.end(), chunk, chunk + got);
  });
  // A send of one byte is as much the command as a long one.
  long error = SendAll(sender, bytes.data(), 1, 5000);
  if (error == 0) error = SendAll(sender, bytes.data() + 1, bytes.size() - 1, 5000);
  ::shutdown(pair[0], SHUT_WR);
  reader.join();
  itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(arrived == bytes);

  ::close(pair[1]);  // a peer that has gone: an error to report, not a signal
  EXPECT_EQ(SendAll(sender, bytes.data(), 64, 5000), EPIPE);
}

}  // namespace
