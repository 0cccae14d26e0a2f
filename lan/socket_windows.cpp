// TCP on Windows, through Windows Sockets 2.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstring>

#include "lan/sockaddr.h"
#include "lan/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

SOCKET Native(const Socket& socket) { return static_cast<SOCKET>(socket.handle); }

timeval Left(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now()).count();
  if (left < 0) left = 0;
  return timeval{static_cast<long>(left / 1000000), static_cast<long>(left % 1000000)};
}

// Waits until the socket is readable (or, for a connect, writable or failed). Gives back
// 1 when ready, 0 when the time ran out, SOCKET_ERROR on failure.
int WaitFor(SOCKET socket, bool for_connect, Clock::time_point deadline) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  timeval limit = Left(deadline);
  int count = for_connect ? select(0, nullptr, &ready, &failed, &limit) : select(0, &ready, nullptr, &failed, &limit);
  if (count <= 0) return count;
  return 1;
}

bool SetNonBlocking(SOCKET socket, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(socket, static_cast<long>(FIONBIO), &mode) == 0;
}

}  // namespace

bool ParseNumericAddress(const char* text, NetAddress& address) {
  address = NetAddress{};
  if (inet_pton(AF_INET, text, address.bytes.data()) == 1) return true;
  address.ipv6 = true;
  return inet_pton(AF_INET6, text, address.bytes.data()) == 1;
}

SocketLibrary::SocketLibrary() {
  WSADATA data;
  error = WSAStartup(MAKEWORD(2, 2), &data);
}

SocketLibrary::~SocketLibrary() {
  if (error == 0) WSACleanup();
}

Socket::Socket(Socket&& other) noexcept : handle(other.handle) { other.handle = -1; }

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    if (valid()) closesocket(Native(*this));
    handle = other.handle;
    other.handle = -1;
  }
  return *this;
}

Socket::~Socket() {
  if (valid()) closesocket(Native(*this));
}

bool Socket::valid() const { return Native(*this) != INVALID_SOCKET; }

long TimedOutError() { return WSAETIMEDOUT; }

Socket MakeStreamSocket(const NetAddress& address, long& error) {
  SOCKET native = socket(address.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  error = native == INVALID_SOCKET ? WSAGetLastError() : 0;
  return Socket(static_cast<std::intptr_t>(native));
}

long ConnectWithin(const Socket& socket, const NetAddress& address, int timeout_ms, const Wait& /*wait*/) {
  SOCKET native = Native(socket);
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  if (!SetNonBlocking(native, true)) return WSAGetLastError();
  sockaddr_storage storage;
  int size = ToSockaddr(address, storage);
  if (connect(native, reinterpret_cast<const sockaddr*>(&storage), size) == SOCKET_ERROR) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return WSAGetLastError();
    int ready = WaitFor(native, true, deadline);
    if (ready == SOCKET_ERROR) return WSAGetLastError();
    if (ready == 0) return WSAETIMEDOUT;
    int error = 0;
    int length = sizeof error;
    if (getsockopt(native, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
      return WSAGetLastError();
    }
    if (error != 0) return error;
  }
  return SetNonBlocking(native, false) ? 0 : WSAGetLastError();
}

long SendAll(const Socket& socket, const std::uint8_t* bytes, std::size_t count, int timeout_ms) {
  SOCKET native = Native(socket);
  auto limit = static_cast<DWORD>(timeout_ms);  // a peer that stops reading must not hold the tool forever
  setsockopt(native, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
  while (count > 0) {
    int sent = send(native, reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0);
    if (sent == SOCKET_ERROR) return WSAGetLastError();
    bytes += sent;
    count -= static_cast<std::size_t>(sent);
  }
  return 0;
}

ReceiveStep ReceiveWithin(const Socket& socket, std::uint8_t* into, std::size_t room, int timeout_ms,
                          const Wait& /*wait*/) {
  SOCKET native = Native(socket);
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int ready = WaitFor(native, false, deadline);
  if (ready == SOCKET_ERROR) return {ReceiveStep::Failed, 0, WSAGetLastError()};
  if (ready == 0) return {ReceiveStep::TimedOut, 0, WSAETIMEDOUT};
  int got = recv(native, reinterpret_cast<char*>(into), static_cast<int>(room), 0);
  if (got > 0) return {ReceiveStep::Bytes, static_cast<std::size_t>(got), 0};
  if (got == 0) return {ReceiveStep::Closed, 0, 0};
  return {ReceiveStep::Failed, 0, WSAGetLastError()};
}
