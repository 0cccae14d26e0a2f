"""A simulated supply for testing programs that use dimlink, with no supply on the bench.

simulated_supply() starts the supply-sim program (the dimlink-sim package) on loopback
for the length of a with block::

    from dimlink.testing import simulated_supply

    with simulated_supply(answers="bench.jsonl") as (address, port):
        with dimlink.open_tcp(address, port) as supply:
            ...

For USB, run the tests themselves beside simulated supplies:
supply-sim --usb -- python3 -m pytest ...
"""

from __future__ import annotations

import contextlib
import os
import queue
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
from collections.abc import Iterator
from typing import IO, Optional, Union

from dimlink import Error

__all__ = ["simulated_supply"]

ADDRESS = "127.0.0.1"

# The simulator runs under this watcher, which stops it once the pipe on its standard
# input closes: when the with block ends, and also when the process that started it dies
# without unwinding (killed, os._exit), where no finally block runs. It exits as the
# simulator did.
WATCHER = """
import signal, subprocess, sys, threading
try:
    simulator = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL)
except OSError as error:
    sys.exit(f"{sys.argv[1]} could not be started: {error}")
signal.signal(signal.SIGINT, signal.SIG_IGN)  # a Ctrl-C reaches the simulator itself
def stop():
    sys.stdin.buffer.read()
    simulator.terminate()
    try:
        simulator.wait(timeout=5)
    except subprocess.TimeoutExpired:
        simulator.kill()
threading.Thread(target=stop, daemon=True).start()
sys.exit(simulator.wait())
"""


def _options(answers: Union[str, os.PathLike[str], None], status: Union[int, str, None],
             answer: Union[bytes, str, None], numbers: dict[str, Optional[int]], flags: dict[str, bool]) -> list[str]:
    """supply-sim's options for simulated_supply()'s arguments; supply-sim checks the values."""
    values: dict[str, Union[str, int, None]] = {
        "--answers": None if answers is None else os.fspath(answers),
        "--status": f"{status:02X}" if isinstance(status, int) else status,
        "--answer": answer.hex(" ") if isinstance(answer, bytes) else answer,
        **numbers,
    }
    argv = [word for name, value in values.items() if value is not None for word in (name, str(value))]
    return argv + [name for name, on in flags.items() if on]


def _port(process: subprocess.Popen[bytes], errors: IO[bytes], start_timeout: float) -> int:
    """The port of the first line the simulator prints; its log of commands received
    after it is read and dropped, so that it never waits on a full pipe."""
    lines: queue.Queue[bytes] = queue.Queue()

    def read() -> None:
        assert process.stdout is not None
        with process.stdout:
            lines.put(process.stdout.readline())
            for _ in process.stdout:
                pass

    threading.Thread(target=read, name="supply-sim log", daemon=True).start()
    try:
        line = lines.get(timeout=start_timeout)
    except queue.Empty:
        raise Error(f"supply-sim printed no port within {start_timeout} s") from None
    if not line.strip().isdigit():
        try:
            process.wait(timeout=start_timeout)
        except subprocess.TimeoutExpired:
            pass
        errors.seek(0)
        message = errors.read().decode("utf-8", "replace").strip()
        raise Error(message or f"supply-sim did not start (status {process.returncode})")
    return int(line)


def _stop(process: subprocess.Popen[bytes]) -> None:
    assert process.stdin is not None
    process.stdin.close()  # the watcher stops the simulator, within 5 s
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


@contextlib.contextmanager
def simulated_supply(*, answers: Union[str, os.PathLike[str], None] = None, status: Union[int, str, None] = None,
                     answer: Union[bytes, str, None] = None, short: Optional[int] = None, silent: bool = False,
                     close: bool = False, pieces: Optional[int] = None, pause: Optional[int] = None,
                     reset_after: Optional[int] = None, program: Optional[str] = None,
                     start_timeout: float = 30.0) -> Iterator[tuple[str, int]]:
    """Starts supply-sim on 127.0.0.1 at a free port and gives back (address, port) for
    the with block; stops it on leaving the block, however the block ends, and when
    this process ends without leaving it (killed, os._exit).

    The arguments are supply-sim's options (see supply-sim(1)): answers, the answer
    table file (rules or the tools' --json records); status, the answer's status byte;
    answer, exact answer bytes (bytes, or hex text); short, answer only so many bytes;
    silent, never answer; close, close each connection without answering; pieces, pause
    and reset_after, how the answer is written. program is the simulator to run
    (default: supply-sim found on PATH). Raises dimlink.Error with the simulator's
    message when it does not start, or when it prints no port within start_timeout
    seconds.
    """
    simulator = program or shutil.which("supply-sim")
    if simulator is None:
        raise Error("supply-sim is not on PATH: install the dimlink-sim package, or give program=")
    argv = [simulator, *_options(answers, status, answer,
                                 {"--short": short, "--pieces": pieces, "--pause": pause, "--reset-after": reset_after},
                                 {"--silent": silent, "--close": close}), ADDRESS, "0"]
    with tempfile.TemporaryFile() as errors:
        try:
            process = subprocess.Popen([sys.executable or "python3", "-c", WATCHER, *argv], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=errors)
        except OSError as error:
            raise Error(f"{simulator} could not be started: {error}") from None
        try:
            yield ADDRESS, _port(process, errors, start_timeout)
        finally:
            _stop(process)


# Unplugging and plugging back the USB supplies of supply-sim --usb, for tests that run
# beside them: supply-sim gives its command the path of its control socket in
# DIMLINK_SIM_CONTROL, and answers each request line with "ok" or "error: WHY".

__all__ += ["unplug", "plug"]

CONTROL_VARIABLE = "DIMLINK_SIM_CONTROL"


def _control(request: str, supply: str, timeout: float) -> None:
    path = os.environ.get(CONTROL_VARIABLE)
    if not path:
        raise Error(f"{CONTROL_VARIABLE} is not set: run the tests beside simulated supplies, "
                    "supply-sim --usb -- python3 -m pytest ...")
    if not isinstance(supply, str):
        raise TypeError(f"{request}() takes a serial number or node name as str, not {type(supply).__name__}")
    if not supply.strip() or "\n" in supply or "\r" in supply:
        raise ValueError(f"{request}() takes a serial number or node name on one line, not {supply!r}")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as control:
        control.settimeout(timeout)
        try:
            control.connect(path)
            control.sendall(f"{request} {supply}\n".encode())
            answer = control.makefile("rb").readline().decode("utf-8", "replace").strip()
        except OSError as error:
            raise Error(f"supply-sim's control socket {path}: {error}") from None
    if answer != "ok":
        raise Error(f"supply-sim: {answer.removeprefix('error: ') or 'no answer'}")


def unplug(supply: str, timeout: float = 10.0) -> None:
    """Unplugs the simulated USB supply whose serial number or node name ("hidraw0" or
    "/dev/hidraw0") is supply, as a cable pulled out: its node and listing go, and the
    files open on it fail from now on. Returns once it is unplugged; raises dimlink.Error
    with the simulator's reason (no such supply, unplugged already) or when the tests do
    not run inside supply-sim --usb."""
    _control("unplug", supply, timeout)


def plug(supply: str, timeout: float = 10.0) -> None:
    """Plugs an unplugged simulated USB supply back in, named by its serial number or the
    node name it had: it comes back under a node name no device of the run had, with the
    same serial number. Returns once it is listed and can be opened; raises dimlink.Error
    as unplug() does."""
    _control("plug", supply, timeout)
