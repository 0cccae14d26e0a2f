#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "lan/sockaddr.h"
#include "lan/socket.h"

namespace {

int Fd(const Socket& socket) { return static_cast<int>(socket.handle); }

// Waits for the events until end, going on after signals. Gives back the revents, 0 when
// the time ran out or the wait was interrupted, or -1 with errno set.
int PollUntil(int fd, short events, WaitClock::time_point end, const Wait& wait) {
  for (;;) {
    int slice = SliceMs(wait, end);
    if (Interrupted(wait)) return 0;
    pollfd entry{fd, events, 0};
    int ready = ::poll(&entry, 1, slice);
    if (ready > 0) return entry.revents;
    if (ready == 0 && slice == 0) return 0;
    if (ready < 0 && errno != EINTR) return -1;
    if (ready < 0) SignalArrived(wait);
  }
}

bool SetNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

bool ParseNumericAddress(const char* text, NetAddress& address) {
  address = NetAddress{};
  if (::inet_pton(AF_INET, text, address.bytes.data()) == 1) return true;
  address.ipv6 = true;
  return ::inet_pton(AF_INET6, text, address.bytes.data()) == 1;
}

SocketLibrary::SocketLibrary() = default;  // POSIX sockets need no start-up
SocketLibrary::~SocketLibrary() = default;

Socket::Socket(Socket&& other) noexcept : handle(other.handle) { other.handle = -1; }

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    if (valid()) ::close(Fd(*this));
    handle = other.handle;
    other.handle = -1;
  }
  return *this;
}

Socket::~Socket() {
  if (valid()) ::close(Fd(*this));
}

bool Socket::valid() const { return handle >= 0; }

long TimedOutError() { return ETIMEDOUT; }

Socket MakeStreamSocket(const NetAddress& address, long& error) {
  int fd = ::socket(address.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  error = fd < 0 ? errno : 0;
  return Socket(fd);
}

long ConnectWithin(const Socket& socket, const NetAddress& address, int timeout_ms, const Wait& wait) {
  int fd = Fd(socket);
  auto end = StepEnd(wait, timeout_ms);
  if (!SetNonBlocking(fd, true)) return errno;
  sockaddr_storage storage;
  auto size = static_cast<socklen_t>(ToSockaddr(address, storage));
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&storage), size) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return errno;
    int ready = PollUntil(fd, POLLOUT, end, wait);
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    if (error != 0) return error;
  }
  return SetNonBlocking(fd, false) ? 0 : errno;
}

long SendAll(const Socket& socket, const std::uint8_t* bytes, std::size_t count, int timeout_ms) {
  int fd = Fd(socket);
  // A peer that stops reading must not hold the tool forever.
  timeval limit{timeout_ms / 1000, static_cast<suseconds_t>(timeout_ms % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  while (count > 0) {
    // MSG_NOSIGNAL: a peer that has gone away is an error to report, not a signal that
    // ends the process.
    ssize_t sent = ::send(fd, bytes, count, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes += sent;
    count -= static_cast<std::size_t>(sent);
  }
  return 0;
}

ReceiveStep ReceiveWithin(const Socket& socket, std::uint8_t* into, std::size_t room, int timeout_ms,
                          const Wait& wait) {
  int fd = Fd(socket);
  auto end = StepEnd(wait, timeout_ms);
  int ready = PollUntil(fd, POLLIN, end, wait);
  if (ready < 0) return {ReceiveStep::Failed, 0, errno};
  if (ready == 0) return {ReceiveStep::TimedOut, 0, ETIMEDOUT};
  for (;;) {
    ssize_t got = ::recv(fd, into, room, MSG_DONTWAIT);
    if (got > 0) return {ReceiveStep::Bytes, static_cast<std::size_t>(got), 0};
    if (got == 0) return {ReceiveStep::Closed, 0, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Readable yet nothing to take: wait again within the same time limit.
      ready = PollUntil(fd, POLLIN, end, wait);
      if (ready < 0) return {ReceiveStep::Failed, 0, errno};
      if (ready == 0) return {ReceiveStep::TimedOut, 0, ETIMEDOUT};
      continue;
    }
    return {ReceiveStep::Failed, 0, errno};
  }
}
