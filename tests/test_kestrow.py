# The built kestrow beside simulated power supplies (supply-sim --usb): whole standard
# output byte for byte, exit status, time taken, and what reached the devices.
import os
import shutil
import stat
import tempfile

import pytest

from conftest import (ARGUMENT_COUNT, BY_STATUS, NOT_FOUND, SUCCESS, USB_RECEIVE_FAILED, USB_SEND_FAILED, assert_took,
                      beside_supplies, cannot_open, cp932, invalid_byte, received, run, sent,
                      too_many, tool, wrote)
from lan_cases import ANSWERED as OK, COMMAND, usb_exchanges

KESTROW = tool("kestrow")
SIM = tool("supply_sim")
SIXTY_THREE = "A1 B2 00 " + " ".join(f"{k:02X}" for k in range(0x83, 0xBF))


def kestrow(tmp_path, devices, args, env=None):
    """Runs kestrow beside the devices; gives back its result and the devices' log."""
    return beside_supplies(tmp_path, devices, [KESTROW, *args], env)


@pytest.fixture
def start():
    """What a run beside a supply that waits for nothing takes now."""
    return run([SIM, "--usb", "--log", "/dev/null", "--", KESTROW, "--version"]).seconds


def used(node, typed=COMMAND, read=63):
    return [f"{node} open", wrote(node, typed), f"{node} read {read}"]


EXCHANGES = [(name, options, command, out, status, used("hidraw0", command))
             for name, options, command, out, status in usb_exchanges()] + [
    ("numbered reports answer from byte 1", ["--numbered"], COMMAND, OK, 0, used("hidraw0", read=64)),
    ("long numbered reports are cut", ["--numbered", "--report-size", "100"], COMMAND, OK, 0,
     used("hidraw0", read=64)),
    ("other devices are never opened", ["--hid", "1234:0001", "--hid", "0483:5740"], COMMAND, NOT_FOUND, 3, []),
    ("others passed over", ["--hid", "1234:0001", "--hid", "0483:5740", "--supply"], COMMAND, OK, 0,
     used("hidraw2")),
    ("two supplies: the lower number wins", ["--node", "10", "--status", "01", "--supply", "--node", "2"], COMMAND,
     OK, 0, used("hidraw2")),
    ("unopenable node is named, the next used", ["--refuse-open", "--supply"], COMMAND,
     cannot_open("/dev/hidraw0", 13) + OK, 0, ["hidraw0 open"] + used("hidraw1")),
    ("missing node", ["--no-node"], COMMAND, cannot_open("/dev/hidraw0", 2) + NOT_FOUND, 3, []),
    ("failing write shows no sent line", ["--fail-write"], COMMAND, USB_SEND_FAILED, 3,
     used("hidraw0")[:2]),
    ("vanished before the write", ["--vanish"], COMMAND, USB_SEND_FAILED, 3, used("hidraw0")[:2]),
    ("failing read", ["--fail-read"], COMMAND, sent(COMMAND) + USB_RECEIVE_FAILED, 3, used("hidraw0")),
    ("hang-up while waiting", ["--hang-up"], COMMAND, sent(COMMAND) + USB_RECEIVE_FAILED, 3,
     used("hidraw0")[:2]),
    ("63 bytes go out", [], SIXTY_THREE, sent(SIXTY_THREE) + received("A1 B2 00 00 0D 0A") + SUCCESS, 0,
     used("hidraw0", SIXTY_THREE)),
    ("no answer gives up after five seconds", ["--silent"], COMMAND, sent(COMMAND) + USB_RECEIVE_FAILED, 3,
     used("hidraw0")[:2], 4.8, 6.5),
]
EXCHANGES = [row + (0, 2)[len(row) - 6:] for row in EXCHANGES]  # 0 to 2 seconds unless given


@pytest.mark.parametrize("name, devices, command, out, status, log, least, most", EXCHANGES,
                         ids=[row[0] for row in EXCHANGES])
def test_exchange(tmp_path, start, name, devices, command, out, status, log, least, most):
    result, seen = kestrow(tmp_path, devices, command.split())
    assert (result.out, result.status, result.err, seen) == (out, status, b"", log)
    assert_took(result.seconds, least, most, start)


@pytest.mark.parametrize("args, out", [
    (COMMAND.split()[:4], ARGUMENT_COUNT),
    ([], ARGUMENT_COUNT),
    (["01"] * 64, too_many(63)),
    ("A1 B2 zz 0D 0A".split(), invalid_byte("zz", 3)),
    ("1FF B2 00 0D 0A".split(), invalid_byte("1FF", 1)),
])
def test_bad_command_lines_never_touch_a_device(tmp_path, args, out):
    result, seen = kestrow(tmp_path, [], args)
    assert (result.out, result.status, seen) == (out, 1, [])


def test_help_version_and_shift_jis(tmp_path):
    assert run([KESTROW, "--help"]).out.startswith(b"Usage: kestrow BYTE")
    version = os.environ["DIMLINK_VERSION"]
    assert run([KESTROW, "--version"]).out == f"kestrow {version}\nLicense: MIT\n".encode()
    sjis = {"LC_ALL": "ja_JP.SJIS"}
    assert kestrow(tmp_path, ["--hid", "1234:0001"], COMMAND.split(), sjis)[0].out == cp932(NOT_FOUND)
    assert kestrow(tmp_path, ["--status", "07"], COMMAND.split(), sjis)[0].out == cp932(
        sent(COMMAND) + received("A1 B2 00 07 0D 0A") + BY_STATUS[7])


def test_as_a_normal_user():
    # Without root a user namespace is used; where /dev/fuse is not open to users the
    # simulator says so instead.
    if os.geteuid() != 0:
        pytest.skip("needs root to become another user")
    with tempfile.TemporaryDirectory() as programs:  # where another user may run them from
        os.chmod(programs, 0o755)
        for program in (SIM, KESTROW):
            shutil.copy(program, programs)
        result = run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                      f"{programs}/supply-sim", "--usb", "--", f"{programs}/kestrow", *COMMAND.split()])
    if os.stat("/dev/fuse").st_mode & (stat.S_IROTH | stat.S_IWOTH) == stat.S_IROTH | stat.S_IWOTH:
        assert (result.out, result.status) == (OK, 0)
    else:
        assert result.status == 125
        assert result.err.startswith(b"supply-sim: cannot open /dev/fuse")


TWO = ["--serial", "A1", "--supply", "--serial", "B2", "--name", "Second\tone"]


@pytest.mark.parametrize("devices, out, status", [
    (TWO + ["--hid", "1234:0001"], b"/dev/hidraw0\tA1\tSimulated power supply\n/dev/hidraw1\tB2\tSecond one\n", 0),
    (["--hid", "1234:0001", "--supply"], b"/dev/hidraw1\t\tSimulated power supply\n", 0),
    (["--hid", "1234:0001"], b"", 3),
], ids=["two", "one", "none"])
def test_list(tmp_path, devices, out, status):
    result, seen = kestrow(tmp_path, devices, ["--list"])
    assert (result.out, result.status, seen) == (out, status, [])


@pytest.mark.parametrize("choice, typed, out, status, log", [
    (["--serial", "B2"], COMMAND, OK, 0, used("hidraw1")),
    (["--device", "/dev/hidraw1"], COMMAND, OK, 0, used("hidraw1")),
    (["--serial", "B2", "--"], "-1 +7 00 d 0a", sent("FF 07 00 0D 0A") + received("FF 07 00 00 0D 0A") + SUCCESS, 0,
     used("hidraw1", "FF 07 00 0D 0A")),
    (["--serial", "ZZ"], COMMAND, NOT_FOUND, 3, []),
    (["--device", "/dev/hidraw7"], COMMAND, NOT_FOUND, 3, []),
], ids=["serial", "device", "end of options", "unknown serial", "unknown device"])
def test_choose_a_supply(tmp_path, choice, typed, out, status, log):
    result, seen = kestrow(tmp_path, TWO, choice + typed.split())
    assert (result.out, result.status, seen) == (out, status, log)


def test_runs_on_one_supply_take_turns(tmp_path):
    # Every reader of a HID device gets every input report: runs that did not take turns
    # would read each other's answers.
    script = ('for round in $(seq 20); do for k in 0 1 2 3 4 5 6 7; do '
              '"$0" A1 B$k 00 0D 0A > "$1/$round-$k" & done; wait; done')
    result = run([SIM, "--usb", "--log", "/dev/null", "--", "sh", "-c", script, KESTROW, tmp_path], timeout=120)
    assert result.status == 0
    for name in [f"{round}-{k}" for round in range(1, 21) for k in range(8)]:
        command = f"A1 B{name[-1]} 00 0D 0A"
        answer = f"A1 B{name[-1]} 00 00 0D 0A"
        assert (tmp_path / name).read_bytes() == sent(command) + received(answer) + SUCCESS, name


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


@pytest.mark.parametrize("redirection, reason", [(">/dev/full", "No space left on device"),
                                                (">&-", "Bad file descriptor")])
def test_a_report_that_cannot_be_written(tmp_path, redirection, reason):
    # A closed standard output must not hand its number to the device, which would then
    # be sent the report.
    log = tmp_path / "devices.log"
    result = run([SIM, "--usb", "--log", log, "--", "sh", "-c", f'exec "$0" "$@" {redirection}', KESTROW,
                  *COMMAND.split()])
    assert (result.status, result.err) == (4, f"kestrow: cannot write standard output: {reason}\n".encode())
    assert log.read_text().splitlines() == used("hidraw0")

