// morvish over a socket layer that fails on demand: the failures loopback cannot bring
// about on cue.
#include "lan/morvish.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "lan/socket.h"

namespace {

enum class Step { None, Socket, Send };
Step failing = Step::None;
int open_sockets = 0;

}  // namespace

bool ParseNumericAddress(const char* /*text*/, NetAddress& address) {
  address = NetAddress{};
  return true;
}
SocketLibrary::SocketLibrary() = default;
SocketLibrary::~SocketLibrary() = default;
Socket::Socket(Socket&& other) noexcept : handle(other.handle) { other.handle = -1; }
Socket& Socket::operator=(Socket&& other) noexcept {
  std::swap(handle, other.handle);
  return *this;
}
Socket::~Socket() {
  if (valid()) --open_sockets;
}
bool Socket::valid() const { return handle >= 0; }
Socket MakeStreamSocket(const NetAddress& /*address*/, long& error) {
  error = failing == Step::Socket ? 97 : 0;
  if (error != 0) return Socket();
  ++open_sockets;
  return Socket(3);
}
long ConnectWithin(const Socket& /*socket*/, const NetAddress& /*address*/, int /*timeout_ms*/) { return 0; }
long SendAll(const Socket& /*socket*/, const std::uint8_t* /*bytes*/, std::size_t /*count*/, int /*timeout_ms*/) {
  return failing == Step::Send ? 32 : 0;
}
ReceiveStep ReceiveWithin(const Socket& /*socket*/, std::uint8_t* /*into*/, std::size_t /*room*/, int /*timeout_ms*/) {
  return {ReceiveStep::Closed, 0, 0};
}

namespace {

TEST(RunMorvish, ReportsAFailedStepPrintsNothingElseAndClosesTheSocket) {
  struct Row {
    Step step;
    std::string out;
    int status;
  };
  const Row rows[] = {
      {Step::Socket, "\nSocket failed with error: 97\n", 1},
      {Step::Send, "\nSend failed with error:32. LAN電源への送信が失敗しました。\n", 3},
  };
  ::setenv("LC_ALL", "C.UTF-8", 1);
  const char* argv[] = {"morvish", "127.0.0.1", "502", "A1", "B2", "00", "0D", "0A"};
  for (const Row& row : rows) {
    failing = row.step;
    testing::internal::CaptureStdout();
    int status = RunMorvish(8, argv);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), row.out);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(open_sockets, 0);
  }
}

}  // namespace
