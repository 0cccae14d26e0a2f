# The built kestrow beside simulated power supplies (supply-sim --usb): whole standard
# output byte for byte, exit status, time taken, and what reached the devices.

import pytest

from conftest import (ARGUMENT_COUNT, NOT_FOUND, SUCCESS, USB_RECEIVE_FAILED, USB_SEND_FAILED, assert_took,
                      beside_supplies, cannot_open, invalid_byte, received, run, sent, too_many, tool, wrote)
from lan_cases import ANSWERED as OK, COMMAND, usb_exchanges

KESTROW = tool("kestrow")
SIM = tool("supply_sim")
SIXTY_THREE = "A1 B2 00 " + " ".join(f"{k:02X}" for k in range(0x83, 0xBF))


@pytest.fixture
def start():
    """What a run beside a supply that waits for nothing takes now."""
    return run([SIM, "--usb", "--log", "/dev/null", "--", KESTROW, "--version"]).seconds


def used(node, typed=COMMAND, read=63):
    return [f"{node} open", wrote(node, typed), f"{node} read {read}"]


TWO = ["--serial", "A1", "--supply", "--serial", "B2", "--name", "Second\tone"]
EXCHANGES = [(name, options, command, out, status, used("hidraw0", command))
             for name, options, command, out, status in usb_exchanges()] + [
    ("numbered reports answer from byte 1", ["--numbered"], COMMAND, OK, 0, used("hidraw0", read=64)),
    ("others passed over", ["--hid", "1234:0001", "--hid", "0483:5740", "--supply"], COMMAND, OK, 0, used("hidraw2")),
    ("two supplies: the lower number wins", ["--node", "10", "--status", "01", "--supply", "--node", "2"], COMMAND,
     OK, 0, used("hidraw2")),
    ("unopenable node is named, the next used", ["--refuse-open", "--supply"], COMMAND,
     cannot_open("/dev/hidraw0", 13) + OK, 0, ["hidraw0 open"] + used("hidraw1")),
    ("missing node", ["--no-node"], COMMAND, cannot_open("/dev/hidraw0", 2) + NOT_FOUND, 3, []),
    ("failing write shows no sent line", ["--fail-write"], COMMAND, USB_SEND_FAILED, 3, used("hidraw0")[:2]),
    # A supply that has gone is told apart by the system's error: ENODEV for the write,
    # the read's EIO once the node has hung up (read to learn it).
    ("vanished before the write", ["--vanish"], COMMAND, USB_SEND_FAILED + b"Error Code = 19", 3, used("hidraw0")[:2]),
    ("failing read", ["--fail-read"], COMMAND, sent(COMMAND) + USB_RECEIVE_FAILED, 3, used("hidraw0")),
    ("hang-up while waiting", ["--hang-up"], COMMAND, sent(COMMAND) + USB_RECEIVE_FAILED + b"Error Code = 5", 3,
     used("hidraw0", read=64)),
    ("63 bytes go out", [], SIXTY_THREE, sent(SIXTY_THREE) + received("A1 B2 00 00 0D 0A") + SUCCESS, 0,
     used("hidraw0", SIXTY_THREE)),
    ("no answer gives up after five seconds", ["--silent"], COMMAND, sent(COMMAND) + USB_RECEIVE_FAILED, 3,
     used("hidraw0")[:2], 4.8, 6.5),
    # refused command lines never touch a device
    ("four bytes", [], COMMAND[:11], ARGUMENT_COUNT, 1, []),
    ("64 bytes", [], "01 " * 64, too_many(63), 1, []),
    ("longer than the supply's output report", ["--report-size", "4"], COMMAND, too_many(4), 1, ["hidraw0 open"]),
    ("bad byte", [], "A1 B2 zz 0D 0A", invalid_byte("zz", 3), 1, []),
    ("list two", TWO + ["--hid", "1234:0001"], "--list",
     b"/dev/hidraw0\tA1\tSimulated power supply\n/dev/hidraw1\tB2\tSecond one\n", 0, []),
    ("list one", ["--hid", "1234:0001", "--supply"], "--list", b"/dev/hidraw1\t\tSimulated power supply\n", 0, []),
    ("list none", ["--hid", "1234:0001"], "--list", b"", 3, []),
    ("by serial", TWO, "--serial B2 " + COMMAND, OK, 0, used("hidraw1")),
    ("by device", TWO, "--device /dev/hidraw1 " + COMMAND, OK, 0, used("hidraw1")),
    ("end of options", TWO, "--serial B2 -- -1 +7 00 d 0a",
     sent("FF 07 00 0D 0A") + received("FF 07 00 00 0D 0A") + SUCCESS, 0, used("hidraw1", "FF 07 00 0D 0A")),
    ("unknown serial", TWO, "--serial ZZ " + COMMAND, NOT_FOUND, 3, []),
    ("unknown device", TWO, "--device /dev/hidraw7 " + COMMAND, NOT_FOUND, 3, []),
    # --wait: seconds, up to three decimals, a day at most; a supply there is not waited for
    *[(f"--wait {v}", [], f"--wait {v} {COMMAND}", OK, 0, used("hidraw0")) for v in ("00.125", "86400")],
    *[(f"--wait {v}", [], f"--wait {v} {COMMAND}", f'\nInvalid wait "{v}" (0 to 86400 seconds). 待ち時間が正しくありません。\n'
       .encode(), 1, []) for v in ("1.2345", "86400.001", ".5", "5.", "-1")],
]
EXCHANGES = [row + (0, 2)[len(row) - 6:] for row in EXCHANGES]  # 0 to 2 seconds unless given


@pytest.mark.parametrize("name, devices, command, out, status, log, least, most", EXCHANGES,
                         ids=[row[0] for row in EXCHANGES])
def test_exchange(tmp_path, start, name, devices, command, out, status, log, least, most):
    result, seen = beside_supplies(tmp_path, devices, [KESTROW, *command.split()])
    assert (result.out, result.status, result.err, seen) == (out, status, b"", log)
    assert_took(result.seconds, least, most, start)


def test_a_supply_held_too_long_is_busy(tmp_path, start):
    log = tmp_path / "devices.log"
    # kestrow starts once the lock is held, however long the holder takes to start.
    script = ('flock /dev/hidraw0 sh -c \'touch "$0"; sleep 8\' "$1" & until [ -e "$1" ]; do sleep 0.05; done; '
              'exec "$0" A1 B2 00 0D 0A')
    result = run([SIM, "--usb", "--log", log, "--", "sh", "-c", script, KESTROW, tmp_path / "held"])
    busy = "\nThe power supply is busy with another exchange. USB電源は別の送受信で使用中です。\n".encode()
    assert (result.out, result.status) == (busy, 3)
    assert_took(result.seconds, 4.8, 6.5, start)
    assert " write " not in log.read_text()


def test_a_report_that_cannot_be_written(tmp_path):
    # A closed standard output must not hand its number to the device, which would then
    # be sent the report. A full one is in test_sessions.py.
    log = tmp_path / "devices.log"
    result = run([SIM, "--usb", "--log", log, "--", "sh", "-c", 'exec "$0" "$@" >&-', KESTROW, *COMMAND.split()])
    assert (result.status, result.err) == (4, b"kestrow: cannot write standard output: Bad file descriptor\n")
    assert log.read_text().splitlines() == used("hidraw0")
