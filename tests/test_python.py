# The Python package against supply-sim: its results are the tools' --json objects on TCP
# and USB, its errors, threads, signals and fork, dimlink.testing and the pytest plugin,
# and finding the library (scripts/lint checks its types).
import contextlib
import errno
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from decimal import Decimal
from fractions import Fraction

import pytest

import dimlink
from conftest import require, run, simulator, tool
from dimlink.testing import simulated_supply
from lan_cases import COMMAND, supply_port

pytest_plugins = ["pytest_dimlink"]
KESTROW, MORVISH, SIM = tool("kestrow"), tool("morvish"), tool("supply_sim")
SOURCE = os.path.join(os.path.dirname(__file__), "..", "python")
PACKAGE = os.path.join(SOURCE, "dimlink")
os.environ["PATH"] = os.path.dirname(SIM) + os.pathsep + os.environ["PATH"]  # as with dimlink-sim installed
ANSWERS = os.path.join(os.path.dirname(__file__), "python_answers.txt")  # answers READING, never SILENT
READING, SILENT = "A1 B2 01 0D 0A", "A1 B2 05 0D 0A"
BESIDE_SUPPLIES = os.environ.get("DIMLINK_BESIDE_SUPPLIES") == "1"
# Simulator options and command, for each field's conversion: an answer whose raw bytes
# are shorter, a failing verdict, a null answer, an error number, nothing sent (None: a
# port that refuses). Every verdict's fields are held to the tools' by test_library.py.
TCP_ROWS = [([], COMMAND), (["--short", "10"], "A1 B2 06 0D 0A"), (["--status", "07"], COMMAND),
            (["--close"], COMMAND), (["--reset-after", "3", "--pause", "50"], "A1 B2 06 0D 0A"), (None, COMMAND)]


def tool_object(argv):
    return json.loads(run(argv).out)


@pytest.mark.parametrize("options, command", TCP_ROWS, ids=[" ".join(o or ["refusing"]) or "-" for o, _ in TCP_ROWS])
def test_tcp_results_are_morvish_json(options, command):
    with supply_port(options, once=False) as port:
        expected = tool_object([MORVISH, "--json", "127.0.0.1", port, *command.split()])
        with dimlink.open_tcp("127.0.0.1", int(port)) as supply:
            result = supply.exchange(command)
    assert result.as_json() == expected and list(result.as_json()) == list(expected)
    assert result.ok == (expected["status"] == 0) and result.command == bytes.fromhex(command)
    with contextlib.nullcontext() if result.ok else pytest.raises(dimlink.ExchangeError) as raised:
        assert result.check() is result
    assert result.ok or raised.value.result is result


def test_usb_beside_simulated_supplies(tmp_path):
    if not BESIDE_SUPPLIES:  # run as the docs say, beside simulated supplies
        done = run([SIM, "--usb", "--log", tmp_path / "log", "--answers", ANSWERS, "--serial", "S0", "--supply",
                    "--serial", "S1", "--fail-write", "--supply", "--serial", "LOCKED", "--refuse-open", "--supply",
                    "--serial", "QUIET", "--", sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                    f"{__file__}::test_usb_beside_simulated_supplies"], {"DIMLINK_BESIDE_SUPPLIES": "1"}, 120)
        require(done.status != 125, "supply-sim --usb cannot attach its simulated supplies here")
        assert done.status == 0 and b"1 passed" in done.out, done.out.decode()
        return
    usb_results_are_kestrow_json()
    usb_supply_not_allowed_is_permission_error()
    signals_end_exchanges("dimlink.open_usb(serial='QUIET', timeout=seconds)")


def usb_results_are_kestrow_json():
    assert [vars(info) for info in dimlink.list_usb()] == [
        json.loads(line) for line in run([KESTROW, "--list", "--json"]).out.splitlines()]
    kestrow = {s: tool_object([KESTROW, "--json", "--serial", s, *COMMAND.split()]) for s in ("S0", "S1", "absent")}
    path = next(info.path for info in dimlink.list_usb() if info.serial == "S1")
    for serial, choice in (("S0", {"serial": "S0"}), ("S1", {"path": path})):  # answered; send-failed, its error
        with dimlink.open_usb(**choice) as supply:
            assert supply.exchange(COMMAND).as_json() == kestrow[serial]
    with dimlink.open_usb(serial="S0") as supply:  # the lock is held for an exchange, not while open
        assert supply.exchange(COMMAND).ok and run([KESTROW, "--serial", "S0", *COMMAND.split()]).status == 0
    with pytest.raises(dimlink.NotFoundError) as raised:
        dimlink.open_usb(serial="absent")
    assert isinstance(raised.value, OSError) and (raised.value.errno, raised.value.filename) == (errno.ENOENT, None)
    assert raised.value.result.as_json() == {**kestrow["absent"], "command": None, "sent": False}
    with dimlink.open_usb() as supply, pytest.raises(dimlink.CommandError):
        supply.exchange(bytes(64))  # a USB report holds 63


def usb_supply_not_allowed_is_permission_error():
    path = next(info.path for info in dimlink.list_usb() if info.serial == "LOCKED")
    kestrow = tool_object([KESTROW, "--json", "--serial", "LOCKED", *COMMAND.split()])
    with pytest.raises(PermissionError) as raised:
        dimlink.open_usb(serial="LOCKED")
    assert isinstance(raised.value, dimlink.NotFoundError) and (raised.value.errno, raised.value.filename) == (13, path)
    assert raised.value.result.as_json() == {**kestrow, "command": None, "sent": False, "error": 13}


# A program sent SIGINT during an exchange the supply never answers, then SIGTERM, whose
# handler closes the supply, during another; OPENING, an expression, opens the supply with
# a time-out of so many seconds.
SIGNALLED = f"""
import signal, dimlink
def say(*words):
    print(*words, flush=True)
def opening(seconds):
    return OPENING
supply = opening(15)
say("ready")
try:
    say("answered", supply.exchange("{SILENT}").verdict)
except KeyboardInterrupt:
    say("interrupted")
say(supply.exchange("{READING}").verdict)
supply = opening(1)
signal.signal(signal.SIGTERM, lambda *_: supply.close())
say("ready")
say(supply.exchange("{SILENT}").verdict, supply.closed)
try:
    supply.exchange("{READING}")
except dimlink.ClosedError:
    say("closed")
"""


def signals_end_exchanges(opening):
    child = subprocess.Popen([sys.executable, "-c", SIGNALLED.replace("OPENING", opening)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)

    def said(within):  # unbuffered: a readable pipe holds the next line
        if not select.select([child.stdout], [], [], within)[0]:
            child.kill()
            pytest.fail(f"no line from the program in {within} s: {child.stderr.read().decode()}")
        return child.stdout.readline().decode().strip()

    try:
        assert said(30) == "ready"
        time.sleep(1)
        child.send_signal(signal.SIGINT)
        start = time.monotonic()
        assert said(20) == "interrupted"
        took = time.monotonic() - start
        assert said(20) == "carried-out"  # the supply still serves
        assert said(20) == "ready"
        time.sleep(0.3)
        child.send_signal(signal.SIGTERM)
        assert said(20) == "receive-failed True"  # ended at its time-out, closed after it
        assert said(20) == "closed"
        assert took < 5, f"KeyboardInterrupt {took:.1f} s after SIGINT"  # not at the 15 s time-out
    finally:
        child.kill()
        child.wait()


def test_signals_during_tcp_exchanges():
    with simulated_supply(answers=ANSWERS) as (address, port):
        signals_end_exchanges(f"dimlink.open_tcp({address!r}, {port}, timeout=seconds)")


@pytest.mark.parametrize("command", ["A1 B2 zz 0D 0A", f"{COMMAND}\0FF", b"\xA1\xB2\x00\x0D", bytearray(65),
                                     [0xA1, 0xB2, 0x100, 0x0D, 0x0A]])
def test_commands_refused_before_sending(command):
    with simulator(once=False) as sim, dimlink.open_tcp("127.0.0.1", int(sim.port)) as supply:
        with pytest.raises(dimlink.CommandError) as raised:
            supply.exchange(command)
        assert isinstance(raised.value, ValueError) and str(raised.value) and sim.logged() == 0


@pytest.mark.parametrize("address, port", [("localhost", 5020), ("1.2.3", 5020), ("127.0.0.1", 0),
                                           ("127.0.0.1", 70000), ("127.0.0.1", 109389)])
def test_refused_addresses_carry_morvish_message(address, port):
    with pytest.raises(dimlink.AddressError) as raised:
        dimlink.open_tcp(address, port)
    assert isinstance(raised.value, ValueError)
    assert str(raised.value) == tool_object([MORVISH, "--json", address, str(port), *COMMAND.split()])["message"]


@pytest.mark.parametrize("opening", [lambda t: dimlink.open_tcp("127.0.0.1", 5020, t),
                                     lambda t: dimlink.open_usb(timeout=t)], ids=["tcp", "usb"])
@pytest.mark.parametrize("timeout, refusal", [(0, ValueError), (-1, ValueError), (600.5, ValueError),
                                              (float("nan"), ValueError), (Decimal("sNaN"), ValueError),
                                              (Fraction(10 ** 400), ValueError), (True, TypeError), ("1", TypeError)])
def test_time_outs_refused(opening, timeout, refusal):
    with pytest.raises(refusal, match="timeout"):
        opening(timeout)


def test_a_supply_shared_by_threads_until_it_is_closed():
    with pytest.raises(TypeError):
        dimlink.Supply(1, "made by hand")  # a handle only the open functions give
    counts = [0] * 8

    def exchanges(k):  # until the supply is closed; the supply echoes the first three bytes
        command = bytes([k, 0xB2, 0, 0x0D, 0x0A])
        with pytest.raises(dimlink.ClosedError) as closed:
            while (result := supply.exchange(command)).ok and result.answer[:3] == command[:3]:
                counts[k] += 1
        return str(closed.value)

    with simulated_supply() as (address, port), ThreadPoolExecutor(8) as pool:
        supply = dimlink.open_tcp(address, port)
        ends = [pool.submit(exchanges, k) for k in range(8)]
        time.sleep(0.3)
        supply.close()
        supply.close()
        assert [end.result() for end in ends] == [f"TCP {address} port {port}: the supply is closed"] * 8
    assert supply.closed and min(counts) > 0


STARTS_AND_DIES = """
import os
from dimlink.testing import simulated_supply
with simulated_supply() as (address, port):
    print(port, flush=True)
    os._exit(0)
"""


def test_simulated_supply_always_stops_its_simulator():
    for block_raises in (False, True):
        with pytest.raises(KeyError) if block_raises else contextlib.nullcontext():
            with simulated_supply(answers=ANSWERS) as (address, port), dimlink.open_tcp(address, port) as supply:
                assert supply.exchange(READING).answer == bytes.fromhex("A1 B2 01 00 00 7F 0D 0A")
                if block_raises:
                    raise KeyError("from the block")
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection((address, port)).close()
    with pytest.raises(dimlink.Error, match='bad --status "zz"'), simulated_supply(status="zz"):
        pass
    # A process that dies inside the block runs no finally: its simulator ends all the same.
    port = int(run([sys.executable, "-c", STARTS_AND_DIES]).out)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port)).close()
        except ConnectionRefusedError:
            break
        time.sleep(0.1)
    else:
        pytest.fail("supply-sim still runs 10 s after the process that started it died")


# The answer comes in six pieces 0.2 s apart: each wait is shorter than the time-out, the
# whole answer takes longer, and the exchange ends with what came by its deadline.
@pytest.mark.parametrize("dimlink_tcp_supply", [{"pieces": 6, "pause": 200}], indirect=True)
@pytest.mark.parametrize("timeout", [Fraction(3, 10), Decimal("0.3")])
def test_time_out_bounds_the_whole_exchange(dimlink_tcp_supply, timeout):
    with dimlink.open_tcp(*dimlink_tcp_supply, timeout=timeout) as supply:
        start = time.monotonic()
        result = supply.exchange(COMMAND)
        assert 0.3 <= time.monotonic() - start < 1 and len(result.raw) < 6


def test_installed_plugin_needs_no_library(tmp_path):
    # pip installs the package where nothing finds libdimlink; pytest loads every installed
    # plugin in every run, and must still run.
    require(run([sys.executable, "-c", "import ctypes; ctypes.CDLL('libdimlink.so.1')"]).status != 0,
            "libdimlink1 is installed here, so the library is always found")
    shutil.copytree(SOURCE, tmp_path / "source", ignore=shutil.ignore_patterns("__pycache__", "CMakeLists.txt"))
    pip = run([sys.executable, "-m", "pip", "install", "--no-index", "--no-build-isolation", "--no-deps", "--quiet",
               "--disable-pip-version-check", "--no-cache-dir", "--target", tmp_path / "site", tmp_path / "source"], timeout=120)
    assert pip.status == 0, pip.err.decode()
    (tmp_path / "test_any.py").write_text(
        "def test_any(request):\n    assert request.config.pluginmanager.has_plugin('pytest_dimlink')\n")
    done = run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", tmp_path / "test_any.py"],
               env={"PYTHONPATH": str(tmp_path / "site"), "DIMLINK_LIBRARY": ""})
    assert done.status == 0 and b"1 passed" in done.out, done.out.decode() + done.err.decode()


def test_finding_the_library(tmp_path):
    # In a process of its own: this one has the library loaded, which dlopen would give back.
    system = run([sys.executable, "-c", "import ctypes; ctypes.CDLL('libdimlink.so.1')"])
    require(system.status != 0, "libdimlink1 is installed here, so the library is always found")
    shutil.copytree(PACKAGE, tmp_path / "dimlink", ignore=shutil.ignore_patterns("__pycache__"))
    env = {"PYTHONPATH": str(tmp_path), "DIMLINK_LIBRARY": ""}
    missing = run([sys.executable, "-c", "import dimlink"], env=env)
    for place in (f"{tmp_path}/dimlink/libdimlink.so.1: no such file", f"{tmp_path}/libdimlink.so.1: no such file",
                  "libdimlink.so.1 (the system's library search)", "install the libdimlink1 package"):
        assert missing.status == 1 and place.encode() in missing.err, missing.err.decode()
    shutil.copy(os.environ["DIMLINK_LIBRARY"], tmp_path / "libdimlink.so.1")  # beside the package, as in the Windows zip
    found = run([sys.executable, "-c", "import dimlink; print(dimlink.__version__, dimlink.library_version())"], env=env)
    assert found.out.decode().split() == [os.environ["DIMLINK_VERSION"]] * 2, found.err.decode()
    # A library named on purpose is the one wanted: one found elsewhere does not stand in.
    chosen = run([sys.executable, "-c", "import dimlink"], env={**env, "DIMLINK_LIBRARY": str(tmp_path / "nowhere.so")})
    assert chosen.status == 1 and f"{tmp_path}/nowhere.so (DIMLINK_LIBRARY): no such file".encode() in chosen.err


def test_unplug_and_plug_say_the_simulators_reason():
    script = ("import dimlink.testing as t\nfor step in (t.plug, t.unplug, t.unplug):\n"
              "    try: step('A1')\n    except Exception as error: print(error)")
    done = run([SIM, "--usb", "--log", "/dev/null", "--serial", "A1", "--", sys.executable, "-c", script])
    assert done.out == b"supply-sim: hidraw0 is plugged in already\nsupply-sim: hidraw0 is unplugged already\n", \
        done.err.decode()
