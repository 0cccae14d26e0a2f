#include "tools/supply_tcp.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/report.h"
#include "lan/sockaddr.h"
#include "tools/supply_answer.h"
#include "tools/supply_log.h"

namespace {

constexpr int kClientWaitMs = 30000;  // how long a client may keep a connection idle

int Listen(const TcpOptions& options) {
  NetAddress address;
  if (!ParseNumericAddress(options.address.c_str(), address)) {
    Fail("bad ADDRESS \"" + options.address + "\" (numeric IPv4 or IPv6)");
  }
  address.port = options.port;
  sockaddr_storage storage{};
  auto size = static_cast<socklen_t>(ToSockaddr(address, storage));
  int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(std::string("cannot make a socket: ") + std::strerror(errno));
  int on = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0 || ::listen(fd, 16) != 0) {
    Fail(std::string("cannot listen: ") + std::strerror(errno));
  }
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size);
  const auto* port = storage.ss_family == AF_INET ? &reinterpret_cast<sockaddr_in*>(&storage)->sin_port
                                                  : &reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port;
  (void)std::printf("%u\n", ntohs(*port));
  (void)std::fflush(stdout);
  return fd;
}

bool WaitReadable(int fd, int timeout_ms) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, timeout_ms) > 0;
}

// Reads up to one whole command; gives back how many bytes came before the client
// stopped sending.
std::size_t ReadCommand(int fd, CommandBuffer& command) {
  std::size_t got = 0;
  while (got < command.size() && WaitReadable(fd, kClientWaitMs)) {
    ssize_t n = ::recv(fd, command.data() + got, command.size() - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

void SendInPieces(int fd, const std::vector<std::uint8_t>& answer, const TcpOptions& options) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::size_t pieces = std::min(options.pieces, answer.size());
  std::size_t sent = 0;
  for (std::size_t piece = 0; piece < pieces; ++piece) {
    std::size_t end = answer.size() * (piece + 1) / pieces;
    if (piece > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.pause_ms));
    if (::send(fd, answer.data() + sent, end - sent, MSG_NOSIGNAL) < 0) return;
    sent = end;
  }
}

// Waits until the client has closed its side, so that a short answer is not ended early.
void DrainUntilClosed(int fd) {
  std::uint8_t scrap[256];
  while (WaitReadable(fd, kClientWaitMs) && ::recv(fd, scrap, sizeof scrap, 0) > 0) {
  }
}

// Makes the close that follows a reset instead of an orderly close, as a peer that
// crashes does.
void AbortOnClose(int fd) {
  linger abort{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

void Serve(int client, const AnswerOptions& answer_options, const TcpOptions& options) {
  CommandBuffer command{};
  std::size_t count = ReadCommand(client, command);
  Log("command: " + FormatHexWords(command.data(), count) + " (" + std::to_string(count) + " bytes)");
  if (count == command.size() && !options.close) {
    AnswerOptions answer = answer_options;
    if (options.reset_after != 0) answer.short_length = options.reset_after;
    TableAnswer kind = TableAnswer::Bytes;
    std::vector<std::uint8_t> bytes = AnswerFor(answer, command, &kind);
    // An answer from the table is cut here: the short length is for the default one only.
    if (options.reset_after != 0 && bytes.size() > options.reset_after) bytes.resize(options.reset_after);
    if (kind == TableAnswer::Reset) {
      AbortOnClose(client);
    } else if (kind != TableAnswer::Close) {  // else closed at once, as with --close
      SendInPieces(client, bytes, options);
      if (options.reset_after != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.pause_ms));
        AbortOnClose(client);
      } else {
        DrainUntilClosed(client);
      }
    }
  }
  ::close(client);
}

// The next connection. A connection that failed before it was taken, or a signal
// meanwhile, is no reason to stop waiting.
int NextClient(int listener) {
  for (;;) {
    int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) return client;
    if (errno != EINTR && errno != ECONNABORTED) Fail(std::string("accept: ") + std::strerror(errno));
  }
}

}  // namespace

int ServeTcp(const Options& options) {
  int listener = Listen(options.tcp);
  do {
    Serve(NextClient(listener), options.devices.front().answer, options.tcp);
  } while (!options.tcp.once);
  ::close(listener);
  return 0;
}
