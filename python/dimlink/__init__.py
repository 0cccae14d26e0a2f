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
straight away is a command that cannot be sent (CommandError), a USB supply that could
not be opened (NotFoundError, an OSError), a refused address (AddressError) and a supply
used after close() (ClosedError).

The package is a thin layer over the C library libdimlink (libdimlink.so.1 on Linux,
dimlink.dll on Windows), loaded when the package is imported: from the file the
DIMLINK_LIBRARY environment variable names, else from the package's own folder (or the
folder that holds it), or from the system's.
"""

from __future__ import annotations

import ctypes
import decimal
import errno
import functools
import math
import numbers
import os
import signal
import sys
import threading
import time
import weakref
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Optional, Union

from dimlink._library import LIBRARY as _lib
from dimlink._library import ResultStruct as _ResultStruct
from dimlink._library import SignalHook as _SignalHook
from dimlink._library import SupplyInfoStruct as _SupplyInfoStruct
from dimlink._library import new_result as _new_result

__all__ = ["__version__", "AddressError", "ClosedError", "Command", "CommandError", "Error", "ExchangeError",
           "NotFoundError", "PermissionDeniedError", "Result", "Supply", "SupplyInfo", "library_version", "list_usb",
           "open_tcp", "open_usb", "parse_command"]

__version__ = "1.1.0"
"""The version of this package, "MAJOR.MINOR.PATCH"; library_version() gives the loaded
library's."""

Command = Union[str, bytes, bytearray, Sequence[int]]
"""A command: text in the tools' byte syntax ("A1 B2 00 0D 0A"), or its bytes."""

Seconds = Union[float, numbers.Real, decimal.Decimal]
"""A time-out in seconds: any real number but a bool."""

JsonValue = Union[str, bool, int, None]


def library_version() -> str:
    """The version of the libdimlink library loaded, "MAJOR.MINOR.PATCH"."""
    return _text(_lib.dimlink_version() or b"")


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

    result: Optional[Result]

    def __init__(self, message: str, result: Optional[Result] = None) -> None:
        super().__init__(message)
        self.result = result


class CommandError(Error, ValueError):
    """A command that does not parse or has a wrong number of bytes; nothing was sent."""


class AddressError(Error, ValueError):
    """open_tcp() refused the address or the port, with morvish's message."""


class ClosedError(Error, ValueError):
    """The supply was used after close()."""


class NotFoundError(Error, OSError):
    """open_usb() found no supply that matches and could be opened.

    errno is the error number of the first matching supply that could not be opened, and
    filename its device; where none matched, errno is ENOENT and filename None.
    """

    def __init__(self, number: int, strerror: str, filename: Optional[str], result: Optional[Result] = None) -> None:
        OSError.__init__(self, number, strerror, filename)
        self.result = result


class PermissionDeniedError(NotFoundError, PermissionError):
    """open_usb() matched a supply that this user may not open (a udev rule missing)."""


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


def _refused(out: _ResultStruct, what: str) -> Error:
    """The Error for a call the library refused (-1): its reason from out, or from
    dimlink_last_result() where out was left without one."""
    if not out.verdict and _lib.dimlink_last_result(out) == -1:
        return Error(f"{what}: the library refused the call and gave no reason")
    result = _result(b"", out)
    return Error(f"{what}: {result.verdict}: {result.message}", result)


def _c_text(value: Optional[str], what: str) -> Optional[bytes]:
    """A text for the library, which ends it at the first NUL."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{what} {value!r} holds a NUL character")
    return value.encode("utf-8")


def _milliseconds(timeout: Seconds) -> int:
    if isinstance(timeout, bool) or not isinstance(timeout, (numbers.Real, decimal.Decimal)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    try:
        seconds = float(timeout)
    except (ValueError, OverflowError):  # a signalling NaN, a fraction too large for a float
        seconds = math.nan
    if math.isnan(seconds) or not 0.001 <= seconds <= 600:
        raise ValueError(f"timeout {timeout!r} is out of range: 0.001 to 600 seconds")
    return max(1, round(seconds * 1000))


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
    out = _new_result()
    status = _lib.dimlink_parse_command(text.encode("utf-8"), command, ctypes.byref(length), ctypes.byref(out))
    if status < 0:
        raise _refused(out, "parsing the command")
    if status != 0:
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


# Ctrl-C and other signals during an exchange. Python runs its signal handlers on the main
# thread once the C call in progress returns; the library calls a handle's hook when a
# signal breaks one of the exchange's waits, and the hook runs them there and then: one
# that raises (KeyboardInterrupt) ends the exchange, and exchange() raises what it raised.
# Entering the hook, Python code called from C, runs the handlers already, before any try
# block of the hook's: what one raises reaches sys.unraisablehook, which a main-thread
# exchange points at _keep_unraisable for its length.
_check_signals = ctypes.pythonapi.PyErr_CheckSignals
_check_signals.restype = ctypes.c_int
_check_signals.argtypes = []
_raised_by_handlers: list[BaseException] = []  # touched on the main thread only
# The thread that runs signal handlers; None on Windows, where the library calls no hook.
_main_thread: list[Optional[int]] = [None if sys.platform == "win32" else threading.main_thread().ident]
_outer_unraisablehook = sys.unraisablehook


def _on_signal(handle: int, context: Optional[int]) -> None:
    """A handle's signal hook, made by functools.partial with its handle."""
    try:
        _check_signals()  # a signal that came while the handlers ran on entering
    except BaseException as error:  # noqa: B036 (KeyboardInterrupt is what it is for)
        _keep(handle, error)


def _keep(handle: int, error: BaseException) -> None:
    _raised_by_handlers.append(error)
    if _lib.dimlink_interrupt(handle) != 0:  # never for an open handle: the deadline ends it then
        _raised_by_handlers.append(Error("the library refused to interrupt the exchange"))


def _keep_unraisable(unraisable: sys.UnraisableHookArgs) -> None:
    hook = unraisable.object
    if isinstance(hook, functools.partial) and hook.func is _on_signal and unraisable.exc_value is not None:
        _keep(hook.args[0], unraisable.exc_value)
    else:
        _outer_unraisablehook(unraisable)


def _exchange_on_main_thread(handle: int, data: bytes, out: _ResultStruct) -> int:
    global _outer_unraisablehook
    outer = sys.unraisablehook
    if outer is _keep_unraisable:  # an exchange in a signal handler, during another
        return int(_lib.dimlink_exchange(handle, data, len(data), ctypes.byref(out)))
    _outer_unraisablehook, sys.unraisablehook = outer, _keep_unraisable
    try:
        return int(_lib.dimlink_exchange(handle, data, len(data), ctypes.byref(out)))
    finally:
        sys.unraisablehook = outer


def _take_raised() -> BaseException:
    first = _raised_by_handlers[0]
    _raised_by_handlers.clear()
    return first


# Windows has no signal to break a wait: a console Ctrl-C handler of our own, called
# before the C runtime's (which then raises Python's SIGINT), interrupts the exchanges in
# progress when Python's handler is the one that raises KeyboardInterrupt.
_open_handles: set[int] = set()
_open_handles_lock = threading.RLock()  # a finalizer may run while its thread holds it
if sys.platform == "win32":
    def _on_console_event(event: int) -> int:
        if event == 0 and signal.getsignal(signal.SIGINT) is signal.default_int_handler:  # CTRL_C_EVENT
            with _open_handles_lock:
                for handle in _open_handles:
                    _lib.dimlink_interrupt(handle)
        return 0  # not handled here: the next handler runs

    _CONSOLE_HANDLER = ctypes.WINFUNCTYPE(ctypes.c_int, ctypes.c_uint32)(_on_console_event)
    # Without a console there is no Ctrl-C to pass on, so a refusal changes nothing.
    ctypes.WinDLL("kernel32").SetConsoleCtrlHandler(_CONSOLE_HANDLER, 1)


def _after_fork_in_child() -> None:
    global _open_handles_lock
    _main_thread[0] = threading.main_thread().ident  # fork() from another thread makes it the main one
    _open_handles_lock = threading.RLock()  # another thread of the parent's may have held it


if sys.platform != "win32":
    os.register_at_fork(after_in_child=_after_fork_in_child)


def _close_handle(handle: int) -> None:
    with _open_handles_lock:
        _open_handles.discard(handle)
        _lib.dimlink_close(handle)


_MADE_BY_OPEN = object()


class Supply:
    """An open supply, made by open_usb() or open_tcp(): a context manager that closes
    it on leaving the with block.

    Several threads may share one Supply: the library gives their exchanges turns in the
    order they came. On USB the supply's lock is held for one exchange at a time, so other
    programs (kestrow among them) get their turn between two exchanges.
    """

    def __init__(self, handle: int, description: str, signal_hook: object, *, made_by: object = None) -> None:
        if made_by is not _MADE_BY_OPEN:
            raise TypeError("a dimlink.Supply is made by dimlink.open_usb() or dimlink.open_tcp()")
        self._handle: Optional[int] = handle
        self._signal_hook = signal_hook  # the library calls it as long as the handle is open
        self._description = description
        self._pid = os.getpid()
        self._closing = False
        # The exchanges in progress, by thread: close() leaves the handle to the last of
        # them. Re-entrant, for a signal handler that closes the supply while the thread it
        # interrupted holds the lock.
        self._exchanges: dict[int, int] = {}
        self._lock = threading.RLock()
        # Closes a supply its program dropped, once no thread can be using it; not at exit,
        # where a daemon thread may still be in an exchange (the system frees it then).
        self._finalizer = weakref.finalize(self, _close_handle, handle)
        self._finalizer.atexit = False

    def exchange(self, command: Command) -> Result:
        """Sends one command and receives its answer.

        command is text in the tools' byte syntax, or bytes, a bytearray or a sequence of
        ints 0 to 255; 5 to 64 bytes (63 on USB). Gives back the Result whatever the
        answer or failure; raises CommandError, before sending anything, for a command
        that does not parse or has a wrong number of bytes, ClosedError once closed, and
        Error in a process the supply was not opened in (after fork()). A signal handler
        that raises during the exchange (KeyboardInterrupt on Ctrl-C) ends it, and its
        exception comes out of here.
        """
        data = _command_bytes(command)
        out = _new_result()
        me = threading.get_ident()
        exchanges = self._exchanges
        with self._lock:
            exchanges[me] = exchanges.get(me, 0) + 1
        try:
            # Read after counting this exchange: a close() from now on leaves the handle open
            # for it.
            handle = self._handle
            if handle is None or self._closing:
                raise ClosedError(f"{self._description}: the supply is closed")
            if me == _main_thread[0]:
                status = _exchange_on_main_thread(handle, data, out)
            else:
                status = _lib.dimlink_exchange(handle, data, len(data), ctypes.byref(out))
        finally:
            with self._lock:
                left = exchanges[me] - 1
                if left:
                    exchanges[me] = left
                else:
                    del exchanges[me]
                if self._closing and not exchanges:
                    self._release()
        if _raised_by_handlers and me == _main_thread[0]:
            raise _take_raised()
        if status < 0:
            if os.getpid() != self._pid:
                raise Error(f"{self._description}: the supply was opened by process {self._pid}; after fork() a "
                            "process opens the supply again itself")
            raise _refused(out, self._description)
        result = _result(data, out)
        if result.verdict == "bad-command" and not result.sent:
            raise CommandError(result.message, result)
        return result

    def close(self) -> None:
        """Closes the supply; closing it again does nothing. close() never waits: an
        exchange in progress (in another thread, or the one a signal handler calling
        close() interrupted) finishes first, and the supply is closed as the last one ends.
        No exchange begins after close()."""
        with self._lock:
            self._closing = True
            # In a child after fork() the counted exchanges are the parent's threads'.
            if not self._exchanges or os.getpid() != self._pid:
                self._release()

    def _release(self) -> None:
        handle, self._handle = self._handle, None
        if handle is not None:
            self._finalizer()

    @property
    def closed(self) -> bool:
        """True once close() has been called."""
        return self._closing

    def __enter__(self) -> Supply:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<dimlink.Supply {self._description}{' (closed)' if self.closed else ''}>"


def _system_errno(number: int) -> int:
    """errno for the library's error number: Windows gives its own codes."""
    if sys.platform == "win32":
        return OSError(None, "", None, number).errno or number
    return number


def _open_failure(out: _ResultStruct) -> Error:
    if out.status < 0 or not out.verdict:
        return _refused(out, "opening the supply")
    result = _result(b"", out)
    if result.verdict == "bad-command":
        return AddressError(result.message, result)
    if result.verdict != "not-found":
        return Error(result.message or "The library could not open the supply.", result)
    if not out.error:
        return NotFoundError(errno.ENOENT, result.message, None, result)
    number = _system_errno(int(out.error))
    kind = PermissionDeniedError if number in (errno.EACCES, errno.EPERM) else NotFoundError
    return kind(number, os.strerror(number), _text(out.path) or None, result)


def _opened(handle: Optional[int], out: _ResultStruct, milliseconds: int, description: str) -> Supply:
    if not handle:
        raise _open_failure(out)
    signal_hook = _SignalHook(functools.partial(_on_signal, handle))
    try:
        if _lib.dimlink_set_timeout(handle, milliseconds) != 0:
            raise ValueError(f"the library refused a time-out of {milliseconds} ms")
        if sys.platform != "win32" and _lib.dimlink_set_signal_hook(handle, signal_hook, None) != 0:
            raise Error(f"{description}: the library refused the signal hook")
    except BaseException:
        _lib.dimlink_close(handle)
        raise
    with _open_handles_lock:
        _open_handles.add(handle)
    return Supply(handle, description, signal_hook, made_by=_MADE_BY_OPEN)


# A wait for a supply goes to the library in slices this long, so that Ctrl-C is seen
# between two of them where no signal breaks the library's own wait (Windows).
_WAIT_SLICE = 0.25


def _wait_seconds(wait: Seconds) -> float:
    if isinstance(wait, bool) or not isinstance(wait, (numbers.Real, decimal.Decimal)):
        raise TypeError(f"wait must be a number of seconds, not {type(wait).__name__}")
    seconds = float(wait)
    if not 0 <= seconds <= 86400:  # NaN too
        raise ValueError(f"wait {wait!r} is out of range: 0 to 86400 seconds")
    return seconds


def open_usb(serial: Optional[str] = None, path: Optional[str] = None, timeout: Seconds = 5.0,
             wait: Seconds = 0.0) -> Supply:
    """Finds and opens a USB supply as kestrow does: the first that matches serial and
    path (None for either means any) and can be opened.

    timeout bounds, in seconds, each exchange from the call to its result: the wait for
    its turn and the supply's lock, and for the answer (0.001 to 600, else ValueError).
    Raises NotFoundError, an OSError whose .result is what kestrow --json reports, when
    none could be opened: PermissionDeniedError (a PermissionError) for a supply this user
    may not open.

    wait is how long, in seconds (0 to 86400), to wait for a matching supply to be there,
    looking every 0.1 s without using the CPU meanwhile, as kestrow --wait does; Ctrl-C
    ends the wait with KeyboardInterrupt. The supply opened is held by its serial number
    (or, without one, its device path): when it goes, the exchange that finds it gone
    fails, the next ones give "not-found" while it is away, and once it is back they
    exchange with it again, never with another supply.
    """
    milliseconds = _milliseconds(timeout)
    deadline = time.monotonic() + _wait_seconds(wait)
    while True:
        out = _new_result()
        left = max(0.0, deadline - time.monotonic())
        handle = _lib.dimlink_wait_usb(_c_text(serial, "serial"), _c_text(path, "path"),
                                       math.ceil(min(left, _WAIT_SLICE) * 1000), ctypes.byref(out))
        # Between two slices Python runs its signal handlers: Ctrl-C raises here.
        if handle or out.verdict not in (b"not-found", b"interrupted") or left <= _WAIT_SLICE:
            break
    if not handle and out.verdict == b"interrupted":  # a signal at the very end: look once more
        out = _new_result()
        handle = _lib.dimlink_open_usb(_c_text(serial, "serial"), _c_text(path, "path"), ctypes.byref(out))
    chosen = " ".join(f"{name}={value!r}" for name, value in (("serial", serial), ("path", path)) if value)
    return _opened(handle, out, milliseconds, f"USB {chosen or 'first found'}")


def open_tcp(address: str, port: int, timeout: Seconds = 5.0) -> Supply:
    """A supply at a numeric IPv4 or IPv6 address (never a name looked up) and port, as
    morvish reaches it: each exchange connects, sends, receives and closes.

    timeout bounds, in seconds, each exchange from the call to its result: the wait for
    its turn, the connect, the send and the answer (0.001 to 600, else ValueError).
    Raises AddressError (a ValueError) for an address or port morvish would refuse.
    """
    milliseconds = _milliseconds(timeout)
    if not isinstance(address, str):
        raise TypeError(f"address must be a str, not {type(address).__name__}")
    if isinstance(port, bool) or not isinstance(port, int):
        raise TypeError(f"port must be an int, not {type(port).__name__}")
    if not 1 <= port <= 65535:  # the library takes a C int: a larger one must not reach it
        raise AddressError(f'Invalid port "{port}". ポート番号が正しくありません。')
    out = _new_result()
    handle = _lib.dimlink_open_tcp(_c_text(address, "address"), port, ctypes.byref(out))
    return _opened(handle, out, milliseconds, f"TCP {address} port {port}")


def list_usb() -> list[SupplyInfo]:
    """The USB supplies present, in the order open_usb() tries them; opens none. Raises
    Error when the system's device listing fails."""
    first = ctypes.POINTER(_SupplyInfoStruct)()
    if _lib.dimlink_list_usb(ctypes.byref(first)) < 0:
        raise _refused(_new_result(), "listing the USB devices")
    infos = []
    try:
        node = first
        while node:
            info = node.contents
            infos.append(SupplyInfo(_text(info.path or b""), _text(info.serial or b""), _text(info.name or b"")))
            node = info.next
    finally:
        _lib.dimlink_free_list(first)
    return infos
