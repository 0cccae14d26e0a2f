// The built kestrow against emulated HID devices: a FUSE file system serves hidraw-like
// nodes, and a private mount namespace puts them, with a made-up /sys/class/hidraw, where
// the tool looks. Whole standard output byte for byte, exit status, time taken, and what
// the devices saw.

#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/process.h"
#include "tests/transcript.h"

using namespace expected;
namespace fs = std::filesystem;

namespace {

// A vendor-defined device with 63-byte reports, as the power supply describes itself.
const std::vector<std::uint8_t> kUnnumbered = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95,
    0x3F, 0x81, 0x02, 0x09, 0x03, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x3F, 0x91, 0x02, 0xC0,
};
// The same with report ID 1.
const std::vector<std::uint8_t> kNumbered = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x3F, 0x81, 0x02, 0x09, 0x03, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x3F, 0x91, 0x02, 0xC0,
};

struct Device {
  std::string name;  // hidrawN
  std::uint16_t vendor = 0x0483;
  std::uint16_t product = 0x5750;
  std::string behaviour = "answer";  // of the emulated node; empty: no node in /dev
  std::vector<std::uint8_t> descriptor = kUnnumbered;
};

Device Supply(const std::string& name, const std::string& behaviour = "answer") {
  return {name, 0x0483, 0x5750, behaviour};
}
Device Other(const std::string& name, std::uint16_t vendor, std::uint16_t product) { return {name, vendor, product}; }

enum class ClassDirectory { Present, Missing };

// The value as 8 hex digits, as uevent writes identifiers.
std::string HexId(unsigned value) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) text += Hex2(static_cast<int>(value >> shift));
  return text;
}

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

struct UsbRun {
  ProcessResult result;
  std::vector<std::string> device_log;  // what the emulated nodes saw: opens and writes
};

// Why the rig cannot run here, or empty.
std::string MissingPrerequisite() {
  if (::geteuid() != 0) return "the kestrow end-to-end tests need root (mount namespaces and FUSE mounts)";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) return "the kestrow end-to-end tests need /dev/fuse";
  if (::access("/usr/bin/unshare", X_OK) != 0) return "the kestrow end-to-end tests need unshare (util-linux)";
  return {};
}

#define REQUIRE_RIG() REQUIRE_NOTHING_MISSING(MissingPrerequisite())

UsbRun RunKestrow(const std::vector<Device>& devices, const std::vector<std::string>& args,
                  ClassDirectory class_directory = ClassDirectory::Present,
                  const std::string& locale = "LC_ALL=C.UTF-8") {
  std::string pattern = (fs::temp_directory_path() / "kestrow-test-XXXXXX").string();
  fs::path root = ::mkdtemp(pattern.data());
  fs::path classes = root / "class";
  fs::path nodes = root / "nodes";
  fs::create_directories(classes);
  fs::create_directories(nodes);
  if (class_directory == ClassDirectory::Present) fs::create_directories(classes / "hidraw");

  std::vector<std::string> emulator{HIDRAW_EMULATOR_PATH, nodes.string()};
  std::string binds;
  for (const Device& device : devices) {
    fs::path entry = classes / "hidraw" / device.name / "device";
    WriteFile(entry / "uevent", "DRIVER=hid-generic\nHID_ID=0003:" + HexId(device.vendor) + ":" +
                                    HexId(device.product) + "\nHID_NAME=Test device\n");
    WriteFile(entry / "report_descriptor", std::string(device.descriptor.begin(), device.descriptor.end()));
    if (device.behaviour.empty()) continue;
    emulator.push_back(device.name + "=" + device.behaviour);
    binds += ": > /dev/" + device.name + " && mount --bind " + (nodes / device.name).string() + " /dev/" + device.name +
             " || exit 99\n";
  }
  BackgroundProcess nodes_process(emulator);
  EXPECT_EQ(nodes_process.ReadLine(), "ready");

  std::string script = "mount --bind " + classes.string() + " /sys/class || exit 99\n" +
                       "mount -t tmpfs none /dev || exit 99\n" + binds + "exec \"$@\"\n";
  std::vector<std::string> argv{
      "/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script, "sh", KESTROW_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  UsbRun run{RunProcess(argv, {locale}), {}};

  std::string log = nodes_process.Stop(SIGTERM);
  ::umount2(nodes.c_str(), MNT_DETACH);  // in case the emulator could not unmount
  std::size_t start = 0;
  while (start < log.size()) {
    std::size_t end = log.find('\n', start);
    run.device_log.push_back(log.substr(start, end - start));
    start = end == std::string::npos ? log.size() : end + 1;
  }
  fs::remove_all(root);
  return run;
}

// The output report the node should see: report ID 00, the command, zeros up to 64 bytes.
std::string WriteSeen(const std::string& node, const std::string& typed) {
  std::vector<std::uint8_t> bytes = Hex(typed);
  std::string line = node + " write 00";
  for (std::size_t k = 0; k < 63; ++k) line += " " + Hex2(k < bytes.size() ? bytes[k] : 0);
  return line + " (64 bytes)";
}

std::string Opened(const std::string& node) { return node + " open"; }
std::string ReadOf(const std::string& node, int size) { return node + " read " + std::to_string(size); }

const std::string kSearchEnd = " !!! GetDeviceInterFace Error Code = 259\n";
std::string CannotOpen(const std::string& path, int code) {
  return " !!! Cannot open " + path + ", Error Code = " + std::to_string(code) + "\n";
}

struct Scenario {
  std::string name;
  std::vector<Device> devices;
  std::string command;
  std::string out;
  int status;
  std::vector<std::string> device_log;
  ClassDirectory class_directory = ClassDirectory::Present;
  double min_seconds = 0;
  double max_seconds = 2;
};

void PrintTo(const Scenario& row, std::ostream* out) { *out << row.name; }

std::vector<Scenario> Exchanges() {
  const std::string command = "A1 B2 00 0D 0A";
  const std::string sent = Sent(command);
  const std::string success = sent + Received("A1 B2 00 00 0D 0A") + kSuccess;
  const std::vector<std::string> written0 = {Opened("hidraw0"), WriteSeen("hidraw0", command)};
  // Without report IDs hidraw's reports come without the ID byte: 63 bytes of answer.
  std::vector<std::string> used0 = written0;
  used0.push_back(ReadOf("hidraw0", 63));
  std::vector<std::string> used0_numbered = written0;
  used0_numbered.push_back(ReadOf("hidraw0", 64));
  Device long_reports = Supply("hidraw0", "report-size:100");
  Device long_numbered = Supply("hidraw0", "numbered+report-size:100");
  long_numbered.descriptor = kNumbered;
  std::string sixty_three = "A1 B2 00";
  for (int k = 3; k < 63; ++k) sixty_three += " " + Hex2(0x80 + k);
  Device numbered = Supply("hidraw0", "numbered");
  numbered.descriptor = kNumbered;
  Device unnumbered_raw = Supply("hidraw0", "raw:A1,B3,00,00,0D,0A");

  return {
      {"Success", {Supply("hidraw0")}, command, success, 0, used0},
      {"ErrorStatus",
       {Supply("hidraw0", "status:05")},
       command,
       sent + Received("A1 B2 00 05 0D 0A") + kByStatus[5],
       2,
       used0},
      {"EchoMismatch", {unnumbered_raw}, command, sent + Received("A1 B3 00 00 0D 0A") + kMismatch, 2, used0},
      {"Code6Prints23Bytes",
       {Supply("hidraw0")},
       "A1 B2 06 0D 0A",
       Sent("A1 B2 06 0D 0A") + Received("A1 B2 06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0D 0A") +
           kSuccess,
       0,
       {Opened("hidraw0"), WriteSeen("hidraw0", "A1 B2 06 0D 0A"), ReadOf("hidraw0", 63)}},
      {"NumberedReportsAnswerFromByte1", {numbered}, command, success, 0, used0_numbered},
      {"ReportsLongerThan64BytesAreCut", {long_reports}, command, success, 0, used0},
      {"NumberedReportsLongerThan64BytesAreCut", {long_numbered}, command, success, 0, used0_numbered},
      {"NoHidrawDirectory", {}, command, kSearchEnd + kSupplyNotFound, 3, {}, ClassDirectory::Missing},
      {"EmptyHidrawDirectory", {}, command, kSearchEnd + kSupplyNotFound, 3, {}},
      {"OnlyOtherDevicesAreNeverOpened",
       {Other("hidraw0", 0x1234, 0x0001), Other("hidraw1", 0x0483, 0x5740)},
       command,
       kSearchEnd + kSupplyNotFound,
       3,
       {}},
      {"OthersPassedOver",
       {Other("hidraw0", 0x1234, 0x0001), Other("hidraw1", 0x0483, 0x5740), Supply("hidraw2")},
       command,
       success,
       0,
       {Opened("hidraw2"), WriteSeen("hidraw2", command), ReadOf("hidraw2", 63)}},
      {"TwoSuppliesTheLowerNumberWins",
       {Supply("hidraw10", "status:01"), Supply("hidraw2")},
       command,
       success,
       0,
       {Opened("hidraw2"), WriteSeen("hidraw2", command), ReadOf("hidraw2", 63)}},
      {"UnopenableNodeIsNamedAndTheNextUsed",
       {Supply("hidraw0", "refuse-open"), Supply("hidraw1")},
       command,
       CannotOpen("/dev/hidraw0", 13) + success,
       0,
       {Opened("hidraw0"), Opened("hidraw1"), WriteSeen("hidraw1", command), ReadOf("hidraw1", 63)}},
      {"MissingNode",
       {Supply("hidraw0", "")},
       command,
       CannotOpen("/dev/hidraw0", 2) + kSearchEnd + kSupplyNotFound,
       3,
       {}},
      {"FailingWriteShowsNoSentLine", {Supply("hidraw0", "fail-write")}, command, kUsbSendFailed, 3, written0},
      {"VanishedBeforeTheWrite", {Supply("hidraw0", "vanish")}, command, kUsbSendFailed, 3, written0},
      {"FailingRead", {Supply("hidraw0", "fail-read")}, command, sent + kUsbReceiveFailed, 3, used0},
      {"NoAnswerGivesUpAfterFiveSeconds",
       {Supply("hidraw0", "silent")},
       command,
       sent + kUsbReceiveFailed,
       3,
       written0,
       ClassDirectory::Present,
       4.8,
       6.5},
      {"SixtyThreeBytesGoOut",
       {Supply("hidraw0")},
       sixty_three,
       Sent(sixty_three) + Received("A1 B2 00 00 0D 0A") + kSuccess,
       0,
       {Opened("hidraw0"), WriteSeen("hidraw0", sixty_three), ReadOf("hidraw0", 63)}},
  };
}

class KestrowExchange : public testing::TestWithParam<Scenario> {};

TEST_P(KestrowExchange, PrintsTheWholeReport) {
  REQUIRE_RIG();
  const Scenario& row = GetParam();
  UsbRun run = RunKestrow(row.devices, Words(row.command), row.class_directory);
  EXPECT_EQ(run.result.out, row.out);
  EXPECT_EQ(run.result.status, row.status);
  EXPECT_EQ(run.result.err, "");
  EXPECT_EQ(run.device_log, row.device_log);
  EXPECT_GE(run.result.seconds, row.min_seconds);
  EXPECT_LE(run.result.seconds, row.max_seconds);
}

INSTANTIATE_TEST_SUITE_P(Kestrow, KestrowExchange, testing::ValuesIn(Exchanges()),
                         [](const testing::TestParamInfo<Scenario>& row) { return row.param.name; });

// Refused command lines: their message, status 1, and no device opened.
TEST(Kestrow, BadCommandLinesNeverTouchADevice) {
  REQUIRE_RIG();
  std::string sixty_four;
  for (int k = 0; k < 64; ++k) sixty_four += "01 ";
  struct Row {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Row> rows = {
      {Words("A1 B2 00 0D"), kArgumentCount},
      {{}, kArgumentCount},
      {Words(sixty_four), TooMany(63)},
      {Words("A1 B2 zz 0D 0A"), InvalidByte("zz", 3)},
      {Words("1FF B2 00 0D 0A"), InvalidByte("1FF", 1)},
      {{"A1", "B2", "00", "0D", ""}, InvalidByte("", 5)},
  };
  for (const Row& row : rows) {
    UsbRun run = RunKestrow({Supply("hidraw0")}, row.args);
    EXPECT_EQ(run.result.out, row.out) << row.args.size() << " arguments";
    EXPECT_EQ(run.result.status, 1);
    EXPECT_TRUE(run.device_log.empty());
  }
}

TEST(Kestrow, HelpVersionAndShiftJis) {
  REQUIRE_RIG();
  ProcessResult help = RunProcess({KESTROW_PATH, "--help"}, {"LC_ALL=C.UTF-8"});
  EXPECT_TRUE(help.out.starts_with("Usage: kestrow BYTE")) << help.out;
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(RunProcess({KESTROW_PATH, "--version"}, {}).out, std::string("kestrow ") + DIMLINK_VERSION + "\nLicense: MIT\n");

  UsbRun run = RunKestrow({}, Words("A1 B2 00 0D 0A"), ClassDirectory::Present, "LC_ALL=ja_JP.SJIS");
  EXPECT_EQ(run.result.out, ToCodePage932(kSearchEnd + kSupplyNotFound));
  run = RunKestrow({Supply("hidraw0", "status:07")}, Words("A1 B2 00 0D 0A"), ClassDirectory::Present,
                   "LC_ALL=ja_JP.SJIS");
  EXPECT_EQ(run.result.out, ToCodePage932(Sent("A1 B2 00 0D 0A") + Received("A1 B2 00 07 0D 0A") + kByStatus[7]));
}

}  // namespace
