# supply-sim itself: what becomes of the command's processes, runs inside runs, a log
# that cannot be written, hidraw behaviour of the nodes, and the values it refuses.
import os
import random
import signal
import subprocess
import time

import pytest

from conftest import run, tool
from lan_cases import ANSWERED as OK, COMMAND

SIM = tool("supply_sim")
KESTROW = tool("kestrow")


def sleeping(token):
    return run(["pgrep", "-fx", f"sleep {token}"]).status == 0


@pytest.mark.parametrize("ending, status", [
    (signal.SIGKILL, -signal.SIGKILL),
    (signal.SIGUSR1, 128 + signal.SIGUSR1),  # passed on to the command, which it ends
    (None, 3),  # the command's own end
])
def test_nothing_outlives_the_run(ending, status):
    token = f"{300 + random.random():.12f}"
    unshare = "unshare -m" if os.geteuid() == 0 else "unshare -Urm"
    # "ready" comes once the second sleep is in a mount namespace of its own.
    script = (f"sleep {token} & ({unshare} sh -c 'echo; exec sleep {token}' &) | read line; echo ready; " +
              ("exit 3" if ending is None else f"sleep {token}"))
    process = subprocess.Popen([SIM, "--usb", "--", "sh", "-c", script], stdout=subprocess.PIPE)
    assert process.stdout.readline() == b"ready\n"
    if ending:
        process.send_signal(ending)
    assert process.wait(timeout=30) == status
    deadline = time.monotonic() + 10
    while sleeping(token) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not sleeping(token)


def test_a_run_inside_a_run():
    inner = f"{SIM} --usb --serial INNER -- sh -c 'cat /sys/class/hidraw/*/device/uevent; ls /dev | grep hidraw'"
    # Process 1 of the command's own /proc is the simulator's init.
    script = (f"{inner} | grep -e UNIQ -e hidraw && grep UNIQ /sys/class/hidraw/hidraw0/device/uevent && "
              "head -zn1 /proc/1/cmdline")
    result = run([SIM, "--usb", "--serial", "OUTER", "--", "sh", "-c", script])
    assert (result.out, result.err, result.status) == (
        b"HID_UNIQ=INNER\nhidraw0\nHID_UNIQ=OUTER\n" + SIM.encode() + b"\0", b"", 0)


def test_a_log_nobody_reads_holds_up_no_device(tmp_path):
    exchanges = 400  # three log lines each: more than a pipe holds
    os.mkfifo(tmp_path / "log")
    reader = os.open(tmp_path / "log", os.O_RDONLY | os.O_NONBLOCK)  # there, but not reading
    script = f'for k in $(seq {exchanges}); do "$0" {COMMAND} >/dev/null || exit 9; done'
    result = run([SIM, "--usb", "--log", tmp_path / "log", "--", "sh", "-c", script, KESTROW], timeout=60)
    written = os.read(reader, 1 << 20)
    os.close(reader)
    lost = int(result.err.split()[1])
    assert (result.status, result.err) == (0, f"supply-sim: {lost} log lines could not be written\n".encode())
    # Only whole lines reach the log, and every line is either written or counted.
    assert written.endswith(b"\n") and written.count(b"\n") + lost == 3 * exchanges


def test_a_closed_log_ends_nothing():
    # The command waits for the end of its input, which comes after the log's reader has gone.
    process = subprocess.Popen([SIM, "--usb", "--", "sh", "-c", f'cat; exec "$0" {COMMAND}', KESTROW],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stderr.close()
    assert process.communicate(timeout=30)[0] == OK and process.returncode == 0


# Inside the simulation, on /dev/hidraw0, whose supply answers every write: a read
# with O_NONBLOCK set after the open, then two blocking readers of one file.
HIDRAW = """
import fcntl, os, threading
fd = os.open("/dev/hidraw0", os.O_RDWR)
fcntl.fcntl(fd, fcntl.F_SETFL, os.O_NONBLOCK)
try:
    os.read(fd, 64)
except BlockingIOError:
    fcntl.fcntl(fd, fcntl.F_SETFL, 0)
readers = [threading.Thread(target=lambda: os.write(1, b"%d\\n" % len(os.read(fd, 64)))) for k in range(2)]
for reader in readers:
    reader.start()
for k in range(2):
    os.write(fd, bytes([0, 0xA1, 0xB2, 0, 0x0D, 0x0A]) + bytes(58))
"""


def test_nodes_take_flags_at_each_read_and_serve_every_reader():
    result = run([SIM, "--usb", "--log", "/dev/null", "--", "/usr/bin/python3", "-c", HIDRAW])
    assert (result.out, result.status) == (b"63\n63\n", 0)


@pytest.mark.parametrize("argv, status, err", [
    ([SIM, "--usb", "--hid", "0x12:3456", "--", "true"], 125, 'bad --hid "0x12:3456" (VVVV:PPPP, 4 hex digits each)'),
    ([SIM, "--usb", "--hid", "1234:+567", "--", "true"], 125, 'bad --hid "1234:+567" (VVVV:PPPP, 4 hex digits each)'),
    ([SIM, "--usb", "--node", " 5", "--", "true"], 125, 'bad --node " 5" (0 to 9999)'),
    ([SIM, "--usb", "--status", "+1", "--", "true"], 125, 'bad --status "+1" (a hexadecimal byte)'),
    ([SIM, "--pause", "+5", "127.0.0.1", "0"], 2, 'bad --pause "+5" (0 to 60000)'),
    ([SIM, "--usb", "--", "/nonexistent/program"], 127, "cannot run /nonexistent/program: No such file or directory"),
])
def test_refusals_say_what_and_why(argv, status, err):
    result = run(argv)
    assert (result.status, result.err) == (status, f"supply-sim: {err}\n".encode())
