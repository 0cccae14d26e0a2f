# supply-sim itself: what becomes of the command's processes, runs inside runs, a log
# that cannot be written, hidraw behaviour of the nodes, and the options it refuses.
import os
import signal
import subprocess
import time
import uuid

import pytest

from conftest import SUCCESS, child_environment, received, run, sent, tool
from lan_cases import ANSWERED as OK, COMMAND

SIM = tool("supply_sim")
KESTROW = tool("kestrow")


def processes_with(token):
    """The pids of "sleep TOKEN", whichever namespace they are in."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                if cmdline.read() == f"sleep\0{token}\0".encode():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def gone_within(token, seconds):
    deadline = time.monotonic() + seconds
    while processes_with(token) and time.monotonic() < deadline:
        time.sleep(0.05)
    return not processes_with(token)


def token_sleep():
    # A sleep whose command line no other process has: "sleep 300.<unique digits>".
    return f"300.{uuid.uuid4().int % 10**12:012d}"


@pytest.mark.parametrize("sent_signal, status", [
    (signal.SIGKILL, -signal.SIGKILL),
    (signal.SIGUSR1, 128 + signal.SIGUSR1),  # passed on to the command, which it ends
])
def test_an_ended_simulator_leaves_nothing_behind(sent_signal, status):
    token = token_sleep()
    process = subprocess.Popen([SIM, "--usb", "--log", "/dev/null", "--", "sh", "-c",
                                f"sleep {token} & sleep {token}"], stdin=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while len(processes_with(token)) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert len(processes_with(token)) == 2
        process.send_signal(sent_signal)
        assert process.wait(timeout=30) == status
        assert gone_within(token, 10)
    finally:
        process.kill()
        process.wait()


def test_leftovers_in_any_namespace_end_with_the_command():
    # A process in a mount namespace of its own once held the run until it ended.
    token = token_sleep()
    unshare = "unshare -m" if os.geteuid() == 0 else "unshare -Urm"
    # The line comes once the process is in its namespace.
    script = f"sleep {token} & ({unshare} sh -c 'echo; exec sleep {token}' &) | read line; exit 3"
    result = run([SIM, "--usb", "--", "sh", "-c", script])
    assert result.status == 3
    assert not processes_with(token)


def test_a_run_inside_a_run():
    inner = f"{SIM} --usb --serial INNER -- sh -c 'cat /sys/class/hidraw/*/device/uevent; ls /dev | grep hidraw'"
    script = f"{inner} | grep -e UNIQ -e hidraw && grep UNIQ /sys/class/hidraw/hidraw0/device/uevent"
    result = run([SIM, "--usb", "--serial", "OUTER", "--", "sh", "-c", script])
    assert (result.status, result.err) == (0, b"")
    assert result.out == b"HID_UNIQ=INNER\nhidraw0\nHID_UNIQ=OUTER\n"


EXCHANGES = 400  # three log lines each: more than a pipe holds


def test_a_log_nobody_reads_holds_up_no_device(tmp_path):
    fifo = tmp_path / "log"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # there, but never reading
    try:
        script = f'for k in $(seq {EXCHANGES}); do "$0" {COMMAND} >/dev/null || exit 9; done'
        result = run([SIM, "--usb", "--log", fifo, "--", "sh", "-c", script, KESTROW], timeout=120)
        written = b""
        while chunk := os.read(reader, 65536):
            written += chunk
    except BlockingIOError:
        pass
    finally:
        os.close(reader)
    assert result.status == 0
    lost = int(result.err.decode().removeprefix("supply-sim: ").removesuffix(" log lines could not be written\n"))
    # Only whole lines reach the log, and every line is either written or counted.
    assert written.endswith(b"\n") and written.count(b"\n") + lost == 3 * EXCHANGES


def test_a_closed_log_ends_nothing():
    # The command waits until the simulator's standard error, its log, has no reader.
    process = subprocess.Popen([SIM, "--usb", "--", "sh", "-c", f'echo ready; read go; exec "$0" {COMMAND}', KESTROW],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=child_environment(None))
    try:
        assert process.stdout.readline() == b"ready\n"
        process.stderr.close()
        process.stdin.write(b"go\n")
        process.stdin.close()
        out = process.stdout.read()
        assert (process.wait(timeout=30), out) == (0, OK)
    finally:
        process.kill()
        process.wait()


# Runs inside the simulation against /dev/hidraw0, whose supply answers every write.
HIDRAW = """
import errno, fcntl, os, threading
fd = os.open("/dev/hidraw0", os.O_RDWR)
fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)
try:
    os.read(fd, 64)
except BlockingIOError:
    print("nonblocking read: EAGAIN")
fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) & ~os.O_NONBLOCK)
got = []
readers = [threading.Thread(target=lambda: got.append(len(os.read(fd, 64)))) for k in range(2)]
for reader in readers:
    reader.start()
report = bytes([0, 0xA1, 0xB2, 0, 0x0D, 0x0A]) + bytes(58)
while len(got) < 2:  # a write before a reader waits leaves a report for it all the same
    os.write(fd, report)
    readers[len(got)].join(0.2)
for reader in readers:
    reader.join()
print("blocking readers:", got)
"""


def test_nodes_take_flags_at_each_read():
    result = run([SIM, "--usb", "--log", "/dev/null", "--", "/usr/bin/python3", "-c", HIDRAW])
    assert (result.status, result.out) == (0, b"nonblocking read: EAGAIN\nblocking readers: [63, 63]\n")


USB = [SIM, "--usb"]
TCP = [SIM, "127.0.0.1"]


@pytest.mark.parametrize("argv, status, err", [
    (USB + ["--hid", "0x12:3456", "--", "true"], 125, '--hid "0x12:3456" (VVVV:PPPP, four hexadecimal digits each)'),
    (USB + ["--hid", " 123:  45", "--", "true"], 125, '--hid " 123:  45" (VVVV:PPPP, four hexadecimal digits each)'),
    (USB + ["--hid", "1234:+567", "--", "true"], 125, '--hid "1234:+567" (VVVV:PPPP, four hexadecimal digits each)'),
    (USB + ["--node", " 5", "--", "true"], 125, '--node " 5" (0 to 9999)'),
    (USB + ["--status", "+1", "--", "true"], 125, '--status "+1" (a hexadecimal byte)'),
    (TCP + ["--pause", "+5", "0"], 2, '--pause "+5" (0 to 60000)'),
    (TCP + ["-1"], 2, 'PORT "-1" (0 to 65535)'),
])
def test_option_values_refused(argv, status, err):
    result = run(argv)
    assert (result.status, result.err) == (status, f"supply-sim: bad {err}\n".encode())


def test_a_socket_that_cannot_be_made_says_why(tmp_path):
    # The log takes the last descriptor the limit leaves.
    result = run(["prlimit", "--nofile=4:4", SIM, "--log", tmp_path / "log", "127.0.0.1", "0"])
    assert (result.status, result.err) == (2, b"supply-sim: cannot make a socket: Too many open files\n")
