#include "tools/usb_control.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "tools/supply_log.h"

namespace {

constexpr std::size_t kMostConnections = 64;                        // more wait in the listening queue
constexpr std::size_t kMostUnsentAnswers = std::size_t{64} * 1024;  // beyond this a connection is not read

struct Connection {
  int fd = -1;
  ControlLines lines;
  std::string unsent;        // answers not yet taken by the other end
  bool input_ended = false;  // the other end sends no more
  bool broken = false;
};

std::string AnswerTo(const ControlLine& line, const ControlAnswer& answer) {
  if (line.too_long) return TooLongAnswer();
  std::variant<ControlRequest, std::string> request = ParseControlRequest(line.text);
  if (const std::string* error = std::get_if<std::string>(&request)) return *error;
  return answer(std::get<ControlRequest>(request));
}

void ReadRequests(Connection& connection, const ControlAnswer& answer) {
  std::array<char, 4096> buffer{};
  ssize_t got = ::recv(connection.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (got < 0) {
    connection.broken = errno != EAGAIN && errno != EINTR;
    return;
  }
  connection.input_ended = got == 0;
  std::string_view bytes(buffer.data(), static_cast<std::size_t>(got));
  for (const ControlLine& line : TakeControlBytes(connection.lines, bytes, connection.input_ended)) {
    connection.unsent += AnswerTo(line, answer) + "\n";
  }
}

void SendAnswers(Connection& connection) {
  ssize_t sent = ::send(connection.fd, connection.unsent.data(), connection.unsent.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent < 0) {
    connection.broken = errno != EAGAIN && errno != EINTR;
    return;
  }
  connection.unsent.erase(0, static_cast<std::size_t>(sent));
}

void Serve(int listener, const ControlAnswer& answer) {
  std::vector<Connection> connections;
  std::vector<pollfd> events;
  for (;;) {
    events.assign(1, {listener, static_cast<short>(connections.size() < kMostConnections ? POLLIN : 0), 0});
    for (const Connection& connection : connections) {
      bool reading = !connection.input_ended && connection.unsent.size() < kMostUnsentAnswers;
      short wanted = static_cast<short>((reading ? POLLIN : 0) | (connection.unsent.empty() ? 0 : POLLOUT));
      events.push_back({connection.fd, wanted, 0});
    }
    if (::poll(events.data(), events.size(), -1) < 0) continue;  // EINTR
    for (std::size_t k = 0; k < connections.size(); ++k) {
      Connection& connection = connections[k];
      short happened = events[k + 1].revents;
      if ((happened & POLLOUT) != 0) SendAnswers(connection);
      bool readable = (events[k + 1].events & POLLIN) != 0 && (happened & (POLLIN | POLLHUP | POLLERR)) != 0;
      if (readable && !connection.broken) ReadRequests(connection, answer);
    }
    std::erase_if(connections, [](const Connection& connection) {
      bool done = connection.broken || (connection.input_ended && connection.unsent.empty());
      if (done) ::close(connection.fd);
      return done;
    });
    if ((events[0].revents & POLLIN) != 0) {
      int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) connections.emplace_back().fd = fd;
    }
  }
}

}  // namespace

int ListenForControl(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) Fail("control socket path too long: " + path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool listening = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                   ::chmod(path.c_str(), 0666) == 0 && ::listen(fd, SOMAXCONN) == 0;
  if (!listening) Fail("cannot make the control socket " + path + ": " + std::strerror(errno));
  return fd;
}

void StartControlServer(int listener, ControlAnswer answer) {
  std::thread([listener, answer = std::move(answer)] { Serve(listener, answer); }).detach();
}
