/* The least an MQTT gateway to one TCP supply can cost: a libmosquitto client that takes
 * each request on TOPIC, exchanges its command through libdimlink on a handle opened once,
 * and publishes a small result to the request's response topic with its correlation data.
 * Usage: mqtt_floor BROKER_PORT TOPIC ADDRESS PORT (runs until killed) */
#include <dimlink.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static dimlink_supply* supply;
static const char* topic;

static void on_connect(struct mosquitto* client, void* data, int reason, int flags, const mosquitto_property* props) {
  (void)data, (void)flags, (void)props;
  if (reason == 0) mosquitto_subscribe_v5(client, NULL, topic, 2, 0, NULL);
}

static void on_message(struct mosquitto* client, void* data, const struct mosquitto_message* message,
                       const mosquitto_property* props) {
  (void)data;
  char text[4097];
  int length = message->payloadlen < 4096 ? message->payloadlen : 4096;
  memcpy(text, message->payload, (size_t)length);
  text[length] = 0;
  unsigned char command[64];
  size_t count = 0;
  dimlink_result result = DIMLINK_RESULT_INIT;
  if (dimlink_parse_command(text, command, &count, &result) == 0) dimlink_exchange(supply, command, count, &result);
  char payload[128];
  int size = snprintf(payload, sizeof payload, "{\"verdict\":\"%s\",\"status\":%d}", result.verdict, result.status);
  char* reply = NULL;
  void* correlation = NULL;
  uint16_t correlation_length = 0;
  mosquitto_property* out = NULL;
  mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &reply, false);
  if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &correlation_length, false)) {
    mosquitto_property_add_binary(&out, MQTT_PROP_CORRELATION_DATA, correlation, correlation_length);
  }
  if (reply) mosquitto_publish_v5(client, NULL, reply, size, payload, 1, false, out);
  mosquitto_property_free_all(&out);
  free(reply);
  free(correlation);
}

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  topic = argv[2];
  dimlink_result result = DIMLINK_RESULT_INIT;
  supply = dimlink_open_tcp(argv[3], atoi(argv[4]), &result);
  if (supply == NULL) return 3;
  mosquitto_lib_init();
  struct mosquitto* client = mosquitto_new(NULL, true, NULL);
  mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect_v5_callback_set(client, on_connect);
  mosquitto_message_v5_callback_set(client, on_message);
  if (mosquitto_connect_bind_v5(client, "127.0.0.1", atoi(argv[1]), 30, NULL, NULL) != MOSQ_ERR_SUCCESS) return 3;
  return mosquitto_loop_forever(client, -1, 1);
}
