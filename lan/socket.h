// TCP for the LAN tool. Each platform has its own file behind this header; error numbers
// are the platform's own (errno values on Linux).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/wait.h"
#include "lan/receive_step.h"

struct NetAddress {
  bool ipv6 = false;
  std::array<std::uint8_t, 16> bytes{};  // network order; IPv4 uses the first 4
  std::uint16_t port = 0;
};

// Reads a numeric IPv4 address in dotted decimal or a numeric IPv6 address. Names are
// never looked up, so a typo cannot send a command to some other machine.
bool ParseNumericAddress(const char* text, NetAddress& address);

// Keeps the platform's socket library started while it lives. error is 0 when it started.
struct SocketLibrary {
  SocketLibrary();
  ~SocketLibrary();  // NOLINT(performance-trivially-destructible): Windows stops its library here
  SocketLibrary(const SocketLibrary&) = delete;
  SocketLibrary& operator=(const SocketLibrary&) = delete;
  long error = 0;
};

// A TCP socket, closed when the object goes.
struct Socket {
  Socket() = default;
  explicit Socket(std::intptr_t native) : handle(native) {}
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  ~Socket();
  bool valid() const;
  std::intptr_t handle = -1;
};

// The platform's error number for a wait that ran out.
long TimedOutError();

// Makes a TCP stream socket for the address's family; on failure error is set.
Socket MakeStreamSocket(const NetAddress& address, long& error);

// Connects, giving up after timeout_ms, at the wait's deadline or on an interrupt. Gives
// back 0 or the error number (the platform's time-out number when the time ran out or
// the wait was interrupted).
long ConnectWithin(const Socket& socket, const NetAddress& address, int timeout_ms, const Wait& wait = Wait{});

// Sends every byte, however many calls it takes, giving up when the peer has taken
// nothing for timeout_ms. Gives back 0 or the error number.
long SendAll(const Socket& socket, const std::uint8_t* bytes, std::size_t count, int timeout_ms);

// Waits up to timeout_ms (never past the wait's deadline or an interrupt) for bytes, then
// takes what has arrived, at most room bytes.
ReceiveStep ReceiveWithin(const Socket& socket, std::uint8_t* into, std::size_t room, int timeout_ms,
                          const Wait& wait = Wait{});
