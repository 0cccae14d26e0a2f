# Supplies that go and come back while a program holds them: the library (a C client),
# the Python package and a kestrow session, beside simulated supplies that the driver
# unplugs and plugs back through supply-sim's control socket.
import json
import sys

import pytest

from conftest import HERE, run, tool
from test_library import client, installed  # noqa: F401 (fixtures)

KESTROW, SIM = tool("kestrow"), tool("supply_sim")
X, SILENT = "A1 B2 00 0D 0A", "A1 B2 05 0D 0A"
# Opens at the first command, waiting for the supply; then one result a command line.
PYTHON_CLIENT = """
import json, sys, dimlink
supply = None
try:
    for line in sys.stdin:
        supply = supply or dimlink.open_usb(*[None if w == "-" else w for w in sys.argv[1:3]], wait=float(sys.argv[3]))
        print(json.dumps(supply.exchange(line.strip()).as_json()), flush=True)
except (dimlink.NotFoundError, KeyboardInterrupt) as error:
    print(json.dumps(error.result.as_json()) if hasattr(error, "result") else "KeyboardInterrupt", flush=True)
"""


def argv(kind, serial, wait, library_client):
    return {"kestrow": [KESTROW, "--json", "--commands", "-", *(["--serial", serial] * bool(serial)), "--wait", str(wait)],
            "c": [library_client, "held", serial or "-", "-", str(int(wait * 1000))],
            "python": [sys.executable, "-c", PYTHON_CLIENT, serial or "-", "-", str(wait)]}[kind]


def outcome(line):
    # as (verdict, sent, error, raw), or the line itself
    if not line.startswith("{"):
        return line
    result = json.loads(line.rsplit("|", 1)[0] if "|" in line else line)  # the C client adds its time
    return result["verdict"], result["sent"], result["error"], result["raw"]


OK = ("carried-out", True, None, "A1 B2 00 00 0D 0A")  # the same bytes before a supply goes and once it is back
GONE_AT_WRITE = ("send-failed", False, 19, None)  # ENODEV
GONE_BEFORE_ANSWER = ("receive-failed", True, 5, None)  # the read's EIO
ABSENT = ("not-found", False, None, None)
ENDED = "(ended)"  # a session ends at status 3
# name: devices, (serial, wait) the client opens with (kestrow's own where it differs),
# steps, outcomes for the library and Python (kestrow's where they differ).
ROWS = {
    "unplugged before a write": (
        ["--serial", "A1"], ("A1", 0), None,
        [["exchange", X], ["unplug", "A1"], ["exchange", X], ["exchange", X], ["plug", "A1"], ["exchange", X]],
        [OK, GONE_AT_WRITE, ABSENT, OK], [OK, GONE_AT_WRITE, ENDED, ENDED]),
    "unplugged between write and answer": (
        ["--serial", "A1", "--answers", "table"], ("A1", 0), None,
        [["exchange", X], ["send", SILENT], ["logged", "write 00 A1 B2 05"], ["unplug", "A1"], ["read"],
         ["exchange", X], ["plug", "A1"], ["exchange", X]],
        [OK, GONE_BEFORE_ANSWER, ABSENT, OK], [OK, GONE_BEFORE_ANSWER, ENDED, ENDED]),
    "plugged back while a wait is waiting": (
        ["--serial", "A1"], ("A1", 60), None,
        [["unplug", "A1"], ["send", X], ["waiting"], ["plug", "A1"], ["read"], ["exchange", X]],
        [OK, OK], None),
    "a session waits for the supply that went": (
        ["--serial", "A1"], ("A1", 0), ("A1", 60),
        [["exchange", X], ["unplug", "A1"], ["send", X], ["waiting"], ["plug", "A1"], ["read"]],
        [OK, GONE_AT_WRITE], [OK, OK]),
    "two supplies, one unplugged": (
        ["--serial", "A1", "--supply", "--serial", "B2", "--status", "07"], (None, 0), (None, 0.5),  # B2: knob-in-use
        [["exchange", X], ["unplug", "A1"], ["exchange", X], ["exchange", X], ["plug", "A1"], ["exchange", X]],
        [OK, GONE_AT_WRITE, ABSENT, OK], [OK, ABSENT, ENDED, ENDED]),
    "no serial number: found again by its path only": (
        ["--supply", "--supply", "--serial", "B2", "--status", "07"], (None, 0), (None, 0.5),
        [["exchange", X], ["unplug", "hidraw0"], ["exchange", X], ["plug", "hidraw0"], ["exchange", X]],
        [OK, GONE_AT_WRITE, ABSENT], [OK, ABSENT, ENDED]),
}


@pytest.mark.parametrize("kind", ["c", "python", "kestrow"])
@pytest.mark.parametrize("name", ROWS)
def test_a_supply_that_goes_and_comes_back(name, kind, client, tmp_path):  # noqa: F811
    devices, opening, kestrow_opening, steps, expected, kestrow_expected = ROWS[name]
    (tmp_path / "table").write_text(f"{SILENT} => silent\n")
    serial, wait = kestrow_opening if kind == "kestrow" and kestrow_opening else opening
    devices = [str(tmp_path / "table") if word == "table" else word for word in devices]
    done = drive(tmp_path, devices, argv(kind, serial, wait, client), [["start"], *steps])
    outcomes = [outcome(line) for line, _ in done[:-1]]
    # At once, not after the exchange's 5 s: waits end as soon as the supply is back.
    assert (outcomes, max(seconds for _, seconds in done[:-1]) < 4) == (
        kestrow_expected if kind == "kestrow" and kestrow_expected else expected, True)


@pytest.mark.parametrize("kind, interrupted", [
    ("c", (("interrupted", False, None, None), 3)),  # a handled SIGINT ends the wait
    ("python", ("KeyboardInterrupt", 0)),
    ("kestrow", (ENDED, -2)),  # SIGINT ends the tool, as ever
])
def test_waits_are_bounded_and_interruptible(kind, interrupted, client, tmp_path):  # noqa: F811
    (line, seconds), (_, _, _, cpu, _) = drive(tmp_path, ["--serial", "A1"], argv(kind, "ZZ", 1, client),
                                               [["start"], ["exchange", X]])
    assert outcome(line) == ABSENT and 1 <= seconds < 4 and cpu < 0.5  # no busy loop while nothing changes
    (line, seconds), (_, _, status, _, _) = drive(tmp_path, ["--serial", "A1"], argv(kind, "ZZ", 60, client),
                                                  [["start"], ["send", X], ["waiting"], ["interrupt"], ["read"]])
    assert (outcome(line), status) == interrupted and seconds < 4


def drive(tmp_path, devices, client_argv, steps):
    log = tmp_path / "devices.log"
    done = run([SIM, "--usb", "--log", log, *devices, "--", sys.executable, HERE / "unplug_driver.py",
                json.dumps([client_argv, [*steps, ["end"]]])], {"DEVICE_LOG": str(log), "LC_ALL": "C.UTF-8"},
               timeout=120)
    assert done.status == 0, done.err.decode()
    return [json.loads(line) for line in done.out.decode().splitlines()]
