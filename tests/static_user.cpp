// A user's C++ program with names of its own that the library also uses inside: it must
// link with libdimlink.a, which may show nothing but the dimlink_ functions.
#include <dimlink.h>

#include <cstdio>
#include <string>

class Socket {
 public:
  ~Socket();
  int fd = -1;
};
Socket::~Socket() { fd = -1; }

struct PowerSupply {
  std::string name = "the program's own";
};

bool ParseNumericAddress(const char* /*text*/) { return false; }

int main() {
  Socket socket;
  PowerSupply supply;
  dimlink_result result = DIMLINK_RESULT_INIT;
  dimlink_supply* opened = dimlink_open_tcp("127.0.0.1", 0, &result);
  std::printf("%s %d %d\n", result.verdict, result.status, ParseNumericAddress("") ? 1 : 0);
  return opened == nullptr && result.status == 1 && socket.fd == -1 && !supply.name.empty() ? 0 : 1;
}
