// What the LAN tests share, natively and under Wine: the simulated power supply, loopback
// ports, and the table of exchanges with their expected output.
#pragma once

#include <string>
#include <vector>

#include "tests/process.h"

// How a test starts a tool: the program, and what it runs under (nothing, or Wine).
struct Tool {
  std::vector<std::string> launcher;
  std::string path;
  double slack_seconds = 0;  // added to every time limit
};

// The tool's command line for an exchange: address, port, then the words of bytes.
std::vector<std::string> LanCommand(const Tool& tool, const std::string& address, const std::string& port,
                                    const std::string& bytes);

// The tool's command line with the given arguments.
std::vector<std::string> ToolCommand(const Tool& tool, const std::vector<std::string>& args);

// A loopback socket bound to a free port. Unless listening, connecting to it is refused;
// listening, it shows whether anything connected.
struct LoopbackPort {
  explicit LoopbackPort(bool listening);
  ~LoopbackPort();
  LoopbackPort(const LoopbackPort&) = delete;
  LoopbackPort& operator=(const LoopbackPort&) = delete;
  bool Contacted() const;
  int fd = -1;
  std::string port;
};

// supply-sim serving one connection on a free loopback port.
struct Simulator {
  explicit Simulator(const std::vector<std::string>& options, const std::string& address = "127.0.0.1");
  BackgroundProcess process;
  std::string port;
};

// The platform's error numbers that show in messages.
struct ErrorNumbers {
  long timed_out;
  long refused;
  long reset;
};

struct LanScenario {
  std::string name;
  std::vector<std::string> simulator;  // supply-sim's options
  std::string command;
  std::string out;
  int status;
  double min_seconds = 0;
  double max_seconds = 2;
};

void PrintTo(const LanScenario& row, std::ostream* out);

// Every exchange with the simulator, with the whole output expected.
std::vector<LanScenario> LanExchanges(const ErrorNumbers& errors);

// Runs one row and checks output, status and time.
void CheckLanExchange(const Tool& tool, const LanScenario& row);

// A loopback port whose listen queue is full: connecting there gets no answer at all.
struct FullListenQueue {
  FullListenQueue();
  ~FullListenQueue();
  FullListenQueue(const FullListenQueue&) = delete;
  FullListenQueue& operator=(const FullListenQueue&) = delete;
  int listener = -1;
  std::vector<int> waiting;
  std::string port;
};

// Runs every refused command line and checks that each gets its message and status 1
// and that nothing is contacted.
void CheckBadLanCommandLines(const Tool& tool);
