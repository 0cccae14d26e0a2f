# dimlink-mqtt against a real Mosquitto of the test's own on a free loopback port, driven
# by a real MQTT client, with simulated supplies on TCP and USB.
import contextlib
import getpass
import json
import os
import queue
import signal
import socket
import subprocess
import time
import uuid

import pytest

from conftest import HERE, json_objects, require, run, simulator, tool

mqtt = pytest.importorskip("paho.mqtt.client")
from paho.mqtt.packettypes import PacketTypes  # noqa: E402
from paho.mqtt.properties import Properties  # noqa: E402

GATEWAY = os.environ.get("DIMLINK_MQTT", "")
COMMAND = "A1 B2 00 0D 0A"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """A Mosquitto of the test's own; stop() and start() keep its port and, with
    persistence, the sessions it holds."""

    def __init__(self, folder, extra=""):
        self.port = free_port()
        self.folder = folder
        self.config = folder / f"mosquitto-{self.port}.conf"
        self.config.write_text(f"listener {self.port} 127.0.0.1\npersistence true\npersistence_location {folder}/\n"
                               f"persistence_file broker-{self.port}.db\nmax_queued_messages 0\nuser {getpass.getuser()}\n"
                               + (extra or "allow_anonymous true\n"))
        self.start()

    def start(self):
        self.process = subprocess.Popen(["mosquitto", "-c", str(self.config)], stdout=subprocess.DEVNULL,
                                        stderr=open(self.folder / f"mosquitto-{self.port}.log", "ab"))
        for _ in range(200):
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", self.port)) == 0:
                    return
            time.sleep(0.05)
        pytest.fail("mosquitto does not listen")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()


class Client:
    """An MQTT v5 client that keeps every message it receives."""

    def __init__(self, port, *topics, session=None, auth=None, **tls):
        self.messages = queue.Queue()
        self.backlog = []
        self.client = mqtt.Client(client_id=session or f"test-{uuid.uuid4().hex[:8]}", protocol=mqtt.MQTTv5)
        self.client.on_message = lambda client, data, message: self.messages.put(message)
        self.client.on_connect = lambda client, *_: [client.subscribe(t, qos=1) for t in topics]
        if auth:
            self.client.username_pw_set(*auth)
        if tls:
            self.client.tls_set(**tls)
        connect = Properties(PacketTypes.CONNECT)
        connect.SessionExpiryInterval = 3600
        self.client.reconnect_delay_set(0.1, 1)
        self.client.connect("127.0.0.1" if not tls else "localhost", port, clean_start=session is None,
                            properties=connect)
        self.client.loop_start()

    def publish(self, topic, payload, response=None, correlation=None, expiry=None, qos=2):
        properties = Properties(PacketTypes.PUBLISH)
        for name, value in (("ResponseTopic", response), ("CorrelationData", correlation),
                            ("MessageExpiryInterval", expiry)):
            if value is not None:
                setattr(properties, name, value)
        self.client.publish(topic, payload, qos=qos, properties=properties).wait_for_publish(10)

    def take(self, count=1, timeout=30, topic=None):
        """The next count messages (on topic), in order; others stay for a later take."""
        wanted = lambda m: topic is None or m.topic == topic  # noqa: E731
        taken = [m for m in self.backlog if wanted(m)][:count]
        self.backlog = [m for m in self.backlog if all(m is not t for t in taken)]
        deadline = time.monotonic() + timeout
        while len(taken) < count:
            try:
                message = self.messages.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                pytest.fail(f"{len(taken)} of {count} messages came: {[m.payload for m in taken]}")
            (taken if wanted(message) else self.backlog).append(message)
        return taken

    def results(self, count, timeout=30, topic=None):
        return [json.loads(m.payload) for m in self.take(count, timeout, topic)]

    def retained(self, topic, want, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            message = self.take(1, deadline - time.monotonic(), topic)[0]
            payload = json.loads(message.payload)
            if want(payload) if callable(want) else payload == want:
                return

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


@contextlib.contextmanager
def gateway(broker, *options, node="n1", log=None, wait_online=True, env=None, scheme="mqtt", beside=(), watch=None):
    require(GATEWAY and os.path.exists(GATEWAY), "dimlink-mqtt was not built")
    stderr = open(log or os.devnull, "ab")
    argv = [GATEWAY, "--broker", f"{scheme}://{'127.0.0.1' if scheme == 'mqtt' else 'localhost'}:{broker.port}",
            "--node", node, *options]
    process = subprocess.Popen([*beside, *argv], stdin=subprocess.DEVNULL, stderr=stderr, env={**os.environ, **(env or {})})
    try:
        if wait_online:
            watcher = Client(broker.port, f"dimlink/{node}/state", **(watch or {}))
            watcher.retained(f"dimlink/{node}/state", {"state": "online"})
            watcher.close()
        yield process
    finally:
        if process.poll() is None:
            process.terminate()
            process.wait(timeout=30)
        stderr.close()


@pytest.fixture
def broker(tmp_path):
    require(subprocess.run(["which", "mosquitto"], capture_output=True).returncode == 0, "mosquitto is not installed")
    with Broker(tmp_path) as b:
        yield b


@pytest.mark.parametrize("options, words", [
    (["--tcp", "lamp=127.0.0.300:5020"], "--tcp lamp"),
    (["--password-file", "/nonexistent/password"], "--password-file"),
    (["--broker", "mqtts://127.0.0.1", "--cafile", "/nonexistent/ca.pem"], "TLS"),
])
def test_a_bad_option_is_one_line_and_status_2(options, words):
    require(GATEWAY and os.path.exists(GATEWAY), "dimlink-mqtt was not built")
    done = run([GATEWAY, "--broker", "mqtt://127.0.0.1:1", "--no-usb", *options])
    assert done.status == 2 and done.out == b""
    assert done.err.count(b"\n") == 1 and words.encode() in done.err, done.err


SUPPLIES = {"plain": [], "status": ["--status", "03"], "short": ["--short", "3"], "closes": ["--close"]}


def test_each_result_is_the_tools_json_and_goes_where_the_request_asks(broker):
    with contextlib.ExitStack() as stack:
        sims = {name: stack.enter_context(simulator(*options, once=False)) for name, options in SUPPLIES.items()}
        stack.enter_context(gateway(broker, "--no-usb", *[a for name, sim in sims.items()
                                                         for a in ("--tcp", f"{name}=127.0.0.1:{sim.port}")]))
        client = Client(broker.port, "dimlink/n1/+/result", "replies/#")
        for name, sim in sims.items():
            expected = json_objects(run([tool("morvish"), "--json", "127.0.0.1", sim.port, *COMMAND.split()]).out)
            client.publish(f"dimlink/n1/{name}/exchange", COMMAND)
            assert client.results(1, topic=f"dimlink/n1/{name}/result") == expected, name
        # A response topic with correlation data, and the transaction echoed last.
        client.publish("dimlink/n1/plain/exchange", json.dumps({"command": COMMAND, "transaction": "t-1"}),
                       response="replies/me", correlation=b"\x00\xffid")
        reply = client.take(topic="replies/me")[0]
        assert reply.properties.CorrelationData == b"\x00\xffid"
        assert list(json.loads(reply.payload).items())[-2:] == [("error", None), ("transaction", "t-1")]


BAD = [
    (b"\xff\xfe", "bad-request", "not UTF-8"),
    (b"A" * 4097, "bad-request", "over 4 KiB"),
    (b"[1,2]", "bad-request", "not an object"),
    (b'{"transaction":3}', "bad-request", "command"),
    (b"{broken", "bad-request", "JSON"),
    (b"", "bad-request", "empty"),
    (b"A1 ZZ 00 0D 0A", "bad-command", "ZZ"),
]


def test_bad_requests_and_repeated_transactions_are_answered_and_not_carried_out(broker):
    with simulator(once=False) as sim, gateway(broker, "--no-usb", "--tcp", f"s1=127.0.0.1:{sim.port}"):
        client = Client(broker.port, "dimlink/n1/+/result")
        for payload, *_ in BAD:
            client.publish("dimlink/n1/s1/exchange", payload)
        client.publish("dimlink/n1/nothere/exchange", COMMAND)
        for result, (payload, verdict, words) in zip(client.results(len(BAD)), BAD):
            assert (result["verdict"], result["status"], result["sent"]) == (verdict, 1, False), payload
            assert words in result["message"], (payload, result)
        assert client.results(1)[0]["verdict"] == "not-found"
        # The gateway goes on; the repeats of transaction 5 are answered from memory.
        for transaction in (5, 5, "5", 6, 5):
            client.publish("dimlink/n1/s1/exchange", json.dumps({"command": COMMAND, "transaction": transaction}))
        results = client.results(5)
        assert [(r["transaction"], r["verdict"]) for r in results] == [(t, "carried-out") for t in (5, 5, "5", 6, 5)]
        assert sim.logged() == 3


def test_waiting_too_long_queue_full_and_a_stop_answer_every_request(broker, tmp_path):
    with simulator("--silent", once=False) as silent, simulator(once=False) as sim, \
            gateway(broker, "--no-usb", "--max-wait", "2", "--tcp", f"quiet=127.0.0.1:{silent.port}",
                    "--tcp", f"fast=127.0.0.1:{sim.port}"):
        client = Client(broker.port, "dimlink/n1/+/result")
        client.publish("dimlink/n1/quiet/exchange", COMMAND)  # held by the silent supply for 5 s
        client.publish("dimlink/n1/quiet/exchange", json.dumps({"command": COMMAND, "transaction": "expiry"}), expiry=1)
        client.publish("dimlink/n1/quiet/exchange", json.dumps({"command": COMMAND, "transaction": "max-wait"}))
        client.publish("dimlink/n1/fast/exchange", COMMAND)
        # A silent supply delays no other; each request waiting for it is answered when its
        # time is up, not at its turn.
        assert client.take(1)[0].topic == "dimlink/n1/fast/result"
        expired = client.results(2, topic="dimlink/n1/quiet/result")
        assert [(r["transaction"], r["verdict"], r["status"], r["sent"]) for r in expired] == \
            [("expiry", "expired", 3, False), ("max-wait", "expired", 3, False)]
        assert client.results(1, topic="dimlink/n1/quiet/result")[0]["verdict"] == "receive-failed"

    with simulator("--silent", once=False) as silent, \
            gateway(broker, "--no-usb", "--tcp", f"quiet=127.0.0.1:{silent.port}", log=tmp_path / "gateway.log") \
            as process:
        client = Client(broker.port, "dimlink/n1/quiet/result")
        for k in range(260):
            client.publish("dimlink/n1/quiet/exchange", json.dumps({"command": COMMAND, "transaction": k}), qos=1)
        full = client.results(3)
        assert all(r["verdict"] == "queue-full" and r["status"] == 3 for r in full)
        time.sleep(0.5)
        started = time.monotonic()
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=30) == 0
        assert time.monotonic() - started < 6
        # The exchange under way ends by itself or is interrupted; every waiting one is answered.
        verdicts = [r["verdict"] for r in full + client.results(257)]
        assert verdicts.count("queue-full") in (3, 4)  # 4 when the first had not left the queue yet
        assert verdicts.count("expired") >= 255
        assert set(verdicts) <= {"queue-full", "expired", "receive-failed", "interrupted"}
        state = Client(broker.port, "dimlink/n1/state", "dimlink/n1/quiet/availability")
        state.retained("dimlink/n1/state", {"state": "offline"})
        state.retained("dimlink/n1/quiet/availability", {"state": "offline"})


def test_a_tcp_supply_goes_offline_when_it_cannot_be_reached_and_back_when_it_answers(broker):
    port = free_port()
    with gateway(broker, "--no-usb", "--tcp", f"late=127.0.0.1:{port}"):
        client = Client(broker.port, "dimlink/n1/late/result", "dimlink/n1/late/availability", "dimlink/n1/supplies")
        client.retained("dimlink/n1/late/availability", {"state": "online"})
        client.publish("dimlink/n1/late/exchange", COMMAND)
        assert client.results(1, topic="dimlink/n1/late/result")[0]["verdict"] == "connect-failed"
        client.retained("dimlink/n1/late/availability", {"state": "offline"})
        client.retained("dimlink/n1/supplies", [{"id": "late", "transport": "tcp", "available": False,
                                                 "address": "127.0.0.1", "port": port}])
        sim = subprocess.Popen([tool("supply_sim"), "127.0.0.1", str(port)], stdout=subprocess.PIPE)
        try:
            assert sim.stdout.readline().strip() == str(port).encode()
            client.publish("dimlink/n1/late/exchange", COMMAND)
            assert client.results(1, topic="dimlink/n1/late/result")[0]["verdict"] == "carried-out"
            client.retained("dimlink/n1/late/availability", {"state": "online"})
        finally:
            sim.kill()
            sim.wait()


def test_nothing_is_lost_when_the_broker_restarts_or_the_gateway_is_killed(broker, tmp_path):
    # Each exchange takes about 0.75 s: results are made while the broker is away.
    with simulator("--pieces", "4", "--pause", "250", once=False) as slow:
        tcp = ("--no-usb", "--tcp", f"s1=127.0.0.1:{slow.port}")
        client = Client(broker.port, "dimlink/n1/s1/result", session="results-reader")
        with gateway(broker, *tcp, log=tmp_path / "gateway.log") as process:
            for k in range(6):
                client.publish("dimlink/n1/s1/exchange", json.dumps({"command": COMMAND, "transaction": k}))
            assert client.results(1)[0]["transaction"] == 0
            broker.stop()
            time.sleep(2)
            broker.start()
            # QoS 1 may bring one twice across the restart; none may be missing or out of order.
            seen = [0]
            while len(seen) < 6:
                seen = list(dict.fromkeys(seen + [r["transaction"] for r in client.results(1, timeout=60)]))
            assert seen == [0, 1, 2, 3, 4, 5]
            assert slow.logged() == 6

            # Killed, the gateway leaves its last will; requests sent meanwhile wait in its
            # session for the next one.
            watcher = Client(broker.port, "dimlink/n1/state")
            watcher.retained("dimlink/n1/state", {"state": "online"})
            process.kill()
            watcher.retained("dimlink/n1/state", {"state": "offline"})
            client.publish("dimlink/n1/s1/exchange", json.dumps({"command": COMMAND, "transaction": "while-away"}))
        with gateway(broker, *tcp):
            assert client.results(1)[0]["transaction"] == "while-away"
        log = (tmp_path / "gateway.log").read_text()
        assert "lost the broker" in log and log.count("connected to the broker") >= 2


def test_usb_supplies_are_listed_by_serial_or_node_and_answer_as_kestrow(broker, tmp_path):
    usb = subprocess.run([tool("supply_sim"), "--usb", "--", "true"], capture_output=True)
    require(usb.returncode == 0, f"supply-sim --usb cannot run here: {usb.stderr.decode()}")
    devices = ["--serial", "A1", "--supply", "--node", "4", "--status", "03", "--supply", "--node", "5",
               "--serial", "B/2"]
    beside = [tool("supply_sim"), "--usb", "--log", str(tmp_path / "devices.log"), *devices, "--"]
    with gateway(broker, beside=beside):
        client = Client(broker.port, "dimlink/n1/+/result", "dimlink/n1/supplies")
        listed = {s["id"]: s for s in client.results(1, topic="dimlink/n1/supplies")[0]}
        assert sorted(listed) == ["A1", "usb-hidraw4", "usb-hidraw5"] and listed["usb-hidraw5"]["serial"] == "B/2"
        assert listed["A1"] == {"id": "A1", "transport": "usb", "available": True, "serial": "A1", "name": "Simulated power supply",
                                "path": listed["A1"]["path"]} and listed["A1"]["path"].startswith("/dev/hidraw")
        for supply, options in (("A1", []), ("usb-hidraw4", ["--status", "03"])):
            expected = json_objects(run([tool("supply_sim"), "--usb", "--log", "/dev/null", *options, "--",
                                         tool("kestrow"), "--json", *COMMAND.split()]).out)
            client.publish(f"dimlink/n1/{supply}/exchange", COMMAND)
            assert client.results(1, topic=f"dimlink/n1/{supply}/result") == expected, supply


def make_ca(folder, name):
    """A CA of the test's own and a server certificate it signs for localhost."""
    key, ca, server_key, server = (folder / f"{name}{end}" for end in ("-ca.key", "-ca.pem", ".key", ".pem"))
    openssl = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2"]
    subprocess.run([*openssl, "-keyout", key, "-out", ca, "-subj", f"/CN={name} CA"], check=True, capture_output=True)
    subprocess.run([*openssl, "-CA", ca, "-CAkey", key, "-keyout", server_key, "-out", server, "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"], check=True, capture_output=True)
    return ca, server, server_key


def test_user_password_and_tls_with_the_brokers_ca(tmp_path):
    ca, server, server_key = make_ca(tmp_path, "right")
    other_ca = make_ca(tmp_path, "other")[0]
    passwords = tmp_path / "passwords"
    subprocess.run(["mosquitto_passwd", "-c", "-b", passwords, "station7", "s3cret"], check=True)
    (tmp_path / "password").write_text("s3cret\n")
    (tmp_path / "wrong").write_text("guess\n")
    with Broker(tmp_path, f"allow_anonymous false\npassword_file {passwords}\ncafile {ca}\n"
                          f"certfile {server}\nkeyfile {server_key}\n") as broker:
        user = ("--no-usb", "--username", "station7")
        watch = {"auth": ("station7", "s3cret"), "ca_certs": str(ca)}
        for options, env in ((["--password-file", str(tmp_path / "password")], {}), ([], {"DIMLINK_MQTT_PASSWORD": "s3cret"})):
            with gateway(broker, *user, "--cafile", str(ca), *options, scheme="mqtts", env=env, watch=watch):
                pass
        for name, options, words in (("wrong-password", ["--cafile", str(ca), "--password-file", str(tmp_path / "wrong")],
                                      "refused"),
                                     ("wrong-ca", ["--cafile", str(other_ca), "--password-file",
                                                   str(tmp_path / "password")], "certificate verify failed")):
            log = tmp_path / f"{name}.log"
            with gateway(broker, *user, *options, scheme="mqtts", log=log, wait_online=False) as process:
                deadline = time.monotonic() + 30
                while words not in log.read_text() and time.monotonic() < deadline:
                    time.sleep(0.1)
                assert words in log.read_text() and process.poll() is None  # it goes on trying


def test_a_request_on_the_plant_broker_is_answered_through_a_bridged_station(tmp_path, broker):
    bridge = (f"allow_anonymous true\nconnection plant\naddress 127.0.0.1:{broker.port}\nbridge_protocol_version mqttv50\n"
              "topic dimlink/+/+/exchange in 2\ntopic dimlink/+/+/result out 1\ntopic dimlink/+/state out 1\n")
    with Broker(tmp_path, bridge) as station, simulator(once=False) as sim, \
            gateway(station, "--no-usb", "--tcp", f"s1=127.0.0.1:{sim.port}"):
        plant = Client(broker.port, "dimlink/n1/s1/result", "dimlink/n1/state")
        plant.retained("dimlink/n1/state", {"state": "online"})
        plant.publish("dimlink/n1/s1/exchange", json.dumps({"command": COMMAND, "transaction": "plant"}))
        result = plant.results(1, topic="dimlink/n1/s1/result")[0]
        assert (result["verdict"], result["transaction"]) == ("carried-out", "plant")


def test_the_unit_verifies_and_the_gateway_tells_systemd_it_is_ready_and_stopping(tmp_path):
    unit = (HERE.parent / "mqtt" / "dimlink-mqtt.service").read_text()
    require(GATEWAY and os.path.exists(GATEWAY), "dimlink-mqtt was not built")
    (tmp_path / "dimlink-mqtt.service").write_text(
        unit.replace("/usr/bin/dimlink-mqtt", GATEWAY)
            .replace("/etc/default/dimlink-mqtt", str(HERE.parent / "mqtt" / "dimlink-mqtt.default")))
    done = subprocess.run(["systemd-analyze", "verify", "--man=no", tmp_path / "dimlink-mqtt.service"],
                          capture_output=True, text=True)
    assert (done.returncode, done.stderr) == (0, "")
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as notify:
        notify.bind(str(tmp_path / "notify"))
        notify.settimeout(30)
        process = subprocess.Popen([GATEWAY, "--broker", f"mqtt://127.0.0.1:{free_port()}", "--no-usb"],
                                   env={**os.environ, "NOTIFY_SOCKET": str(tmp_path / "notify")},
                                   stderr=open(tmp_path / "log", "wb"))
        assert notify.recv(64) == b"READY=1"
        time.sleep(3.5)  # no broker there: tries at 0, 1 and 3 s, never more often
        process.terminate()
        assert (notify.recv(64), process.wait(timeout=30)) == (b"STOPPING=1", 0)
    assert 1 <= (tmp_path / "log").read_text().count("cannot reach the broker") <= 3


# Runs beside the simulated devices with the gateway: passes each line of its input to
# supply-sim's control socket and prints the answer.
RELAY = """
import os, socket, sys
for line in sys.stdin:
    with socket.socket(socket.AF_UNIX) as control:
        control.connect(os.environ["DIMLINK_SIM_CONTROL"])
        control.sendall(line.encode())
        print(control.makefile().readline().strip(), flush=True)
"""


def test_a_usb_supply_unplugged_is_offline_and_plugged_back_is_the_same_id(broker, tmp_path):
    require(GATEWAY and os.path.exists(GATEWAY), "dimlink-mqtt was not built")
    usb = run([tool("supply_sim"), "--usb", "--", "sh", "-c", 'test -S "$DIMLINK_SIM_CONTROL"'])
    require(usb.status == 0, f"supply-sim --usb without its control socket: {usb.err.decode()}")
    log = open(tmp_path / "gateway.log", "wb")
    sim = subprocess.Popen([tool("supply_sim"), "--usb", "--log", "/dev/null", "--serial", "A1", "--", "sh", "-c",
                            '"$0" "$@" & exec python3 -u -c "$RELAY"', GATEWAY, "--broker",
                            f"mqtt://127.0.0.1:{broker.port}", "--node", "n1"],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                           env={**os.environ, "RELAY": RELAY})

    def control(request):
        sim.stdin.write(request.encode() + b"\n")
        sim.stdin.flush()
        assert sim.stdout.readline() == b"ok\n", request
        return time.monotonic()

    try:
        client = Client(broker.port, "dimlink/n1/A1/availability", "dimlink/n1/A1/result", "dimlink/n1/supplies")
        client.retained("dimlink/n1/A1/availability", {"state": "online"})
        for request, state, verdict in (("unplug A1", "offline", ("not-found", 3)),
                                        ("plug A1", "online", ("carried-out", 0))):
            changed = control(request)
            client.retained("dimlink/n1/A1/availability", {"state": state})
            assert time.monotonic() - changed < 2
            client.publish("dimlink/n1/A1/exchange", COMMAND)
            result = client.results(1, topic="dimlink/n1/A1/result")[0]
            assert (result["verdict"], result["status"]) == verdict
        client.retained("dimlink/n1/supplies", lambda listed: [(s["id"], s["available"]) for s in listed] == [("A1", True)])
    finally:
        sim.stdin.close()
        sim.wait(timeout=30)
        log.close()
