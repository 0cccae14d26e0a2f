#include "mqtt/gateway_options.h"

#include <gtest/gtest.h>

namespace {

GatewayOptions Parse(std::vector<std::string> args, std::string host = "station7.plant.example") {
  return ParseGatewayOptions(args, host);
}

TEST(GatewayOptions, ReadsTheBrokerAndDefaults) {
  GatewayOptions options = Parse({"--broker", "mqtt://127.0.0.1"});
  EXPECT_EQ(options.error, "");
  EXPECT_EQ(options.host, "127.0.0.1");
  EXPECT_EQ(options.port, 1883);
  EXPECT_EQ(options.node, "station7");
  EXPECT_EQ(options.base, "dimlink");
  EXPECT_EQ(options.max_wait_ms, 30000);
  EXPECT_TRUE(options.usb);

  options = Parse({"--broker=mqtts://[::1]:9883", "--node", "n1", "--base=lines", "--no-usb", "--max-wait", "0.25",
                   "--tcp", "left=192.0.2.1:5000", "--tcp", "right=[2001:db8::1]:6000", "--cafile", "ca.pem"});
  EXPECT_EQ(options.error, "");
  EXPECT_TRUE(options.tls);
  EXPECT_EQ(options.host, "::1");
  EXPECT_EQ(options.port, 9883);
  EXPECT_EQ(options.node, "n1");
  EXPECT_EQ(options.base, "lines");
  EXPECT_FALSE(options.usb);
  EXPECT_EQ(options.max_wait_ms, 250);
  ASSERT_EQ(options.tcp.size(), 2U);
  EXPECT_EQ(options.tcp[1].address, "2001:db8::1");
  EXPECT_EQ(options.tcp[1].port, 6000);
  EXPECT_EQ(Parse({"--broker", "mqtts://h"}).port, 8883);
}

TEST(GatewayOptions, RefusesWithAMessageNamingTheOption) {
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{}, "--broker is required"},
      {{"--broker", "tcp://h"}, "--broker"},
      {{"--broker", "mqtt://h:65536"}, "--broker"},
      {{"--broker", "mqtt://:1883"}, "--broker"},
      {{"--broker", "mqtt://h", "--node", "a/b"}, "--node"},
      {{"--broker", "mqtt://h", "--base", "#"}, "--base"},
      {{"--broker", "mqtt://h", "--node"}, "--node needs a value"},
      {{"--broker", "mqtt://h", "--tcp", "x=1.2.3.4"}, "--tcp"},
      {{"--broker", "mqtt://h", "--tcp", "x=1.2.3.4:5", "--tcp", "x=1.2.3.4:6"}, "twice"},
      {{"--broker", "mqtt://h", "--max-wait", "0"}, "--max-wait"},
      {{"--broker", "mqtt://h", "--cafile", "ca.pem"}, "mqtts://"},
      {{"--broker", "mqtts://h", "--cert", "c.pem"}, "--cert and --key"},
      {{"--broker", "mqtt://h", "--password", "secret"}, "unknown option \"--password\""},
  };
  for (const auto& [args, message] : rows) {
    std::string error = Parse(args).error;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
}

TEST(GatewayOptions, AHostNameThatIsNoTopicLevelNeedsANode) {
  EXPECT_NE(Parse({"--broker", "mqtt://h"}, "").error.find("--node"), std::string::npos);
  EXPECT_EQ(Parse({"--broker", "mqtt://h", "--node", "n"}, "").error, "");
}

}  // namespace
