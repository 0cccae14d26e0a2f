#include "tools/supply_options.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>

#include "core/tool_info.h"
#include "core/words.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: supply-sim [OPTIONS] ADDRESS PORT\n"
    "       supply-sim --usb [OPTIONS] [--] COMMAND [ARG ...]\n"
    "A simulated power supply, for trying kestrow and morvish and testing scripts without\n"
    "hardware.\n"
    "On TCP it listens on ADDRESS (numeric IPv4 or IPv6) and PORT (0 picks a free one) and\n"
    "answers each 64-byte command as the power supply does. The first line printed is the\n"
    "port; then one line per connection with the command bytes received.\n"
    "With --usb it runs COMMAND in a private mount namespace in which the simulated supplies\n"
    "are attached as /dev/hidrawN and listed in /sys/class/hidraw as real ones are, and exits\n"
    "with COMMAND's status. COMMAND runs in a PID namespace of its own: every process it\n"
    "starts ends when it does or when supply-sim ends. Signals sent to supply-sim are\n"
    "passed on to COMMAND. The log of opens, writes and reads goes to standard error; it\n"
    "never holds up a device, and lines it could not write are counted at the end.\n"
    "COMMAND unplugs a device and plugs it back with the lines \"unplug ID\" and \"plug ID\"\n"
    "(ID: its serial number or node name) on the Unix socket DIMLINK_SIM_CONTROL names.\n"
    "How a supply answers:\n"
    "  --status XX     status byte of the answer (default 00)\n"
    "  --answer BYTES  answer with exactly these hex bytes instead, e.g. \"A1 B2 00 00 0D 0A\"\n"
    "                  (1 to 256 bytes, separated by blanks or commas)\n"
    "  --short N       send only the first N bytes of the answer\n"
    "  --silent        never answer\n"
    "  --answers FILE  answer as the first line of FILE that matches the command says:\n"
    "                  \"PATTERN => ANSWER\" rules or the tools' --json records (see\n"
    "                  supply-sim(1)); the options above answer what no line matches.\n"
    "                  With --usb, before the first --supply or --hid: for every supply.\n"
    "TCP only:\n"
    "  --once          serve one connection, then exit\n"
    "  --pieces N      send the answer in N writes (default 1)\n"
    "  --pause MS      pause between the writes (default 100)\n"
    "  --reset-after N send the first N bytes of the answer, pause, then reset the connection\n"
    "  --close         close the connection without answering\n"
    "USB only: each --supply or --hid attaches a device, which the options after it\n"
    "describe; options before the first of them describe a power supply of their own,\n"
    "which is also there when neither is given.\n"
    "  --supply        another power supply (vendor 0483, product 5750)\n"
    "  --hid VVVV:PPPP another HID device, with these identifiers (4 hex digits each)\n"
    "  --node N        attach the device as /dev/hidrawN (default: the lowest N free)\n"
    "  --serial TEXT   its serial number (default: none)\n"
    "  --name TEXT     its product name\n"
    "  --numbered      its reports carry report ID 01\n"
    "  --report-size N its input and output reports are N bytes long after any report ID\n"
    "                  (default 63), as its report descriptor says\n"
    "  --fail-write    every write fails\n"
    "  --fail-read     every read fails\n"
    "  --vanish        gone once opened, as when unplugged between search and write\n"
    "  --hang-up       gone right after the first write, without answering\n"
    "  --refuse-open   every open is refused (permission denied)\n"
    "  --no-node       listed in /sys/class/hidraw, but with no /dev node\n"
    "  --log FILE      write the log to FILE instead\n"
    "Exit status with --usb: COMMAND's own; 128+N when signal N ended it; 125 when the\n"
    "simulator could not be set up; 126 when COMMAND could not be run; 127 when it was\n"
    "not found.\n";

// Each refusal names the option and the value it could not take.
[[noreturn]] void Refuse(std::string_view option, const std::string& value, std::string_view wanted) {
  Fail("bad " + std::string(option) + " \"" + value + "\" (" + std::string(wanted) + ")");
}

// What reading the options so far tells the options after it.
struct ReadSoFar {
  bool devices_started = false;                           // a --supply or --hid seen
  std::shared_ptr<const AnswerTable> every_supply_table;  // --answers before any of them
};

bool AllOf(std::string_view text, int (*is)(int)) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [is](char c) { return is(static_cast<unsigned char>(c)) != 0; });
}

// Decimal digits only: no sign, blank or base prefix slips through as it would with
// strtoul. Any number of them, leading zeros included; the value is what is bounded.
unsigned long Number(std::string_view option, const char* text, unsigned long low, unsigned long high) {
  std::string wanted = std::to_string(low) + " to " + std::to_string(high);
  if (!AllOf(text, ::isdigit)) Refuse(option, text, wanted);
  unsigned long value = 0;
  for (std::string_view digits = text; char digit : digits) {
    value = value * 10 + static_cast<unsigned long>(digit - '0');
    if (value > high) Refuse(option, text, wanted);  // before it could overflow
  }
  if (value < low) Refuse(option, text, wanted);
  return value;
}

// One or two hexadecimal digits.
std::optional<std::uint8_t> HexByte(const std::string& text) {
  if (text.size() > 2 || !AllOf(text, ::isxdigit)) return std::nullopt;
  return static_cast<std::uint8_t>(std::stoul(text, nullptr, 16));
}

// Blanks or commas between the bytes.
std::vector<std::uint8_t> HexBytes(const char* text) {
  std::vector<std::uint8_t> bytes;
  std::vector<std::string_view> words = SplitWords(text, " \t,");
  for (std::string_view word : words) {
    std::optional<std::uint8_t> byte = HexByte(std::string(word));
    if (!byte) break;
    bytes.push_back(*byte);
  }
  if (bytes.size() != words.size() || bytes.empty() || bytes.size() > 256) {
    Refuse("--answer", text, "1 to 256 hexadecimal bytes");
  }
  return bytes;
}

std::shared_ptr<const AnswerTable> TableFile(const char* path) {
  auto table = std::make_shared<AnswerTable>();
  if (std::optional<std::string> fault = LoadAnswerTable(path, *table)) Fail(*fault);
  return table;
}

// "VVVV:PPPP", exactly four hexadecimal digits each.
UsbDevice OtherDevice(const std::string& ids) {
  UsbDevice device;
  std::string_view text = ids;
  if (ids.size() != 9 || ids[4] != ':' || !AllOf(text.substr(0, 4), ::isxdigit) || !AllOf(text.substr(5), ::isxdigit)) {
    Refuse("--hid", ids, "VVVV:PPPP, 4 hex digits each");
  }
  device.vendor = static_cast<std::uint16_t>(std::stoul(ids.substr(0, 4), nullptr, 16));
  device.product = static_cast<std::uint16_t>(std::stoul(ids.substr(5), nullptr, 16));
  device.name = "Simulated HID device";
  return device;
}

// The device the next option describes; the first power supply until another is started.
UsbDevice& Described(Options& options, const ReadSoFar& so_far) {
  if (options.devices.empty()) {
    options.devices.emplace_back();
    options.devices.back().answer.table = so_far.every_supply_table;
  }
  return options.devices.back();
}

void RequireMode(const Options& options, std::string_view option, bool usb) {
  if (usb != options.usb) Fail(std::string(option) + (usb ? " is for --usb only" : " is for TCP only"));
}

using ValueReader = std::function<const char*()>;

// The misbehaviours a device option switches on.
constexpr std::array<std::pair<std::string_view, bool UsbDevice::*>, 7> kDeviceFlags{{
    {"--numbered", &UsbDevice::numbered},
    {"--fail-write", &UsbDevice::fail_write},
    {"--fail-read", &UsbDevice::fail_read},
    {"--vanish", &UsbDevice::vanish},
    {"--hang-up", &UsbDevice::hang_up},
    {"--refuse-open", &UsbDevice::refuse_open},
    {"--no-node", &UsbDevice::no_node},
}};

// Options that describe one device: how it answers, and on USB how it behaves.
bool TakeDeviceOption(UsbDevice& device, std::string_view arg, const ValueReader& value) {
  for (const auto& [name, flag] : kDeviceFlags) {
    if (arg == name) {
      device.*flag = true;
      return true;
    }
  }
  if (arg == "--status") {
    const char* text = value();
    std::optional<std::uint8_t> status = HexByte(text);
    if (!status) Refuse(arg, text, "a hexadecimal byte");
    device.answer.status = *status;
  } else if (arg == "--answer") {
    device.answer.raw = HexBytes(value());
  } else if (arg == "--short") {
    device.answer.short_length = Number(arg, value(), 1, 256);
  } else if (arg == "--silent") {
    device.answer.silent = true;
  } else if (arg == "--answers") {
    device.answer.table = TableFile(value());
  } else if (arg == "--node") {
    device.number = static_cast<int>(Number(arg, value(), 0, 9999));
  } else if (arg == "--serial") {
    device.serial = value();
  } else if (arg == "--name") {
    device.name = value();
  } else if (arg == "--report-size") {
    device.report_size = Number(arg, value(), 1, 4096);
  } else {
    return false;
  }
  return true;
}

bool IsAnswerOption(std::string_view arg) {
  return arg == "--status" || arg == "--answer" || arg == "--short" || arg == "--silent" || arg == "--answers";
}

constexpr std::array<std::string_view, 5> kTcpOnly{"--once", "--close", "--pieces", "--pause", "--reset-after"};

// Takes one option and its value, if it has one; false when it is not a known option.
bool TakeOption(Options& options, ReadSoFar& so_far, std::string_view arg, const ValueReader& value) {
  if (std::find(kTcpOnly.begin(), kTcpOnly.end(), arg) != kTcpOnly.end()) RequireMode(options, arg, false);
  if (arg == "--usb") return true;
  if (arg == "--log") {
    options.log_path = value();
  } else if (arg == "--once" || arg == "--close") {
    (arg == "--once" ? options.tcp.once : options.tcp.close) = true;
  } else if (arg == "--pieces") {
    options.tcp.pieces = Number(arg, value(), 1, 256);
  } else if (arg == "--pause") {
    options.tcp.pause_ms = static_cast<int>(Number(arg, value(), 0, 60000));
  } else if (arg == "--reset-after") {
    options.tcp.reset_after = Number(arg, value(), 1, 256);
  } else if (arg == "--supply") {
    RequireMode(options, arg, true);
    options.devices.emplace_back();
    options.devices.back().answer.table = so_far.every_supply_table;
    so_far.devices_started = true;
  } else if (arg == "--hid") {
    RequireMode(options, arg, true);
    options.devices.push_back(OtherDevice(value()));
    so_far.devices_started = true;
  } else if (arg == "--answers" && !so_far.devices_started) {
    // For every supply, the first one included once something describes it.
    so_far.every_supply_table = TableFile(value());
    if (!options.devices.empty()) options.devices.front().answer.table = so_far.every_supply_table;
  } else {
    if (!TakeDeviceOption(Described(options, so_far), arg, value)) return false;
    if (!IsAnswerOption(arg)) RequireMode(options, arg, true);
  }
  return true;
}

bool AsksForUsb(int argc, char** argv) {
  for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) {
    if (std::string_view(argv[i]) == "--usb") return true;
  }
  return false;
}

}  // namespace

Options ReadOptions(int argc, char** argv) {
  Options options;
  ReadSoFar so_far;
  options.usb = AsksForUsb(argc, argv);
  SetFailureStatus(options.usb ? kUsbSetupFailed : 2);
  std::vector<std::string> positional;
  int i = 1;
  for (; i < argc; ++i) {
    std::string_view arg = argv[i];
    ValueReader value = [&]() -> const char* {
      if (i + 1 >= argc) Fail(std::string(arg) + " needs a value");
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help" || arg == "--version") {
      (void)std::fputs(arg == "--version" ? VersionText("supply-sim").c_str() : kUsage.data(), stdout);
      std::exit(0);
    }
    if (arg == "--") {
      ++i;
      break;
    }
    if (!arg.starts_with("--")) {
      if (options.usb) break;  // the command and its own arguments
      positional.emplace_back(arg);
    } else if (!TakeOption(options, so_far, arg, value)) {
      Fail("unknown option " + std::string(arg));
    }
  }
  (void)Described(options, so_far);  // the one supply when no option described one
  if (options.usb) {
    options.command.assign(argv + i, argv + argc);
    if (options.command.empty()) Fail("--usb needs a command to run (see --help)");
    return options;
  }
  positional.insert(positional.end(), argv + i, argv + argc);
  if (positional.size() != 2) Fail("needs ADDRESS and PORT (see --help)");
  options.tcp.address = positional[0];
  options.tcp.port = static_cast<std::uint16_t>(Number("PORT", positional[1].c_str(), 0, 65535));
  return options;
}
