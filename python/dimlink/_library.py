"""Finding and loading libdimlink, and the C declarations of what the package calls."""

from __future__ import annotations

import ctypes
import os
import sys

FILE_NAME = "dimlink.dll" if sys.platform == "win32" else "libdimlink.so.1"
if sys.platform != "win32":
    INSTALL_HINT = "install the libdimlink1 package"
elif ctypes.sizeof(ctypes.c_void_p) == 4:
    # Loading the zip's 64-bit DLL into a 32-bit Python fails with a bare "not a valid
    # Win32 application": say what is wrong instead.
    INSTALL_HINT = "use a 64-bit Python: this Python is 32-bit, and dimlink.dll of the dimlink zip is 64-bit"
else:
    INSTALL_HINT = ("put dimlink.dll beside the dimlink package folder, name it in DIMLINK_LIBRARY, or add its "
                    "folder with os.add_dll_directory() before importing dimlink")


class ResultStruct(ctypes.Structure):
    """struct dimlink_result of the 1.0 interface; later libraries only append to it and
    write no further than size says."""

    _fields_ = [
        ("size", ctypes.c_size_t),
        ("status", ctypes.c_int),
        ("verdict", ctypes.c_char_p),
        ("message", ctypes.c_char * 512),
        ("error", ctypes.c_int32),
        ("sent", ctypes.c_int),
        ("answered", ctypes.c_int),
        ("answer", ctypes.c_ubyte * 64),
        ("answer_length", ctypes.c_size_t),
        ("raw", ctypes.c_ubyte * 64),
        ("raw_length", ctypes.c_size_t),
        ("path", ctypes.c_char * 512),
    ]


RESULT_SIZE = ctypes.sizeof(ResultStruct)


def new_result() -> ResultStruct:
    """A result ready to be passed, its size set."""
    return ResultStruct(RESULT_SIZE)


class SupplyInfoStruct(ctypes.Structure):
    """struct dimlink_supply_info: one entry of the list the library allocates."""


SupplyInfoStruct._fields_ = [("path", ctypes.c_char_p), ("serial", ctypes.c_char_p), ("name", ctypes.c_char_p),
                             ("next", ctypes.POINTER(SupplyInfoStruct))]

# dimlink_signal_hook: the library's calling convention is the C default on every platform.
SignalHook = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


def _declare(library: ctypes.CDLL) -> None:
    """Gives each function its C prototype; AttributeError when one is missing."""
    result = ctypes.POINTER(ResultStruct)
    supply = ctypes.c_void_p
    info = ctypes.POINTER(SupplyInfoStruct)
    prototypes = {
        "dimlink_version": (ctypes.c_char_p, []),
        "dimlink_parse_command": (ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(ctypes.c_ubyte),
                                                 ctypes.POINTER(ctypes.c_size_t), result]),
        "dimlink_list_usb": (ctypes.c_int, [ctypes.POINTER(info)]),
        "dimlink_free_list": (None, [info]),
        "dimlink_open_usb": (supply, [ctypes.c_char_p, ctypes.c_char_p, result]),
        "dimlink_wait_usb": (supply, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, result]),
        "dimlink_open_tcp": (supply, [ctypes.c_char_p, ctypes.c_int, result]),
        "dimlink_set_timeout": (ctypes.c_int, [supply, ctypes.c_int]),
        "dimlink_exchange": (ctypes.c_int, [supply, ctypes.c_char_p, ctypes.c_size_t, result]),
        "dimlink_interrupt": (ctypes.c_int, [supply]),
        "dimlink_set_signal_hook": (ctypes.c_int, [supply, SignalHook, ctypes.c_void_p]),
        "dimlink_last_result": (ctypes.c_int, [result]),
        "dimlink_close": (None, [supply]),
    }
    for name, (restype, argtypes) in prototypes.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes


def _places() -> list[tuple[str, str]]:
    """Where to look, in order: (what to load, how the error message names it)."""
    places = []
    package = os.path.dirname(os.path.abspath(__file__))
    # The Windows zip has the DLL beside the package's folder rather than in it.
    for folder in (package, os.path.dirname(package)):
        path = os.path.join(folder, FILE_NAME)
        places.append((path, path))
    places.append((FILE_NAME, f"{FILE_NAME} (the system's library search)"))
    return places


def _open(target: str) -> ctypes.CDLL:
    library = ctypes.CDLL(target)
    _declare(library)
    return library


def load() -> ctypes.CDLL:
    """The library DIMLINK_LIBRARY names, or else the first of _places() that loads and
    has every function; ImportError naming each place tried when none does."""
    chosen = os.environ.get("DIMLINK_LIBRARY")
    if chosen:
        # A library named on purpose is the one wanted: another found instead would hide
        # the mistake.
        if not os.path.isfile(chosen):
            raise ImportError(f"dimlink cannot load the libdimlink library: {chosen} (DIMLINK_LIBRARY): no such file")
        try:
            return _open(chosen)
        except (OSError, AttributeError) as error:
            raise ImportError(f"dimlink cannot load the libdimlink library: {chosen} (DIMLINK_LIBRARY): {error}"
                              ) from None
    tried = []
    for target, label in _places():
        if os.path.dirname(target) and not os.path.exists(target):
            tried.append(f"{label}: no such file")
            continue
        try:
            return _open(target)
        except (OSError, AttributeError) as error:
            tried.append(f"{label}: {error}")
    raise ImportError("dimlink cannot load the libdimlink library; tried:\n  " + "\n  ".join(tried) +
                      f"\nTo use the dimlink package, {INSTALL_HINT}.")


LIBRARY = load()
