// The one connection to the broker: MQTT v5 with a session that outlives reconnects, a
// retained last will, reconnection by itself (1 s doubling to 30 s), and results held
// while the broker is away.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "mqtt/gateway_options.h"
#include "mqtt/held_messages.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

// A request as it came: its topic and payload, the properties that matter to the answer.
struct IncomingRequest {
  std::string topic;
  std::string payload;
  std::string response_topic;  // "" where none
  std::string correlation;     // "" where none
  long expiry_seconds = -1;    // -1 where the message has no expiry
};

struct BrokerLink {
  mosquitto* client = nullptr;
  std::string subscription;
  std::function<void()> on_connected;  // publishes the retained states: runs on each connect
  std::function<void(IncomingRequest&)> on_request;

  // Guards connected and held, so that results go out in the order made; recursive, for
  // on_connected publishes while the connect holds it.
  std::recursive_mutex mutex;
  bool connected = false;
  HeldMessages held;
  std::atomic<long> unacknowledged{0};
  std::atomic<bool> stopping{false};
  std::mutex wake_mutex;
  std::condition_variable wake;
  int delay_seconds = 1;
  std::thread thread;
};

// Sets up the client and starts its thread, which connects and keeps connecting. Gives
// back "" or what is wrong with the options (a file TLS cannot use, say).
std::string StartBroker(BrokerLink& link, const GatewayOptions& options, const std::string& password,
                        const std::string& will_topic, const std::string& will_payload);

// Publishes at QoS 1; while the broker is away the message is held (retain false) or left
// out (retain true: the retained states are published again on each connect).
void Publish(BrokerLink& link, OutgoingMessage message, bool retain);

// Waits until every message published has been acknowledged and none is held, or until
// the deadline; gives back how many are still held or unacknowledged.
size_t WaitPublished(BrokerLink& link, std::chrono::steady_clock::time_point deadline);

// Disconnects cleanly (no last will), ends the client's thread and frees the client; also
// after a StartBroker that failed.
void StopBroker(BrokerLink& link);
