// The command line of supply-sim: how the simulated power supplies answer and misbehave,
// and where they are reached (TCP, or USB for a command run beside them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/answer_table.h"
#include "tools/supply_log.h"  // option errors are reported through Fail

// How a supply answers a command; the same on TCP and USB.
struct AnswerOptions {
  std::uint8_t status = 0;
  std::vector<std::uint8_t> raw;  // answer with exactly these bytes instead
  std::size_t short_length = 0;   // send only this many bytes of the answer; 0: all
  bool silent = false;            // never answer
  // --answers: the table tried first; the options above answer what no line matches.
  std::shared_ptr<const AnswerTable> table;
};

// One simulated HID device on the USB side: a power supply, or another device.
struct UsbDevice {
  std::uint16_t vendor = 0x0483;
  std::uint16_t product = 0x5750;
  int number = -1;  // N of /dev/hidrawN; -1: the lowest one free
  AnswerOptions answer;
  bool numbered = false;         // reports carry report ID 01
  std::size_t report_size = 63;  // input and output report bytes after any report ID
  bool fail_write = false;
  bool fail_read = false;
  bool vanish = false;   // gone once opened: writes and reads fail
  bool hang_up = false;  // gone right after the first write, without an answer
  bool refuse_open = false;
  bool no_node = false;  // listed in sysfs, but no /dev node
  std::string serial;
  std::string name = "Simulated power supply";
};

struct TcpOptions {
  bool once = false;
  std::size_t pieces = 1;
  int pause_ms = 100;
  std::size_t reset_after = 0;  // 0: no reset
  bool close = false;
  std::string address;
  std::uint16_t port = 0;  // 0: a free one
};

struct Options {
  bool usb = false;
  std::vector<UsbDevice> devices;  // on TCP, the first one's answer options are used
  TcpOptions tcp;
  std::string log_path;              // empty: standard output on TCP, standard error on USB
  std::vector<std::string> command;  // USB: the command to run beside the supplies
};

// Exit status of supply-sim --usb when it cannot set itself up, so that it is never
// taken for one of the command's own.
inline constexpr int kUsbSetupFailed = 125;

// Reads the command line; prints the usage and exits for --help and --version, or a
// one-line error on standard error and exits for anything it cannot take.
Options ReadOptions(int argc, char** argv);
