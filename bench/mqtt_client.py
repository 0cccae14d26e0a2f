"""One MQTT v5 client of the bench: sends COUNT requests to TOPIC one after another, each
with a response topic and correlation data, waits for each answer, and prints the round
trips in microseconds as JSON. With --flood it publishes COUNT requests at once and waits
until every one is answered.
Usage: mqtt_client.py BROKER_PORT TOPIC COUNT [--flood]"""
import json
import socket
import sys
import threading
import time
import uuid

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

port, topic, count, flood = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), "--flood" in sys.argv
reply = f"bench/replies/{uuid.uuid4().hex}"
answered = threading.Semaphore(0)
# Packet IDs are 16 bits: the client may have no more than that waiting for the broker.
unacknowledged = threading.Semaphore(10000)
subscribed = threading.Event()
verdicts = {}


def on_message(client, data, message):
    verdict = json.loads(message.payload)["verdict"]
    verdicts[verdict] = verdicts.get(verdict, 0) + 1
    answered.release()


client = mqtt.Client(client_id=reply.rsplit("/", 1)[1], protocol=mqtt.MQTTv5)
client.max_inflight_messages_set(1000 if flood else 20)
client.max_queued_messages_set(0)
client.on_message = on_message
client.on_subscribe = lambda *_: subscribed.set()
client.on_publish = lambda *_: unacknowledged.release()


def on_connect(c, *_):
    c.socket().setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    c.subscribe(reply, qos=1)


client.on_connect = on_connect
client.connect("127.0.0.1", port)
client.loop_start()
subscribed.wait(30)
properties = Properties(PacketTypes.PUBLISH)
properties.ResponseTopic = reply
times = []
start = time.perf_counter()
for k in range(count):
    properties.CorrelationData = k.to_bytes(4, "big")
    sent = time.perf_counter()
    unacknowledged.acquire()
    client.publish(topic, "A1 B2 00 0D 0A", qos=1, properties=properties)
    if not flood:
        if not answered.acquire(timeout=30):
            sys.exit(f"no answer to request {k}")
        times.append((time.perf_counter() - sent) * 1e6)
for k in range(count if flood else 0):
    if not answered.acquire(timeout=120):
        sys.exit(f"{k} of {count} answered")
print(json.dumps({"times": times, "seconds": time.perf_counter() - start, "verdicts": verdicts}))
client.loop_stop()
