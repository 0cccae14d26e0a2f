// supply-sim: a simulated power supply on TCP, for trying the LAN tool and testing
// scripts without hardware. It answers each 64-byte command the way the power supply
// does, or misbehaves in one of the ways a real unit or network can.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/answer_layout.h"
#include "core/command_bytes.h"
#include "core/report.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: supply-sim [OPTIONS] ADDRESS PORT\n"
    "Listens on ADDRESS (numeric IPv4 or IPv6) and PORT (0 picks a free one) and answers\n"
    "each 64-byte command as the power supply does. The first line printed is the port;\n"
    "then one line per connection with the command bytes received.\n"
    "Options:\n"
    "  --once          serve one connection, then exit\n"
    "  --status XX     status byte of the answer (default 00)\n"
    "  --answer BYTES  answer with exactly these hex bytes instead, e.g. \"A1 B2 00 00 0D 0A\"\n"
    "                  (1 to 256 bytes, separated by blanks or commas)\n"
    "  --pieces N      send the answer in N writes (default 1)\n"
    "  --pause MS      pause between the writes (default 100)\n"
    "  --short N       send only the first N bytes of the answer\n"
    "  --reset-after N send the first N bytes of the answer, pause, then reset the connection\n"
    "  --silent        never answer; wait for the client to close\n"
    "  --close         close the connection without answering\n";

constexpr int kClientWaitMs = 30000;  // how long a client may keep a connection idle

enum class Behaviour { Answer, Silent, Close };

struct Options {
  bool once = false;
  std::uint8_t status = 0;
  std::vector<std::uint8_t> raw_answer;
  std::size_t pieces = 1;
  int pause_ms = 100;
  std::size_t short_length = 0;  // 0: the whole answer
  std::size_t reset_after = 0;   // 0: no reset
  Behaviour behaviour = Behaviour::Answer;
  std::string address;
  std::string port;
};

[[noreturn]] void Fail(const std::string& why) {
  (void)std::fprintf(stderr, "supply-sim: %s\n", why.c_str());
  std::exit(2);
}

unsigned long Number(const char* text, unsigned long low, unsigned long high, const char* what) {
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || value < low || value > high) {
    Fail(std::string("bad ") + what + " \"" + text + "\"");
  }
  return value;
}

std::uint8_t HexByte(const std::string& text) {
  std::optional<std::uint8_t> byte = ConvertCommandByte(text.c_str());
  if (!byte) Fail("bad byte \"" + text + "\"");
  return *byte;
}

std::vector<std::uint8_t> HexBytes(const char* text) {
  std::vector<std::uint8_t> bytes;
  std::string item;
  for (const char* c = text;; ++c) {
    if (*c == '\0' || *c == ' ' || *c == ',') {
      if (!item.empty()) bytes.push_back(HexByte(item));
      item.clear();
      if (*c == '\0') break;
    } else {
      item += *c;
    }
  }
  if (bytes.empty() || bytes.size() > 256) Fail("--answer takes 1 to 256 bytes");
  return bytes;
}

Options ReadOptions(int argc, char** argv) {
  Options options;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Fail(std::string(arg) + " needs a value");
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      (void)std::fputs(kUsage.data(), stdout);
      std::exit(0);
    } else if (arg == "--once") {
      options.once = true;
    } else if (arg == "--status") {
      options.status = HexByte(value());
    } else if (arg == "--answer") {
      options.raw_answer = HexBytes(value());
    } else if (arg == "--pieces") {
      options.pieces = Number(value(), 1, 256, "piece count");
    } else if (arg == "--pause") {
      options.pause_ms = static_cast<int>(Number(value(), 0, 60000, "pause"));
    } else if (arg == "--short") {
      options.short_length = Number(value(), 1, 256, "short length");
    } else if (arg == "--reset-after") {
      options.reset_after = Number(value(), 1, 256, "reset length");
    } else if (arg == "--silent") {
      options.behaviour = Behaviour::Silent;
    } else if (arg == "--close") {
      options.behaviour = Behaviour::Close;
    } else if (arg.starts_with("--")) {
      Fail("unknown option " + std::string(arg));
    } else {
      positional.emplace_back(arg);
    }
  }
  if (positional.size() != 2) Fail("needs ADDRESS and PORT (see --help)");
  options.address = positional[0];
  options.port = positional[1];
  return options;
}

int Listen(const Options& options) {
  sockaddr_storage storage{};
  socklen_t size = 0;
  auto port = static_cast<std::uint16_t>(Number(options.port.c_str(), 0, 65535, "port"));
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, options.address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    size = sizeof *v4;
  } else if (::inet_pton(AF_INET6, options.address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    size = sizeof *v6;
  } else {
    Fail("bad address \"" + options.address + "\"");
  }
  int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0 || ::listen(fd, 16) != 0) {
    Fail(std::string("cannot listen: ") + std::strerror(errno));
  }
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size);
  (void)std::printf("%u\n", ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port));
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

void LogCommand(const CommandBuffer& command, std::size_t count) {
  std::string words = FormatHexWords(command.data(), count);
  (void)std::printf("command: %s (%zu bytes)\n", words.c_str(), count);
  (void)std::fflush(stdout);
}

std::vector<std::uint8_t> AnswerFor(const Options& options, const CommandBuffer& command) {
  std::vector<std::uint8_t> answer = options.raw_answer;
  if (answer.empty()) {
    Answer built = BuildAnswer(command, options.status);
    answer.assign(built.bytes.begin(), built.bytes.begin() + static_cast<long>(built.length));
  }
  std::size_t cut = options.reset_after != 0 ? options.reset_after : options.short_length;
  if (cut != 0 && cut < answer.size()) answer.resize(cut);
  return answer;
}

void SendInPieces(int fd, const std::vector<std::uint8_t>& answer, const Options& options) {
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

// Closes with a reset instead of an orderly close, as a peer that crashes does.
void Reset(int fd, const Options& options) {
  std::this_thread::sleep_for(std::chrono::milliseconds(options.pause_ms));
  linger abort{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

void Serve(int client, const Options& options) {
  CommandBuffer command{};
  std::size_t count = ReadCommand(client, command);
  LogCommand(command, count);
  if (count == command.size() && options.behaviour != Behaviour::Close) {
    if (options.behaviour == Behaviour::Answer) SendInPieces(client, AnswerFor(options, command), options);
    if (options.reset_after != 0) {
      Reset(client, options);
    } else {
      DrainUntilClosed(client);
    }
  }
  ::close(client);
}

}  // namespace

int main(int argc, char** argv) {
  (void)std::signal(SIGPIPE, SIG_IGN);  // a client that has gone is handled where it shows
  Options options = ReadOptions(argc, argv);
  int listener = Listen(options);
  do {
    int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      Fail(std::string("accept: ") + std::strerror(errno));
    }
    Serve(client, options);
  } while (!options.once);
  ::close(listener);
  return 0;
}
