// A user's C++ program with a class of the name the library also uses inside: it must
// link with libdimlink.a, which shows nothing but the dimlink_ functions.
#include <dimlink.h>

class Socket {
 public:
  ~Socket();
  int fd = -1;
};
Socket::~Socket() { fd = -1; }

int main() {
  Socket socket;
  dimlink_result result = DIMLINK_RESULT_INIT;
  return dimlink_open_tcp("127.0.0.1", 0, &result) == nullptr && result.status == 1 && socket.fd == -1 ? 0 : 1;
}
