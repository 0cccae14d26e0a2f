# supply-sim itself: what becomes of the command's processes and the signals sent to it,
# its log, and the values it refuses.
import contextlib
import fcntl
import os
import pty
import random
import signal
import socket
import struct
import subprocess
import termios
import time

import pytest

from conftest import run, simulator, tool
from lan_cases import ANSWERED as OK, COMMAND

MORVISH, SIM = tool("morvish"), tool("supply_sim")


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
    assert run(["timeout", "10", "sh", "-c", 'while pgrep -fx "$0"; do sleep 0.05; done', f"sleep {token}"]).status == 0


@pytest.mark.parametrize("argv, status, err", [
    ([SIM, "--usb", "--hid", "0x12:3456", "--", "true"], 125, 'bad --hid "0x12:3456" (VVVV:PPPP, 4 hex digits each)'),
    ([SIM, "--usb", "--node", " 5", "--", "true"], 125, 'bad --node " 5" (0 to 9999)'),
    ([SIM, "--usb", "--node", "00000000007", "--", "test", "-e", "/dev/hidraw7"], 0, None),  # a number, not digits
    ([SIM, "--usb", "--report-size", "0", "--", "true"], 125, 'bad --report-size "0" (1 to 4096)'),
    ([SIM, "--pause", "18446744073709611616", "127.0.0.1", "0"], 2, 'bad --pause "18446744073709611616" (0 to 60000)'),
    ([SIM, "--usb", "--pause", "5", "--", "true"], 125, "--pause is for TCP only"),
    ([SIM, "--serial", "X", "127.0.0.1", "0"], 2, "--serial is for --usb only"),
    ([SIM, "--usb", "--fast", "--", "true"], 125, "unknown option --fast"),
    # Options for the whole run attach no supply of their own: one --supply, one supply.
    ([SIM, "--usb", "--answers", "/dev/null", "--log", "/dev/null", "--supply", "--", "test", "!", "-e",
      "/dev/hidraw1"], 0, None),
    ([SIM, "--usb", "--", "/nonexistent/program"], 127, "cannot run /nonexistent/program: No such file or directory"),
])
def test_refusals_say_what_and_why(argv, status, err):
    result = run(argv)
    assert (result.status, result.err) == (status, f"supply-sim: {err}\n".encode() if err else b"")


@pytest.mark.parametrize("inherited", [
    ["--ignore-signal=CHLD"],  # the kernel would reap the command unseen
    ["--block-signal=CHLD", "--block-signal=TERM", "--ignore-signal=INT"],
])
def test_inherited_signal_dispositions_and_mask(inherited):
    # The simulator's own waits end, and the command starts with what it would have had.
    show = ["grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"]
    alone = run(["env", *inherited, *show])
    beside = run(["env", *inherited, SIM, "--usb", "--log", "/dev/null", "--", *show], timeout=10)
    assert (beside.out, beside.status) == (alone.out, 0)


# Counts the signals delivered to it (one byte each on the wakeup pipe) until a second
# after the first, then prints their names.
COUNTER = """
import os, select, signal, time
r, w = os.pipe2(os.O_NONBLOCK)
signal.set_wakeup_fd(w)
for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    signal.signal(s, lambda *a: None)
print("ready", flush=True)
select.select([r], [], [])
time.sleep(1)
print(*(signal.Signals(n).name for n in os.read(r, 64)), flush=True)
"""


def child(pid):
    return int(open(f"/proc/{pid}/task/{pid}/children").read().split()[0])


def status_field(pid, name):
    return next(line.split()[1] for line in open(f"/proc/{pid}/status") if line.startswith(name + ":"))


def stop(pid):
    os.kill(pid, signal.SIGSTOP)
    while status_field(pid, "State") != "T":
        time.sleep(0.001)


def send(way, sig, pid, terminal):
    if way == "supply-sim":
        os.kill(pid, sig)
    elif way == "group":
        os.killpg(pid, sig)
    elif way == "Ctrl-C":
        os.write(terminal, b"\x03")
    elif way == "timeout":
        # As when its time is up, it signals supply-sim, then the group, then sends
        # SIGCONT: stopped, supply-sim cannot run between the two, so it sees them as one.
        stop(child(pid))
        os.kill(pid, signal.SIGALRM)
    elif way == "alone, then group":
        # As timeout does when supply-sim takes the two apart: told of twice, while the
        # init is stopped, and the group's copy reaches the init once.
        stop(init := child(pid))
        os.kill(pid, sig)
        while int(status_field(pid, "ShdPnd"), 16) & (1 << (sig - 1)):
            time.sleep(0.001)
        os.killpg(pid, sig)
        os.kill(init, signal.SIGCONT)
    else:
        os.kill(child(child(pid)), sig)  # supply-sim's child is the init


@pytest.mark.parametrize("way, sig", [(way, sig) for way in ("supply-sim", "group", "timeout", "command")
                                      for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)] +
                         [("Ctrl-C", signal.SIGINT), ("alone, then group", signal.SIGTERM)], ids=str)
def test_each_signal_reaches_the_command_once(way, sig):
    argv = [SIM, "--usb", "--log", "/dev/null", "--", "/usr/bin/python3", "-c", COUNTER]
    argv = ["timeout", "-s", sig.name, "600", *argv] if way == "timeout" else argv
    pid, terminal = pty.fork()  # in the foreground at a terminal of its own
    if pid == 0:
        os.execvp(argv[0], argv)
    seen = b""
    while b"ready" not in seen:
        seen += os.read(terminal, 1024)
    send(way, sig, pid, terminal)
    with contextlib.suppress(OSError):  # EIO once the terminal's other end has closed
        while chunk := os.read(terminal, 1024):
            seen += chunk
    os.close(terminal)
    printed = seen.split(b"ready")[1].replace(b"^C", b"").split()  # without the terminal's echo
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    assert (printed, status) == ([sig.name.encode()], 124 if way == "timeout" else 0)


def test_a_signal_to_supply_sim_alone_reaches_the_command_a_tenth_of_a_second_later():
    when = ("import signal, sys, time\nsignal.signal(signal.SIGTERM, lambda *a: sys.exit(print(time.monotonic())))\n"
            "print('ready', flush=True)\nsignal.pause()\n")  # the monotonic clock is the machine's
    with subprocess.Popen([SIM, "--usb", "--log", "/dev/null", "--", "/usr/bin/python3", "-c", when],
                          stdout=subprocess.PIPE, start_new_session=True) as process:
        assert process.stdout.readline() == b"ready\n"
        sent = time.monotonic()
        process.send_signal(signal.SIGTERM)
        assert 0.1 <= float(process.stdout.readline()) - sent < 1 and process.wait(30) == 0


@pytest.mark.parametrize("error", ["EINTR", "ECONNABORTED"])
def test_once_waits_on_past_a_failed_accept(error):
    # The first accept fails as a signal or a connection reset before it was taken makes it.
    inject = ["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=accept4", "-e",
              f"inject=accept4:error={error}:when=1"]
    process = subprocess.Popen([*inject, SIM, "--once", "127.0.0.1", "0"], stdout=subprocess.PIPE)
    port = process.stdout.readline().decode().strip()
    assert run([MORVISH, "127.0.0.1", port, *COMMAND.split()]).out == OK
    assert process.wait(timeout=30) == 0 and process.stdout.read().startswith(b"command: A1 B2")


# Writes to /dev/hidraw0 as many 1000-byte reports (a log line of 3 kB each) as each
# line of its input says, then says "done".
LOGGER = """
import os, sys
fd = os.open("/dev/hidraw0", os.O_WRONLY)
for line in sys.stdin:
    for k in range(int(line)):
        os.write(fd, bytes(1000))
    print("done", flush=True)
"""


# A log nobody reads holds up no device, and holds at most 1 MiB.
def test_the_log_holds_at_most_a_mebibyte_in_all(tmp_path):
    os.mkfifo(tmp_path / "log")
    reader = os.open(tmp_path / "log", os.O_RDONLY | os.O_NONBLOCK)
    pipe_size = fcntl.fcntl(reader, fcntl.F_GETPIPE_SZ)
    process = subprocess.Popen([SIM, "--usb", "--log", tmp_path / "log", "--", "/usr/bin/python3", "-c", LOGGER],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
    burst = (1 << 20) // 3000 + 20  # more than the log holds
    # The log's pipe fills up and the rest waits in memory. Emptying the pipe once lets
    # the log take what it holds, which counts as long as it is being written.
    process.stdin.write(b"%d\n" % burst)
    assert process.stdout.readline() == b"done\n"
    read = os.read(reader, pipe_size)
    assert read.endswith(b"\n")  # only whole lines reach the log
    for _ in range(3000):
        if struct.unpack("i", fcntl.ioctl(reader, termios.FIONREAD, bytes(4)))[0] >= len(read) // 2:
            break
        time.sleep(0.01)
    process.stdin.write(b"%d\n" % burst)
    assert process.stdout.readline() == b"done\n"
    process.stdin.close()
    os.set_blocking(reader, True)
    read += b"".join(iter(lambda: os.read(reader, 1 << 16), b""))
    # Every line is either written or counted; the devices went on meanwhile.
    err = process.stderr.read()
    lost = int(err.split()[1])
    assert (process.wait(timeout=30), err) == (0, b"supply-sim: %d log lines could not be written\n" % lost)
    assert read.count(b"\n") + lost == 1 + 2 * burst
    assert len(read) <= (1 << 20) + 2 * pipe_size


def test_an_ending_signal_lets_the_log_write_what_it_holds(tmp_path):
    os.mkfifo(tmp_path / "log")
    reader = os.open(tmp_path / "log", os.O_RDONLY | os.O_NONBLOCK)
    with simulator("--log", tmp_path / "log", once=False) as sim:
        for _ in range(500):  # more log lines than the pipe holds; each logged before it is answered
            with socket.create_connection(("127.0.0.1", int(sim.port))) as connection:
                connection.sendall(bytes(64))
                connection.recv(64)
        sim.process.send_signal(signal.SIGTERM)
        os.set_blocking(reader, True)
        log = b"".join(iter(lambda: os.read(reader, 1 << 16), b""))
        assert (sim.process.wait(timeout=30), log.count(b"\n")) == (-signal.SIGTERM, 500)

