# The Python package against supply-sim: its results are the tools' --json objects on TCP
# and USB, its errors and threads, dimlink.testing, finding the library, and its types.
import contextlib
import json
import os
import re
import shutil
import socket
import sys
import threading
import time

import pytest

import dimlink
from conftest import require, run, simulator, tool
from dimlink.testing import simulated_supply
from lan_cases import COMMAND, loopback

KESTROW, MORVISH, SIM = tool("kestrow"), tool("morvish"), tool("supply_sim")
PACKAGE = os.path.join(os.path.dirname(__file__), "..", "python", "dimlink")
os.environ["PATH"] = os.path.dirname(SIM) + os.pathsep + os.environ["PATH"]  # as with dimlink-sim installed
ANSWERS = os.path.join(os.path.dirname(__file__), "python_answers.txt")
# simulator options and command: every verdict, an answer table's data, cut and missing answers
ANSWER_ROWS = [([], COMMAND), (["--answer", "A1 B3 00 00 0D 0A"], COMMAND), (["--short", "10"], "A1 B2 06 0D 0A"),
               (["--answers", ANSWERS], "A1 B2 01 0D 0A")] + [
    (["--status", f"{status:02X}"], COMMAND) for status in [*range(1, 8), 0x80]]
TCP_ROWS = ANSWER_ROWS + [(["--close"], COMMAND), (["--reset-after", "3", "--pause", "50"], "A1 B2 06 0D 0A"),
                          (None, COMMAND)]  # None: a port that refuses
USB_ROWS = ANSWER_ROWS + [(["--fail-write"], COMMAND), (["--fail-read"], COMMAND)]


def tool_object(argv):
    return json.loads(run(argv).out)


def row_id(options):
    return "refusing port" if options is None else " ".join(options).replace(ANSWERS, "table") or "default"


@pytest.mark.parametrize("options, command", TCP_ROWS, ids=[row_id(row[0]) for row in TCP_ROWS])
def test_tcp_results_are_morvish_json(options, command):
    server, port = loopback()
    with server, simulator(*(options or []), once=False) as sim:
        port = sim.port if options is not None else port
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
        devices = [word for k, (options, _) in enumerate(USB_ROWS) for word in ["--supply", "--serial", f"S{k}", *options]]
        done = run([SIM, "--usb", "--log", tmp_path / "log", *devices, "--", sys.executable, "-m", "pytest", "-q",
                    "-p", "no:cacheprovider", f"{__file__}::test_usb_results_are_kestrow_json"],
                   env={"DIMLINK_BESIDE_SUPPLIES": "1"}, timeout=120)
        require(done.status != 125, "supply-sim --usb cannot attach its simulated supplies here")
        assert done.status == 0 and b"1 passed" in done.out, done.out.decode()
        return
    assert [vars(info) for info in dimlink.list_usb()] == [
        json.loads(line) for line in run([KESTROW, "--list", "--json"]).out.splitlines()]
    for k, (options, command) in enumerate(USB_ROWS):
        expected = tool_object([KESTROW, "--json", "--serial", f"S{k}", *command.split()])
        with dimlink.open_usb(serial=f"S{k}") as supply:
            assert supply.exchange(command).as_json() == expected, options
    with pytest.raises(dimlink.NotFoundError) as raised:
        dimlink.open_usb(serial="absent")
    assert raised.value.result.as_json() == {**tool_object([KESTROW, "--json", "--serial", "absent", *COMMAND.split()]),
                                             "command": None, "sent": False}
    with dimlink.open_usb() as supply, pytest.raises(dimlink.CommandError):
        supply.exchange(bytes(64))  # a USB report holds 63


@pytest.mark.parametrize("command", ["A1 B2 zz 0D 0A", "A1 B2 00 0D", "01 " * 65, f"{COMMAND}\0FF", b"\xA1\xB2\x00\x0D",
                                     bytearray(65), [0xA1, 0xB2, 0x100, 0x0D, 0x0A]])
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


@pytest.mark.parametrize("timeout", [0, -1, 600.5, float("nan")])
def test_time_outs_out_of_range(timeout):
    for opening in (lambda: dimlink.open_tcp("127.0.0.1", 5020, timeout), lambda: dimlink.open_usb(timeout=timeout)):
        with pytest.raises(ValueError, match="timeout"):
            opening()


def test_time_out_bounds_the_wait_for_an_answer():
    with simulated_supply(silent=True) as (address, port), dimlink.open_tcp(address, port, timeout=0.3) as supply:
        start = time.monotonic()
        assert supply.exchange(COMMAND).verdict == "receive-failed"
        assert 0.3 <= time.monotonic() - start < 4  # well short of the default 5 s


def test_threads_share_a_supply_until_it_is_closed():
    ends, counts = [], [0] * 8
    with simulated_supply() as (address, port):
        supply = dimlink.open_tcp(address, port)

        def exchanges(k):
            command = bytes([k, 0xB2, 0, 0x0D, 0x0A])  # the supply echoes the first three bytes
            try:
                while True:
                    result = supply.exchange(command)
                    assert result.ok and result.answer[:3] == command[:3]
                    counts[k] += 1
            except dimlink.Error as error:
                ends.append(str(error))

        threads = [threading.Thread(target=exchanges, args=(k,)) for k in range(8)]
        for thread in threads:
            thread.start()
        time.sleep(0.3)
        supply.close()
        supply.close()
        for thread in threads:
            thread.join()
    assert ends == [f"TCP {address} port {port}: the supply is closed"] * 8 and supply.closed and min(counts) > 0


def test_simulated_supply_always_stops_its_simulator():
    for block_raises in (False, True):
        with pytest.raises(KeyError) if block_raises else contextlib.nullcontext():
            with simulated_supply(answers=ANSWERS) as (address, port):
                with dimlink.open_tcp(address, port) as supply:
                    assert supply.exchange("A1 B2 01 0D 0A").answer == bytes.fromhex("A1 B2 01 00 00 7F 0D 0A")
                if block_raises:
                    raise KeyError("from the block")
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection((address, port)).close()
    with pytest.raises(dimlink.Error, match='bad --status "zz"'):
        with simulated_supply(status="zz"):
            pass


def test_finding_the_library(tmp_path):
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


def test_mypy_strict():
    require(shutil.which("mypy"), "mypy is not installed (scripts/prepare-machine installs it)")
    done = run(["mypy", "--strict", "--cache-dir", os.devnull, PACKAGE], timeout=300)
    assert done.status == 0, done.out.decode()
