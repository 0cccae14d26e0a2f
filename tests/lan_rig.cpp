#include "tests/lan_rig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>

#include "tests/transcript.h"

using namespace expected;

namespace {
const std::string kUtf8 = "LC_ALL=C.UTF-8";
}

std::vector<std::string> ToolCommand(const Tool& tool, const std::vector<std::string>& args) {
  std::vector<std::string> argv = tool.launcher;
  argv.push_back(tool.path);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::vector<std::string> LanCommand(const Tool& tool, const std::string& address, const std::string& port,
                                    const std::string& bytes) {
  std::vector<std::string> args{address, port};
  for (const std::string& word : Words(bytes)) args.push_back(word);
  return ToolCommand(tool, args);
}

namespace {

// Binds a new TCP socket to a free loopback port and gives back the port.
std::string BindLoopback(int fd, int backlog) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      (backlog >= 0 && ::listen(fd, backlog) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error("cannot bind a loopback port");
  }
  return std::to_string(ntohs(address.sin_port));
}

}  // namespace

LoopbackPort::LoopbackPort(bool listening) {
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  port = BindLoopback(fd, listening ? 4 : -1);
}

LoopbackPort::~LoopbackPort() { ::close(fd); }

bool LoopbackPort::Contacted() const {
  int client = ::accept(fd, nullptr, nullptr);
  if (client >= 0) ::close(client);
  return client >= 0;
}

namespace {
std::vector<std::string> SimulatorArguments(const std::vector<std::string>& options, const std::string& address) {
  std::vector<std::string> argv{SUPPLY_SIM_PATH, "--once"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(address);
  argv.push_back("0");
  return argv;
}
}  // namespace

FullListenQueue::FullListenQueue() {
  listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  port = BindLoopback(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
  // Never accepted, these fill the queue; later connection requests are dropped unanswered.
  for (int k = 0; k < 3; ++k) {
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    (void)::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);  // completes in the background
    waiting.push_back(client);
  }
  ::usleep(100000);
}

FullListenQueue::~FullListenQueue() {
  for (int client : waiting) ::close(client);
  ::close(listener);
}

Simulator::Simulator(const std::vector<std::string>& options, const std::string& address)
    : process(SimulatorArguments(options, address)) {
  port = process.ReadLine();
}

void PrintTo(const LanScenario& row, std::ostream* out) { *out << row.name; }

namespace {
std::string Repeat(const std::string& text, int times) {
  std::string repeated;
  for (int k = 0; k < times; ++k) repeated += text;
  return repeated;
}
}  // namespace

std::vector<LanScenario> LanExchanges(const ErrorNumbers& errors) {
  const std::string command = "A1 B2 00 0D 0A";
  const std::string sent = Sent(command);
  const std::string code6 = "A1 B2 06 0D 0A";
  const std::string whole23 = "A1 B2 06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0D 0A";
  std::vector<LanScenario> rows = {
      {"Success", {}, command, sent + Received("A1 B2 00 00 0D 0A") + kSuccess, 0},
      {"EchoMismatch", {"--answer", "A1 B3 00 00 0D 0A"}, command, sent + Received("A1 B3 00 00 0D 0A") + kMismatch, 2},
      {"FooterMismatch",
       {"--answer", "A1 B2 00 00 0D 00"},
       command,
       sent + Received("A1 B2 00 00 0D 00") + kMismatch,
       2},
      {"Code6Prints23Bytes", {}, code6, Sent(code6) + Received(whole23) + kSuccess, 0},
      {"UnknownCodeEndsWhenQuiet", {}, "A1 B2 20 0D 0A", Sent("A1 B2 20 0D 0A") + Received("") + kMismatch, 2},
      {"ShortAnswerMissingBytesAreZero",
       {"--short", "10"},
       code6,
       Sent(code6) + Received("A1 B2 06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00") + kMismatch,
       2},
      {"SplitInTwoStillSucceeds",
       {"--pieces", "2", "--pause", "150"},
       command,
       sent + Received("A1 B2 00 00 0D 0A") + kSuccess,
       0},
      {"OneByteAtATimeStillSucceeds",
       {"--pieces", "23", "--pause", "20"},
       code6,
       Sent(code6) + Received(whole23) + kSuccess,
       0},
      {"NoAnswerGivesUpAfterFiveSeconds", {"--silent"}, command, sent + ReceiveFailed(errors.timed_out), 3, 4.8, 6.5},
      {"ClosedWithoutAnswer", {"--close"}, command, sent + kClosedWithoutAnswer, 3},
      {"ResetInTheMiddleOfTheAnswer",
       {"--reset-after", "3", "--pause", "100"},
       code6,
       Sent(code6) + ReceiveFailed(errors.reset),
       3},
      // The frame is whole after 23 bytes: the rest is never waited for.
      {"SplitIn64PiecesEndsWithTheFrame",
       {"--answer", whole23 + " " + Repeat("FF ", 41), "--pieces", "64", "--pause", "10"},
       code6,
       Sent(code6) + Received(whole23) + kSuccess,
       0},
      {"LongerThan64BytesStopsAt64",
       {"--answer", "A1 B2 20 00 " + Repeat("0D 0A ", 48)},
       "A1 B2 20 0D 0A",
       Sent("A1 B2 20 0D 0A") + Received("") + kMismatch,
       2,
       0,
       0.5},
      {"SignedAndShortBytes",
       {},
       "-1 +7 00 d 0a",
       Sent("FF 07 00 0D 0A") + Received("FF 07 00 00 0D 0A") + kSuccess,
       0},
  };
  for (int status = 1; status <= 8; ++status) {
    rows.push_back({"Status" + std::to_string(status),
                    {"--status", Hex2(status)},
                    command,
                    sent + Received("A1 B2 00 " + Hex2(status) + " 0D 0A") +
                        (status < 8 ? kByStatus[static_cast<std::size_t>(status)] : kUnexpected),
                    2});
  }
  rows.push_back({"Status80", {"--status", "80"}, command, sent + Received("A1 B2 00 80 0D 0A") + kUnexpected, 2});
  return rows;
}

void CheckLanExchange(const Tool& tool, const LanScenario& row) {
  Simulator simulator(row.simulator);
  ASSERT_FALSE(simulator.port.empty());
  ProcessResult result = RunProcess(LanCommand(tool, "127.0.0.1", simulator.port, row.command), {kUtf8}, 60);
  EXPECT_EQ(result.out, row.out);
  EXPECT_EQ(result.status, row.status);
  if (tool.launcher.empty()) {
    EXPECT_EQ(result.err, "");  // Wine may add notes of its own
  }
  EXPECT_GE(result.seconds, row.min_seconds);
  EXPECT_LE(result.seconds, row.max_seconds + tool.slack_seconds);
}

void CheckBadLanCommandLines(const Tool& tool) {
  LoopbackPort listener(true);
  const std::string& port = listener.port;
  std::string sixty_five;
  for (int k = 0; k < 65; ++k) sixty_five += "01 ";
  struct Row {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Row> rows = {
      {Words("127.0.0.1 " + port + " A1 B2 00 0D"), kArgumentCount},
      {{}, kArgumentCount},
      {Words("127.0.0.1 " + port + " A1 B2 00 0D 1FF"), InvalidByte("1FF", 7)},
      {Words("127.0.0.1 " + port + " A1 1g 00 0D 0A"), InvalidByte("1g", 4)},
      {Words("127.0.0.1 " + port + " 0x41 B2 00 0D 0A"), InvalidByte("0x41", 3)},
      {Words("127.0.0.1 " + port + " A1 B2 zz 0D g0"), InvalidByte("zz", 5)},
      {{"127.0.0.1", port, "A1", "", "00", "0D", "0A"}, InvalidByte("", 4)},
      {{"127.0.0.1", port, "A1", "B2", "d ", "0D", "0A"}, InvalidByte("d ", 5)},
      {Words("127.0.0.1 " + port + " " + sixty_five), TooMany(64)},
      {Words("127.0.0.1 70000 A1 B2 00 0D 0A"), InvalidPort("70000")},
      {Words("127.0.0.1 abc A1 B2 00 0D 0A"), InvalidPort("abc")},
      {Words("127.0.0.1 0 A1 B2 00 0D 0A"), InvalidPort("0")},
      {Words("localhost " + port + " A1 B2 00 0D 0A"), InvalidAddress("localhost")},
      {Words("1.2.3 abc zz B2 00 0D 0A"), InvalidAddress("1.2.3")},
      {Words("127.0.0.1 x zz B2 00 0D 0A"), InvalidPort("x")},
  };
  for (const Row& row : rows) {
    ProcessResult result = RunProcess(ToolCommand(tool, row.args), {kUtf8}, 60);
    std::string shown;
    for (const std::string& word : row.args) shown += "[" + word + "]";
    EXPECT_EQ(result.out, row.out) << shown;
    EXPECT_EQ(result.status, 1) << shown;
    if (tool.launcher.empty()) {
      EXPECT_EQ(result.err, "") << shown;
    }
  }
  EXPECT_FALSE(listener.Contacted());
}
