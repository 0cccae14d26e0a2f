// The gateway's command line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct TcpSupplyOption {
  std::string id;
  std::string address;
  int port = 0;
};

struct GatewayOptions {
  std::string host;
  int port = 1883;
  bool tls = false;
  std::string node;
  std::string base = "dimlink";
  std::vector<TcpSupplyOption> tcp;
  bool usb = true;
  std::string username;
  std::string password_file;
  std::string cafile;
  std::string cert;
  std::string key;
  int max_wait_ms = 30000;
  bool verbose = false;
  bool help = false;
  bool version = false;
  std::string error;  // a one-line message naming the option; "" when the line is good
};

// True for a name that can stand as one MQTT topic level: not empty, valid UTF-8, and
// holding no '/', '+', '#' or NUL.
bool IsTopicLevel(std::string_view name);

// Reads the arguments after the program's name; host_name is the machine's, whose part
// up to its first dot is the default node.
GatewayOptions ParseGatewayOptions(const std::vector<std::string>& args, std::string_view host_name);

// The usage text, for --help and after an error.
extern const char* const kGatewayUsage;
