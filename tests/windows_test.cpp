// The Windows tools, cross-built with MinGW-w64, run under Wine: morvish.exe against the
// Linux simulator through the same exchanges as natively (only the error numbers are
// Windows' own), and kestrow.exe's search through Wine's HID devices.

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "tests/lan_rig.h"
#include "tests/process.h"
#include "tests/transcript.h"

using namespace expected;

namespace {

constexpr long kWsaTimedOut = 10060;
constexpr long kWsaRefused = 10061;
constexpr long kWsaReset = 10054;
constexpr double kWineSlack = 3;  // Wine's own start-up, on top of every time limit

const Tool kMorvishExe{{WINE_PATH}, MORVISH_EXE_PATH, kWineSlack};
const Tool kKestrowExe{{WINE_PATH}, KESTROW_EXE_PATH, kWineSlack};

#define REQUIRE_WINE()     \
  REQUIRE_NOTHING_MISSING( \
      ::access(WINE_PATH, X_OK) == 0 ? std::string() : "Wine is missing (scripts/prepare-machine installs wine64)")

// Wine hands a reset connection to the program as an orderly close (recv gives 0 bytes),
// where Windows fails the receive with 10054; the native run covers the reset row.
std::vector<LanScenario> WineExchanges() {
  std::vector<LanScenario> rows = LanExchanges({kWsaTimedOut, kWsaRefused, kWsaReset});
  std::erase_if(rows, [](const LanScenario& row) { return row.name == "ResetInTheMiddleOfTheAnswer"; });
  return rows;
}

class WindowsMorvish : public testing::TestWithParam<LanScenario> {};

TEST_P(WindowsMorvish, PrintsTheWholeReport) {
  REQUIRE_WINE();
  CheckLanExchange(kMorvishExe, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Wine, WindowsMorvish, testing::ValuesIn(WineExchanges()),
                         [](const testing::TestParamInfo<LanScenario>& row) { return row.param.name; });

TEST(WindowsMorvish, RefusedConnection) {
  REQUIRE_WINE();
  LoopbackPort closed(false);
  ProcessResult result =
      RunProcess(LanCommand(kMorvishExe, "127.0.0.1", closed.port, "A1 B2 00 0D 0A"), {"LC_ALL=C.UTF-8"}, 60);
  EXPECT_EQ(result.out, ConnectFailed(kWsaRefused));
  EXPECT_EQ(result.status, 3);
}

TEST(WindowsMorvish, ConnectGivesUpAfterFiveSeconds) {
  REQUIRE_WINE();
  FullListenQueue unanswered;
  ProcessResult result =
      RunProcess(LanCommand(kMorvishExe, "127.0.0.1", unanswered.port, "A1 B2 00 0D 0A"), {"LC_ALL=C.UTF-8"}, 60);
  EXPECT_EQ(result.out, ConnectFailed(kWsaTimedOut));
  EXPECT_EQ(result.status, 3);
  EXPECT_GE(result.seconds, 4.8);
  EXPECT_LE(result.seconds, 6.5 + kWineSlack);
}

TEST(WindowsMorvish, BadCommandLinesNeverTouchTheNetwork) {
  REQUIRE_WINE();
  CheckBadLanCommandLines(kMorvishExe);
}

TEST(WindowsKestrow, PassesOverWinesDevicesAndEndsTheSearch) {
  REQUIRE_WINE();
  // Wine's trace of its HID library shows the search reading each of Wine's own
  // devices' identifiers; none of them is then opened for reading and writing.
  ProcessResult result =
      RunProcess(ToolCommand(kKestrowExe, Words("A1 B2 00 0D 0A")), {"LC_ALL=C.UTF-8", "WINEDEBUG=+hid"}, 60);
  EXPECT_EQ(result.out, " !!! GetDeviceInterFace Error Code = 259\n" + kSupplyNotFound);
  EXPECT_EQ(result.status, 3);
  EXPECT_NE(result.err.find("HidD_GetAttributes"), std::string::npos) << "no device was looked at";
  EXPECT_EQ(result.err.find("HidD_GetPreparsedData"), std::string::npos) << "a device that is not the supply was used";
}

TEST(WindowsKestrow, RefusesCommandLinesBeforeTheSearch) {
  REQUIRE_WINE();
  std::string sixty_four;
  for (int k = 0; k < 64; ++k) sixty_four += "01 ";
  struct Row {
    std::string args;
    std::string out;
  };
  for (const Row& row : {Row{"A1 B2 00 0D", kArgumentCount}, Row{sixty_four, TooMany(63)},
                         Row{"A1 B2 0x 0D 0A", InvalidByte("0x", 3)}}) {
    ProcessResult result = RunProcess(ToolCommand(kKestrowExe, Words(row.args)), {"LC_ALL=C.UTF-8"}, 60);
    EXPECT_EQ(result.out, row.out) << row.args;
    EXPECT_EQ(result.status, 1) << row.args;
  }
}

// Redirected output is code page 932 where that is the ANSI code page, UTF-8 elsewhere.
TEST(WindowsEncoding, RedirectedOutputFollowsTheAnsiCodePage) {
  REQUIRE_WINE();
  LoopbackPort closed(false);
  struct Row {
    std::string env;
    bool code_page_932;
  };
  for (const Row& row : {Row{"LANG=ja_JP.SJIS", true}, Row{"LANG=ja_JP.UTF-8", false}, Row{"LC_ALL=C.UTF-8", false}}) {
    auto encode = [&](const std::string& text) { return row.code_page_932 ? ToCodePage932(text) : text; };
    Simulator simulator({"--status", "07"});
    ProcessResult answered =
        RunProcess(LanCommand(kMorvishExe, "127.0.0.1", simulator.port, "A1 B2 00 0D 0A"), {row.env}, 60);
    EXPECT_EQ(answered.out, encode(Sent("A1 B2 00 0D 0A") + Received("A1 B2 00 07 0D 0A") + kByStatus[7])) << row.env;
    ProcessResult refused =
        RunProcess(LanCommand(kMorvishExe, "127.0.0.1", closed.port, "A1 B2 00 0D 0A"), {row.env}, 60);
    EXPECT_EQ(refused.out, encode(ConnectFailed(kWsaRefused))) << row.env;
    ProcessResult missing = RunProcess(ToolCommand(kKestrowExe, Words("A1 B2 00 0D 0A")), {row.env}, 60);
    EXPECT_EQ(missing.out, encode(" !!! GetDeviceInterFace Error Code = 259\n" + kSupplyNotFound)) << row.env;
  }
}

// On a console the texts go out as UTF-16 (WriteConsoleW), shown by Wine's terminal
// console in the terminal's encoding; script(1) gives the tool a terminal.
TEST(WindowsEncoding, ConsoleShowsTheJapaneseTexts) {
  REQUIRE_WINE();
  Simulator simulator({});
  std::string command =
      std::string(WINE_PATH) + " " + MORVISH_EXE_PATH + " 127.0.0.1 " + simulator.port + " A1 B2 00 0D 0A";
  ProcessResult result = RunProcess({"/usr/bin/script", "-qc", command, "/dev/null"}, {"LC_ALL=C.UTF-8"}, 60);
  EXPECT_EQ(result.status, 0);
  for (const std::string& text :
       {std::string("Send Command / 送信コマンド："), std::string("Receive Command / 受信コマンド："),
        kSuccess.substr(1), std::string("A1 "), std::string("0A ")}) {
    EXPECT_NE(result.out.find(text), std::string::npos) << text << " in " << result.out;
  }
  // Written as bytes, the transcript's NULs would reach the terminal as they are; through
  // the console they become characters of its own.
  EXPECT_EQ(result.out.find('\0'), std::string::npos);
}

}  // namespace
