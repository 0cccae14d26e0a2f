#include "mqtt/broker_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cstdlib>
#include <memory>

#include "mqtt/gateway_log.h"

namespace {

// The broker keeps the session, and with it the subscription and the requests sent while
// the gateway is away, for a day.
constexpr uint32_t kSessionExpirySeconds = 24 * 60 * 60;
constexpr int kKeepAliveSeconds = 30;
constexpr int kMaxDelaySeconds = 30;

struct Properties {
  mosquitto_property* list = nullptr;
  ~Properties() { mosquitto_property_free_all(&list); }
};

BrokerLink& LinkOf(void* object) { return *static_cast<BrokerLink*>(object); }

// Publishes now; the caller holds link.mutex. Gives back the client's answer:
// MOSQ_ERR_NO_CONN when it took nothing for want of a connection.
int SendNow(BrokerLink& link, const OutgoingMessage& message, bool retain) {
  Properties properties;
  if (!message.correlation.empty()) {
    mosquitto_property_add_binary(&properties.list, MQTT_PROP_CORRELATION_DATA, message.correlation.data(),
                                  static_cast<uint16_t>(message.correlation.size()));
  }
  ++link.unacknowledged;
  int rc = mosquitto_publish_v5(link.client, nullptr, message.topic.c_str(), static_cast<int>(message.payload.size()),
                                message.payload.data(), 1, retain, properties.list);
  if (rc != MOSQ_ERR_SUCCESS) --link.unacknowledged;
  // Anything else the broker would never take: holding it would stop every result behind it.
  if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
    LogLine("cannot publish to " + message.topic + ": " + mosquitto_strerror(rc));
  }
  return rc;
}

void OnConnect(mosquitto* client, void* object, int reason, int /*flags*/, const mosquitto_property* /*properties*/) {
  BrokerLink& link = LinkOf(object);
  if (reason != 0) {
    LogLine(std::string("the broker refused the connection: ") + mosquitto_reason_string(reason));
    return;
  }
  LogLine("connected to the broker");
  mosquitto_subscribe_v5(client, nullptr, link.subscription.c_str(), 2, 0, nullptr);
  std::lock_guard lock(link.mutex);
  link.connected = true;
  link.delay_seconds = 1;
  if (link.on_connected) link.on_connected();
  while (!link.held.messages.empty() && SendNow(link, link.held.messages.front(), false) != MOSQ_ERR_NO_CONN) {
    TakeHeldMessage(link.held);
  }
}

void OnDisconnect(mosquitto* /*client*/, void* object, int reason, const mosquitto_property* /*properties*/) {
  BrokerLink& link = LinkOf(object);
  bool was_connected;
  {
    std::lock_guard lock(link.mutex);
    was_connected = link.connected;
    link.connected = false;
  }
  if (was_connected && !link.stopping) {
    LogLine(std::string("lost the broker: ") + mosquitto_strerror(reason));
  }
}

void OnPublish(mosquitto* /*client*/, void* object, int /*id*/, int /*reason*/,
               const mosquitto_property* /*properties*/) {
  --LinkOf(object).unacknowledged;
}

std::string ReadString(const mosquitto_property* properties, int identifier) {
  char* value = nullptr;
  if (mosquitto_property_read_string(properties, identifier, &value, false) == nullptr || value == nullptr) return "";
  std::string text(value);
  std::free(value);
  return text;
}

void OnMessage(mosquitto* /*client*/, void* object, const mosquitto_message* message,
               const mosquitto_property* properties) {
  IncomingRequest request;
  request.topic = message->topic;
  request.payload.assign(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
  request.response_topic = ReadString(properties, MQTT_PROP_RESPONSE_TOPIC);
  void* correlation = nullptr;
  uint16_t length = 0;
  if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation, &length, false) != nullptr) {
    request.correlation.assign(static_cast<const char*>(correlation), length);
    std::free(correlation);
  }
  uint32_t expiry = 0;
  if (mosquitto_property_read_int32(properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry, false) != nullptr) {
    request.expiry_seconds = static_cast<long>(expiry);
  }
  LinkOf(object).on_request(request);
}

void OnLog(mosquitto* /*client*/, void* /*object*/, int level, const char* text) {
  if (level == MOSQ_LOG_ERR) LogLine(std::string("broker connection: ") + text);
}

// Sleeps the reconnect delay, or less when the gateway stops, and doubles it.
void WaitToReconnect(BrokerLink& link) {
  std::unique_lock lock(link.wake_mutex);
  link.wake.wait_for(lock, std::chrono::seconds(link.delay_seconds), [&] { return link.stopping.load(); });
  link.delay_seconds = std::min(link.delay_seconds * 2, kMaxDelaySeconds);
}

// The client's thread: the network loop, and a new connection whenever one is lost.
void RunLink(BrokerLink& link, bool connected_at_start) {
  bool have_socket = connected_at_start;
  for (;;) {
    if (!have_socket) {
      if (link.stopping) return;
      WaitToReconnect(link);
      if (link.stopping) return;
      int rc = mosquitto_reconnect(link.client);
      have_socket = rc == MOSQ_ERR_SUCCESS;
      if (!have_socket) LogLine(std::string("cannot reach the broker: ") + mosquitto_strerror(rc));
      continue;
    }
    // On a stop the loop goes on until the client has sent its DISCONNECT and closed.
    int rc = mosquitto_loop(link.client, 200, 1);
    if (rc != MOSQ_ERR_SUCCESS) {
      if (link.stopping) return;
      OnDisconnect(link.client, &link, rc, nullptr);
      have_socket = false;
    }
  }
}

}  // namespace

std::string StartBroker(BrokerLink& link, const GatewayOptions& options, const std::string& password,
                        const std::string& will_topic, const std::string& will_payload) {
  mosquitto_lib_init();
  // A fixed client ID: the broker gives the session back to the same node after a restart.
  std::string id = "dimlink-mqtt/" + options.base + "/" + options.node;
  link.client = mosquitto_new(id.c_str(), false, &link);
  if (link.client == nullptr) return "cannot make an MQTT client";
  mosquitto_int_option(link.client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_threaded_set(link.client, true);
  // A result is one small packet: sent at once, not held back to be joined with the next.
  mosquitto_int_option(link.client, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect_v5_callback_set(link.client, OnConnect);
  mosquitto_disconnect_v5_callback_set(link.client, OnDisconnect);
  mosquitto_publish_v5_callback_set(link.client, OnPublish);
  mosquitto_message_v5_callback_set(link.client, OnMessage);
  mosquitto_log_callback_set(link.client, OnLog);
  mosquitto_will_set_v5(link.client, will_topic.c_str(), static_cast<int>(will_payload.size()), will_payload.data(), 1,
                        true, nullptr);
  if (!options.username.empty() &&
      mosquitto_username_pw_set(link.client, options.username.c_str(), password.empty() ? nullptr : password.c_str()) !=
          MOSQ_ERR_SUCCESS) {
    return "--username: the broker cannot take this user name";
  }
  if (options.tls) {
    const char* cafile = options.cafile.empty() ? nullptr : options.cafile.c_str();
    int rc = mosquitto_tls_set(link.client, cafile, cafile != nullptr ? nullptr : "/etc/ssl/certs",
                               options.cert.empty() ? nullptr : options.cert.c_str(),
                               options.key.empty() ? nullptr : options.key.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) return std::string("TLS files: ") + mosquitto_strerror(rc);
    mosquitto_tls_opts_set(link.client, 1, nullptr, nullptr);
    mosquitto_tls_insecure_set(link.client, false);
  }
  Properties properties;
  mosquitto_property_add_int32(&properties.list, MQTT_PROP_SESSION_EXPIRY_INTERVAL, kSessionExpirySeconds);
  int rc = mosquitto_connect_bind_v5(link.client, options.host.c_str(), options.port, kKeepAliveSeconds, nullptr,
                                     properties.list);
  if (rc == MOSQ_ERR_INVAL) return "--broker: the client refuses this host or port";
  if (rc != MOSQ_ERR_SUCCESS) LogLine(std::string("cannot reach the broker yet: ") + mosquitto_strerror(rc));
  link.thread = std::thread(RunLink, std::ref(link), rc == MOSQ_ERR_SUCCESS);
  return "";
}

void Publish(BrokerLink& link, OutgoingMessage message, bool retain) {
  std::lock_guard lock(link.mutex);
  // Results keep their order behind those held; a retained state stands alone.
  if (link.connected && (retain || link.held.messages.empty()) && SendNow(link, message, retain) != MOSQ_ERR_NO_CONN) {
    return;
  }
  if (retain) return;
  if (size_t dropped = HoldMessage(link.held, std::move(message)); dropped > 0) {
    static size_t total = 0;
    total += dropped;
    LogLine("too many results held while the broker is away: dropped the oldest (" + std::to_string(total) +
            " so far)");
  }
}

size_t WaitPublished(BrokerLink& link, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    size_t left;
    {
      std::lock_guard lock(link.mutex);
      left = link.held.messages.size() + static_cast<size_t>(std::max(0L, link.unacknowledged.load()));
    }
    if (left == 0 || std::chrono::steady_clock::now() >= deadline) return left;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void StopBroker(BrokerLink& link) {
  {
    std::lock_guard lock(link.wake_mutex);
    link.stopping = true;
  }
  link.wake.notify_all();
  if (link.client != nullptr) mosquitto_disconnect_v5(link.client, 0, nullptr);
  if (link.thread.joinable()) link.thread.join();
  mosquitto_destroy(link.client);
  mosquitto_lib_cleanup();
}
