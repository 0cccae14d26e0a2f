# The Python package against supply-sim: its results are the tools' --json objects on TCP
# and USB, its errors and threads, dimlink.testing, and finding the library (scripts/lint
# checks its types).
import contextlib
import json
import os
import shutil
import socket
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import dimlink
from conftest import require, run, simulator, tool
import dimlink.testing
from dimlink.testing import simulated_supply
from lan_cases import COMMAND, supply_port

pytest_plugins = ["dimlink.pytest_plugin"]
KESTROW, MORVISH, SIM = tool("kestrow"), tool("morvish"), tool("supply_sim")
PACKAGE = os.path.join(os.path.dirname(__file__), "..", "python", "dimlink")
os.environ["PATH"] = os.path.dirname(SIM) + os.pathsep + os.environ["PATH"]  # as with dimlink-sim installed
ANSWERS = os.path.join(os.path.dirname(__file__), "python_answers.txt")
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


def test_usb_results_are_kestrow_json(tmp_path):
    if os.environ.get("DIMLINK_BESIDE_SUPPLIES") != "1":  # run as the docs say, beside simulated supplies
        done = run([SIM, "--usb", "--log", tmp_path / "log", "--serial", "S0", "--supply", "--serial", "S1",
                    "--fail-write", "--", sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                    f"{__file__}::test_usb_results_are_kestrow_json"], {"DIMLINK_BESIDE_SUPPLIES": "1"}, 120)
        require(done.status != 125, "supply-sim --usb cannot attach its simulated supplies here")
        assert done.status == 0 and b"1 passed" in done.out, done.out.decode()
        return
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
    assert raised.value.result.as_json() == {**kestrow["absent"], "command": None, "sent": False}
    with dimlink.open_usb() as supply, pytest.raises(dimlink.CommandError):
        supply.exchange(bytes(64))  # a USB report holds 63


@pytest.mark.parametrize("command", ["A1 B2 zz 0D 0A", f"{COMMAND}\0FF", b"\xA1\xB2\x00\x0D", bytearray(65),
                                     [0xA1, 0xB2, 0x100, 0x0D, 0x0A]])
def test_commands_refused_before_sending(command):
    with simulator(once=False) as sim, dimlink.open_tcp("127.0.0.1", int(sim.port)) as supply:
        with pytest.raises(dimlink.CommandError) as raised:
            supply.exchange(command)
        assert isinstance(raised.value, ValueError) and str(raised.value) and sim.logged() == 0


@pytest.mark.parametrize("address, port", [("localhost", 5020), ("1.2.3", 5020), ("127.0.0.1", 0),
                                           ("127.0.0.1", 70000)])
def test_refused_addresses_carry_morvish_message(address, port):
    with pytest.raises(ValueError) as raised:
        dimlink.open_tcp(address, port)
    assert str(raised.value) == tool_object([MORVISH, "--json", address, str(port), *COMMAND.split()])["message"]


@pytest.mark.parametrize("opening", [lambda t: dimlink.open_tcp("127.0.0.1", 5020, t),
                                     lambda t: dimlink.open_usb(timeout=t)], ids=["tcp", "usb"])
@pytest.mark.parametrize("timeout", [0, -1, 600.5, float("nan")])
def test_time_outs_out_of_range(opening, timeout):
    with pytest.raises(ValueError, match="timeout"):
        opening(timeout)


def test_threads_share_a_supply_until_it_is_closed():
    counts = [0] * 8

    def exchanges(k):  # until the supply is closed; the supply echoes the first three bytes
        command = bytes([k, 0xB2, 0, 0x0D, 0x0A])
        with pytest.raises(dimlink.Error) as closed:
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


def test_simulated_supply_always_stops_its_simulator():
    for block_raises in (False, True):
        with pytest.raises(KeyError) if block_raises else contextlib.nullcontext():
            with simulated_supply(answers=ANSWERS) as (address, port), dimlink.open_tcp(address, port) as supply:
                assert supply.exchange("A1 B2 01 0D 0A").answer == bytes.fromhex("A1 B2 01 00 00 7F 0D 0A")
                if block_raises:
                    raise KeyError("from the block")
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection((address, port)).close()
    with pytest.raises(dimlink.Error, match='bad --status "zz"'), simulated_supply(status="zz"):
        pass


@pytest.mark.parametrize("dimlink_tcp_supply", [{"silent": True}], indirect=True)
def test_fixture_takes_options_and_time_out_bounds_the_wait(dimlink_tcp_supply):
    with dimlink.open_tcp(*dimlink_tcp_supply, timeout=0.3) as supply:
        start = time.monotonic()
        assert supply.exchange(COMMAND).verdict == "receive-failed"
        assert 0.3 <= time.monotonic() - start < 4  # well short of the default 5 s


def test_finding_the_library(tmp_path):
    # In a process of its own: this one has the library loaded, which dlopen would give back.
    system = run([sys.executable, "-c", "import ctypes; ctypes.CDLL('libdimlink.so.1')"])
    require(system.status != 0, "libdimlink1 is installed here, so the library is always found")
    shutil.copytree(PACKAGE, tmp_path / "dimlink", ignore=shutil.ignore_patterns("__pycache__"))
    env = {"PYTHONPATH": str(tmp_path), "DIMLINK_LIBRARY": str(tmp_path / "nowhere.so")}
    missing = run([sys.executable, "-c", "import dimlink"], env=env)
    for place in ("nowhere.so (DIMLINK_LIBRARY)", f"{tmp_path}/dimlink/libdimlink.so.1: no such file",
                  f"{tmp_path}/libdimlink.so.1: no such file", "libdimlink.so.1 (the system's library search)",
                  "install the libdimlink1 package"):
        assert missing.status == 1 and place.encode() in missing.err, missing.err.decode()
    shutil.copy(os.environ["DIMLINK_LIBRARY"], tmp_path / "libdimlink.so.1")  # beside the package, as in the Windows zip
    found = run([sys.executable, "-c", "import dimlink; print(dimlink.__version__)"], env={**env, "DIMLINK_LIBRARY": ""})
    assert found.out.decode().strip() == os.environ["DIMLINK_VERSION"], found.err.decode()


def test_unplug_and_plug_say_the_simulators_reason(monkeypatch):
    script = ("import dimlink.testing as t\nfor call in (t.unplug, t.unplug, t.plug):\n"
              "    try: call('A1')\n    except Exception as error: print(error)")
    done = run([SIM, "--usb", "--log", "/dev/null", "--serial", "A1", "--", sys.executable, "-c", script])
    assert done.out == b"supply-sim: hidraw0 is unplugged already\n", done.err.decode()
    monkeypatch.delenv("DIMLINK_SIM_CONTROL", raising=False)
    with pytest.raises(dimlink.Error, match="DIMLINK_SIM_CONTROL is not set"):
        dimlink.testing.unplug("A1")
