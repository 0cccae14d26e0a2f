"""Exchanges with the dimmable lighting power supply, over USB HID or TCP.

Open a supply once, send it as many commands as you like, and branch on what each
answer comes to::

    import dimlink

    with dimlink.open_tcp("192.168.0.10", 5020) as supply:
        result = supply.exchange("A1 B2 00 0D 0A")
        if result.verdict == "knob-in-use":
            ...

Each exchange gives back a Result holding what the kestrow and morvish tools' --json
report holds for it. An answer from the supply, whatever its verdict, and a failure on
the way (no connection, no answer, a busy supply) are a Result, never an exception:
Result.check() raises ExchangeError for any result that is not ok. What is raised
straight away is a command that cannot be sent (CommandError), a USB supply not found
(NotFoundError), and a refused address or time-out (ValueError).

The package is a thin layer over the C library libdimlink (libdimlink.so.1 on Linux,
dimlink.dll on Windows), loaded when the package is imported: from the file the
DIMLINK_LIBRARY environment variable names, from the package's own folder (or the folder
that holds it), or from the system's.
"""

from __future__ import annotations

import ctypes
import functools
import math
import threading
import time
import weakref
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Optional, Union

from dimlink._library import LIBRARY as _lib
from dimlink._library import ResultStruct as _ResultStruct
from dimlink._library import SupplyInfoStruct as _SupplyInfoStruct

__all__ = ["__version__", "Command", "CommandError", "Error", "ExchangeError", "NotFoundError", "Result",
           "Supply", "SupplyInfo", "list_usb", "open_tcp", "open_usb", "parse_command"]

__version__: str = _lib.dimlink_version().decode("ascii")
"""The version of the libdimlink library loaded, "MAJOR.MINOR.PATCH"."""

Command = Union[str, bytes, bytearray, Sequence[int]]
"""A command: text in the tools' byte syntax ("A1 B2 00 0D 0A"), or its bytes."""

JsonValue = Union[str, bool, int, None]


def _hex(data: Optional[bytes]) -> Optional[str]:
    """Bytes as the tools print them: upper-case hex pairs between single blanks."""
    return None if data is None else data.hex(" ").upper()


@dataclass(frozen=True)
class Result:
    """What one exchange came to, as the tools' --json report tells it.

    command: the bytes sent (empty where there was no command, as for a supply not
        found); sent: whether they reached the supply; answer: the answer's bytes as its
        command code calls for, and raw: every byte as it came (both None without an
        answer); verdict: the --json key ("carried-out", "knob-in-use", "busy", ...);
        message: the tools' message; status: 0 carried out, 1 refused, 2 answered with
        another verdict, 3 no answer; error: the system's error number, or None.
    """

    command: bytes
    sent: bool
    answer: Optional[bytes]
    raw: Optional[bytes]
    verdict: str
    message: str
    status: int
    error: Optional[int]

    @property
    def ok(self) -> bool:
        """True when the supply carried the command out (status 0)."""
        return self.status == 0

    def check(self) -> Result:
        """Gives back this result when it is ok; raises ExchangeError otherwise."""
        if not self.ok:
            raise ExchangeError(f"{self.verdict}: {self.message}", self)
        return self

    def as_json(self) -> dict[str, JsonValue]:
        """The object kestrow --json and morvish --json print for this exchange, key for
        key in the same order, bytes as their hex strings, null as None."""
        return {"command": _hex(self.command) if self.command else None, "sent": self.sent,
                "answer": _hex(self.answer), "raw": _hex(self.raw), "verdict": self.verdict,
                "message": self.message, "status": self.status, "error": self.error}


class Error(Exception):
    """What the dimlink package raises; .result is the Result behind it, where there is one."""

    def __init__(self, message: str, result: Optional[Result] = None) -> None:
        super().__init__(message)
        self.result = result


class CommandError(Error, ValueError):
    """A command that does not parse or has a wrong number of bytes; nothing was sent."""


class NotFoundError(Error):
    """open_usb() found no supply that matches and could be opened."""


class ExchangeError(Error):
    """Result.check() on a result that is not ok; .result is that result."""


@dataclass(frozen=True)
class SupplyInfo:
    """A USB supply of list_usb(): its device path, serial number and product name
    (empty where the device gives none)."""

    path: str
    serial: str
    name: str


def _result(command: bytes, out: _ResultStruct) -> Result:
    answered = bool(out.answered)
    return Result(command=command, sent=bool(out.sent),
                  answer=bytes(out.answer)[:out.answer_length] if answered else None,
                  raw=bytes(out.raw)[:out.raw_length] if answered else None,
                  verdict=_text(out.verdict or b""), message=_text(out.message), status=int(out.status),
                  error=int(out.error) or None)


def _text(value: bytes) -> str:
    return value.decode("utf-8", "replace")


def _c_text(value: Optional[str], what: str) -> Optional[bytes]:
    """A text for the library, which ends it at the first NUL."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{what} {value!r} holds a NUL character")
    return value.encode("utf-8")


def _milliseconds(timeout: float) -> int:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    if math.isnan(timeout) or not 0.001 <= timeout <= 600:
        raise ValueError(f"timeout {timeout!r} is out of range: 0.001 to 600 seconds")
    return max(1, round(timeout * 1000))


def parse_command(text: str) -> bytes:
    """The bytes of a command in the tools' byte syntax: one or two hex digits a byte
    ("-1" for FF), blanks or tabs between, 5 to 64 bytes. Raises CommandError with the
    tools' message for a command they would refuse."""
    if not isinstance(text, str):
        raise TypeError(f"the command text must be a str, not {type(text).__name__}")
    if "\0" in text:
        raise CommandError(f"The command {text!r} holds a NUL character.")
    return _parsed(text)


# Programs send the same few commands over and over: each text is parsed once. A refusal
# raises, so only commands that parse are kept.
@functools.lru_cache(maxsize=1024)
def _parsed(text: str) -> bytes:
    command = (ctypes.c_ubyte * 64)()
    length = ctypes.c_size_t()
    out = _ResultStruct()
    if _lib.dimlink_parse_command(text.encode("utf-8"), command, ctypes.byref(length), ctypes.byref(out)) != 0:
        result = _result(b"", out)
        raise CommandError(result.message, result)
    return bytes(command)[:length.value]


def _command_bytes(command: Command) -> bytes:
    if isinstance(command, str):
        return parse_command(command)
    if isinstance(command, int):  # bytes(5) would be five zero bytes
        raise TypeError("a command is a str, bytes or a sequence of ints, not an int")
    try:
        return bytes(command)
    except ValueError as error:
        raise CommandError(f"Invalid command byte: {error}.") from None


class Supply:
    """An open supply, made by open_usb() or open_tcp(): a context manager that closes
    it on leaving the with block.

    Several threads may share one Supply: their exchanges take turns. On USB the
    supply's lock is held for one exchange at a time, so other programs (kestrow among
    them) get their turn between two exchanges.
    """

    def __init__(self, handle: int, description: str) -> None:
        self._handle: Optional[int] = handle
        self._description = description
        self._lock = threading.Lock()
        # Closes a supply its program dropped, once no thread can be using it; not at exit,
        # where a daemon thread may still be in an exchange (the system frees it then).
        self._finalizer = weakref.finalize(self, _lib.dimlink_close, handle)
        self._finalizer.atexit = False

    def exchange(self, command: Command) -> Result:
        """Sends one command and receives its answer.

        command is text in the tools' byte syntax, or bytes, a bytearray or a sequence of
        ints 0 to 255; 5 to 64 bytes (63 on USB). Gives back the Result whatever the
        answer or failure; raises CommandError, before sending anything, for a command
        that does not parse or has a wrong number of bytes, and Error once closed.
        """
        data = _command_bytes(command)
        out = _ResultStruct()
        with self._lock:
            if self._handle is None:
                raise Error(f"{self._description}: the supply is closed")
            _lib.dimlink_exchange(self._handle, data, len(data), ctypes.byref(out))
        result = _result(data, out)
        if result.verdict == "bad-command" and not result.sent:
            raise CommandError(result.message, result)
        return result

    def close(self) -> None:
        """Closes the supply. Closing it again does nothing; an exchange running in
        another thread ends first."""
        with self._lock:
            self._handle = None
            self._finalizer()

    @property
    def closed(self) -> bool:
        """True once close() has been called."""
        return self._handle is None

    def __enter__(self) -> Supply:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<dimlink.Supply {self._description}{' (closed)' if self.closed else ''}>"


def _opened(handle: Optional[int], out: _ResultStruct, milliseconds: int, description: str) -> Supply:
    if not handle:
        result = _result(b"", out)
        message = result.message or "The library could not open the supply."
        raise (NotFoundError if result.verdict == "not-found" else Error)(message, result)
    if _lib.dimlink_set_timeout(handle, milliseconds) != 0:
        _lib.dimlink_close(handle)
        raise ValueError(f"the library refused a time-out of {milliseconds} ms")
    return Supply(handle, description)


# A wait for a supply goes to the library in slices this long, so that Ctrl-C is seen
# between two of them where no signal breaks the library's own wait (Windows).
_WAIT_SLICE = 0.25


def open_usb(serial: Optional[str] = None, path: Optional[str] = None, timeout: float = 5.0,
             wait: float = 0.0) -> Supply:
    """Finds and opens a USB supply as kestrow does: the first that matches serial and
    path (None for either means any) and can be opened.

    timeout bounds, in seconds, each exchange's wait for the supply's lock and for the
    answer (0.001 to 600, else ValueError). wait is how long, in seconds (0 to 86400),
    to wait for a matching supply to be there, looking every 0.1 s without using the CPU
    meanwhile, as kestrow --wait does; Ctrl-C ends the wait with KeyboardInterrupt.
    Raises NotFoundError, whose .result is what kestrow --json reports, when no supply
    matches in time.

    The supply is held by its serial number (or, without one, its device path): when it
    goes, the exchange that finds it gone fails, the next ones give "not-found" while it
    is away, and once it is back they exchange with it again, never with another supply.
    """
    milliseconds = _milliseconds(timeout)
    if isinstance(wait, bool) or not isinstance(wait, (int, float)):
        raise TypeError(f"wait must be a number of seconds, not {type(wait).__name__}")
    if not 0 <= wait <= 86400:
        raise ValueError(f"wait must be 0 to 86400 seconds, not {wait}")
    deadline = time.monotonic() + wait
    while True:
        out = _ResultStruct()
        left = max(0.0, deadline - time.monotonic())
        handle = _lib.dimlink_wait_usb(_c_text(serial, "serial"), _c_text(path, "path"),
                                       math.ceil(min(left, _WAIT_SLICE) * 1000), ctypes.byref(out))
        # Between two slices Python runs its signal handlers: Ctrl-C raises here.
        if handle or out.verdict not in (b"not-found", b"interrupted") or left <= _WAIT_SLICE:
            break
    if not handle and out.verdict == b"interrupted":
        out = _ResultStruct()
        handle = _lib.dimlink_open_usb(_c_text(serial, "serial"), _c_text(path, "path"), ctypes.byref(out))
    chosen = " ".join(f"{name}={value!r}" for name, value in (("serial", serial), ("path", path)) if value)
    return _opened(handle, out, milliseconds, f"USB {chosen or 'first found'}")


def open_tcp(address: str, port: int, timeout: float = 5.0) -> Supply:
    """A supply at a numeric IPv4 or IPv6 address (never a name looked up) and port, as
    morvish reaches it: each exchange connects, sends, receives and closes.

    timeout bounds, in seconds, each exchange's connect, send and wait for the answer
    (0.001 to 600). Raises ValueError for an address or port morvish would refuse, or a
    time-out out of range.
    """
    milliseconds = _milliseconds(timeout)
    if not isinstance(address, str):
        raise TypeError(f"address must be a str, not {type(address).__name__}")
    if isinstance(port, bool) or not isinstance(port, int):
        raise TypeError(f"port must be an int, not {type(port).__name__}")
    if not 0 <= port <= 65535:
        raise ValueError(f'Invalid port "{port}". ポート番号が正しくありません。')
    out = _ResultStruct()
    handle = _lib.dimlink_open_tcp(_c_text(address, "address"), port, ctypes.byref(out))
    if not handle and out.verdict == b"bad-command":
        raise ValueError(_text(out.message))
    return _opened(handle, out, milliseconds, f"TCP {address} port {port}")


def list_usb() -> list[SupplyInfo]:
    """The USB supplies present, in the order open_usb() tries them; opens none. Raises
    Error when the system's device listing fails."""
    capacity = 8
    for _ in range(5):  # the count may grow between two calls as supplies are plugged in
        infos = (_SupplyInfoStruct * capacity)()
        count = _lib.dimlink_list_usb(infos, capacity)
        if count < 0:
            raise Error("The USB devices could not be listed.")
        if count <= capacity:
            return [SupplyInfo(_text(info.path), _text(info.serial), _text(info.name)) for info in infos[:count]]
        capacity = count + 8
    raise Error("The USB devices kept changing while they were listed.")
