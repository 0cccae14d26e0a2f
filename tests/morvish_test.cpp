// The built morvish against the simulated power supply on loopback: whole standard
// output byte for byte, exit status and time taken.

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/lan_rig.h"
#include "tests/process.h"
#include "tests/transcript.h"

using namespace expected;

namespace {

const std::string kUtf8 = "LC_ALL=C.UTF-8";
const Tool kMorvish{{}, MORVISH_PATH};

std::vector<std::string> Command(const std::string& address, const std::string& port, const std::string& bytes) {
  return LanCommand(kMorvish, address, port, bytes);
}

class MorvishExchange : public testing::TestWithParam<LanScenario> {};

TEST_P(MorvishExchange, PrintsTheWholeReport) { CheckLanExchange(kMorvish, GetParam()); }

INSTANTIATE_TEST_SUITE_P(Morvish, MorvishExchange,
                         testing::ValuesIn(LanExchanges({ETIMEDOUT, ECONNREFUSED, ECONNRESET})),
                         [](const testing::TestParamInfo<LanScenario>& row) { return row.param.name; });

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

TEST(Morvish, Ipv6) {
  Simulator simulator({}, "::1");
  ProcessResult result = RunProcess(Command("::1", simulator.port, "A1 B2 00 0D 0A"), {kUtf8});
  EXPECT_EQ(result.out, Sent("A1 B2 00 0D 0A") + Received("A1 B2 00 00 0D 0A") + kSuccess);
  EXPECT_EQ(result.status, 0);
}

TEST(Morvish, RefusedConnection) {
  LoopbackPort closed(false);
  ProcessResult result = RunProcess(Command("127.0.0.1", closed.port, "A1 B2 00 0D 0A"), {kUtf8});
  EXPECT_EQ(result.out, ConnectFailed(ECONNREFUSED));
  EXPECT_EQ(result.status, 3);
}

TEST(Morvish, ConnectGivesUpAfterFiveSeconds) {
  FullListenQueue unanswered;
  ProcessResult result = RunProcess(Command("127.0.0.1", unanswered.port, "A1 B2 00 0D 0A"), {kUtf8});
  EXPECT_EQ(result.out, ConnectFailed(ETIMEDOUT));
  EXPECT_EQ(result.status, 3);
  EXPECT_GE(result.seconds, 4.8);
  EXPECT_LE(result.seconds, 6.5);
}

TEST(Morvish, BadCommandLinesNeverTouchTheNetwork) { CheckBadLanCommandLines(kMorvish); }

TEST(Morvish, HelpAndVersion) {
  ProcessResult help = RunProcess({MORVISH_PATH, "--help"}, {kUtf8});
  EXPECT_TRUE(help.out.starts_with("Usage: morvish ADDRESS PORT BYTE")) << help.out;
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(RunProcess({MORVISH_PATH, "-h"}, {kUtf8}).out, help.out);
  ProcessResult version = RunProcess({MORVISH_PATH, "--version"}, {kUtf8});
  EXPECT_EQ(version.out, std::string("morvish ") + DIMLINK_VERSION + "\nLicense: MIT\n");
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
      {"LC_ALL=C", false},         {"LANG=C", false},         {"LANG=POSIX", false},
      {"LC_ALL=C.UTF-8", false},   {"LANG=C.UTF-8", false},   {"LANG=xx_XX.NOT-THERE", false},
      {"LC_ALL=ja_JP.SJIS", true}, {"LANG=ja_JP.SJIS", true},
  };
  REQUIRE_NOTHING_MISSING(LocaleInstalled("ja_JP.SJIS")
                              ? std::string()
                              : "the ja_JP.SJIS locale is missing (scripts/check makes it when run as root)");
  LoopbackPort closed(false);
  for (const Row& row : rows) {
    auto encode = [&](const std::string& text) { return row.code_page_932 ? ToCodePage932(text) : text; };
    Simulator simulator({"--status", "07"});
    ProcessResult answered = RunProcess(Command("127.0.0.1", simulator.port, "A1 B2 00 0D 0A"), {row.env});
    EXPECT_EQ(answered.out, encode(Sent("A1 B2 00 0D 0A") + Received("A1 B2 00 07 0D 0A") + kByStatus[7])) << row.env;
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
