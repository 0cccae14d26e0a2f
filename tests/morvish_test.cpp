// The built morvish against the simulated power supply on loopback: whole standard
// output byte for byte, exit status and time taken.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/process.h"
#include "tests/transcript.h"

using namespace expected;

namespace {

const std::string kUtf8 = "LC_ALL=C.UTF-8";

std::vector<std::string> Command(const std::string& address, const std::string& port, const std::string& bytes) {
  std::vector<std::string> argv{MORVISH_PATH, address, port};
  for (const std::string& word : Words(bytes)) argv.push_back(word);
  return argv;
}

// A loopback socket bound to a free port. Unless listening, connecting to it is refused;
// listening, it shows whether anything connected.
struct LoopbackPort {
  explicit LoopbackPort(bool listening) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    if (listening) ::listen(fd, 4);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = std::to_string(ntohs(address.sin_port));
  }
  ~LoopbackPort() { ::close(fd); }
  bool Contacted() const {
    int client = ::accept(fd, nullptr, nullptr);
    if (client >= 0) ::close(client);
    return client >= 0;
  }
  int fd = -1;
  std::string port;
};

struct Simulator {
  explicit Simulator(const std::vector<std::string>& options) : process(Arguments(options)) {
    port = process.ReadLine();
  }
  static std::vector<std::string> Arguments(const std::vector<std::string>& options) {
    std::vector<std::string> argv{SUPPLY_SIM_PATH, "--once"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("127.0.0.1");
    argv.push_back("0");
    return argv;
  }
  BackgroundProcess process;
  std::string port;
};

struct Scenario {
  std::string name;
  std::vector<std::string> simulator;
  std::string command;
  std::string out;
  int status;
  double min_seconds = 0;
  double max_seconds = 2;
};

std::string Hex2(int value) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

std::vector<Scenario> Exchanges() {
  const std::string command = "A1 B2 00 0D 0A";
  const std::string sent = Sent(command);
  std::vector<Scenario> rows = {
      {"Success", {}, command, sent + Received("A1 B2 00 00 0D 0A") + kSuccess, 0},
      {"EchoMismatch", {"--answer", "A1 B3 00 00 0D 0A"}, command, sent + Received("A1 B3 00 00 0D 0A") + kMismatch, 2},
      {"FooterMismatch", {"--answer", "A1 B2 00 00 0D 00"}, command, sent + Received("A1 B2 00 00 0D 00") + kMismatch, 2},
      {"Code6Prints23Bytes", {}, "A1 B2 06 0D 0A",
       Sent("A1 B2 06 0D 0A") + Received("A1 B2 06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0D 0A") + kSuccess, 0},
      {"UnknownCodeEndsWhenQuiet", {}, "A1 B2 20 0D 0A", Sent("A1 B2 20 0D 0A") + Received("") + kMismatch, 2},
      {"ShortAnswerMissingBytesAreZero", {"--short", "10"}, "A1 B2 06 0D 0A",
       Sent("A1 B2 06 0D 0A") + Received("A1 B2 06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00") + kMismatch,
       2},
      {"SplitInTwoStillSucceeds", {"--pieces", "2", "--pause", "150"}, command,
       sent + Received("A1 B2 00 00 0D 0A") + kSuccess, 0},
      {"OneByteAtATimeStillSucceeds", {"--pieces", "23", "--pause", "20"}, "A1 B2 06 0D 0A",
       Sent("A1 B2 06 0D 0A") + Received("A1 B2 06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0D 0A") + kSuccess, 0},
      {"NoAnswerGivesUpAfterFiveSeconds", {"--silent"}, command, sent + ReceiveFailed(ETIMEDOUT), 3, 4.8, 6.5},
      {"ClosedWithoutAnswer", {"--close"}, command, sent + kClosedWithoutAnswer, 3},
      {"SignedAndShortBytes", {}, "-1 +7 00 d 0a", Sent("FF 07 00 0D 0A") + Received("FF 07 00 00 0D 0A") + kSuccess, 0},
  };
  for (int status = 1; status <= 8; ++status) {
    rows.push_back({"Status" + std::to_string(status), {"--status", Hex2(status)}, command,
                    sent + Received("A1 B2 00 " + Hex2(status) + " 0D 0A") +
                        (status < 8 ? kByStatus[static_cast<std::size_t>(status)] : kUnexpected),
                    2});
  }
  rows.push_back({"Status80", {"--status", "80"}, command, sent + Received("A1 B2 00 80 0D 0A") + kUnexpected, 2});
  return rows;
}

void PrintTo(const Scenario& row, std::ostream* out) { *out << row.name; }

class MorvishExchange : public testing::TestWithParam<Scenario> {};

TEST_P(MorvishExchange, PrintsTheWholeReport) {
  const Scenario& row = GetParam();
  Simulator simulator(row.simulator);
  ASSERT_FALSE(simulator.port.empty());
  ProcessResult result = RunProcess(Command("127.0.0.1", simulator.port, row.command), {kUtf8});
  EXPECT_EQ(result.out, row.out);
  EXPECT_EQ(result.status, row.status);
  EXPECT_EQ(result.err, "");
  EXPECT_GE(result.seconds, row.min_seconds);
  EXPECT_LE(result.seconds, row.max_seconds);
}

INSTANTIATE_TEST_SUITE_P(Morvish, MorvishExchange, testing::ValuesIn(Exchanges()),
                         [](const testing::TestParamInfo<Scenario>& row) { return row.param.name; });

TEST(Morvish, SendsAll64BytesButPrintsOnlyTheTypedOnes) {
  std::string sixty_four = "A1 B2 00";
  for (int k = 3; k < 64; ++k) sixty_four += " " + Hex2(0xC0 + k);
  std::string five_then_zeros = "A1 B2 00 0D 0A";
  for (int k = 5; k < 64; ++k) five_then_zeros += " 00";
  struct Row {
    std::string typed;
    std::string on_wire;
  };
  for (const Row& row : {Row{"A1 B2 00 0D 0A", five_then_zeros}, Row{sixty_four, sixty_four}}) {
    Simulator simulator({});
    ProcessResult result = RunProcess(Command("127.0.0.1", simulator.port, row.typed), {kUtf8});
    EXPECT_EQ(result.out, Sent(row.typed) + Received("A1 B2 00 00 0D 0A") + kSuccess);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(simulator.process.ReadLine(), "command: " + row.on_wire + " (64 bytes)");
  }
}

TEST(Morvish, RefusedConnection) {
  LoopbackPort closed(false);
  ProcessResult result = RunProcess(Command("127.0.0.1", closed.port, "A1 B2 00 0D 0A"), {kUtf8});
  EXPECT_EQ(result.out, ConnectFailed(ECONNREFUSED));
  EXPECT_EQ(result.status, 3);
}

// Every refused command line: its message, status 1, and nothing contacted.
TEST(Morvish, BadCommandLinesNeverTouchTheNetwork) {
  LoopbackPort listener(true);
  const std::string& port = listener.port;
  std::string sixty_five;
  for (int k = 0; k < 65; ++k) sixty_five += "01 ";
  struct Row {
    std::vector<std::string> argv;
    std::string out;
  };
  const std::vector<Row> rows = {
      {Command("127.0.0.1", port, "A1 B2 00 0D"), kArgumentCount},
      {{MORVISH_PATH}, kArgumentCount},
      {Command("127.0.0.1", port, "A1 B2 00 0D 1FF"), InvalidByte("1FF", 7)},
      {Command("127.0.0.1", port, "A1 1g 00 0D 0A"), InvalidByte("1g", 4)},
      {Command("127.0.0.1", port, "0x41 B2 00 0D 0A"), InvalidByte("0x41", 3)},
      {Command("127.0.0.1", port, "A1 B2 zz 0D g0"), InvalidByte("zz", 5)},
      {{MORVISH_PATH, "127.0.0.1", port, "A1", "", "00", "0D", "0A"}, InvalidByte("", 4)},
      {{MORVISH_PATH, "127.0.0.1", port, "A1", "B2", "d ", "0D", "0A"}, InvalidByte("d ", 5)},
      {Command("127.0.0.1", port, sixty_five), TooMany(64)},
      {Command("127.0.0.1", "70000", "A1 B2 00 0D 0A"), InvalidPort("70000")},
      {Command("127.0.0.1", "abc", "A1 B2 00 0D 0A"), InvalidPort("abc")},
      {Command("127.0.0.1", "0", "A1 B2 00 0D 0A"), InvalidPort("0")},
      {Command("localhost", port, "A1 B2 00 0D 0A"), InvalidAddress("localhost")},
      {Command("1.2.3", "abc", "zz B2 00 0D 0A"), InvalidAddress("1.2.3")},
      {Command("127.0.0.1", "x", "zz B2 00 0D 0A"), InvalidPort("x")},
  };
  for (const Row& row : rows) {
    ProcessResult result = RunProcess(row.argv, {kUtf8});
    std::string shown;
    for (const std::string& word : row.argv) shown += "[" + word + "]";
    EXPECT_EQ(result.out, row.out) << shown;
    EXPECT_EQ(result.status, 1) << shown;
  }
  EXPECT_FALSE(listener.Contacted());
}

TEST(Morvish, HelpAndVersion) {
  ProcessResult help = RunProcess({MORVISH_PATH, "--help"}, {kUtf8});
  EXPECT_TRUE(help.out.starts_with("Usage: morvish ADDRESS PORT BYTE")) << help.out;
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(RunProcess({MORVISH_PATH, "-h"}, {kUtf8}).out, help.out);
  ProcessResult version = RunProcess({MORVISH_PATH, "--version"}, {kUtf8});
  EXPECT_EQ(version.out, std::string("morvish ") + DIMLINK_VERSION + "\n");
  EXPECT_EQ(version.status, 0);
}

bool LocaleInstalled(const char* name) {
  locale_t locale = ::newlocale(LC_ALL_MASK, name, nullptr);
  if (locale == nullptr) return false;
  ::freelocale(locale);
  return true;
}

// The labels and messages come out in one encoding: the locale's own when it can show
// them, UTF-8 otherwise.
TEST(Morvish, OutputEncodingFollowsTheLocale) {
  struct Row {
    std::string env;
    bool code_page_932;
  };
  const Row rows[] = {
      {"LC_ALL=C", false},        {"LANG=C", false},          {"LANG=POSIX", false},
      {"LC_ALL=C.UTF-8", false},  {"LANG=C.UTF-8", false},    {"LANG=xx_XX.NOT-THERE", false},
      {"LC_ALL=ja_JP.SJIS", true}, {"LANG=ja_JP.SJIS", true},
  };
  if (!LocaleInstalled("ja_JP.SJIS")) {
    if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true") {
      FAIL() << "the ja_JP.SJIS locale is missing (scripts/check makes it when run as root)";
    }
    GTEST_SKIP() << "the ja_JP.SJIS locale is missing (scripts/check makes it when run as root)";
  }
  LoopbackPort closed(false);
  for (const Row& row : rows) {
    auto encode = [&](const std::string& text) { return row.code_page_932 ? ToCodePage932(text) : text; };
    Simulator simulator({"--status", "07"});
    ProcessResult answered = RunProcess(Command("127.0.0.1", simulator.port, "A1 B2 00 0D 0A"), {row.env});
    EXPECT_EQ(answered.out,
              encode(Sent("A1 B2 00 0D 0A") + Received("A1 B2 00 07 0D 0A") + kByStatus[7]))
        << row.env;
    ProcessResult refused = RunProcess(Command("127.0.0.1", closed.port, "A1 B2 00 0D 0A"), {row.env});
    EXPECT_EQ(refused.out, encode(ConnectFailed(ECONNREFUSED))) << row.env;
    ProcessResult count = RunProcess(Command("127.0.0.1", closed.port, "A1"), {row.env});
    EXPECT_EQ(count.out, encode(kArgumentCount)) << row.env;
    if (row.code_page_932) {
      // The labels' full-width colon in code page 932.
      EXPECT_NE(answered.out.find("\x81\x46 "), std::string::npos);
    }
  }
}

}  // namespace
