// The socket address structures are the same on both platforms; only the headers that
// declare them differ.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

#include "lan/sockaddr.h"

int ToSockaddr(const NetAddress& address, sockaddr_storage& storage) {
  std::memset(&storage, 0, sizeof storage);
  if (address.ipv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(address.port);
    std::memcpy(&v6->sin6_addr, address.bytes.data(), 16);
    return sizeof(sockaddr_in6);
  }
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(address.port);
  std::memcpy(&v4->sin_addr, address.bytes.data(), 4);
  return sizeof(sockaddr_in);
}
