#include "mqtt/gateway_options.h"

#include <gtest/gtest.h>

namespace {

GatewayOptions Parse(const std::vector<std::string>& args, const std::string& host = "station7.plant.example") {
  return ParseGatewayOptions(args, host);
}

// What each run reads, as one line: host port tls node base usb max-wait and the TCP supplies.
std::string Summary(const GatewayOptions& o) {
  std::string text = o.error + o.host + " " + std::to_string(o.port) + (o.tls ? " tls " : " ") + o.node + " " + o.base +
                     (o.usb ? " usb " : " ") + std::to_string(o.max_wait_ms);
  for (const TcpSupplyOption& supply : o.tcp)
    text += " " + supply.id + "=" + supply.address + ":" + std::to_string(supply.port);
  return text;
}

TEST(GatewayOptions, ReadsTheBrokerAndDefaults) {
  EXPECT_EQ(Summary(Parse({"--broker", "mqtt://127.0.0.1"})), "127.0.0.1 1883 station7 dimlink usb 30000");
  EXPECT_EQ(Summary(Parse({"--broker", "mqtts://h"})), "h 8883 tls station7 dimlink usb 30000");
  EXPECT_EQ(
      Summary(Parse({"--broker=mqtts://[::1]:9883", "--node", "n1", "--base=lines", "--no-usb", "--max-wait", "0.25",
                     "--tcp", "left=192.0.2.1:5000", "--tcp", "right=[2001:db8::1]:6000", "--cafile", "ca.pem"})),
      "::1 9883 tls n1 lines 250 left=192.0.2.1:5000 right=2001:db8::1:6000");
}

TEST(GatewayOptions, RefusesWithAMessageNamingTheOption) {
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{}, "--broker is required"},
      {{"--broker", "tcp://h"}, "--broker"},
      {{"--broker", "mqtt://:1883"}, "--broker"},
      {{"--broker", "mqtt://h", "--node", "a/b"}, "--node"},
      {{"--broker", "mqtt://h", "--tcp", "x=1.2.3.4"}, "--tcp"},
      {{"--broker", "mqtt://h", "--tcp", "x=1.2.3.4:5", "--tcp", "x=1.2.3.4:6"}, "twice"},
      {{"--broker", "mqtt://h", "--max-wait", "0"}, "--max-wait"},
      {{"--broker", "mqtt://h", "--cafile", "ca.pem"}, "mqtts://"},
      {{"--broker", "mqtts://h", "--cert", "c.pem"}, "--cert and --key"},
      {{"--broker", "mqtt://h", "--password", "secret"}, "unknown option \"--password\""},
  };
  EXPECT_NE(Parse({"--broker", "mqtt://h"}, "").error.find("give --node"), std::string::npos);  // no host name
  for (const auto& [args, message] : rows) {
    std::string error = Parse(args).error;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
}

}  // namespace
