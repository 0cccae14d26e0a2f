// TCP on Windows, through Windows Sockets 2.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "lan/sockaddr.h"
#include "lan/socket.h"

namespace {

SOCKET Native(const Socket& socket) { return static_cast<SOCKET>(socket.handle); }

// Waits until the socket is readable (or, for a connect, writable or failed), until end,
// in slices short enough to see an interrupt. Gives back 1 when ready, 0 when the time
// ran out or the wait was interrupted, SOCKET_ERROR on failure.
int WaitFor(SOCKET socket, bool for_connect, WaitClock::time_point end, const Wait& wait) {
  for (;;) {
    int slice = SliceMs(wait, end);
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket, &ready);
    FD_SET(socket, &failed);
    timeval limit{slice / 1000, slice % 1000 * 1000};
    int count = for_connect ? select(0, nullptr, &ready, &failed, &limit) : select(0, &ready, nullptr, &failed, &limit);
    if (count != 0) return count < 0 ? SOCKET_ERROR : 1;
    if (slice == 0 || Interrupted(wait)) return 0;
  }
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

// Not inheritable, so that a process the host program starts meanwhile does not keep the
// connection open after it is closed here. Windows 7 without its update for the flag
// refuses it; there the handle is made uninheritable once it exists.
Socket MakeStreamSocket(const NetAddress& address, long& error) {
  int family = address.ipv6 ? AF_INET6 : AF_INET;
  SOCKET native =
      WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (native == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    native = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    auto* handle = reinterpret_cast<HANDLE>(native);  // NOLINT(performance-no-int-to-ptr)
    if (native != INVALID_SOCKET) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  }
  error = native == INVALID_SOCKET ? WSAGetLastError() : 0;
  return Socket(static_cast<std::intptr_t>(native));
}

long ConnectWithin(const Socket& socket, const NetAddress& address, int timeout_ms, const Wait& wait) {
  SOCKET native = Native(socket);
  auto end = StepEnd(wait, timeout_ms);
  if (!SetNonBlocking(native, true)) return WSAGetLastError();
  sockaddr_storage storage;
  int size = ToSockaddr(address, storage);
  if (connect(native, reinterpret_cast<const sockaddr*>(&storage), size) == SOCKET_ERROR) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return WSAGetLastError();
    int ready = WaitFor(native, true, end, wait);
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
                          const Wait& wait) {
  SOCKET native = Native(socket);
  int ready = WaitFor(native, false, StepEnd(wait, timeout_ms), wait);
  if (ready == SOCKET_ERROR) return {ReceiveStep::Failed, 0, WSAGetLastError()};
  if (ready == 0) return {ReceiveStep::TimedOut, 0, WSAETIMEDOUT};
  int got = recv(native, reinterpret_cast<char*>(into), static_cast<int>(room), 0);
  if (got > 0) return {ReceiveStep::Bytes, static_cast<std::size_t>(got), 0};
  if (got == 0) return {ReceiveStep::Closed, 0, 0};
  return {ReceiveStep::Failed, 0, WSAGetLastError()};
}
